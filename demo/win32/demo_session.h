// lumbra-demo's controller on Windows, as on Linux: an emulated Quorvex, fresh
// from the factory (flash erased except its boot code), in the same process,
// so the dialog can be watched through a whole download and verification
// without hardware. Also the demo's unattended mode, which times the whole
// cycle at the real pace.
#pragma once

#include <chrono>
#include <string>

#include "emulator/emulated_hid_platform.h"
#include "win32/firmware_window.h"

namespace lumbra::win32 {

struct DemoOptions {
  bool autostart = false;   // press Download Firmware once the dialog is up
  bool closeAtEnd = false;  // at the first message box: dismiss it and close the dialog
  std::string measureFile;  // write the time from the press to that box there
};

// LUMBRA_DEMO_AUTOSTART=1 and LUMBRA_DEMO_MEASURE=<file>; measuring implies
// autostart and closing at the end. Only lumbra-demo reads these.
DemoOptions DemoOptionsFromEnvironment();

class DemoSession {
 public:
  DemoSession();
  ~DemoSession();
  DemoSession(const DemoSession&) = delete;
  DemoSession& operator=(const DemoSession&) = delete;

  emulator::EmulatedHidPlatform& Platform() { return platform_; }
  const emulator::QuorvexController& Controller() const { return *controller_; }

  // The window options that carry out `options`. One session per process.
  WindowOptions Prepare(const DemoOptions& options);

  bool Ended() const { return ended_; }
  const std::string& FinalBoxText() const { return finalBoxText_; }
  // From the press to the first message box.
  double Seconds() const { return std::chrono::duration<double>(end_ - start_).count(); }

 private:
  static void CALLBACK Watch(HWND, UINT, UINT_PTR, DWORD);
  void Check();
  void Report() const;

  emulator::EmulatedHidPlatform platform_;
  emulator::QuorvexController* controller_ = nullptr;
  DemoOptions options_;
  HWND dialog_ = nullptr;
  UINT_PTR watchTimer_ = 0;
  bool ended_ = false;
  std::string finalBoxText_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point end_;
};

}  // namespace lumbra::win32
