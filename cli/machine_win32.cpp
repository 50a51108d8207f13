#include <windows.h>
#include <mmsystem.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>

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

// "...vid_4242&pid_c003..." in a HID device path, in either case.
std::optional<std::uint16_t> HexAfter(const std::string& path, const char* key) {
  std::string lower(path);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find(key);
  if (at == std::string::npos) return std::nullopt;
  unsigned value = 0;
  if (std::sscanf(lower.c_str() + at + std::strlen(key), "%4x", &value) != 1) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::unique_ptr<link::HidPlatform> MachinePlatform() {
  return std::make_unique<link::Win32HidPlatform>();
}

std::optional<link::HidAttributes> IdentifyUnopened(const std::string& path) {
  const std::optional<std::uint16_t> vendor = HexAfter(path, "vid_");
  const std::optional<std::uint16_t> product = HexAfter(path, "pid_");
  if (!vendor || !product) return std::nullopt;
  return link::HidAttributes{*vendor, *product, {}};
}

std::string LastSystemError() {
  return "Windows error " + std::to_string(GetLastError());
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
