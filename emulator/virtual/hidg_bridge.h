// Serves the emulated controller on a HID gadget's /dev/hidgN: each read is
// one output report the host sent on the interrupt OUT endpoint (the data,
// no report ID), each write one input report for the interrupt IN endpoint.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "emulator/virtual/virtual_device.h"

namespace lumbra::emulator {

class HidgBridge {
 public:
  // `fd` is /dev/hidgN opened non-blocking for reading and writing (tests
  // pass a socket that keeps message boundaries); it is not owned.
  HidgBridge(int fd, QuorvexController& controller);

  // Serves the device until `stopFd` becomes readable, the controller asks
  // to be unplugged, or the descriptor fails. Answers the host has not
  // taken wait for it, as many as the controller's queue holds; an
  // unplugged device (the UDC unbound) loses them.
  BridgeStop Run(int stopFd);

  const BridgeCounters& Counters() const { return counters_; }

 private:
  // False when the controller asked to be unplugged.
  bool Receive(const std::uint8_t* data, std::size_t size);
  // Sends what it can; false when the descriptor failed.
  bool Flush();

  int fd_;
  QuorvexController& controller_;
  std::deque<std::vector<std::uint8_t>> pending_;
  BridgeCounters counters_;
};

}  // namespace lumbra::emulator
