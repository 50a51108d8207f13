// The Windows calls the HID platform makes (SetupAPI, the HID library, kernel
// file and event services, the configuration manager), behind one small interface so that tests can
// stand in for the operating system. SystemHidApi forwards to Windows.
#pragma once

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// MinGW-w64's HID headers do not declare C linkage themselves.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

namespace lumbra::link {

class Win32HidApi {
 public:
  virtual ~Win32HidApi() = default;

  // --- SetupAPI and the HID library ----------------------------------------
  virtual void GetHidGuid(GUID* guid) = 0;
  virtual HDEVINFO GetClassDevs(const GUID* guid, DWORD flags) = 0;
  virtual BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                    SP_DEVICE_INTERFACE_DATA* data) = 0;
  virtual BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL DestroyDeviceInfoList(HDEVINFO set) = 0;
  virtual BOOLEAN GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) = 0;
  // HidD_GetPreparsedData, HidP_GetCaps and HidD_FreePreparsedData in one.
  virtual BOOL GetCaps(HANDLE device, HIDP_CAPS* caps) = 0;
  virtual BOOLEAN GetSerialNumberString(HANDLE device, void* buffer, ULONG bytes) = 0;

  // --- Configuration manager ------------------------------------------------
  virtual CONFIGRET GetParent(DEVINST* parent, DEVINST child) = 0;
  // CM_DRP_LOCATION_PATHS, a multi-string; `bytes` in: the room, out: the length.
  virtual CONFIGRET GetLocationPaths(DEVINST device, char* buffer, ULONG* bytes) = 0;

  // --- Kernel file and event services ---------------------------------------
  virtual HANDLE CreateFileA(const char* path, DWORD access, DWORD flags) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED* overlapped) = 0;
  virtual BOOL ReadFile(HANDLE file, void* data, DWORD bytes, OVERLAPPED* overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes,
                                   BOOL wait) = 0;
  virtual BOOL CancelIo(HANDLE file) = 0;
  virtual DWORD GetLastError() = 0;
  // A manual-reset event, not signalled.
  virtual HANDLE CreateEventA() = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
};

// The real Windows functions. A test on a real HID stack derives from it to
// watch some of the calls.
class SystemHidApi : public Win32HidApi {
 public:
  void GetHidGuid(GUID* guid) override { ::HidD_GetHidGuid(guid); }
  HDEVINFO GetClassDevs(const GUID* guid, DWORD flags) override {
    return ::SetupDiGetClassDevsA(guid, nullptr, nullptr, flags);
  }
  BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                            SP_DEVICE_INTERFACE_DATA* data) override {
    return ::SetupDiEnumDeviceInterfaces(set, nullptr, guid, index, data);
  }
  BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                DWORD* required, SP_DEVINFO_DATA* device) override {
    return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, device);
  }
  BOOL DestroyDeviceInfoList(HDEVINFO set) override { return ::SetupDiDestroyDeviceInfoList(set); }
  BOOLEAN GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    return ::HidD_GetAttributes(device, attributes);
  }
  BOOL GetCaps(HANDLE device, HIDP_CAPS* caps) override {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!::HidD_GetPreparsedData(device, &data)) return FALSE;
    const NTSTATUS status = ::HidP_GetCaps(data, caps);
    ::HidD_FreePreparsedData(data);
    return status == HIDP_STATUS_SUCCESS;
  }
  BOOLEAN GetSerialNumberString(HANDLE device, void* buffer, ULONG bytes) override {
    return ::HidD_GetSerialNumberString(device, buffer, bytes);
  }
  CONFIGRET GetParent(DEVINST* parent, DEVINST child) override { return ::CM_Get_Parent(parent, child, 0); }
  CONFIGRET GetLocationPaths(DEVINST device, char* buffer, ULONG* bytes) override {
    return ::CM_Get_DevNode_Registry_PropertyA(device, CM_DRP_LOCATION_PATHS, nullptr, buffer, bytes, 0);
  }
  HANDLE CreateFileA(const char* path, DWORD access, DWORD flags) override {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    return ::CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    return ::WriteFile(file, data, bytes, nullptr, overlapped);
  }
  BOOL ReadFile(HANDLE file, void* data, DWORD bytes, OVERLAPPED* overlapped) override {
    return ::ReadFile(file, data, bytes, nullptr, overlapped);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes,
                           BOOL wait) override {
    return ::GetOverlappedResult(file, overlapped, bytes, wait);
  }
  BOOL CancelIo(HANDLE file) override { return ::CancelIo(file); }
  DWORD GetLastError() override { return ::GetLastError(); }
  HANDLE CreateEventA() override { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return ::WaitForSingleObject(object, milliseconds);
  }
  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

// One instance for the process.
Win32HidApi& SystemWin32HidApi();

}  // namespace lumbra::link
