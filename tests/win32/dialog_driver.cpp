// lumbra-dialog-driver [STOP-FILE PERCENT]: drives a running lumbra.exe from
// outside, as a technician would: finds its dialog by title, presses Download
// Firmware (1029), follows the status line (1030) and the download percentage (1028)
// with WM_GETTEXT, creates STOP-FILE (the VM's script then stops the controller) once
// the download has passed PERCENT, and records and dismisses the first message
// box. Then no other box may follow, and the program must still be there; its
// dialog is closed.
// Prints "status: ", "box: " and "alive" lines; exit status 0 unless it timed out.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "demo/win32/message_boxes.h"
#include "transfer/messages.h"
#include "win32/resource.h"

namespace {

constexpr auto kTimeout = std::chrono::minutes(20);

std::string Text(HWND window) {
  char text[1024] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, &ignored);
  return text;
}

// One line per box; its line ends shown as "\n".
std::string OneLine(std::string text) {
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "\\n");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const char* stopFile = argc > 2 ? argv[1] : nullptr;
  const double stopPercent = argc > 2 ? std::atof(argv[2]) : 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  const std::string title(lumbra::transfer::kDialogTitle);
  const auto late = [&] { return std::chrono::steady_clock::now() > deadline; };

  HWND dialog = nullptr;
  while (!(dialog = FindWindowA("#32770", title.c_str())) && !late()) Sleep(100);
  if (!dialog) return std::puts("timeout: no dialog"), 1;
  Sleep(500);  // its first tick
  PostMessageA(GetDlgItem(dialog, IDC_DOWNLOAD_BUTTON), BM_CLICK, 0, 0);
  const auto pressed = std::chrono::steady_clock::now();

  std::string status;
  for (bool shown = false; !shown;) {
    if (late()) return std::puts("timeout"), 1;
    // One line per kind of status ("Verifying address 0x..." once).
    if (const std::string now = Text(GetDlgItem(dialog, IDC_STATUS));
        now.substr(0, 12) != status.substr(0, 12)) {
      std::printf("status: %s\n", (status = now).c_str());
    }
    if (stopFile && std::atof(Text(GetDlgItem(dialog, IDC_DOWNLOAD_PERCENT)).c_str()) >= stopPercent) {
      std::printf("stop at %s\n", Text(GetDlgItem(dialog, IDC_DOWNLOAD_PERCENT)).c_str());
      std::fclose(std::fopen(stopFile, "w"));
      stopFile = nullptr;
    }
    if (HWND box = lumbra::win32::FindMessageBox(dialog)) {
      std::printf("%lld s after the press\n",
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::steady_clock::now() - pressed).count()));
      std::printf("box: %s\n", OneLine(lumbra::win32::MessageBoxText(box)).c_str());
      lumbra::win32::DismissMessageBox(box);
      while (IsWindow(box) && !late()) Sleep(50);
      shown = true;
    }
    std::fflush(stdout);
    Sleep(100);
  }
  Sleep(1000);  // a box that would follow
  if (HWND box = lumbra::win32::FindMessageBox(dialog)) {
    std::printf("box: %s\n", OneLine(lumbra::win32::MessageBoxText(box)).c_str());
    return 1;
  }
  std::printf("status: %s\n", Text(GetDlgItem(dialog, IDC_STATUS)).c_str());
  if (!IsWindow(dialog) || !IsWindowEnabled(dialog)) return std::puts("not alive"), 1;
  std::puts("alive");
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  for (int i = 0; i < 100 && IsWindow(dialog); ++i) Sleep(100);
  return IsWindow(dialog) ? (std::puts("did not close"), 1) : 0;
}
