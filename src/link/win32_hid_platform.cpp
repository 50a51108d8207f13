#include "link/win32_hid_platform.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <utility>

namespace lumbra::link {

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// One handle, closed with the object.
class Handle {
 public:
  Handle(Win32HidApi& api, HANDLE handle) : api_(&api), handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept
      : api_(other.api_), handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle& operator=(Handle&&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void Reset() {
    if (valid()) api_->CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  Win32HidApi* api_;
  HANDLE handle_;
};

// The device's serial number string, nullopt when it has none.
std::optional<std::string> ReadSerialNumber(Win32HidApi& api, HANDLE device) {
  // The HID library's limit for a string descriptor: 126 wide characters and
  // the terminator.
  wchar_t text[127] = {};
  if (!api.GetSerialNumberString(device, text, sizeof(text) - sizeof(wchar_t))) return std::nullopt;
  return AsciiDeviceString(text);
}

std::optional<HidAttributes> ReadAttributes(Win32HidApi& api, HANDLE device) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!api.GetAttributes(device, &attributes)) return std::nullopt;
  // The serial number is what tells the virtual controller from a real one
  // (a stand-in build writes to no other).
  return HidAttributes{attributes.VendorID, attributes.ProductID,
                       ReadSerialNumber(api, device).value_or("")};
}

// The first string of a device's location paths; nullopt when it has none.
std::optional<std::string> FirstLocationPath(Win32HidApi& api, DEVINST device) {
  std::vector<char> buffer(512);
  ULONG bytes = static_cast<ULONG>(buffer.size());
  CONFIGRET result = api.GetLocationPaths(device, buffer.data(), &bytes);
  if (result == CR_BUFFER_SMALL && bytes > buffer.size()) {
    buffer.resize(bytes);
    result = api.GetLocationPaths(device, buffer.data(), &bytes);
  }
  if (result != CR_SUCCESS) return std::nullopt;
  std::string first(buffer.data(), strnlen(buffer.data(), std::min<std::size_t>(bytes, buffer.size())));
  if (first.empty()) return std::nullopt;
  return first;
}

HidError ErrorOf(DWORD code) { return {FaultOfWin32Error(code), static_cast<int>(code)}; }

// One overlapped transfer on `file`, waited for at most `timeoutMs`. Whatever
// happens, no transfer is left running on return: a late one is cancelled and
// its end awaited, since it writes into `overlapped` and the caller's buffer.
enum class Transfer { kDone, kTimeout, kFailed };

Transfer Finish(Win32HidApi& api, HANDLE file, OVERLAPPED& overlapped, BOOL started,
                DWORD timeoutMs) {
  if (!started && api.GetLastError() != ERROR_IO_PENDING) return Transfer::kFailed;
  const DWORD waited = api.WaitForSingleObject(overlapped.hEvent, timeoutMs);
  DWORD bytes = 0;
  if (waited == WAIT_OBJECT_0) {
    return api.GetOverlappedResult(file, &overlapped, &bytes, FALSE) ? Transfer::kDone
                                                                     : Transfer::kFailed;
  }
  api.CancelIo(file);
  // A transfer that ended between the wait and the cancellation still counts.
  const bool doneAnyway = api.GetOverlappedResult(file, &overlapped, &bytes, TRUE) != FALSE;
  if (doneAnyway) return Transfer::kDone;
  return waited == WAIT_TIMEOUT ? Transfer::kTimeout : Transfer::kFailed;
}

class Win32HidDevice final : public HidDevice {
 public:
  Win32HidDevice(Win32HidApi& api, Handle device, Handle reader)
      : api_(api),
        device_(std::move(device)),
        reader_(std::move(reader)),
        writeEvent_(api, api.CreateEventA()),
        readEvent_(api, api.CreateEventA()) {}

  std::optional<HidAttributes> Attributes() override {
    return ReadAttributes(api_, device_.get());
  }

  std::optional<ReportLengths> Capabilities() override {
    if (!caps_) {
      HIDP_CAPS caps{};
      if (!api_.GetCaps(device_.get(), &caps)) return std::nullopt;
      caps_ = caps;
    }
    return ReportLengths{caps_->InputReportByteLength, caps_->OutputReportByteLength};
  }

  bool WriteReport(std::span<const std::uint8_t> report) override {
    // The HID class driver takes exactly OutputReportByteLength bytes, report
    // ID first: a shorter report goes out zero-filled to that length.
    const std::optional<ReportLengths> lengths = Capabilities();
    if (!lengths || report.empty() || report.size() > lengths->output || !writeEvent_.valid()) {
      return false;
    }
    output_.assign(lengths->output, 0);
    std::copy(report.begin(), report.end(), output_.begin());
    // Written through an overlapped handle with a bounded wait: a synchronous
    // WriteFile to a controller that has stopped taking reports never returns
    // and would freeze the dialog. A write still pending after
    // kWriteTimeoutMs is cancelled and counts as failed.
    OVERLAPPED overlapped{};
    overlapped.hEvent = writeEvent_.get();
    api_.ResetEvent(overlapped.hEvent);
    const BOOL started = api_.WriteFile(device_.get(), output_.data(),
                                        static_cast<DWORD>(output_.size()), &overlapped);
    if (Finish(api_, device_.get(), overlapped, started, kWriteTimeoutMs) == Transfer::kDone) {
      return true;
    }
    error_ = ErrorOf(api_.GetLastError());
    return false;
  }

  ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override {
    // Windows delivers the report ID as byte 0 for numbered and unnumbered
    // reports alike (0 for unnumbered), into a buffer of at least
    // InputReportByteLength bytes.
    const std::optional<ReportLengths> lengths = Capabilities();
    if (!lengths || report.empty() || !reader_.valid() || !readEvent_.valid()) {
      return ReadOutcome::kFailed;
    }
    input_.assign(std::max<std::size_t>(lengths->input, report.size()), 0);
    std::copy(report.begin(), report.end(), input_.begin());
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_.get();
    api_.ResetEvent(overlapped.hEvent);
    const BOOL started = api_.ReadFile(reader_.get(), input_.data(),
                                       static_cast<DWORD>(lengths->input), &overlapped);
    switch (Finish(api_, reader_.get(), overlapped, started,
                   static_cast<DWORD>(std::max(timeoutMs, 0)))) {
      case Transfer::kDone:
        std::copy_n(input_.begin(), report.size(), report.begin());
        return ReadOutcome::kReport;
      case Transfer::kTimeout:
        return ReadOutcome::kTimeout;
      case Transfer::kFailed:
        break;
    }
    error_ = ErrorOf(api_.GetLastError());
    return ReadOutcome::kFailed;
  }

