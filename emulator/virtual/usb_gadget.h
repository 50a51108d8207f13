// The virtual controller as a USB device: a HID gadget made through configfs
// (libcomposite and usb_f_hid) and bound to a USB device controller (UDC),
// dummy_hcd's or a board's device port. The host then meets it the way it
// meets real hardware: enumeration, interrupt endpoints, the usbhid driver, a
// port on a hub.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumbra::emulator {

// What the gadget does to configfs. Each call returns 0 or an errno value.
// The tests give it a model of configfs's rules instead of the kernel.
class ConfigFs {
 public:
  virtual ~ConfigFs() = default;
  virtual int MakeDir(const std::string& path) = 0;
  virtual int RemoveDir(const std::string& path) = 0;
  virtual int Write(const std::string& path, std::string_view value) = 0;
  virtual int Link(const std::string& target, const std::string& path) = 0;
  virtual int Unlink(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // The entries of a folder, sorted; none when it cannot be read.
  virtual std::vector<std::string> List(const std::string& folder) = 0;
  // A file's text without its trailing newline; empty when it cannot be read.
  virtual std::string Read(const std::string& path) = 0;
};

// The real file system.
class SystemConfigFs final : public ConfigFs {
 public:
  int MakeDir(const std::string& path) override;
  int RemoveDir(const std::string& path) override;
  int Write(const std::string& path, std::string_view value) override;
  int Link(const std::string& target, const std::string& path) override;
  int Unlink(const std::string& path) override;
  bool Exists(const std::string& path) override;
  std::vector<std::string> List(const std::string& folder) override;
  std::string Read(const std::string& path) override;
};

struct GadgetRoots {
  std::string gadgets = "/sys/kernel/config/usb_gadget";
  std::string udcs = "/sys/class/udc";
};

// One gadget, named "lumbra-" and its UDC's name, so that one program serves
// each UDC. Every call that fails returns the cause in words (empty: done).
// Not thread-safe; one thread owns it.
class UsbGadget {
 public:
  explicit UsbGadget(ConfigFs& fs, GadgetRoots roots = {});
  ~UsbGadget();  // Remove()
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  // Makes the gadget with this serial number and binds it to `udc` (the
  // first UDC when empty). On a failure nothing it made is left behind.
  std::string Create(std::string_view serial, std::string udc = {});
  // Unplug and plug in again: the host sees the device go and come back.
  std::string Unbind();
  std::string Bind();
  // Unbinds it and removes what Create made, newest first, so configfs is
  // left as it was found. Safe to call twice.
  void Remove();

  const std::string& Udc() const { return udc_; }
  const std::string& Path() const { return path_; }  // the gadget's folder
  // The HID function's character device, "major:minor"; empty before Create.
  std::string HidgDevice();
  // How the speed was set, for the program's first line.
  const std::string& SpeedNote() const { return speedNote_; }

 private:
  std::string MakeDir(const std::string& relative);
  std::string Write(const std::string& relative, std::string_view value);
  std::string Build(std::string_view serial);

  ConfigFs& fs_;
  GadgetRoots roots_;
  std::string udc_, path_, speedNote_;
  bool bound_ = false;
  // What Create made, oldest first, relative to the gadget's folder.
  struct Made {
    std::string relative;
    bool link = false;  // else a folder
  };
  std::vector<Made> made_;
};

}  // namespace lumbra::emulator
