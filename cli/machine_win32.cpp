#include <windows.h>
#include <mmsystem.h>


#include "cli/machine.h"
#include "cli/options.h"
#include "link/win32_hid_platform.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace lumbra::cli {

namespace {

StopSignal* interruptTarget = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (interruptTarget == nullptr || interruptTarget->Request() > 1) ExitProcess(kExitInterrupted);
  return TRUE;
}

}  // namespace

std::unique_ptr<link::HidPlatform> MachinePlatform() {
  return std::make_unique<link::Win32HidPlatform>();
}

bool StdoutIsTerminal() {
  // Cursor movements need a console that takes escape sequences (Windows 10
  // and later); elsewhere the plain lines are printed.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void UsePreciseTimer() {
  // For the process's life; Windows ends the request with the process.
  timeBeginPeriod(1);
}

void InstallInterruptHandler(StopSignal& stop) {
  interruptTarget = &stop;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace lumbra::cli
