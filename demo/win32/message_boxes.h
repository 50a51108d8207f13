// Finding and answering the tool's message boxes from the program itself:
// the demo's unattended run and the dialog tests close them this way; the
// product never needs to.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <string>

namespace lumbra::win32 {

// The topmost open message box owned by `owner` (a dialog of this thread's),
// or nullptr.
HWND FindMessageBox(HWND owner);

// The text a message box shows.
std::string MessageBoxText(HWND box);

// Presses the box's OK button.
void DismissMessageBox(HWND box);

}  // namespace lumbra::win32
