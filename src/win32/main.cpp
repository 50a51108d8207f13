// lumbra.exe: writes the built-in firmware into a Quorvex controller on USB.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "link/win32_hid_platform.h"
#include "win32/firmware_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  lumbra::link::Win32HidPlatform system;
  // A stand-in build writes to no real controller: the transfer layer gives
  // the link that rule, and Windows has no virtual controller.
  lumbra::win32::FirmwareWindow window(system);
  // How the dialog ended (only ever by its close command) does not matter.
  window.Run(instance);
  return 0;
}
