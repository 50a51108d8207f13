#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

std::optional<link::HidAttributes> IdentifyUnopened(const std::string& path) {
  // "/dev/hidrawN": the HID device's uevent holds HID_ID=bus:vendor:product
  // and HID_UNIQ=serial number, readable by every user.
  constexpr std::string_view kNode = "/dev/hidraw";
  if (!path.starts_with(kNode)) return std::nullopt;
  std::ifstream uevent("/sys/class/hidraw/hidraw" + path.substr(kNode.size()) + "/device/uevent");
  std::optional<link::HidAttributes> attributes;
  std::string line;
  while (std::getline(uevent, line)) {
    unsigned bus = 0, vendor = 0, product = 0;
    if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
      if (!attributes) attributes.emplace();
      attributes->vendorId = static_cast<std::uint16_t>(vendor);
      attributes->productId = static_cast<std::uint16_t>(product);
    } else if (line.starts_with("HID_UNIQ=")) {
      if (!attributes) attributes.emplace();
      attributes->serialNumber = line.substr(9);
    }
  }
  return attributes;
}

std::string LastSystemError() {
  const int code = errno;
  return "errno " + std::to_string(code) + " (" + std::strerror(code) + ")";
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
