// The tool's one window. It forwards its timer, its Download Firmware button
// and its close command to the TransferController and, as the controller's
// DialogPort, writes the four read-only fields and shows the message boxes.
#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string_view>
#include <variant>

#include "transfer/dialog_port.h"
#include "transfer/transfer_controller.h"

class QCloseEvent;
class QKeyEvent;
class QLineEdit;
class QPlainTextEdit;

namespace Ui {
class FirmwareDialog;
}

namespace lumbra::app {

class FirmwareDialogTestAccess;  // tests/app

inline constexpr std::chrono::milliseconds kTickPeriod{transfer::kTickPeriodMs};

class FirmwareDialog final : public QDialog, public transfer::DialogPort {
  Q_OBJECT

 public:
  // `tickPeriod` is the controller's 25 ms in the product; tests shorten it to
  // run a whole download quickly, or lengthen it to drive ticks by hand.
  explicit FirmwareDialog(link::HidPlatform& platform, QWidget* parent = nullptr,
                          std::chrono::milliseconds tickPeriod = kTickPeriod);
  ~FirmwareDialog() override;

  // transfer::DialogPort
  void SetFieldText(transfer::FieldId field, std::string_view text) override;
  void ShowMessageBox(std::string_view text) override;

  // The Download Firmware button, control 1029.
  QAbstractButton& DownloadButton() const;

 public slots:
  // Escape and any other cancel: through the close guard.
  void reject() override;

  // The dialog has ended: stops the timer.
  void done(int result) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // A read-only field: a single-line edit, or the multi-line error field.
  using FieldControl = std::variant<QLineEdit*, QPlainTextEdit*>;

  friend class FirmwareDialogTestAccess;  // reads the fields and the controller, ticks by hand

  void LayOutFromTemplate();
  void DrawFramesAsGroupBoxes();
  // The timer's timeout: schedules one step of the controller.
  void OnTimer();
  void RunStep();

  std::unique_ptr<Ui::FirmwareDialog> ui_;
  std::map<transfer::FieldId, FieldControl> fields_;  // filled once, from the template
  transfer::TransferController controller_;
  QTimer tickTimer_;
  bool stepPending_ = false;
};

}  // namespace lumbra::app
