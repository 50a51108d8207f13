#include <windows.h>
#include <mmsystem.h>

#include <atomic>

#include "cli/machine.h"
#include "cli/options.h"
#include "link/win32_hid_platform.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace lumbra::cli {

struct InterruptRouting::Impl {};

namespace {

std::atomic<StopSignal*> interruptTarget{nullptr};

// Windows ends the process when the handler of a close, logoff or shutdown
// returns, and after about 5 s if it has not.
constexpr auto kClosingGrace = std::chrono::milliseconds(4000);

// Runs on a thread Windows starts for it: ordinary code, which may wait.
BOOL WINAPI OnConsoleControl(DWORD event) {
  StopSignal* stop = interruptTarget.load();
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (stop == nullptr || stop->Request() > 1) ExitProcess(kExitInterrupted);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (stop == nullptr) return FALSE;
      // Each controller stops after its step and writes its record; those
      // still running when the time is nearly up are recorded as they stand.
      if (stop->Request() == 1 && !stop->WaitEnded(kClosingGrace)) stop->Request();
      return TRUE;
    default: return FALSE;
  }
}

HANDLE StdoutConsole(DWORD& mode) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return nullptr;
  return out;
}

}  // namespace

std::unique_ptr<link::HidPlatform> MachinePlatform() {
  return std::make_unique<link::Win32HidPlatform>();
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return StdoutConsole(mode) != nullptr && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void EnableTerminalSequences() {
  // Fails before Windows 10: the plain lines are printed there.
  DWORD mode = 0;
  if (HANDLE out = StdoutConsole(mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(out, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void UsePreciseTimer() {
  // For the process's life; Windows ends the request with the process.
  timeBeginPeriod(1);
}

InterruptRouting::InterruptRouting(StopSignal& stop) : impl_(std::make_unique<Impl>()) {
  interruptTarget = &stop;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptRouting::~InterruptRouting() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  interruptTarget = nullptr;
}

}  // namespace lumbra::cli