  HidError LastError() const override { return error_; }

 private:
  Win32HidApi& api_;
  Handle device_;  // queries and writes
  Handle reader_;  // reads
  Handle writeEvent_;
  Handle readEvent_;
  std::optional<HIDP_CAPS> caps_;
  std::vector<std::uint8_t> input_;
  std::vector<std::uint8_t> output_;
  HidError error_;
};

}  // namespace

HidFault FaultOfWin32Error(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:       // Windows keeps the device (keyboards, mice)
    case ERROR_SHARING_VIOLATION:   // another program holds it without sharing
      return HidFault::kAccessDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return HidFault::kAbsent;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
      return HidFault::kGone;
    default:
      return HidFault::kOther;
  }
}

Win32HidApi& SystemWin32HidApi() {
  static SystemHidApi api;
  return api;
}

Win32HidPlatform::Win32HidPlatform(Win32HidApi& api) : api_(api) {}

std::vector<std::string> Win32HidPlatform::Enumerate() {
  // Held for the whole enumeration: an older list stored after a newer one
  // would refuse the paths of devices that have just arrived.
  const std::lock_guard lock(mutex_);
  enumerated_.clear();
  instances_.clear();
  GUID hidGuid{};
  api_.GetHidGuid(&hidGuid);
  const HDEVINFO set = api_.GetClassDevs(&hidGuid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return {};
  for (DWORD index = 0;; ++index) {
    // The records' sizes differ between 32-bit and 64-bit Windows; SetupAPI
    // refuses a record whose cbSize is not its own architecture's.
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!api_.EnumDeviceInterfaces(set, &hidGuid, index, &interfaceData)) break;
    DWORD required = 0;
    api_.GetDeviceInterfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    // Aligned storage for the record; cbSize is that of its fixed part (5 on
    // 32-bit Windows, 8 on 64-bit), not of the whole buffer.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!api_.GetDeviceInterfaceDetail(set, &interfaceData, detail, required, nullptr, &device)) {
      continue;
    }
    const std::size_t pathRoom = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    std::string path(detail->DevicePath, strnlen(detail->DevicePath, pathRoom));
    if (path.empty()) continue;
    if (std::find(enumerated_.begin(), enumerated_.end(), path) == enumerated_.end()) {
      instances_[path] = device.DevInst;
      enumerated_.push_back(std::move(path));
    }
  }
  api_.DestroyDeviceInfoList(set);
  return enumerated_;
}

bool Win32HidPlatform::Listed(const std::string& path) {
  const std::lock_guard lock(mutex_);
  return std::find(enumerated_.begin(), enumerated_.end(), path) != enumerated_.end();
}

HidPlatform::Opened Win32HidPlatform::Open(const std::string& path) {
  if (!Listed(path)) return {nullptr, {HidFault::kAbsent, 0}};
  Handle device(api_, api_.CreateFileA(path.c_str(), kReadWrite, FILE_FLAG_OVERLAPPED));
  if (!device.valid()) return {nullptr, ErrorOf(api_.GetLastError())};
  // The second handle, for the reads, so that a read pending on it never
  // stands in the way of a write or a query on the first.
  Handle reader(api_, api_.CreateFileA(path.c_str(), kReadWrite, FILE_FLAG_OVERLAPPED));
  return {std::make_unique<Win32HidDevice>(api_, std::move(device), std::move(reader)), {}};
}

std::optional<HidAttributes> Win32HidPlatform::Identify(const std::string& path) {
  if (!Listed(path)) return std::nullopt;
  Handle query(api_, api_.CreateFileA(path.c_str(), 0, 0));
  return query.valid() ? ReadAttributes(api_, query.get()) : std::nullopt;
}

std::string Win32HidPlatform::Port(const std::string& path) {
  DEVINST at = 0;
  {
    const std::lock_guard lock(mutex_);
    const auto listed = instances_.find(path);
    if (listed == instances_.end()) return path;
    at = listed->second;
  }
  // The configuration manager needs no lock of ours. Under Wine it fails:
  // the path stands in.
  for (int up = 0; up < 2 && api_.GetParent(&at, at) == CR_SUCCESS; ++up) {
    if (std::optional<std::string> location = FirstLocationPath(api_, at)) return *location;
  }
  return path;
}

void Win32HidPlatform::Pause(int milliseconds) {
  api_.Sleep(static_cast<DWORD>(std::max(milliseconds, 0)));
}

}  // namespace lumbra::link
