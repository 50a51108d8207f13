// A stand-in for the Windows calls of the HID platform over a table of devices.
// It refuses what Windows refuses (records of another architecture's size,
// transfers on a handle without the access or the overlapped flag) and records
// what the platform did.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "link/win32_hid_api.h"

namespace lumbra::testing {

struct FakeHidDevice {
  enum Quirk { kNone, kRefusesReadWrite, kWritesHang, kReportArrivesLate, kReadsFail };
  FakeHidDevice(std::string p, USHORT vendor = 0x4242, USHORT product = 0xC003, Quirk q = kNone)
      : path(std::move(p)), vendorId(vendor), productId(product), quirk(q) {}
  std::string path;
  USHORT vendorId, productId;
  // Refused: Windows keeps it (keyboards, mice). Late: a pending read completes
  // while it is being cancelled.
  Quirk quirk;
  USHORT outputLength = 65;
  std::wstring serial;
  std::deque<std::vector<std::uint8_t>> reports;  // input reports waiting
};

class FakeWin32Hid final : public link::Win32HidApi {
 public:
  static constexpr USHORT kInputLength = 65;
  struct Opened {
    std::size_t device;
    DWORD access, flags;
  };
  struct Transfer {
    OVERLAPPED* overlapped;
    void* buffer;  // nullptr for a write
    enum { kPending, kDone, kCancelled } state;
  };

  std::vector<FakeHidDevice> devices;
  std::map<HANDLE, Opened> open;     // handles open now
  std::map<HANDLE, bool> events;     // open events: signalled?
  std::map<HANDLE, Transfer> transfers;  // the last transfer of each handle
  std::vector<std::pair<HANDLE, std::vector<std::uint8_t>>> writes;
  std::vector<HANDLE> reads, cancelled;
  std::vector<DWORD> waits;           // WaitForSingleObject time-outs
  int setsOpen = 0;
  bool blockedForever = false;        // waited for a transfer that never ends

  void GetHidGuid(GUID* guid) override { *guid = GUID{}; }
  HDEVINFO GetClassDevs(const GUID*, DWORD flags) override {
    if (flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) return INVALID_HANDLE_VALUE;
    return ++setsOpen, reinterpret_cast<HDEVINFO>(0x5E7);
  }
  BOOL EnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index,
                            SP_DEVICE_INTERFACE_DATA* data) override {
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
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
    // SetupAPI checks the fixed part's size, not the buffer's.
    if (detail->cbSize != sizeof(*detail)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
  }
  BOOL DestroyDeviceInfoList(HDEVINFO) override { return --setsOpen, TRUE; }
  BOOLEAN GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    if (!open.count(device) || attributes->Size != sizeof(HIDD_ATTRIBUTES)) return FALSE;
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
  BOOLEAN GetSerialNumberString(HANDLE device, void* buffer, ULONG bytes) override {
    const std::wstring& serial = DeviceOf(device).serial;
    if (serial.empty() || (serial.size() + 1) * sizeof(wchar_t) > bytes) return FALSE;
    std::memcpy(buffer, serial.c_str(), (serial.size() + 1) * sizeof(wchar_t));
    return TRUE;
  }

  HANDLE CreateFileA(const char* path, DWORD access, DWORD flags) override {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path != path) continue;
      if (access != 0 && devices[i].quirk == FakeHidDevice::kRefusesReadWrite) break;
      const HANDLE handle = NewHandle();
      open[handle] = {i, access, flags};
      return handle;
    }
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  BOOL CloseHandle(HANDLE handle) override { return open.erase(handle) + events.erase(handle) > 0; }
  BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    const auto* first = static_cast<const std::uint8_t*>(data);
    writes.push_back({file, {first, first + bytes}});
    if (!Overlapped(file, GENERIC_WRITE, overlapped)) return Fail(ERROR_INVALID_PARAMETER);
    transfers[file] = {overlapped, nullptr, Transfer::kPending};
    if (DeviceOf(file).quirk == FakeHidDevice::kWritesHang) return Fail(ERROR_IO_PENDING);
    return Complete(file), TRUE;
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    reads.push_back(file);
    const bool fails = bytes < kInputLength || DeviceOf(file).quirk == FakeHidDevice::kReadsFail;
    if (!Overlapped(file, GENERIC_READ, overlapped) || fails) return Fail(ERROR_INVALID_PARAMETER);
    transfers[file] = {overlapped, data, Transfer::kPending};
    if (DeviceOf(file).reports.empty()) return Fail(ERROR_IO_PENDING);
    return Complete(file), TRUE;
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) override {
    const Transfer& transfer = transfers.at(file);
    if (transfer.overlapped != overlapped) return Fail(ERROR_INVALID_PARAMETER);
    if (transfer.state == Transfer::kPending) {
      blockedForever |= wait != FALSE;
      return Fail(ERROR_IO_INCOMPLETE);
    }
    if (transfer.state == Transfer::kCancelled) return Fail(ERROR_OPERATION_ABORTED);
    *bytes = 1;
    return TRUE;
  }
  BOOL CancelIo(HANDLE file) override {
    cancelled.push_back(file);
    Transfer& transfer = transfers.at(file);
    if (transfer.buffer != nullptr && DeviceOf(file).quirk == FakeHidDevice::kReportArrivesLate) {
      DeviceOf(file).reports.push_back({0x00, 'O', 'K'});
      Complete(file);
    } else if (transfer.state == Transfer::kPending) {
      transfer.state = Transfer::kCancelled;
      events[transfer.overlapped->hEvent] = true;
    }
    return TRUE;
  }
  DWORD GetLastError() override { return lastError_; }
  HANDLE CreateEventA() override {
    const HANDLE event = NewHandle();
    events[event] = false;
    return event;
  }
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
  bool Overlapped(HANDLE file, DWORD access, OVERLAPPED* with) {
    const Opened& handle = open.at(file);
    return with != nullptr && (handle.access & access) && handle.flags == FILE_FLAG_OVERLAPPED &&
           events.count(with->hEvent);
  }
  void Complete(HANDLE file) {
    Transfer& transfer = transfers.at(file);
    if (transfer.buffer != nullptr) {
      std::vector<std::uint8_t> report = DeviceOf(file).reports.front();
      DeviceOf(file).reports.pop_front();
      report.resize(kInputLength, 0);
      std::memcpy(transfer.buffer, report.data(), report.size());
    }
    transfer.state = Transfer::kDone;
    events[transfer.overlapped->hEvent] = true;
  }

  DWORD lastError_ = 0;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace lumbra::testing
