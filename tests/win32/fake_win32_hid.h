// A stand-in for the Windows calls of the HID platform: a list of devices with
// the records, handles, events and overlapped transfers Windows would give,
// checking what the real calls check (record sizes, access rights) and
// recording what the platform did with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "link/win32_hid_api.h"

namespace lumbra::testing {

struct FakeHidDevice {
  std::string path;
  USHORT vendorId = 0x4242;
  USHORT productId = 0xC003;
  bool opensReadWrite = true;  // false: Windows keeps it (keyboards, mice)
  USHORT inputLength = 65;
  USHORT outputLength = 65;
  bool writesHang = false;           // a write never completes
  bool reportArrivesLate = false;    // a pending read completes while being cancelled
  bool readsFail = false;            // ReadFile fails at once
  std::deque<std::vector<std::uint8_t>> reports;  // input reports waiting
};

class FakeWin32Hid final : public link::Win32HidApi {
 public:
  struct Opened {
    std::size_t device;
    DWORD access;
    DWORD flags;
  };
  struct Io {
    HANDLE file;
    OVERLAPPED* overlapped;
    void* buffer;
    DWORD bytes;
    bool write;
    enum { kPending, kDone, kCancelled } state;
  };
  struct Write {
    HANDLE file;
    std::vector<std::uint8_t> data;
  };

  std::vector<FakeHidDevice> devices;
  bool classDevsFail = false;

  // What the platform did.
  std::map<HANDLE, Opened> open;          // handles open now
  std::vector<Opened> opened;             // every successful CreateFileA
  std::map<HANDLE, bool> events;          // event -> signalled
  std::vector<Io> io;                     // every overlapped transfer
  std::vector<Write> writes;
  std::vector<HANDLE> cancelled;          // CancelIo calls
  std::vector<DWORD> waits;               // WaitForSingleObject time-outs
  std::vector<DWORD> detailCbSizes;       // cbSize of each detail record passed
  std::vector<DWORD> interfaceCbSizes;
  std::vector<DWORD> attributeSizes;
  int setsMade = 0;
  int setsDestroyed = 0;
  bool blockedForever = false;            // a wait for a transfer that never ends

  std::size_t OpenDeviceHandles() const { return open.size(); }

  void GetHidGuid(GUID* guid) override { *guid = kGuid; }
  HDEVINFO GetClassDevs(const GUID* guid, DWORD flags) override {
    if (classDevsFail || std::memcmp(guid, &kGuid, sizeof(GUID)) != 0 ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
      return INVALID_HANDLE_VALUE;
    }
    ++setsMade;
    return kSet;
  }
  BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID*, DWORD index,
                            SP_DEVICE_INTERFACE_DATA* data) override {
    interfaceCbSizes.push_back(data->cbSize);
    if (set != kSet || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;
    return TRUE;
  }
  BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data,
                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                DWORD* required) override {
    const std::string& path = devices.at(data->Reserved).path;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
    detailCbSizes.push_back(detail->cbSize);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
  }
  BOOL DestroyDeviceInfoList(HDEVINFO set) override {
    if (set == kSet) ++setsDestroyed;
    return TRUE;
  }
  BOOLEAN GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    attributeSizes.push_back(attributes->Size);
    auto it = open.find(device);
    if (it == open.end() || attributes->Size != sizeof(HIDD_ATTRIBUTES)) return FALSE;
    attributes->VendorID = devices[it->second.device].vendorId;
    attributes->ProductID = devices[it->second.device].productId;
    return TRUE;
  }
  BOOL GetCaps(HANDLE device, HIDP_CAPS* caps) override {
    auto it = open.find(device);
    if (it == open.end()) return FALSE;
    *caps = HIDP_CAPS{};
    caps->InputReportByteLength = devices[it->second.device].inputLength;
    caps->OutputReportByteLength = devices[it->second.device].outputLength;
    return TRUE;
  }
  BOOLEAN GetSerialNumberString(HANDLE, void*, ULONG) override { return FALSE; }

  HANDLE CreateFileA(const char* path, DWORD access, DWORD flags) override {
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path != path) continue;
      if (access != 0 && !devices[i].opensReadWrite) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      const HANDLE handle = NewHandle();
      open[handle] = {i, access, flags};
      opened.push_back(open[handle]);
      return handle;
    }
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  BOOL CloseHandle(HANDLE handle) override {
    return (open.erase(handle) + events.erase(handle)) > 0 ? TRUE : FALSE;
  }
  BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    const auto* first = static_cast<const std::uint8_t*>(data);
    writes.push_back({file, std::vector<std::uint8_t>(first, first + bytes)});
    FakeHidDevice& device = DeviceOf(file);
    if (overlapped == nullptr || !(open[file].access & GENERIC_WRITE)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    io.push_back({file, overlapped, nullptr, bytes, true, Io::kPending});
    if (device.writesHang) return Fail(ERROR_IO_PENDING);
    Complete(io.back());
    return TRUE;
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    FakeHidDevice& device = DeviceOf(file);
    if (overlapped == nullptr || !(open[file].access & GENERIC_READ) ||
        bytes < device.inputLength || device.readsFail) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    io.push_back({file, overlapped, data, bytes, false, Io::kPending});
    if (device.reports.empty()) return Fail(ERROR_IO_PENDING);
    Complete(io.back());
    return TRUE;
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes,
                           BOOL wait) override {
    for (auto it = io.rbegin(); it != io.rend(); ++it) {
      if (it->file != file || it->overlapped != overlapped) continue;
      if (it->state == Io::kPending && wait) blockedForever = true;
      if (it->state != Io::kDone) return Fail(it->state == Io::kPending ? ERROR_IO_INCOMPLETE
                                                                       : ERROR_OPERATION_ABORTED);
      *bytes = it->bytes;
      return TRUE;
    }
    return Fail(ERROR_INVALID_PARAMETER);
  }
  BOOL CancelIo(HANDLE file) override {
    cancelled.push_back(file);
    for (Io& each : io) {
      if (each.file != file || each.state != Io::kPending) continue;
      FakeHidDevice& device = DeviceOf(file);
      if (!each.write && device.reportArrivesLate) {
        device.reports.push_back({0x00, 'O', 'K'});
        Complete(each);
      } else {
        each.state = Io::kCancelled;
        events[each.overlapped->hEvent] = true;
      }
    }
    return TRUE;
  }
  DWORD GetLastError() override { return lastError_; }
  HANDLE CreateEventA() override {
    const HANDLE event = NewHandle();
    events[event] = false;
    return event;
  }
  BOOL ResetEvent(HANDLE event) override {
    events[event] = false;
    return TRUE;
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    waits.push_back(milliseconds);
    return events[object] ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  void Sleep(DWORD) override {}

  static inline const GUID kGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0, 0x11, 0x11, 0, 0, 0x30}};

 private:
  static inline const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x5E7);

  BOOL Fail(DWORD error) {
    lastError_ = error;
    return FALSE;
  }
  HANDLE NewHandle() { return reinterpret_cast<HANDLE>(nextHandle_++ * 4); }
  FakeHidDevice& DeviceOf(HANDLE file) { return devices.at(open.at(file).device); }
  void Complete(Io& each) {
    if (!each.write) {
      FakeHidDevice& device = DeviceOf(each.file);
      std::vector<std::uint8_t> report = device.reports.front();
      device.reports.pop_front();
      report.resize(device.inputLength, 0);
      std::memcpy(each.buffer, report.data(), report.size());
    }
    each.state = Io::kDone;
    events[each.overlapped->hEvent] = true;
  }

  DWORD lastError_ = 0;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace lumbra::testing
