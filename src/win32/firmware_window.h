// The tool's one window on Windows: dialog template 130 run modally with
// DialogBoxParam and one dialog procedure. Like the Qt dialog, it only
// forwards its timer, its Download Firmware button and its close command to
// the TransferController and, as the controller's DialogPort, writes the four
// read-only fields and shows the message boxes.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "transfer/dialog_port.h"
#include "transfer/transfer_controller.h"

namespace lumbra::win32 {

// The dialog's private message: run one step of the controller.
inline constexpr UINT kStepMessage = WM_APP + 1;
inline constexpr UINT_PTR kTickTimerId = 1;

struct WindowOptions {
  // The timer period; 0 starts no timer (tests post WM_TIMER themselves).
  UINT tickPeriodMs = transfer::kTickPeriodMs;
  // Called once the dialog is initialised (the demo's autostart, tests).
  std::function<void(HWND dialog)> onInit;
  // Called after each step the controller ran (tests that tick at full speed).
  std::function<void(HWND dialog)> afterStep;
};

class FirmwareWindow final : public transfer::DialogPort {
 public:
  explicit FirmwareWindow(link::HidPlatform& platform, WindowOptions options = {});
  FirmwareWindow(const FirmwareWindow&) = delete;
  FirmwareWindow& operator=(const FirmwareWindow&) = delete;

  // Runs the dialog modally from template 130 of `instance` and returns when
  // it has ended. The system timer runs at 1 ms resolution meanwhile, so
  // that the 25 ms tick is 25 ms and not the next multiple of 15.6 ms.
  void Run(HINSTANCE instance);

  HWND Window() const { return window_; }
  const transfer::TransferController& Controller() const { return controller_; }

  // transfer::DialogPort
  void SetFieldText(transfer::FieldId field, std::string_view text) override;
  void ShowMessageBox(std::string_view text) override;

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInit();
  void OnTimer();
  void RunStep();
  void OnCommand(WORD id, WORD code);
  void OnCloseCommand();

  WindowOptions options_;
  transfer::TransferController controller_;
  std::string caption_;
  HWND window_ = nullptr;
  bool stepPending_ = false;
  bool ended_ = false;
};

}  // namespace lumbra::win32
