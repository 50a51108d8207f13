// The Win32 dialog from the resources linked in, on the emulated controller, under
// Xvfb. Most tests tick faster than real time: each step posts the next WM_TIMER.
#include "win32/firmware_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/emulated_hid_platform.h"
#include "transfer/messages.h"
#include "demo/win32/message_boxes.h"
#include "win32/resource.h"

namespace lumbra::win32 {
namespace {

std::string TextOf(HWND window) {
  char text[4096] = {};
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

std::string FieldText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

// One modal run of the dialog. `drive` sees the dialog after every step and,
// from a thread timer, whenever the thread is idle (under a box a step opened).
class DialogRun {
 public:
  explicit DialogRun(bool fastTicks = true, emulator::DeviceSpec spec = {}) : fastTicks_(fastTicks) {
    platform.AddController({}, spec);
  }

  void Run(std::function<void(HWND)> drive, bool pressDownload = true) {
    drive_ = std::move(drive);
    WindowOptions options;
    options.tickPeriodMs = fastTicks_ ? 0 : transfer::kTickPeriodMs;
    options.onInit = [this, pressDownload](HWND dialog) {
      dialog_ = dialog;
      if (fastTicks_) PostMessageA(dialog, WM_TIMER, kTickTimerId, 0);
      if (pressDownload) PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0);
    };
    options.afterStep = [this](HWND dialog) {
      if (Box()) ++stepsUnderBox;
      Drive();
      if (fastTicks_) PostMessageA(dialog, WM_TIMER, kTickTimerId, 0);
    };
    window_ = std::make_unique<FirmwareWindow>(platform, options);
    current_ = this;
    const UINT_PTR idle = SetTimer(nullptr, 0, 10, &Idle);
    window_->Run(GetModuleHandleA(nullptr));
    KillTimer(nullptr, idle);
  }

  const transfer::TransferState& State() const { return window_->Controller().State(); }
  HWND Box() const { return dialog_ != nullptr ? FindMessageBox(dialog_) : nullptr; }
  // Answers the open box, captioned with the program's name, and records its text.
  void Dismiss() {
    EXPECT_EQ(TextOf(Box()), "test_win32_dialog");
    boxes.push_back(MessageBoxText(Box()));
    DismissMessageBox(Box());
  }
  void Close() { PostMessageA(dialog_, WM_CLOSE, 0, 0); }

  emulator::EmulatedHidPlatform platform;
  int stepsUnderBox = 0;
  std::vector<std::string> boxes;

 private:
  static void CALLBACK Idle(HWND, UINT, UINT_PTR, DWORD) { current_->Drive(); }
  void Drive() { if (dialog_ != nullptr) drive_(dialog_); }

  static inline DialogRun* current_ = nullptr;
  bool fastTicks_;
  HWND dialog_ = nullptr;
  std::unique_ptr<FirmwareWindow> window_;
  std::function<void(HWND)> drive_;
};

// The dialog as template 130 lays it out, nothing opened or sent yet; then presses
// the button. The controls in window (tab) order, their rectangles in dialog units.
void CheckTemplate(HWND dialog, DialogRun& run) {
  const struct {
    int id;
    const char* text;
    RECT units;
  } controls[] = {
      {IDC_DOWNLOAD_PERCENT, "", {280, 34, 35, 14}},
      {IDC_DOWNLOAD_BUTTON, "Download Firmware", {30, 30, 73, 14}},
      {0xFFFF, "Progress", {280, 25, 28, 8}}, {0xFFFF, "Download", {15, 10, 315, 45}},
      {IDC_STATUS, "", {15, 175, 315, 14}},   {0xFFFF, "Verify", {15, 60, 315, 80}},
      {IDC_ERRORS, "", {30, 70, 235, 60}},    {IDC_VERIFY_PERCENT, "", {280, 80, 35, 14}},
      {0xFFFF, "Progress", {280, 70, 28, 8}},
  };
  EXPECT_EQ(TextOf(dialog), transfer::kDialogTitle);
  RECT client{}, size{0, 0, 347, 201};
  GetClientRect(dialog, &client);
  MapDialogRect(dialog, &size);
  EXPECT_TRUE(EqualRect(&client, &size)) << client.right << "x" << client.bottom;
  HWND control = GetWindow(dialog, GW_CHILD);
  for (const auto& expected : controls) {
    ASSERT_NE(control, nullptr);
    SCOPED_TRACE(expected.text);
    EXPECT_EQ(GetDlgCtrlID(control), expected.id);  // 65535, not -1, for those without one
    EXPECT_EQ(TextOf(control), expected.text);
    const bool field = expected.text[0] == '\0' && expected.id != 0xFFFF;
    EXPECT_EQ((GetWindowLongA(control, GWL_STYLE) & ES_READONLY) != 0, field) << "read-only";
    // Position and size are converted each on its own, as the dialog manager does it.
    RECT want = expected.units, got{};
    MapDialogRect(dialog, &want);
    want.right += want.left;
    want.bottom += want.top;
    GetWindowRect(control, &got);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_TRUE(EqualRect(&got, &want)) << got.left << "," << got.top << " " << got.right;
    control = GetWindow(control, GW_HWNDNEXT);
  }
  EXPECT_EQ(control, nullptr) << "more controls than the template has";
  EXPECT_EQ(run.platform.Counters(0).opens + run.platform.Counters(0).writes, 0u)
      << "opened or sent before the button was pressed";
  PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0);
}

// The template; then, on the real 25 ms timer and a controller Windows keeps locked,
// the handshake step opens Windows' access-denied box, and ticks go on arriving under it.
TEST(FirmwareWindowTest, OpensAsTheTemplateSaysAndTicksGoOnUnderABox) {
  DialogRun run(/*fastTicks=*/false, {.opens = false});
  bool checked = false;
  using Clock = std::chrono::steady_clock;
  Clock::time_point opened;
  run.Run([&](HWND dialog) {
    if (!std::exchange(checked, true)) CheckTemplate(dialog, run);
    if (!run.Box()) return;
    if (opened == Clock::time_point{}) opened = Clock::now();
    if (Clock::now() - opened < std::chrono::milliseconds(400)) return;
    EXPECT_EQ(FieldText(dialog, IDC_STATUS), "Quorvex detected, access denied");
    run.Dismiss();
    run.Close();
  }, /*pressDownload=*/false);
  // One box: a tick under it did not run the handshake again.
  EXPECT_EQ(run.boxes, std::vector<std::string>{"Quorvex detected, but it cannot be opened.\n"
                                                "Close any other program that uses it, then plug "
                                                "it in again."});
  // About 16 periods passed under the box; each ran one (idle) step.
  EXPECT_GE(run.stepsUnderBox, 8);
}


// The button reaches the first sector; the close guard's box, under which steps go
// on (what they do there is the transfer tests'); the whole cycle ends, the status
// and both percentages shown in their controls.
TEST(FirmwareWindowTest, WholeDownloadAndVerificationPastTheCloseGuard) {
  DialogRun run;
  enum { kPressed, kGuarded, kRunning } phase = kPressed;
  run.Run([&](HWND dialog) {
    if (phase == kPressed && run.State().downloadStep == transfer::DownloadStep::kSendData) {
      EXPECT_EQ(FieldText(dialog, IDC_STATUS), transfer::kDownloadingSector);
      // Enter does nothing; Escape goes through the guard.
      SendMessageA(dialog, WM_COMMAND, IDOK, 0);
      PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
      phase = kGuarded;
    } else if (phase == kGuarded && run.Box() && run.stepsUnderBox >= 20) {
      run.Dismiss();
      phase = kRunning;
    } else if (phase == kRunning && run.Box()) {
      EXPECT_EQ(FieldText(dialog, IDC_STATUS), transfer::kVerifyFinished);
      EXPECT_EQ(FieldText(dialog, IDC_DOWNLOAD_PERCENT), transfer::kPercentComplete);
      EXPECT_EQ(FieldText(dialog, IDC_VERIFY_PERCENT), transfer::kPercentComplete);
      run.Dismiss();
      run.Close();
    }
  });
  EXPECT_EQ(run.boxes, (std::vector<std::string>{std::string(transfer::kCloseRefusedBox),
                                                 std::string(transfer::kVerifyFinishedBox)}));
}

}  // namespace
}  // namespace lumbra::win32
