// The HID platform of the product on Linux: hidapi with its hidraw backend.
// Report lengths, which hidapi does not tell, come from the report descriptor.
//
// hidapi's enumeration and open are not thread-safe (they share the
// library's global state, its last error among it), and the list of
// enumerated nodes is shared by every caller: one mutex serialises Enumerate,
// Open and Identify. Reads and writes on opened devices take no lock, each on
// its own node.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/hid_platform.h"

namespace lumbra::link {

class HidapiLibrary;

class HidapiPlatform final : public HidPlatform {
 public:
  HidapiPlatform();
  ~HidapiPlatform() override;
  HidapiPlatform(const HidapiPlatform&) = delete;
  HidapiPlatform& operator=(const HidapiPlatform&) = delete;

  // Each hidraw node once, even when hidapi lists it once per top-level usage.
  std::vector<std::string> Enumerate() override;
  // Opens only a path the last Enumerate returned; kAbsent for any other.
  Opened Open(const std::string& path) override;
  // What the last Enumerate learned from udev, without opening the node.
  std::optional<HidAttributes> Identify(const std::string& path) override;
  // From sysfs, without hidapi: takes no lock.
  std::string Port(const std::string& path) override;
  void Pause(int milliseconds) override;

 private:
  struct Listed {
    std::string path;
    HidAttributes attributes;
  };
  const Listed* Find(const std::string& path) const;  // under the lock

  // Shared with the open devices, so hidapi stays initialised while any of
  // them lives.
  std::shared_ptr<HidapiLibrary> library_;
  std::mutex mutex_;
  std::vector<Listed> enumerated_;
};

// What an errno of open, write or read says.
HidFault FaultOfErrno(int code);

// The sysfs file holding the report descriptor of a hidraw node
// ("/dev/hidraw3" -> "/sys/class/hidraw/hidraw3/device/report_descriptor");
// nullopt for a path that does not name a hidraw node.
std::optional<std::string> SysfsDescriptorPath(std::string_view devicePath);

// The port path ("1-1.2": bus, dash, ports from the root hub down) of the USB
// device a hidraw node belongs to, found by walking up from the node's device
// in the sysfs tree at `sysfsRoot`; the node's path when no USB device is
// above it (uhid) or the node is not there.
std::string UsbPortOfNode(const std::filesystem::path& sysfsRoot, const std::string& devicePath);

}  // namespace lumbra::link
