// lumbra-cli: the firmware download and verification of lumbra on the
// command line, for benches and production lines.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/machine.h"

int main(int argc, char* argv[]) {
  using namespace lumbra::cli;
  static StopSignal stop;
  InstallInterruptHandler(stop);
  UsePreciseTimer();
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunCli(args, nullptr, Io{std::cout, std::cerr, StdoutIsTerminal()}, stop);
}
