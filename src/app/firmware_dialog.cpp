#include "app/firmware_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <variant>

#include "app/dialog_units.h"
#include "transfer/messages.h"
#include "ui_firmware_dialog.h"

namespace lumbra::app {

namespace {

QString FromAscii(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

}  // namespace

FirmwareDialog::FirmwareDialog(link::HidPlatform& platform, QWidget* parent,
                               std::chrono::milliseconds tickPeriod)
    : QDialog(parent), ui_(std::make_unique<Ui::FirmwareDialog>()), controller_(platform, *this) {
  ui_->setupUi(this);
  fields_ = {
      {transfer::FieldId::kDownloadPercent, ui_->downloadPercentField},
      {transfer::FieldId::kStatus, ui_->statusField},
      {transfer::FieldId::kErrors, ui_->errorField},
      {transfer::FieldId::kVerifyPercent, ui_->verifyPercentField},
  };
  LayOutFromTemplate();
  // A fixed frame with a caption and a close box: no minimise, maximise or
  // context-help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(FromAscii(transfer::kDialogTitle));

  connect(ui_->downloadButton, &QPushButton::clicked, this, [this] { controller_.BeginDownload(); });

  controller_.Init();
  tickTimer_.setTimerType(Qt::PreciseTimer);
  tickTimer_.setInterval(tickPeriod);
  connect(&tickTimer_, &QTimer::timeout, this, &FirmwareDialog::OnTimer);
  tickTimer_.start();
}

FirmwareDialog::~FirmwareDialog() = default;

void FirmwareDialog::LayOutFromTemplate() {
  // The .ui file holds the template as it is: geometry in dialog units and
  // the font "MS Sans Serif" 8 pt. Like Windows, ask for the font as a whole
  // number of pixels (8 pt at 96 dpi is 11 px). Where MS Sans Serif is not
  // installed, use Liberation Sans, which is near it in width and height;
  // fontconfig's own choice, DejaVu Sans, is wide enough to clip the button.
  QFont templateFont = font();
  QStringList families = templateFont.families();
  families << QStringLiteral("Liberation Sans");
  templateFont.setFamilies(families);
  templateFont.setPixelSize(qRound(templateFont.pointSizeF() * logicalDpiY() / 72.0));
  setFont(templateFont);

  const DialogBaseUnits base = BaseUnitsOf(templateFont);
  for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    control->setGeometry(DialogUnitsToPixels(control->geometry(), base));
  setFixedSize(DialogUnitsToPixels(size(), base));
  // Where the font in use runs wider than the template's, a label keeps its
  // last letters; nothing lies to the right of either label.
  for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());

  DrawFramesAsGroupBoxes();
}

void FirmwareDialog::DrawFramesAsGroupBoxes() {
  // The template places a group box's top edge where its title begins; the
  // frame's line runs through the middle of the title, and the controls just
  // below the edge lie inside the frame. Qt's Fusion style draws the title above
  // the line and the line a whole text height lower, across those controls.
  const QFontMetrics metrics(font());
  const QString frameStyle =
      QStringLiteral(
          "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: %1px; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
          " left: %2px; padding: 0 2px; background-color: palette(window); }")
          .arg(metrics.height() / 2)
          .arg(metrics.averageCharWidth());
  for (QGroupBox* frame : findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) {
    frame->setStyleSheet(frameStyle);
    // Windows group boxes let clicks through to the controls they frame.
    // Qt's take them, and a later sibling lies on top, so put the frames
    // underneath.
    frame->lower();
  }
}

void FirmwareDialog::SetFieldText(transfer::FieldId field, std::string_view text) {
  std::visit(Overloaded{[&](QLineEdit* line) {
                          line->setText(FromAscii(text));
                          // Show the start of a long text, as an edit control does.
                          line->setCursorPosition(0);
                        },
                        [&](QPlainTextEdit* lines) {
                          // The engines end lines with "\r\n"; the widget wants '\n'.
                          QString shown = FromAscii(text);
                          shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
                          lines->setPlainText(shown);
                        }},
             fields_.at(field));
}

QAbstractButton& FirmwareDialog::DownloadButton() const { return *ui_->downloadButton; }

void FirmwareDialog::ShowMessageBox(std::string_view text) {
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), FromAscii(text),
                  QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void FirmwareDialog::OnTimer() {
  // The step does not run inside this handler: Qt delivers no timeout of a
  // timer whose handler is still running, so a message box opened by a step
  // here would stop the ticks for as long as it stays open. The event loop
  // runs the step instead, in whichever loop is current, a box's included.
  // At most one step waits: periods that elapse meanwhile are merged.
  if (stepPending_) return;
  stepPending_ = true;
  QMetaObject::invokeMethod(this, &FirmwareDialog::RunStep, Qt::QueuedConnection);
}

void FirmwareDialog::RunStep() {
  stepPending_ = false;
  // A step queued just before the dialog ended belongs to a window that is gone.
  if (!tickTimer_.isActive()) return;
  controller_.OnTick();
}

void FirmwareDialog::closeEvent(QCloseEvent* event) {
  // The close box and Alt+F4. A refusal has already shown its message box.
  if (!controller_.OnClose()) {
    event->ignore();
    return;
  }
  QDialog::reject();
  event->accept();
}

void FirmwareDialog::reject() {
  // Escape: the same guard, so it never ends a download.
  if (controller_.OnClose()) QDialog::reject();
}

void FirmwareDialog::done(int result) {
  // The timer ends with the window: ticks must not run steps, nor open boxes,
  // for a dialog that has ended.
  tickTimer_.stop();
  QDialog::done(result);
}

void FirmwareDialog::keyPressEvent(QKeyEvent* event) {
  // Enter neither presses the button nor accepts the dialog: the dialog has
  // no default button and nothing to accept.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace lumbra::app
