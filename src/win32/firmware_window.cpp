#include "win32/firmware_window.h"

// clang-format off
#include <mmsystem.h>
// clang-format on

#include "transfer/messages.h"
#include "win32/resource.h"

namespace lumbra::win32 {

namespace {

// Raises the system timer's resolution for as long as it lives.
class TimerResolution {
 public:
  TimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~TimerResolution() {
    if (raised_) timeEndPeriod(1);
  }
  TimerResolution(const TimerResolution&) = delete;
  TimerResolution& operator=(const TimerResolution&) = delete;

 private:
  bool raised_;
};

// The caption of every message box: the executable's file name without its
// directory and extension ("C:\\Tools\\lumbra.EXE" gives "lumbra").
std::string TitleFromModulePath(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/:");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

// The read-only fields of template 130.
constexpr std::pair<transfer::FieldId, int> kFieldControls[] = {
    {transfer::FieldId::kDownloadPercent, IDC_DOWNLOAD_PERCENT},
    {transfer::FieldId::kStatus, IDC_STATUS},
    {transfer::FieldId::kErrors, IDC_ERRORS},
    {transfer::FieldId::kVerifyPercent, IDC_VERIFY_PERCENT},
};

int ControlOf(transfer::FieldId field) {
  for (const auto& [id, control] : kFieldControls) {
    if (id == field) return control;
  }
  return 0;
}

std::string ApplicationTitle() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return TitleFromModulePath(std::string_view(path, length));
}

}  // namespace

FirmwareWindow::FirmwareWindow(link::HidPlatform& platform, WindowOptions options)
    : options_(std::move(options)), controller_(platform, *this), caption_(ApplicationTitle()) {}

void FirmwareWindow::Run(HINSTANCE instance) {
  const TimerResolution resolution;
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_FIRMWARE_DIALOG), nullptr, &Procedure,
                  reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
}

INT_PTR CALLBACK FirmwareWindow::Procedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<FirmwareWindow*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->window_ = window;
  }
  auto* self = reinterpret_cast<FirmwareWindow*>(GetWindowLongPtrA(window, DWLP_USER));
  return self != nullptr ? self->Handle(message, wParam, lParam) : FALSE;
}

INT_PTR FirmwareWindow::Handle(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      OnInit();
      return TRUE;  // the focus goes to the first control that takes it
    case WM_TIMER:
      OnTimer();
      return TRUE;
    case kStepMessage:
      RunStep();
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      OnCloseCommand();
      return TRUE;
    default:
      return FALSE;
  }
}

void FirmwareWindow::OnInit() {
  SetWindowTextA(window_, std::string(transfer::kDialogTitle).c_str());
  controller_.Init();
  if (options_.tickPeriodMs > 0) SetTimer(window_, kTickTimerId, options_.tickPeriodMs, nullptr);
  if (options_.onInit) options_.onInit(window_);
}

void FirmwareWindow::OnTimer() {
  // As in the Qt dialog, the step does not run inside the timer message: it
  // is posted, and whichever message loop is current runs it, a message
  // box's included. At most one step waits; ticks that arrive meanwhile are
  // merged into it, so a tick that arrives inside a box a step opened queues
  // one step and no more, however long the box stays open.
  if (stepPending_ || ended_) return;
  stepPending_ = true;
  PostMessageA(window_, kStepMessage, 0, 0);
}

void FirmwareWindow::RunStep() {
  stepPending_ = false;
  // A step posted just before the dialog ended belongs to a window that is gone.
  if (ended_) return;
  controller_.OnTick();
  if (options_.afterStep && !ended_) options_.afterStep(window_);
}

void FirmwareWindow::OnCommand(WORD id, WORD code) {
  switch (id) {
    case IDC_DOWNLOAD_BUTTON:
      // Enter on the focused button reaches here as a click too; like the Qt
      // dialog, Enter presses nothing.
      if (code == BN_CLICKED && (GetKeyState(VK_RETURN) & 0x8000) == 0) {
        controller_.BeginDownload();
      }
      break;
    case IDCANCEL:  // Escape: through the close guard, so it never ends a download
      OnCloseCommand();
      break;
    default:  // IDOK (Enter): the dialog has nothing to accept
      break;
  }
}

void FirmwareWindow::OnCloseCommand() {
  // The close box, Alt+F4 and Escape. A refusal has shown its message box.
  if (ended_ || !controller_.OnClose()) return;
  // The timer ends with the dialog: ticks must not run steps, nor open
  // boxes, for a dialog that has ended.
  ended_ = true;
  KillTimer(window_, kTickTimerId);
  EndDialog(window_, IDCANCEL);
}

void FirmwareWindow::SetFieldText(transfer::FieldId field, std::string_view text) {
  if (window_ == nullptr) return;
  SetDlgItemTextA(window_, ControlOf(field), std::string(text).c_str());
}

void FirmwareWindow::ShowMessageBox(std::string_view text) {
  MessageBoxA(window_, std::string(text).c_str(), caption_.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace lumbra::win32
