// Helpers for driving the firmware dialog in tests: reading its fields by
// identifier, waiting on the event loop, and answering message boxes.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <ostream>
#include <vector>

#include "app/firmware_dialog.h"

// Readable QStrings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace lumbra::testing {

inline QString FieldText(const QWidget& dialog, int id) {
  const QString name = QStringLiteral("IDC_%1").arg(id);
  if (auto* line = dialog.findChild<QLineEdit*>(name)) return line->text();
  if (auto* lines = dialog.findChild<QPlainTextEdit*>(name)) return lines->toPlainText();
  return QStringLiteral("<no field %1>").arg(id);
}

inline QPushButton& DownloadButton(const QWidget& dialog) {
  return *dialog.findChild<QPushButton*>(QStringLiteral("IDC_1029"));
}

// Runs the event loop until `done` holds or `timeoutMs` has passed.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  const QWidget* parent = nullptr;
  bool modal = false;
  bool conditionMet = true;  // `keepOpenUntil` held when the box was closed
};

// Answers every message box that opens while it lives: records it and
// presses OK. With `keepOpenUntil`, a box stays open until the condition
// holds (or a second has passed), so a test can watch what goes on under it.
// It polls from a timer of its own, which runs in the box's event loop.
class BoxCloser {
 public:
  explicit BoxCloser(std::function<bool()> keepOpenUntil = {})
      : keepOpenUntil_(std::move(keepOpenUntil)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
    poll_.start(1);
  }

  std::vector<SeenBox> seen;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    if (box != current_) {
      current_ = box;
      opened_.start();
    }
    const bool met = !keepOpenUntil_ || keepOpenUntil_();
    if (!met && opened_.elapsed() < 1000) return;
    seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                    box->parentWidget(), box->isModal(), met});
    current_ = nullptr;
    if (QAbstractButton* ok = box->button(QMessageBox::Ok))
      ok->click();
    else
      box->reject();
  }

  std::function<bool()> keepOpenUntil_;
  QTimer poll_;
  QMessageBox* current_ = nullptr;
  QElapsedTimer opened_;
};

}  // namespace lumbra::testing
