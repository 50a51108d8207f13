// The Qt dialog: what it shows and where, its keys and close command, and its
// timer, which must keep running under the boxes steps open. What the button,
// the ticks and the close guard decide is tested in tests/transfer.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>

#include "app/dialog_units.h"
#include "app/downloader_app.h"
#include "app/firmware_dialog.h"
#include "demo/demo_session.h"
#include "emulator/emulated_hid_platform.h"
#include "transfer/messages.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace lumbra::app {

// The dialog's inside, for these tests only: the control of a field and its
// text (the error field's lines end in '\n'), the timer's slot, the controller.
class FirmwareDialogTestAccess {
 public:
  static QWidget& Field(const FirmwareDialog& d, transfer::FieldId field) {
    return *std::visit([](auto* control) -> QWidget* { return control; }, d.fields_.at(field));
  }
  static QString Text(const FirmwareDialog& d, transfer::FieldId field) {
    QWidget& control = Field(d, field);
    const auto* line = qobject_cast<QLineEdit*>(&control);
    return line != nullptr ? line->text() : static_cast<QPlainTextEdit&>(control).toPlainText();
  }
  static void OnTimer(FirmwareDialog& d) { d.OnTimer(); }
  static const transfer::TransferController& Controller(const FirmwareDialog& d) { return d.controller_; }
};

namespace {

using Inside = FirmwareDialogTestAccess;
using transfer::FieldId;

// Dismisses each message box once `until` holds, or after a thousand polls,
// and records it as "caption: text". Polls from a timer of its own, which the
// box's modal loop runs, so a test can watch what goes on under the box.
class BoxCloser {
 public:
  explicit BoxCloser(std::function<bool()> until = [] { return true; }) {
    QObject::connect(&poll_, &QTimer::timeout, [this, until] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || (!until() && ++polls_ < 1000)) return;
      seen << (polls_ < 1000 ? "" : "(in vain) ") + box->windowTitle() + ": " + box->text();
      polls_ = 0;
      box->accept();
    });
    poll_.start(1);
  }
  QStringList seen;

 private:
  QTimer poll_;
  int polls_ = 0;
};

// The dialog's own timer is set far off: the tests tick by hand.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller = platform.AddController();
  FirmwareDialog dialog{platform, nullptr, std::chrono::hours(1)};
};

// The template's rectangles in dialog units, converted with MS Sans Serif 8 pt's
// base units at 96 dpi (6 x 13), are the pixels Windows shows: 521 x 327 inside
// the frame. Each field opens empty, with a name a screen reader reads.
TEST_F(DialogTest, OpensWithItsTitleAndItsControlsWhereTheTemplatePutsThem) {
  EXPECT_EQ(dialog.windowTitle(), "Quorvex Pump and Valve Firmware Ver. 2.01");
  const DialogBaseUnits windows{6, 13};
  EXPECT_EQ(DialogUnitsToPixels(QSize(347, 201), windows), QSize(521, 327));
  // Halves round away from zero, as MulDiv: -1.5, 48.75, 109.5 and 22.75 pixels.
  EXPECT_EQ(DialogUnitsToPixels(QRect(-1, 30, 73, 14), windows), QRect(-2, 49, 110, 23));
  const DialogBaseUnits base = BaseUnitsOf(dialog.font());
  EXPECT_EQ(dialog.size(), DialogUnitsToPixels(QSize(347, 201), base));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.DownloadButton().geometry(), DialogUnitsToPixels(QRect(30, 30, 73, 14), base));
  const struct { FieldId field; QString name; QRect units; } fields[] = {
      {FieldId::kStatus, "Status", {15, 175, 315, 14}},
      {FieldId::kDownloadPercent, "Download progress", {280, 34, 35, 14}},
      {FieldId::kVerifyPercent, "Verify progress", {280, 80, 35, 14}},
      {FieldId::kErrors, "Differences", {30, 70, 235, 60}}};
  for (const auto& [field, name, units] : fields) {
    QWidget& control = Inside::Field(dialog, field);
    EXPECT_EQ(control.geometry(), DialogUnitsToPixels(units, base)) << name.toStdString();
    EXPECT_EQ(Inside::Text(dialog, field), "") << name.toStdString();
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&control)->text(QAccessible::Name), name);
  }
}

