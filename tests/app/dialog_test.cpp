// The dialog driven tick by tick (its own timer is set far off): what it
// shows, what the button, the close command and the keys do.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QPointer>
#include <QTest>
#include <chrono>

#include "app/dialog_units.h"
#include "app/downloader_app.h"
#include "dialog_harness.h"
#include "emulator/emulated_hid_platform.h"
#include "transfer/messages.h"

namespace lumbra::testing {
namespace {

using app::FirmwareDialog;
using emulator::Command;
using transfer::DownloadStep;

// A download without resends: the handshake, Start, 64 sectors of 66 steps, Finish.
constexpr int kDownloadTicks = 1 + 1 + 64 * 66 + 1;

QString Q(std::string_view text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  }

  // One timer period: the timeout, then the step it queued.
  void Tick() {
    dialog.OnTimer();
    QCoreApplication::processEvents();
  }
  void TickUntil(const std::function<bool()>& done, int limit = 20000) {
    for (int i = 0; i < limit && !done(); ++i) Tick();
    ASSERT_TRUE(done());
  }

  const transfer::TransferState& State() const { return dialog.Controller().State(); }
  std::uint64_t Frames() const { return controller.Counters().frames; }
  QString Field(int id) const { return FieldText(dialog, id); }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller = platform.AddController();
  FirmwareDialog dialog{platform, nullptr, std::chrono::hours(1)};
};

TEST_F(DialogTest, OpensWithTitleEmptyFieldsAndNothingSent) {
  EXPECT_EQ(dialog.windowTitle(), "Quorvex Pump and Valve Firmware Ver. 2.01");
  for (int id : {1028, 1030, 1034, 1035}) EXPECT_EQ(Field(id), "") << "field " << id;
  for (int i = 0; i < 5; ++i) Tick();
  // Without a press the link is not even looked for.
  EXPECT_EQ(platform.Enumerations(), 0u);
  EXPECT_EQ(platform.Counters(0).openAttempts, 0u);
  EXPECT_EQ(Frames(), 0u);
  for (int id : {1028, 1030, 1034, 1035}) EXPECT_EQ(Field(id), "") << "field " << id;
}

TEST_F(DialogTest, ControlsFollowTheTemplate) {
  // The template's font, or the metric-compatible family in its place, never
  // fontconfig's DejaVu Sans.
  const QString family = QFontInfo(dialog.font()).family();
  EXPECT_TRUE(family == "MS Sans Serif" || family == "Liberation Sans") << family.toStdString();

  const app::DialogBaseUnits base = app::BaseUnitsOf(dialog.font());
  EXPECT_EQ(dialog.size(), app::DialogUnitsToPixels(QSize(347, 201), base));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  const struct {
    const char* name;
    QRect units;
  } controls[] = {
      {"IDC_1028", {280, 34, 35, 14}}, {"IDC_1029", {30, 30, 73, 14}},
      {"IDC_1030", {15, 175, 315, 14}}, {"IDC_1034", {30, 70, 235, 60}},
      {"IDC_1035", {280, 80, 35, 14}},
  };
  for (const auto& control : controls) {
    auto* widget = dialog.findChild<QWidget*>(control.name);
    ASSERT_NE(widget, nullptr) << control.name;
    EXPECT_EQ(widget->geometry(), app::DialogUnitsToPixels(control.units, base)) << control.name;
  }

  // Tab order is template order, beginning with the download percentage field.
  QWidget* next = dialog.findChild<QWidget*>("IDC_1028");
  for (const char* name : {"IDC_1029", "IDC_1030", "IDC_1034", "IDC_1035"}) {
    do next = next->nextInFocusChain();
    while (!(next->focusPolicy() & Qt::TabFocus));
    EXPECT_EQ(next->objectName(), name);
  }
  for (const char* name : {"downloadProgressLabel", "downloadGroup", "verifyGroup", "verifyProgressLabel"})
    EXPECT_EQ(dialog.findChild<QWidget*>(name)->focusPolicy(), Qt::NoFocus) << name;

  for (const char* name : {"IDC_1028", "IDC_1030", "IDC_1035"}) {
    auto* line = dialog.findChild<QLineEdit*>(name);
    EXPECT_TRUE(line->isReadOnly()) << name;
    EXPECT_EQ(line->alignment() & Qt::AlignHCenter, Qt::AlignHCenter) << name;
  }
  EXPECT_TRUE(dialog.findChild<QPlainTextEdit*>("IDC_1034")->isReadOnly());

  QPushButton& button = DownloadButton(dialog);
  EXPECT_EQ(button.text(), "Download Firmware");
  EXPECT_FALSE(button.isDefault());
  EXPECT_FALSE(button.autoDefault());

  const Qt::WindowFlags flags = dialog.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                        Qt::WindowContextHelpButtonHint));
}

