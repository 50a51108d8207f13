// lumbra-demo's controller: an emulated Quorvex, fresh from the factory (flash
// erased except its boot code), in the same process, so the dialog can be
// watched through a whole download and verification without hardware. Also
// the demo's unattended mode, for screenshots and the benchmark.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include "emulator/emulated_hid_platform.h"

class QMessageBox;

namespace lumbra::app {

class FirmwareDialog;

struct DemoOptions {
  bool autostart = false;    // press Download Firmware once the dialog is up
  bool closeAtEnd = false;   // at the first message box: dismiss it and close the dialog
  QString screenshotDir;     // save PNGs there, halfway through the download and at the end
};

// LUMBRA_DEMO_AUTOSTART=1 and LUMBRA_DEMO_SCREENSHOTS=<dir>; screenshots imply
// autostart and closing at the end. Only lumbra-demo reads these.
DemoOptions DemoOptionsFromEnvironment();

class DemoSession final : public QObject {
  Q_OBJECT

 public:
  DemoSession();
  ~DemoSession() override;

  emulator::EmulatedHidPlatform& Platform() { return platform_; }
  const emulator::QuorvexController& Controller() const { return *controller_; }

  // Applies `options` to a dialog on Platform() before it opens.
  void Attach(FirmwareDialog& dialog, const DemoOptions& options);

  // True once the unattended run has met its first message box.
  bool Ended() const { return ended_; }
  QString FinalBoxText() const { return finalBoxText_; }

 private:
  void Watch();
  void Save(QWidget& widget, const QString& name);

  emulator::EmulatedHidPlatform platform_;
  emulator::QuorvexController* controller_ = nullptr;
  QPointer<FirmwareDialog> dialog_;
  DemoOptions options_;
  bool halfwayShot_ = false;
  bool ended_ = false;
  QString finalBoxText_;
};

}  // namespace lumbra::app
