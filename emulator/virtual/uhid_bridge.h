// Presents an emulated controller to the kernel through /dev/uhid: the kernel
// sees a USB HID device with the controller's identifiers and gives it a
// hidraw node; every output report written there reaches the controller's
// logic, and its answers go back as input reports. The tool (and hidapi)
// cannot tell it from real hardware.
#pragma once

#include <linux/uhid.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "emulator/virtual/virtual_device.h"
#include "link/hid_link.h"

namespace lumbra::emulator {

// The UHID_CREATE2 request that plugs the virtual controller in, with this
// serial number.
uhid_event MakeCreateEvent(std::string_view serial);

class UhidBridge {
 public:
  // `fd` is /dev/uhid opened for reading and writing (tests pass a socket
  // that keeps message boundaries); it is not owned.
  UhidBridge(int fd, QuorvexController& controller);
  ~UhidBridge();
  UhidBridge(const UhidBridge&) = delete;
  UhidBridge& operator=(const UhidBridge&) = delete;

  // Plugs the device in. False when the kernel refused it.
  bool Create(std::string_view serial = link::kVirtualSerialNumber);
  // Unplugs it; the hidraw node goes away. Safe to call twice.
  void Destroy();
  bool Created() const { return created_; }

  // Serves the device until `stopFd` becomes readable, the controller asks
  // to be unplugged, or the uhid descriptor fails; the device is destroyed
  // before it returns.
  BridgeStop Run(int stopFd);

  // Acts on one event from the kernel. Returns false when the controller
  // asked to be unplugged after it, or an answer could not be sent.
  bool Handle(const uhid_event& event);

  // The kernel started the device (a driver bound to it) / somebody holds it open.
  bool Started() const { return started_; }
  bool Opened() const { return opened_; }
  const BridgeCounters& Counters() const { return counters_; }
  bool UnplugRequested() const { return unplugRequested_; }

 private:
  bool HandleOutput(const uhid_event& event);
  bool SendQueuedReports();
  bool Write(const uhid_event& event);

  int fd_;
  QuorvexController& controller_;
  bool created_ = false;
  bool started_ = false;
  bool opened_ = false;
  bool unplugRequested_ = false;
  bool failed_ = false;
  BridgeCounters counters_;
};

}  // namespace lumbra::emulator