TEST_F(DialogTest, PressSendsServiceOnAtTheNextTick) {
  DownloadButton(dialog).click();
  EXPECT_EQ(Frames(), 0u) << "the press itself sends nothing";
  Tick();
  const auto transcript = controller.Transcript();
  ASSERT_EQ(transcript.size(), 1u);
  EXPECT_EQ(transcript[0].line, "service.on");
  EXPECT_EQ(Field(1030), Q(transfer::kConnected));
  Tick();
  EXPECT_EQ(controller.Transcript().back().command, Command::kStartDownload);
}

TEST_F(DialogTest, PressDuringADownloadChangesNothing) {
  DownloadButton(dialog).click();
  TickUntil([&] { return State().downloadStep == DownloadStep::kSendData; });
  Tick();
  ASSERT_EQ(State().imagePosition, 16);

  DownloadButton(dialog).click();
  Tick();
  EXPECT_EQ(State().imagePosition, 32) << "the download went on from where it was";
  EXPECT_EQ(controller.Counters().Count(Command::kServiceOn), 1u);
  EXPECT_EQ(controller.Counters().Count(Command::kStartDownload), 1u);
}

TEST_F(DialogTest, TimeoutsWhileAStepWaitsRunOneStep) {
  DownloadButton(dialog).click();
  Tick();  // the handshake
  const std::uint64_t before = Frames();
  dialog.OnTimer();
  dialog.OnTimer();
  dialog.OnTimer();
  QCoreApplication::processEvents();
  EXPECT_EQ(Frames(), before + 1);
}

TEST_F(DialogTest, CloseAndEscapeAreRefusedDuringADownload) {
  BoxCloser boxes;
  DownloadButton(dialog).click();
  Tick();
  Tick();
  ASSERT_TRUE(dialog.Controller().Downloading());

  EXPECT_FALSE(dialog.close());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());

  ASSERT_EQ(boxes.seen.size(), 2u);
  for (const SeenBox& box : boxes.seen) {
    EXPECT_EQ(box.text, Q(transfer::kCloseRefusedBox));
    // Caption: the application's name, which is the executable's.
    EXPECT_EQ(box.title, "test_app");
    EXPECT_EQ(box.title, QCoreApplication::applicationName());
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
    EXPECT_EQ(box.parent, &dialog);
    EXPECT_TRUE(box.modal);
  }
  // The download is untouched and goes on.
  EXPECT_TRUE(dialog.Controller().Downloading());
  Tick();
  EXPECT_EQ(State().downloadStep, DownloadStep::kSendData);
}

TEST_F(DialogTest, CloseEndsTheDialogDuringAVerification) {
  BoxCloser boxes;
  DownloadButton(dialog).click();
  TickUntil([&] { return State().flags.verifying; }, kDownloadTicks);
  Tick();
  Tick();
  ASSERT_TRUE(State().flags.verifying);

  EXPECT_TRUE(dialog.close());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_TRUE(boxes.seen.empty());
  // The ended dialog's timer is gone with it: nothing more is sent.
  const std::uint64_t frames = Frames();
  dialog.OnTimer();
  QCoreApplication::processEvents();
  EXPECT_EQ(Frames(), frames);
}

TEST_F(DialogTest, EscapeEndsAnIdleDialog) {
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(DialogTest, EnterNeitherStartsADownloadNorCloses) {
  BoxCloser boxes;
  QPushButton& button = DownloadButton(dialog);
  auto* field = dialog.findChild<QLineEdit*>("IDC_1028");
  for (QWidget* focus : {static_cast<QWidget*>(&button), static_cast<QWidget*>(field)}) {
    focus->setFocus();
    QTest::keyClick(focus, Qt::Key_Return);
    QTest::keyClick(focus, Qt::Key_Enter);
  }
  Tick();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(Frames(), 0u);
  EXPECT_FALSE(dialog.Controller().Downloading());

  // Nor does it end a download.
  button.click();
  Tick();
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(boxes.seen.empty());
}

TEST(DownloaderAppTest, RunsTheDialogModallyUntilItEndsThenDestroysIt) {
  auto& app = static_cast<app::DownloaderApp&>(*QCoreApplication::instance());
  emulator::EmulatedHidPlatform platform;
  platform.AddController();
  QPointer<FirmwareDialog> opened;
  bool wasModal = false;
  const int status = app.Run(platform, [&](FirmwareDialog& dialog) {
    opened = &dialog;
    QTimer::singleShot(0, &dialog, [&] {
      wasModal = QApplication::activeModalWidget() == opened;
      opened->close();
    });
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(wasModal);
  EXPECT_TRUE(opened.isNull()) << "the dialog ends with the run";
  EXPECT_EQ(platform.Counters(0).openAttempts, 0u);
}

}  // namespace
}  // namespace lumbra::testing
