#include "emulator/virtual/usb_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "emulator/virtual/virtual_device.h"

namespace lumbra::emulator {

int SystemConfigFs::MakeDir(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 ? 0 : errno; }

int SystemConfigFs::RemoveDir(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

// configfs takes an attribute's value in one write.
int SystemConfigFs::Write(const std::string& path, std::string_view value) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const ssize_t n = ::write(fd, value.data(), value.size());
  const int error = n < 0 ? errno : static_cast<std::size_t>(n) == value.size() ? 0 : EIO;
  ::close(fd);
  return error;
}

int SystemConfigFs::Link(const std::string& target, const std::string& path) {
  return ::symlink(target.c_str(), path.c_str()) == 0 ? 0 : errno;
}

int SystemConfigFs::Unlink(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

bool SystemConfigFs::Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> SystemConfigFs::List(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string SystemConfigFs::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

UsbGadget::UsbGadget(ConfigFs& fs, GadgetRoots roots) : fs_(fs), roots_(std::move(roots)) {}

UsbGadget::~UsbGadget() { Remove(); }

namespace {

std::string Hex(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// Empty when `error` is 0, else what failed and why.
std::string Step(int error, const std::string& what) {
  return error == 0 ? std::string() : what + ": " + std::strerror(error);
}

constexpr std::string_view kFunction = "functions/hid.usb0";

}  // namespace

std::string UsbGadget::MakeDir(const std::string& relative) {
  const std::string path = relative.empty() ? path_ : path_ + "/" + relative;
  const int error = fs_.MakeDir(path);
  if (error == 0) made_.push_back({relative});
  if (error == EEXIST && relative.empty()) return "configfs holds a gadget " + path_ + " already";
  if (error == ENOENT && relative == kFunction) {
    return "the kernel has no HID gadget function (modprobe usb_f_hid)";
  }
  return Step(error, "cannot make " + path);
}

std::string UsbGadget::Write(const std::string& relative, std::string_view value) {
  return Step(fs_.Write(path_ + "/" + relative, value), "cannot write " + path_ + "/" + relative);
}

std::string UsbGadget::Create(std::string_view serial, std::string udc) {
  if (!path_.empty()) return "the gadget exists already";
  if (!fs_.Exists(roots_.gadgets)) {
    return "there is no " + roots_.gadgets +
           ": load libcomposite (modprobe libcomposite) and mount configfs"
           " (mount -t configfs none /sys/kernel/config)";
  }
  const std::vector<std::string> udcs = fs_.List(roots_.udcs);
  if (udcs.empty()) {
    return "no USB device controller (UDC) in " + roots_.udcs +
           ": load dummy_hcd for one in software, or use a board with a USB device port";
  }
  if (udc.empty()) udc = udcs.front();
  if (std::find(udcs.begin(), udcs.end(), udc) == udcs.end()) {
    std::string names;
    for (const std::string& name : udcs) names += (names.empty() ? "" : ", ") + name;
    return "no UDC named " + udc + "; there is " + names;
  }
  const std::string path = roots_.gadgets + "/lumbra-" + udc;
  if (fs_.Exists(path)) {
    return "configfs holds a gadget " + path + " already: another lumbra-virtual-controller serves " + udc +
           ", or one was killed before it could remove it";
  }
  udc_ = udc;
  path_ = path;
  std::string error = Build(serial);
  if (!error.empty()) Remove();
  return error;
}

std::string UsbGadget::Build(std::string_view serial) {
  const auto bytes = VirtualReportDescriptor();
  const std::string descriptor(bytes.begin(), bytes.end());
  const std::string function(kFunction);
  const std::size_t space = kVirtualDeviceName.find(' ');
  // Each step runs only while all before it succeeded.
  std::string error;
  const auto step = [&](const std::string& result) { error = result; return error.empty(); };
  const auto write = [&](const std::string& relative, std::string_view value) { return step(Write(relative, value)); };
  const bool built =
      step(MakeDir("")) && write("idVendor", Hex(kVirtualVendorId)) && write("idProduct", Hex(kVirtualProductId)) &&
      write("bcdDevice", Hex(kVirtualVersion)) && write("bcdUSB", "0x0200") && step(MakeDir("strings/0x409")) &&
      // usbhid names the device "manufacturer product": the uhid device's name.
      write("strings/0x409/manufacturer", kVirtualDeviceName.substr(0, space)) &&
      write("strings/0x409/product", kVirtualDeviceName.substr(space + 1)) &&
      write("strings/0x409/serialnumber", serial) && step(MakeDir(function)) &&
      write(function + "/protocol", "0") && write(function + "/subclass", "0") &&
      write(function + "/report_length", "64") && write(function + "/report_desc", descriptor) &&
      step(MakeDir("configs/c.1")) &&
      write("configs/c.1/MaxPower", "100");
  if (!built) return error;
  const std::string link = path_ + "/configs/c.1/hid.usb0";
  if (!step(Step(fs_.Link(path_ + "/" + function, link), "cannot link " + link))) return error;
  made_.push_back({"configs/c.1/hid.usb0", true});
  // A real controller runs at full speed with a 1 ms interval. A HID function
  // that takes an interval gets just that; an older one fixes it at 10 ms for
  // full speed and 1 ms for high speed, so high speed it is.
  if (fs_.Exists(path_ + "/" + function + "/interval")) {
    if (!write(function + "/interval", "1") || !write("max_speed", "full-speed")) return error;
    speedNote_ = "full speed, 1 ms interval";
  } else if (fs_.Exists(path_ + "/max_speed")) {
    if (!write("max_speed", "high-speed")) return error;
    speedNote_ = "high speed, 1 ms interval (this kernel's HID function polls full speed at 10 ms)";
  }
  return Bind();
}

std::string UsbGadget::Bind() {
  const int error = fs_.Write(path_ + "/UDC", udc_);
  if (error == EBUSY) return "the UDC " + udc_ + " is in use by another gadget";
  if (error == 0) bound_ = true;
  return Step(error, "cannot bind the gadget to " + udc_);
}

std::string UsbGadget::Unbind() {
  const int error = fs_.Write(path_ + "/UDC", "\n");
  if (error == 0) bound_ = false;
  return Step(error, "cannot unbind the gadget from " + udc_);
}

void UsbGadget::Remove() {
  if (bound_) Unbind();
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    const std::string path = it->relative.empty() ? path_ : path_ + "/" + it->relative;
    if (it->link) fs_.Unlink(path); else fs_.RemoveDir(path);
  }
  made_.clear();
  path_.clear();
}

std::string UsbGadget::HidgDevice() {
  return path_.empty() ? std::string() : fs_.Read(path_ + "/" + std::string(kFunction) + "/dev");
}

}  // namespace lumbra::emulator