TEST_F(DialogTest, GroupBoxTitlesSitOnTheFrameAndNoControlCrossesAFrameLine) {
  const auto boxes = dialog.findChildren<QGroupBox*>();
  ASSERT_EQ(boxes.size(), 2);
  for (const QGroupBox* box : boxes) {
    QStyleOptionGroupBox option;  // where the style draws the frame and the title
    option.initFrom(box);
    option.text = box->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const auto drawn = [&](QStyle::SubControl part) {
      return box->style()->subControlRect(QStyle::CC_GroupBox, &option, part, box);
    };
    const QRect frame = drawn(QStyle::SC_GroupBoxFrame), title = drawn(QStyle::SC_GroupBoxLabel);
    EXPECT_TRUE(title.top() < frame.top() && frame.top() < title.bottom())
        << qPrintable(box->title());
    for (const QWidget* control : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      const QRect at = control->geometry().translated(-box->pos());
      const bool inside = frame.adjusted(1, 1, -1, -1).contains(at);
      EXPECT_TRUE(control == box || inside || !frame.intersects(at))
          << qPrintable(control->objectName()) << " crosses " << qPrintable(box->title());
    }
  }
}

// The timer only queues a step, one at a time: were the step run in the
// timer's own slot, the timeouts of a slow step would each run one. Closing
// and Escape then meet the close guard's box.
TEST_F(DialogTest, TimeoutsQueueOneStepAndTheCloseGuardHoldsTheDownload) {
  BoxCloser boxes;
  dialog.DownloadButton().click();
  for (int i = 0; i < 3; ++i) Inside::OnTimer(dialog);
  EXPECT_EQ(controller.Counters().frames, 0u) << "a step ran inside the timer's slot";
  QCoreApplication::processEvents();
  EXPECT_EQ(controller.Counters().frames, 1u) << "service.on, and no more";
  EXPECT_FALSE(dialog.close());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  const QString refused = "test_app: " + QString::fromLatin1(transfer::kCloseRefusedBox);
  EXPECT_EQ(boxes.seen, QStringList({refused, refused}));  // the caption: the executable's name
}

TEST_F(DialogTest, EnterDoesNothingAndEscapeOrCloseEndsAnIdleDialog) {
  QWidget* const focusable[] = {&dialog.DownloadButton(), &Inside::Field(dialog, FieldId::kDownloadPercent)};
  for (QWidget* focus : focusable) {
    focus->setFocus();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(focus, key);
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(Inside::Controller(dialog).Busy());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  dialog.show();
  EXPECT_TRUE(dialog.close());  // the close box
}

// lumbra-demo's unattended run, on the dialog's timer cut to nothing. The last
// Compare step opens the final box; the Done step must still run under it.
TEST(DemoSessionTest, TicksGoOnUnderABoxThatAStepOpened) {
  QTemporaryDir shots;
  DemoSession demo;
  // Sector 1 stores two chunks in each other's place; only the verification sees it.
  demo.Platform().ControllerAt(0)->AddFault(emulator::Fault::SwapChunks(1, 0, 1));
  FirmwareDialog dialog(demo.Platform(), nullptr, std::chrono::milliseconds(0));
  demo.Attach(dialog, {.autostart = true, .closeAtEnd = false, .screenshotDir = shots.path()});
  dialog.show();
  // Open until the Done step has run and the demo has taken its pictures.
  BoxCloser boxes([&] { return !Inside::Controller(dialog).Busy() && demo.Ended(); });
  for (QDeadlineTimer end(60000); boxes.seen.empty() && !end.hasExpired();)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const QString failed = "test_app: " + QString::fromLatin1(transfer::kVerifyFailedBox);
  EXPECT_EQ(boxes.seen, QStringList({failed}));
  for (const char* name : {"lumbra-demo-downloading.png", "lumbra-demo.png", "lumbra-demo-box.png"})
    EXPECT_TRUE(QDir(shots.path()).exists(name)) << name;
  // The engines end each difference's line with "\r\n"; the field shows '\n'.
  const QString errors = Inside::Text(dialog, FieldId::kErrors);
  EXPECT_FALSE(errors.contains('\r'));
  EXPECT_EQ(errors.count('\n'), Inside::Controller(dialog).Report().differences.size());
}

}  // namespace
}  // namespace lumbra::app

int main(int argc, char** argv) {
  // The tests run in the tool's own application object, so the boxes' caption is
  // this executable's name. Test discovery runs without the tests' environment.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  lumbra::app::DownloaderApp app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
