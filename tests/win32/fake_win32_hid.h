// The Windows calls of the HID platform over a table of devices, for what Wine's own
// HID stack cannot be made to do (refusals, hung writes, late or failed reads); it
// records what the platform did. Record sizes, access and overlapped use are left to
// Wine's SetupAPI and HID stack, which check them.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "link/win32_hid_api.h"

namespace lumbra::testing {

struct FakeHidDevice {
  // Refused: Windows keeps it (keyboards, mice). Late: a report comes while its read
  // is cancelled. Otherwise no report ever comes.
  enum Quirk { kNone, kRefusesReadWrite, kWritesHang, kReportArrivesLate, kReadsFail };
  std::string path;
  USHORT vendorId = 0x4242, productId = 0xC003;
  Quirk quirk = kNone;
  USHORT outputLength = 65;
  DWORD refusal = ERROR_ACCESS_DENIED;  // why a refused read-write open fails
};

class FakeWin32Hid final : public link::Win32HidApi {
 public:
  static constexpr USHORT kInputLength = 65;
  enum State { kIdle, kPending, kDone, kCancelled };
  struct Handle {
    std::size_t device;
    OVERLAPPED* overlapped = nullptr;  // of the last transfer, and its buffer if a read
    void* buffer = nullptr;
    State state = kIdle;
  };

  std::vector<FakeHidDevice> devices;
  std::map<HANDLE, Handle> open;  // file handles open now
  std::map<HANDLE, bool> events;  // events open now: signalled?
  std::vector<std::pair<HANDLE, std::vector<std::uint8_t>>> writes;
  std::vector<HANDLE> reads, cancelled;
  std::vector<DWORD> waits;     // WaitForSingleObject time-outs
  int setsOpen = 0;
  bool blockedForever = false;  // waited for a transfer that never ends

  void GetHidGuid(GUID* guid) override { *guid = GUID{}; }
  HDEVINFO GetClassDevs(const GUID*, DWORD) override {
    return ++setsOpen, reinterpret_cast<HDEVINFO>(0x5E7);
  }
  BOOL EnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index,
                            SP_DEVICE_INTERFACE_DATA* data) override {
    if (index >= devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;
    return TRUE;
  }
  BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data,
                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                DWORD* required) override {
    const std::string& path = devices.at(data->Reserved).path;
    const DWORD needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
  }
  BOOL DestroyDeviceInfoList(HDEVINFO) override { return --setsOpen, TRUE; }
  BOOLEAN GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) return FALSE;
    attributes->VendorID = DeviceOf(device).vendorId;
    attributes->ProductID = DeviceOf(device).productId;
    return TRUE;
  }
  BOOL GetCaps(HANDLE device, HIDP_CAPS* caps) override {
    *caps = HIDP_CAPS{};
    caps->InputReportByteLength = kInputLength;
    caps->OutputReportByteLength = DeviceOf(device).outputLength;
    return TRUE;
  }
  BOOLEAN GetSerialNumberString(HANDLE, void*, ULONG) override { return FALSE; }

  HANDLE CreateFileA(const char* path, DWORD access, DWORD) override {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path != path) continue;
      if (access != 0 && devices[i].quirk == FakeHidDevice::kRefusesReadWrite) {
        return Fail(devices[i].refusal), INVALID_HANDLE_VALUE;
      }
      return open.emplace(NewHandle(), Handle{i}).first->first;
    }
    return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  }
  BOOL CloseHandle(HANDLE handle) override { return open.erase(handle) + events.erase(handle) > 0; }
  BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    const auto* first = static_cast<const std::uint8_t*>(data);
    writes.push_back({file, {first, first + bytes}});
    Start(file, overlapped, nullptr);
    if (DeviceOf(file).quirk == FakeHidDevice::kWritesHang) return Fail(ERROR_IO_PENDING);
    return Complete(file), TRUE;
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD, OVERLAPPED* overlapped) override {
    reads.push_back(file);
    if (DeviceOf(file).quirk == FakeHidDevice::kReadsFail) return Fail(ERROR_INVALID_PARAMETER);
    Start(file, overlapped, data);
    return Fail(ERROR_IO_PENDING);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) override {
    const State state = open.at(file).overlapped == overlapped ? open.at(file).state : kIdle;
    blockedForever |= state == kPending && wait;
    if (state == kCancelled) return Fail(ERROR_OPERATION_ABORTED);
    if (state != kDone) return Fail(ERROR_IO_INCOMPLETE);
    *bytes = 1;
    return TRUE;
  }
  BOOL CancelIo(HANDLE file) override {
    cancelled.push_back(file);
    Handle& handle = open.at(file);
    if (handle.state != kPending) return TRUE;
    if (handle.buffer != nullptr && DeviceOf(file).quirk == FakeHidDevice::kReportArrivesLate) {
      return Complete(file), TRUE;
    }
    handle.state = kCancelled;
    return events[handle.overlapped->hEvent] = true;
  }
  DWORD GetLastError() override { return lastError_; }
  HANDLE CreateEventA() override { return events.emplace(NewHandle(), false).first->first; }
  BOOL ResetEvent(HANDLE event) override { return events.at(event) = false, TRUE; }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    waits.push_back(milliseconds);
    return events.at(object) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  void Sleep(DWORD) override {}

 private:
  BOOL Fail(DWORD error) { return lastError_ = error, FALSE; }
  HANDLE NewHandle() { return reinterpret_cast<HANDLE>(nextHandle_++ * 4); }
  FakeHidDevice& DeviceOf(HANDLE file) { return devices.at(open.at(file).device); }
  void Start(HANDLE file, OVERLAPPED* overlapped, void* buffer) {
    open.at(file) = {open.at(file).device, overlapped, buffer, kPending};
  }
  void Complete(HANDLE file) {
    Handle& handle = open.at(file);
    if (handle.buffer != nullptr) std::memcpy(handle.buffer, "\0OK", 4);  // the late report
    handle.state = kDone;
    events[handle.overlapped->hEvent] = true;
  }

  DWORD lastError_ = 0;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace lumbra::testing
