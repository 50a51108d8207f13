#include "demo/win32/message_boxes.h"

#include <cstring>

namespace lumbra::win32 {

namespace {

// The static control that holds a message box's text, on Windows and Wine.
constexpr int kMessageBoxTextId = 0xFFFF;

struct Search {
  HWND owner;
  HWND found;
};

BOOL CALLBACK Examine(HWND window, LPARAM lParam) {
  auto* search = reinterpret_cast<Search*>(lParam);
  char className[16] = {};
  GetClassNameA(window, className, sizeof(className));
  // A box owned by the dialog is enabled; a box that opened a second one on
  // top of itself is disabled, and the later one is the one to answer.
  if (std::strcmp(className, "#32770") == 0 && window != search->owner &&
      GetWindow(window, GW_OWNER) != nullptr && IsWindowVisible(window) &&
      IsWindowEnabled(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND FindMessageBox(HWND owner) {
  Search search{owner, nullptr};
  EnumThreadWindows(GetWindowThreadProcessId(owner, nullptr), &Examine,
                    reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string MessageBoxText(HWND box) {
  char text[1024] = {};
  GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof(text));
  return text;
}

void DismissMessageBox(HWND box) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

}  // namespace lumbra::win32
