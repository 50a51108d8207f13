// lumbra-cli: the firmware download and verification of lumbra on the
// command line, for benches and production lines.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/machine.h"
#include "cli/options.h"

int main(int argc, char* argv[]) {
  using namespace lumbra::cli;
  // Static: Windows' console handler may still use it while the process ends.
  static StopSignal stop;
  try {
    InterruptRouting routing(stop);
    EnableTerminalSequences();
    UsePreciseTimer();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int code =
        RunCli(args, nullptr, Io{std::cout, std::cerr, StdoutIsTerminal(), TerminalColumns()}, stop);
    stop.Ended();
    return code;
  } catch (const std::exception& e) {
    std::cerr << "lumbra-cli: internal error: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "lumbra-cli: internal error" << std::endl;
  }
  stop.Ended();
  return kExitSoftware;
}
