#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include "cli/machine.h"
#include "cli/options.h"
#include "link/hidapi_platform.h"

namespace lumbra::cli {

struct InterruptRouting::Impl {
  sigset_t signals;
  std::atomic<bool> leaving{false};
  std::thread thread;
};

std::unique_ptr<link::HidPlatform> MachinePlatform() {
  return std::make_unique<link::HidapiPlatform>();
}

bool StdoutIsTerminal() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && term != nullptr && std::string_view(term) != "dumb";
}

void EnableTerminalSequences() {}

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void UsePreciseTimer() {}

InterruptRouting::InterruptRouting(StopSignal& stop) : impl_(std::make_unique<Impl>()) {
  // Blocked before any other thread starts, so every thread inherits the
  // mask: a signal never cuts into a controller's read (which would look
  // like a failed one), and this thread alone takes them, in ordinary code.
  Impl& impl = *impl_;
  sigemptyset(&impl.signals);
  sigaddset(&impl.signals, SIGINT);
  sigaddset(&impl.signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &impl.signals, nullptr);
  // An ignored signal is dropped, blocked or not; a shell starts background
  // jobs with SIGINT ignored, and timeout -s INT must still reach us.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  impl.thread = std::thread([&impl, &stop] {
    for (;;) {
      int signal = 0;
      if (sigwait(&impl.signals, &signal) != 0) continue;
      if (impl.leaving) return;
      // The second request's action has written the records by now.
      if (stop.Request() >= 2) _exit(kExitInterrupted);
    }
  });
}

InterruptRouting::~InterruptRouting() {
  impl_->leaving = true;
  pthread_kill(impl_->thread.native_handle(), SIGTERM);
  impl_->thread.join();
}

}  // namespace lumbra::cli
