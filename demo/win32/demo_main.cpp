// lumbra-demo.exe: the firmware dialog on an emulated controller, for watching
// a whole download and verification without hardware.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "demo/win32/demo_session.h"
#include "win32/firmware_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  lumbra::win32::DemoSession demo;
  lumbra::win32::FirmwareWindow window(
      demo.Platform(), demo.Prepare(lumbra::win32::DemoOptionsFromEnvironment()));
  window.Run(instance);
  return 0;
}
