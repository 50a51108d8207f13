#include "link/hidapi_platform.h"

#include <fcntl.h>
#include <hidapi.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <thread>
#include <utility>

#include "link/report_descriptor.h"

namespace lumbra::link {

// hid_init on construction, hid_exit when the platform and every device it
// opened are gone. One platform per process.
class HidapiLibrary {
 public:
  HidapiLibrary() : ready_(hid_init() == 0) {}
  ~HidapiLibrary() {
    if (ready_) hid_exit();
  }
  HidapiLibrary(const HidapiLibrary&) = delete;
  HidapiLibrary& operator=(const HidapiLibrary&) = delete;

  bool Ready() const { return ready_; }

 private:
  bool ready_;
};

std::optional<std::string> SysfsDescriptorPath(std::string_view devicePath) {
  constexpr std::string_view kNodePrefix = "/dev/hidraw";
  if (!devicePath.starts_with(kNodePrefix)) return std::nullopt;
  const std::string_view number = devicePath.substr(kNodePrefix.size());
  if (number.empty() ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::string path = "/sys/class/hidraw/hidraw";
  path += number;
  path += "/device/report_descriptor";
  return path;
}

namespace {

// A USB device's directory, not an interface's ("1-1.2:1.0") nor a root
// hub's ("usb1").
bool IsUsbPortName(std::string_view name) {
  std::size_t at = 0;
  const auto digits = [&] {
    const std::size_t from = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') ++at;
    return at > from;
  };
  if (!digits() || at == name.size() || name[at++] != '-' || !digits()) return false;
  while (at < name.size()) {
    if (name[at++] != '.' || !digits()) return false;
  }
  return true;
}

}  // namespace

std::string UsbPortOfNode(const std::filesystem::path& sysfsRoot, const std::string& devicePath) {
  const std::optional<std::string> descriptor = SysfsDescriptorPath(devicePath);
  if (!descriptor) return devicePath;
  // "/sys/class/hidraw/hidrawN/device/report_descriptor" -> "class/hidraw/hidrawN/device"
  const std::filesystem::path device =
      std::filesystem::path(*descriptor).parent_path().lexically_relative("/sys");
  std::error_code error;
  const std::filesystem::path root = std::filesystem::canonical(sysfsRoot, error);
  if (error) return devicePath;
  std::filesystem::path at = std::filesystem::canonical(root / device, error);
  if (error) return devicePath;
  // Never above the root: a test's tree lies in a folder whose names are not sysfs'.
  for (; at != root && at.has_relative_path(); at = at.parent_path()) {
    const std::string name = at.filename().string();
    if (IsUsbPortName(name)) return name;
  }
  return devicePath;
}

HidFault FaultOfErrno(int code) {
  switch (code) {
    case EACCES:  // the node's mode or owner (no udev rule)
    case EPERM:   // a device cgroup, a security module
      return HidFault::kAccessDenied;
    case ENOENT:
      return HidFault::kAbsent;
    case ENODEV:
    case ENXIO:
      return HidFault::kGone;
    default:
      return HidFault::kOther;
  }
}

namespace {

// The sysfs copy is readable without access to the node itself.
std::vector<std::uint8_t> ReadDescriptorFromSysfs(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  // One byte more than a descriptor may have, to tell a full one from a cut one.
  std::vector<std::uint8_t> bytes(HID_MAX_DESCRIPTOR_SIZE + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad() || static_cast<std::size_t>(in.gcount()) == bytes.size()) return {};
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// The same bytes from the node, for systems that hide sysfs (sandboxes).
std::vector<std::uint8_t> ReadDescriptorFromNode(const std::string& devicePath) {
  const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::vector<std::uint8_t> bytes;
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<std::uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) == 0) {
      bytes.assign(descriptor.value, descriptor.value + size);
    }
  }
  ::close(fd);
  return bytes;
}

std::optional<ReportLayout> ReadReportLayout(const std::string& devicePath) {
  const std::optional<std::string> file = SysfsDescriptorPath(devicePath);
  if (!file) return std::nullopt;
  std::vector<std::uint8_t> descriptor = ReadDescriptorFromSysfs(*file);
  if (descriptor.empty()) descriptor = ReadDescriptorFromNode(devicePath);
  if (descriptor.empty()) return std::nullopt;
  return ParseReportDescriptor(descriptor);
}

class HidapiDevice final : public HidDevice {
 public:
  HidapiDevice(std::shared_ptr<HidapiLibrary> library, hid_device* handle, std::string path)
      : library_(std::move(library)), handle_(handle), path_(std::move(path)) {}
  ~HidapiDevice() override { hid_close(handle_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  std::optional<HidAttributes> Attributes() override {
    // Owned by the handle; not to be freed.
    const hid_device_info* info = hid_get_device_info(handle_);
    if (info == nullptr) return std::nullopt;
    return HidAttributes{info->vendor_id, info->product_id, AsciiDeviceString(info->serial_number)};
  }

  std::optional<ReportLengths> Capabilities() override {
    const std::optional<ReportLayout>& layout = Layout();
    if (!layout) return std::nullopt;
    return layout->lengths;
  }

  bool WriteReport(std::span<const std::uint8_t> report) override {
    // hidraw takes the report ID as byte 0 for numbered and unnumbered
    // reports alike, and sends exactly what it is given.
    if (report.empty()) return Failed(0);
    errno = 0;
    const int written = hid_write(handle_, report.data(), report.size());
    return (written >= 0 && static_cast<std::size_t>(written) == report.size()) || Failed(errno);
  }

  ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) override {
    const std::optional<ReportLayout>& layout = Layout();
    error_ = {};
    if (!layout || report.empty()) return ReadOutcome::kFailed;
    // hidraw delivers the ID byte only with numbered reports; otherwise the
    // data alone, which belongs behind the caller's ID byte.
    const std::span<std::uint8_t> target = layout->numbered ? report : report.subspan(1);
    if (target.empty()) return ReadOutcome::kFailed;
    errno = 0;
    const int got = hid_read_timeout(handle_, target.data(), target.size(), timeoutMs);
    if (got < 0) {
      // hidapi fails a read without an errno when poll says the node hung up,
      // which is how hidraw tells an unplug.
      error_ = errno == 0 ? HidError{HidFault::kGone, 0} : HidError{FaultOfErrno(errno), errno};
      return ReadOutcome::kFailed;
    }
    if (got == 0) return ReadOutcome::kTimeout;
    return ReadOutcome::kReport;
  }

  HidError LastError() const override { return error_; }

 private:
  bool Failed(int code) {
    error_ = {FaultOfErrno(code), code};
    return false;
  }

  // Read once per opening; a foreign device that is only identified never
  // has its descriptor read.
  const std::optional<ReportLayout>& Layout() {
    if (!layoutRead_) {
      layout_ = ReadReportLayout(path_);
      layoutRead_ = true;
    }
    return layout_;
  }

  std::shared_ptr<HidapiLibrary> library_;
  hid_device* handle_;
  std::string path_;
  bool layoutRead_ = false;
  std::optional<ReportLayout> layout_;
  HidError error_;
};

}  // namespace

HidapiPlatform::HidapiPlatform() : library_(std::make_shared<HidapiLibrary>()) {}

HidapiPlatform::~HidapiPlatform() = default;

std::vector<std::string> HidapiPlatform::Enumerate() {
  const std::lock_guard lock(mutex_);
  enumerated_.clear();
  if (!library_->Ready()) return {};
  std::vector<std::string> paths;
  // hidapi reads the identifiers and the serial number from udev, without
  // opening the node.
  hid_device_info* devices = hid_enumerate(0, 0);
  for (const hid_device_info* d = devices; d != nullptr; d = d->next) {
    if (d->path == nullptr || Find(d->path) != nullptr) continue;
    enumerated_.push_back(
        {d->path, {d->vendor_id, d->product_id, AsciiDeviceString(d->serial_number)}});
    paths.push_back(d->path);
  }
  hid_free_enumeration(devices);
  return paths;
}

const HidapiPlatform::Listed* HidapiPlatform::Find(const std::string& path) const {
  const auto listed = std::find_if(enumerated_.begin(), enumerated_.end(),
                                   [&](const Listed& l) { return l.path == path; });
  return listed == enumerated_.end() ? nullptr : &*listed;
}

std::optional<HidAttributes> HidapiPlatform::Identify(const std::string& path) {
  const std::lock_guard lock(mutex_);
  const Listed* listed = Find(path);
  if (listed == nullptr) return std::nullopt;
  return listed->attributes;
}

HidPlatform::Opened HidapiPlatform::Open(const std::string& path) {
  const std::lock_guard lock(mutex_);
  // hid_open_path of hidapi 0.13 crashes on a path that is not a hidraw node,
  // so only nodes hidapi itself listed are handed to it.
  if (Find(path) == nullptr) return {nullptr, {HidFault::kAbsent, 0}};
  errno = 0;
  hid_device* handle = hid_open_path(path.c_str());
  if (handle == nullptr) {
    // open(2)'s errno survives hid_open_path only because what runs after it
    // (formatting the error text, freeing memory) happens not to set errno;
    // when it says nothing useful, the node's access is asked directly.
    int code = errno;
    if (FaultOfErrno(code) == HidFault::kOther &&
        ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
      code = errno;
    }
    return {nullptr, {FaultOfErrno(code), code}};
  }
  return {std::make_unique<HidapiDevice>(library_, handle, path), {}};
}

std::string HidapiPlatform::Port(const std::string& path) { return UsbPortOfNode("/sys", path); }

void HidapiPlatform::Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace lumbra::link
