// lumbra-cli's commands: list, flash and watch, on the machine's HID devices,
// on --simulate's emulated controllers, or on a platform a test hands in.
#pragma once

#include <ostream>
#include <span>
#include <string>

#include "cli/machine.h"
#include "link/hid_platform.h"

namespace lumbra::cli {

struct Io {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;  // out is a terminal that takes cursor movements
  int columns = 0;        // the terminal's width; 0: unknown
};

// How often watch looks for controllers plugged in or pulled out.
inline constexpr int kWatchPollMs = 200;

// Runs the command line `args` (without the program name) and returns the
// exit code. `platform`, when not null, stands for the machine's HID devices.
// `stop`'s second request records the controllers still running as
// interrupted; the caller then exits.
int RunCli(std::span<const std::string> args, link::HidPlatform* platform, Io io,
           StopSignal& stop);

}  // namespace lumbra::cli
