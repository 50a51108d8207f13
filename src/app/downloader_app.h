// The application: opens the firmware dialog, runs it modally and ends when
// it ends. No command line, no files, no settings, no other window.
#pragma once

#include <QApplication>
#include <functional>

#include "link/hid_platform.h"

namespace lumbra::app {

class FirmwareDialog;

class DownloaderApp final : public QApplication {
  Q_OBJECT

 public:
  // The arguments go to Qt only (platform options such as -platform); the
  // tool itself takes none. The message boxes' caption is the application's
  // name, which Qt takes from the executable's name: "lumbra".
  DownloaderApp(int& argc, char** argv);

  // Runs the dialog on `platform` until the user closes it; `prepare`, if
  // given, sees the dialog before it opens (the demo's hooks). Returns the
  // program's exit status, always 0.
  //
  // The dialog is a local of this call and nothing else keeps a pointer to
  // it, so nothing can reach it once it has ended and been destroyed; it goes
  // before the platform and the application it depends on.
  int Run(link::HidPlatform& platform, const std::function<void(FirmwareDialog&)>& prepare = {});
};

}  // namespace lumbra::app
