#include "demo/demo_session.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>

#include "app/firmware_dialog.h"
#include "protocol/command_frame.h"
#include "transfer/firmware_image.h"

namespace lumbra::app {

namespace {

constexpr int kWatchPeriodMs = 50;
// Half the image, in data lines.
constexpr std::uint64_t kHalfwayChunks = transfer::kImageSize / 2 / protocol::kChunkSize;

}  // namespace

DemoOptions DemoOptionsFromEnvironment() {
  DemoOptions options;
  options.autostart = qEnvironmentVariableIntValue("LUMBRA_DEMO_AUTOSTART") != 0;
  options.screenshotDir = qEnvironmentVariable("LUMBRA_DEMO_SCREENSHOTS");
  if (!options.screenshotDir.isEmpty()) {
    options.autostart = true;
    options.closeAtEnd = true;
  }
  return options;
}

DemoSession::DemoSession() : controller_(&platform_.AddController()) {}

DemoSession::~DemoSession() = default;

void DemoSession::Attach(FirmwareDialog& dialog, const DemoOptions& options) {
  dialog_ = &dialog;
  options_ = options;
  if (options_.autostart) {
    // Once the dialog's loop runs, as if the user had pressed the button.
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.DownloadButton().click(); });
  }
  if (options_.closeAtEnd || !options_.screenshotDir.isEmpty()) {
    // A timer of our own: it keeps running while a message box is open.
    auto* watch = new QTimer(&dialog);
    connect(watch, &QTimer::timeout, this, &DemoSession::Watch);
    watch->start(kWatchPeriodMs);
  }
}

void DemoSession::Watch() {
  if (dialog_ == nullptr || ended_) return;
  // Once the emulated controller has received half the image: at the real
  // pace well inside the download; on a timer cut to nothing, at the latest
  // with the final box, so that the picture is never missing.
  if (!halfwayShot_ && controller_->Counters().Count(emulator::Command::kSectorData) >= kHalfwayChunks) {
    halfwayShot_ = true;
    Save(*dialog_, QStringLiteral("lumbra-demo-downloading.png"));
  }
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr) return;
  ended_ = true;
  finalBoxText_ = box->text();
  Save(*dialog_, QStringLiteral("lumbra-demo.png"));
  Save(*box, QStringLiteral("lumbra-demo-box.png"));
  if (options_.closeAtEnd) {
    box->button(QMessageBox::Ok)->click();
    // After the box's loop has returned.
    QMetaObject::invokeMethod(dialog_.data(), &QWidget::close, Qt::QueuedConnection);
  }
}

void DemoSession::Save(QWidget& widget, const QString& name) {
  if (options_.screenshotDir.isEmpty()) return;
  const QDir dir(options_.screenshotDir);
  const QString path = dir.filePath(name);
  if (!widget.grab().save(path)) qWarning("lumbra-demo: cannot write %s", qPrintable(path));
}

}  // namespace lumbra::app
