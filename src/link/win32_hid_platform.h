// The HID platform of the product on Windows: SetupAPI lists the HID device
// interfaces, the HID library identifies them and gives the report lengths,
// and each opened device has two overlapped handles, one for the queries and
// the writes and one for the reads. Needs no driver and no administrator
// rights: the HID class driver is part of Windows.
//
// SetupAPI, CreateFile and the HID library may be called from several threads
// at once, but the list of enumerated paths is ours and shared by every
// caller: one mutex guards it, held through an enumeration and for the look
// at the list before an open or an identification. Reads and writes on opened
// devices take no lock, each on its own handles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/hid_platform.h"
#include "link/win32_hid_api.h"

namespace lumbra::link {

// A write that has not gone out after this long is cancelled and fails.
inline constexpr DWORD kWriteTimeoutMs = 1000;

class Win32HidPlatform final : public HidPlatform {
 public:
  explicit Win32HidPlatform(Win32HidApi& api = SystemWin32HidApi());
  Win32HidPlatform(const Win32HidPlatform&) = delete;
  Win32HidPlatform& operator=(const Win32HidPlatform&) = delete;

  // The DevicePaths of the present HID device interfaces.
  std::vector<std::string> Enumerate() override;
  // Opens only a path the last Enumerate returned (kAbsent for any other) and
  // only for reading and writing.
  Opened Open(const std::string& path) override;
  // Through a handle that asks for no access, which Windows grants even for
  // a device it keeps for itself or another program holds.
  std::optional<HidAttributes> Identify(const std::string& path) override;
  // The first location path of the nearest device above the HID device that
  // has any: the USB device, or its interface on a composite one.
  std::string Port(const std::string& path) override;
  void Pause(int milliseconds) override;

 private:
  bool Listed(const std::string& path);

  Win32HidApi& api_;
  std::mutex mutex_;
  std::vector<std::string> enumerated_;
  std::map<std::string, DEVINST> instances_;  // the enumerated paths' devices
};

// What a GetLastError() code of CreateFile, WriteFile or ReadFile says.
HidFault FaultOfWin32Error(DWORD code);

}  // namespace lumbra::link
