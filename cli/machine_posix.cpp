#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "cli/machine.h"
#include "cli/options.h"
#include "link/hidapi_platform.h"

namespace lumbra::cli {

namespace {

StopSignal* interruptTarget = nullptr;

extern "C" void OnInterrupt(int) {
  if (interruptTarget == nullptr || interruptTarget->Request() > 1) _exit(kExitInterrupted);
}

}  // namespace

std::unique_ptr<link::HidPlatform> MachinePlatform() {
  return std::make_unique<link::HidapiPlatform>();
}

bool StdoutIsTerminal() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && term != nullptr && std::string_view(term) != "dumb";
}

void UsePreciseTimer() {}

void InstallInterruptHandler(StopSignal& stop) {
  interruptTarget = &stop;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace lumbra::cli
