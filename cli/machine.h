// What lumbra-cli needs of the system it runs on: its HID platform, the
// console, the timer and Ctrl-C. One implementation for POSIX, one for Windows.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "link/hid_platform.h"

namespace lumbra::cli {

// Ctrl-C and SIGTERM, counted. Controller threads stop after their current
// step at the first; the handler ends the process at the second.
class StopSignal {
 public:
  int Request() { return requests_.fetch_add(1) + 1; }
  bool Requested() const { return requests_.load() > 0; }

 private:
  std::atomic<int> requests_{0};
};

// The machine's HID devices: hidapi (hidraw) on Linux, SetupAPI and the HID
// library on Windows.
std::unique_ptr<link::HidPlatform> MachinePlatform();

// True when standard output is a terminal that takes cursor movements.
bool StdoutIsTerminal();

// Sleeps as short as the pace asks: Windows' timer ticks every 15.6 ms
// unless asked for 1 ms, as the dialog does. Nothing elsewhere.
void UsePreciseTimer();

// Routes Ctrl-C (and SIGTERM) to `stop`; the second one exits at once with
// kExitInterrupted.
void InstallInterruptHandler(StopSignal& stop);

}  // namespace lumbra::cli
