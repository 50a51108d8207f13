// lumbra.exe: writes the built-in firmware into a Quorvex controller on USB.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "firmware_data.h"
#include "link/win32_hid_platform.h"
#include "win32/firmware_window.h"

namespace {

// The stand-in rule's hook. A build that embeds the stand-in image
// (lumbra::firmware::kImageIsStandIn) must write to no real controller, and
// Windows has no virtual controller to write to instead. The policy that
// decides which devices such a build may open is applied here, to the
// platform handed to the window; for now every build gets the system's.
lumbra::link::HidPlatform& ControllerPlatform(lumbra::link::Win32HidPlatform& system,
                                              bool imageIsStandIn) {
  static_cast<void>(imageIsStandIn);
  return system;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  lumbra::link::Win32HidPlatform system;
  lumbra::win32::FirmwareWindow window(
      ControllerPlatform(system, lumbra::firmware::kImageIsStandIn));
  // How the dialog ended (only ever by its close command) does not matter.
  window.Run(instance);
  return 0;
}
