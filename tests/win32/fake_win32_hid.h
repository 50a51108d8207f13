// The Windows calls of the HID platform over one controller, for what Wine's own HID
// stack cannot be made to do (refusals, hung writes, late or failed reads, short output
// reports); it records what the platform did and which handles it left open. Several
// devices, record sizes, paths, which handle or event a call is given, and overlapped
// use are left to Wine's SetupAPI and HID stack, which check them. The platform runs
// one transfer at a time, and so does the stand-in.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "link/win32_hid_api.h"

namespace lumbra::testing {

struct FakeHidDevice {
  // Refused: Windows keeps it for itself or another program. Late: a report comes
  // while its read is cancelled. Otherwise no report ever comes.
  enum Quirk { kNone, kRefusesReadWrite, kWritesHang, kReportArrivesLate, kReadsFail };
  Quirk quirk = kNone;
  USHORT outputLength = 65;
  DWORD refusal = ERROR_ACCESS_DENIED;  // why a refused read-write open fails
};

class FakeWin32Hid final : public link::Win32HidApi {
 public:
  static constexpr char kPath[] = "controller";
  static constexpr DEVINST kHidInstance = 0x1D, kUsbInstance = 0x2D;

  FakeHidDevice device;      // identified as 4242:C003
  std::string locationPaths;  // its USB parent's, a multi-string; empty: the lookup fails
  std::set<HANDLE> handles;  // files and events open now
  std::vector<std::vector<std::uint8_t>> writes;
  std::vector<bool> cancelled;  // each CancelIo: on the handle of the transfer under way?
  std::vector<DWORD> waits;     // WaitForSingleObject time-outs
  int setsOpen = 0;
  bool blockedForever = false;  // waited for a transfer that never ends

  void GetHidGuid(GUID* guid) override { *guid = GUID{}; }
  HDEVINFO GetClassDevs(const GUID*, DWORD) override {
    return ++setsOpen, reinterpret_cast<HDEVINFO>(0x5E7);
  }
  BOOL EnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index,
                            SP_DEVICE_INTERFACE_DATA*) override {
    return index == 0 || Fail(ERROR_NO_MORE_ITEMS);
  }
  BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*,
                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                DWORD* required, SP_DEVINFO_DATA* instance) override {
    if (instance != nullptr) instance->DevInst = kHidInstance;
    const DWORD needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof(kPath);
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, kPath, sizeof(kPath));
    return TRUE;
  }
  BOOL DestroyDeviceInfoList(HDEVINFO) override { return --setsOpen, TRUE; }
  BOOLEAN GetAttributes(HANDLE, HIDD_ATTRIBUTES* attributes) override {
    attributes->VendorID = 0x4242;
    attributes->ProductID = 0xC003;
    return TRUE;
  }
  BOOL GetCaps(HANDLE, HIDP_CAPS* caps) override {
    *caps = HIDP_CAPS{};
    caps->InputReportByteLength = 65;
    caps->OutputReportByteLength = device.outputLength;
    return TRUE;
  }
  BOOLEAN GetSerialNumberString(HANDLE, void*, ULONG) override { return FALSE; }
  CONFIGRET GetParent(DEVINST* parent, DEVINST child) override {
    return child == kHidInstance ? (*parent = kUsbInstance, CR_SUCCESS) : CR_NO_SUCH_DEVNODE;
  }
  CONFIGRET GetLocationPaths(DEVINST instance, char* buffer, ULONG* bytes) override {
    if (instance != kUsbInstance || locationPaths.empty()) return CR_NO_SUCH_VALUE;
    const bool fits = *bytes > locationPaths.size();
    *bytes = static_cast<ULONG>(locationPaths.size() + 1);
    return fits ? (std::memcpy(buffer, locationPaths.c_str(), *bytes), CR_SUCCESS) : CR_BUFFER_SMALL;
  }

  HANDLE CreateFileA(const char*, DWORD access, DWORD) override {
    if (access != 0 && device.quirk == FakeHidDevice::kRefusesReadWrite) {
      return Fail(device.refusal), INVALID_HANDLE_VALUE;
    }
    return NewHandle();
  }
  BOOL CloseHandle(HANDLE handle) override { return handles.erase(handle); }
  BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED*) override {
    const auto* first = static_cast<const std::uint8_t*>(data);
    writes.emplace_back(first, first + bytes);
    Start(file, nullptr);
    if (device.quirk == FakeHidDevice::kWritesHang) return Fail(ERROR_IO_PENDING);
    return End(kDone), TRUE;
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD, OVERLAPPED*) override {
    if (device.quirk == FakeHidDevice::kReadsFail) return Fail(ERROR_INVALID_PARAMETER);
    Start(file, data);
    return Fail(ERROR_IO_PENDING);
  }
  BOOL GetOverlappedResult(HANDLE, OVERLAPPED*, DWORD* bytes, BOOL wait) override {
    blockedForever |= transfer_.state == kPending && wait;
    if (transfer_.state == kCancelled) return Fail(ERROR_OPERATION_ABORTED);
    if (transfer_.state != kDone) return Fail(ERROR_IO_INCOMPLETE);
    return *bytes = 1, TRUE;
  }
  BOOL CancelIo(HANDLE file) override {
    cancelled.push_back(file == transfer_.file);
    return End(device.quirk == FakeHidDevice::kReportArrivesLate ? kDone : kCancelled), TRUE;
  }
  DWORD GetLastError() override { return lastError_; }
  HANDLE CreateEventA() override { return NewHandle(); }
  BOOL ResetEvent(HANDLE) override { return TRUE; }
  DWORD WaitForSingleObject(HANDLE, DWORD milliseconds) override {
    waits.push_back(milliseconds);
    return transfer_.state == kPending ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  }
  void Sleep(DWORD) override {}

 private:
  enum State { kPending, kDone, kCancelled };
  BOOL Fail(DWORD error) { return lastError_ = error, FALSE; }
  HANDLE NewHandle() { return *handles.insert(reinterpret_cast<HANDLE>(nextHandle_++ * 4)).first; }
  void Start(HANDLE file, void* buffer) { transfer_ = {kPending, file, buffer}; }
  void End(State state) {
    if (state == kDone && transfer_.buffer != nullptr) std::memcpy(transfer_.buffer, "\0OK", 4);
    transfer_.state = state;
  }

  struct {
    State state = kDone;
    HANDLE file = nullptr;
    void* buffer = nullptr;  // a read's, where the late report goes
  } transfer_;  // the last one started
  DWORD lastError_ = 0;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace lumbra::testing
