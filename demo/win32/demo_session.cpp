#include "demo/win32/demo_session.h"

#include <cstdio>
#include <cstdlib>

#include "demo/win32/message_boxes.h"
#include "win32/resource.h"

namespace lumbra::win32 {

namespace {

constexpr UINT kWatchPeriodMs = 5;
// The pace of the whole cycle without resends: 4,227 download ticks and
// 8,194 verify ticks of 25 ms.
constexpr int kCycleTicks = 4227 + 8194;

DemoSession* watching = nullptr;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

DemoOptions DemoOptionsFromEnvironment() {
  DemoOptions options;
  options.autostart = Environment("LUMBRA_DEMO_AUTOSTART") == "1";
  options.measureFile = Environment("LUMBRA_DEMO_MEASURE");
  if (!options.measureFile.empty()) {
    options.autostart = true;
    options.closeAtEnd = true;
  }
  return options;
}

DemoSession::DemoSession() : controller_(&platform_.AddController()) {}

DemoSession::~DemoSession() {
  if (watchTimer_ != 0) KillTimer(nullptr, watchTimer_);
  if (watching == this) watching = nullptr;
}

WindowOptions DemoSession::Prepare(const DemoOptions& options) {
  options_ = options;
  WindowOptions window;
  window.onInit = [this](HWND dialog) {
    dialog_ = dialog;
    if (options_.autostart) {
      // Once the dialog's loop runs, as if the user had pressed the button.
      PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0);
      start_ = std::chrono::steady_clock::now();
    }
    if (options_.closeAtEnd) {
      // A thread timer: it keeps running inside the message boxes' loops.
      watching = this;
      watchTimer_ = SetTimer(nullptr, 0, kWatchPeriodMs, &DemoSession::Watch);
    }
  };
  return window;
}

void CALLBACK DemoSession::Watch(HWND, UINT, UINT_PTR, DWORD) {
  if (watching != nullptr) watching->Check();
}

void DemoSession::Check() {
  if (ended_ || dialog_ == nullptr) return;
  const HWND box = FindMessageBox(dialog_);
  if (box == nullptr) return;
  end_ = std::chrono::steady_clock::now();
  ended_ = true;
  finalBoxText_ = MessageBoxText(box);
  Report();
  DismissMessageBox(box);
  // After the box's loop has returned.
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

void DemoSession::Report() const {
  if (options_.measureFile.empty()) return;
  std::FILE* out = std::fopen(options_.measureFile.c_str(), "w");
  if (out == nullptr) return;
  std::fprintf(out, "final box: %s\n", finalBoxText_.c_str());
  std::fprintf(out, "whole cycle: %.3f s; %d ticks of %d ms: %.3f s\n", Seconds(), kCycleTicks,
               transfer::kTickPeriodMs, kCycleTicks * transfer::kTickPeriodMs / 1000.0);
  std::fclose(out);
}

}  // namespace lumbra::win32
