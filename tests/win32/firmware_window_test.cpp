// The Win32 dialog, run modally from the resources linked into this test, on
// the emulated controller: the template as laid out by the dialog manager,
// the first state, the button, the close guard, message boxes with ticks
// still arriving, and a whole download and verification. Needs a display
// (Xvfb under Wine). Most tests tick faster than real time: each step posts
// the next WM_TIMER itself.
#include "win32/firmware_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "emulator/emulated_hid_platform.h"
#include "transfer/messages.h"
#include "win32/message_boxes.h"
#include "win32/resource.h"

namespace lumbra::win32 {
namespace {

using transfer::DownloadStep;

std::string TextOf(HWND window) {
  char text[4096] = {};
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

std::string FieldText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

// One modal run of the dialog. `drive` sees the dialog after every step and,
// from a thread timer, whenever the thread is otherwise idle (under a box
// that stopped the ticks, say).
class DialogRun {
 public:
  explicit DialogRun(bool fastTicks = true) : fastTicks_(fastTicks) {}

  void Run(std::function<void(HWND)> drive, std::function<void(HWND)> onInit = {}) {
    drive_ = std::move(drive);
    WindowOptions options;
    options.tickPeriodMs = fastTicks_ ? 0 : transfer::kTickPeriodMs;
    options.onInit = [this, onInit](HWND dialog) {
      dialog_ = dialog;
      if (fastTicks_) PostMessageA(dialog, WM_TIMER, kTickTimerId, 0);
      if (onInit) onInit(dialog);
    };
    options.afterStep = [this](HWND dialog) {
      ++steps;
      if (BoxOpen()) ++stepsUnderBox;
      Drive();
      if (fastTicks_) PostMessageA(dialog, WM_TIMER, kTickTimerId, 0);
    };
    window_ = std::make_unique<FirmwareWindow>(platform, options);
    current_ = this;
    const UINT_PTR idle = SetTimer(nullptr, 0, 10, &Idle);
    window_->Run(GetModuleHandleA(nullptr));
    KillTimer(nullptr, idle);
    current_ = nullptr;
  }

  const transfer::TransferState& State() const { return window_->Controller().State(); }
  HWND Box() const { return dialog_ != nullptr ? FindMessageBox(dialog_) : nullptr; }
  bool BoxOpen() const { return Box() != nullptr; }
  // Answers the open box and records its text.
  void Dismiss() {
    const HWND box = Box();
    boxes.push_back(MessageBoxText(box));
    boxCaptions.push_back(TextOf(box));
    DismissMessageBox(box);
  }
  void Close() { PostMessageA(dialog_, WM_CLOSE, 0, 0); }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller = platform.AddController();
  int steps = 0;
  int stepsUnderBox = 0;
  std::vector<std::string> boxes;
  std::vector<std::string> boxCaptions;

 private:
  static void CALLBACK Idle(HWND, UINT, UINT_PTR, DWORD) {
    if (current_ != nullptr) current_->Drive();
  }
  void Drive() {
    if (dialog_ != nullptr && drive_) drive_(dialog_);
  }

  static inline DialogRun* current_ = nullptr;
  bool fastTicks_;
  HWND dialog_ = nullptr;
  std::unique_ptr<FirmwareWindow> window_;
  std::function<void(HWND)> drive_;
};

struct TemplateControl {
  int id;
  const char* className;
  const char* text;
  RECT units;  // left, top, width, height in dialog units
  LONG style;  // the control's own style bits that must be set
};

TEST(FirmwareWindowTest, OpensAsTheTemplateSays) {
  constexpr LONG kField = ES_CENTER | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP;
  const std::array<TemplateControl, 9> controls = {{
      {1028, "Edit", "", {280, 34, 35, 14}, kField},
      {1029, "Button", "Download Firmware", {30, 30, 73, 14}, BS_PUSHBUTTON | WS_TABSTOP},
      {0xFFFF, "Static", "Progress", {280, 25, 28, 8}, SS_LEFT | WS_GROUP},
      {0xFFFF, "Button", "Download", {15, 10, 315, 45}, BS_GROUPBOX},
      {1030, "Edit", "", {15, 175, 315, 14}, kField},
      {0xFFFF, "Button", "Verify", {15, 60, 315, 80}, BS_GROUPBOX},
      {1034, "Edit", "", {30, 70, 235, 60},
       ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_BORDER | WS_TABSTOP},
      {1035, "Edit", "", {280, 80, 35, 14}, kField},
      {0xFFFF, "Static", "Progress", {280, 70, 28, 8}, SS_LEFT | WS_GROUP},
  }};
  DialogRun run;
  bool checked = false;
  run.Run([&](HWND dialog) {
    if (checked) return;
    checked = true;
    EXPECT_EQ(TextOf(dialog), transfer::kDialogTitle);
    const LONG style = GetWindowLongA(dialog, GWL_STYLE);
    for (LONG bit : {LONG(WS_POPUP), LONG(WS_CAPTION), LONG(WS_SYSMENU), LONG(DS_MODALFRAME)}) {
      EXPECT_EQ(style & bit, bit) << std::hex << bit;
    }
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    RECT client{};
    GetClientRect(dialog, &client);
    RECT size{0, 0, 347, 201};
    MapDialogRect(dialog, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    // Window order is template order is tab order.
    HWND control = GetWindow(dialog, GW_CHILD);
    for (const TemplateControl& expected : controls) {
      ASSERT_NE(control, nullptr);
      SCOPED_TRACE(expected.text);
      char className[32] = {};
      GetClassNameA(control, className, sizeof(className));
      EXPECT_STRCASEEQ(className, expected.className);
      EXPECT_EQ(GetDlgCtrlID(control) & 0xFFFF, expected.id);
      EXPECT_EQ(TextOf(control), expected.text);
      // The dialog manager draws an edit control's border as a 3-D client
      // edge instead of WS_BORDER.
      LONG style = GetWindowLongA(control, GWL_STYLE);
      if (GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) style |= WS_BORDER;
      EXPECT_EQ(style & expected.style, expected.style);
      // Position and size are converted each on its own, as the dialog
      // manager does it.
      RECT want = expected.units;
      MapDialogRect(dialog, &want);
      want.right += want.left;
      want.bottom += want.top;
      RECT got{};
      GetWindowRect(control, &got);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
      EXPECT_EQ(got.left, want.left);
      EXPECT_EQ(got.top, want.top);
      EXPECT_EQ(got.right, want.right);
      EXPECT_EQ(got.bottom, want.bottom);
      control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "more controls than the template has";
    // Nothing opened, nothing sent.
    EXPECT_EQ(run.platform.Counters(0).opens, 0u);
    EXPECT_EQ(run.platform.Counters(0).writes, 0u);
    run.Close();
  });
  EXPECT_TRUE(checked);
}

TEST(FirmwareWindowTest, ButtonReachesTheFirstSectorAndTheCloseGuardHolds) {
  DialogRun run;
  enum { kPressed, kGuarded, kEnded } phase = kPressed;
  std::uint32_t writesAtBox = 0;
  run.Run(
      [&](HWND dialog) {
        const transfer::TransferState& state = run.State();
        switch (phase) {
          case kPressed:
            if (state.flags.downloading && state.downloadStep == DownloadStep::kSendData) {
              EXPECT_EQ(FieldText(dialog, IDC_STATUS), transfer::kDownloadingSector);
              // Enter does nothing; Escape and the close box go through the guard.
              SendMessageA(dialog, WM_COMMAND, IDOK, 0);
              PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
              phase = kGuarded;
            }
            break;
          case kGuarded:
            if (!run.BoxOpen()) break;
            if (writesAtBox == 0) writesAtBox = run.platform.Counters(0).writes;
            // The download goes on under the guard's box.
            if (run.stepsUnderBox >= 20) {
              EXPECT_GT(run.platform.Counters(0).writes, writesAtBox);
              run.Dismiss();
              phase = kEnded;
            }
            break;
          case kEnded:
            // Let the download end, then close while idle or verifying.
            if (!state.flags.downloading) {
              if (run.BoxOpen()) run.Dismiss();
              run.Close();
            }
            break;
        }
      },
      [](HWND dialog) { PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0); });
  ASSERT_GE(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0], transfer::kCloseRefusedBox);
  EXPECT_EQ(run.boxCaptions[0], "test_win32_dialog");
  EXPECT_EQ(phase, kEnded);
}

TEST(FirmwareWindowTest, WholeDownloadAndVerification) {
  DialogRun run;
  run.Run(
      [&](HWND dialog) {
        if (!run.BoxOpen()) return;
        EXPECT_EQ(FieldText(dialog, IDC_STATUS), transfer::kVerifyFinished);
        EXPECT_EQ(FieldText(dialog, IDC_DOWNLOAD_PERCENT), transfer::kPercentComplete);
        EXPECT_EQ(FieldText(dialog, IDC_VERIFY_PERCENT), transfer::kPercentComplete);
        EXPECT_EQ(FieldText(dialog, IDC_ERRORS), "");
        run.Dismiss();
        run.Close();
      },
      [](HWND dialog) { PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0); });
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0], transfer::kVerifyFinishedBox);
  // 4,227 download ticks and 8,194 verify ticks without resends.
  EXPECT_GE(run.steps, 4227 + 8194 - 1);
}

TEST(FirmwareWindowTest, TicksKeepArrivingUnderABoxAStepOpened) {
  // The real 25 ms timer; no controller, so the handshake step opens its box.
  DialogRun run(/*fastTicks=*/false);
  run.platform.Unplug(0);
  std::chrono::steady_clock::time_point opened;
  int stepsAtOpen = 0;
  run.Run(
      [&](HWND dialog) {
        if (!run.BoxOpen()) return;
        if (stepsAtOpen == 0) {
          opened = std::chrono::steady_clock::now();
          stepsAtOpen = run.steps + 1;
        }
        if (std::chrono::steady_clock::now() - opened < std::chrono::milliseconds(400)) return;
        EXPECT_EQ(FieldText(dialog, IDC_STATUS), link::kNotDetected);
        run.Dismiss();
        run.Close();
      },
      [](HWND dialog) { PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0); });
  ASSERT_EQ(run.boxes.size(), 1u) << "a tick under the box ran the handshake again";
  EXPECT_EQ(run.boxes[0], transfer::kNotDetectedBox);
  // About 16 periods passed under the box; each ran one (idle) step.
  EXPECT_GE(run.stepsUnderBox, 8);
}

}  // namespace
}  // namespace lumbra::win32
