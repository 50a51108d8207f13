// The Qt dialog: what it shows and where, its keys and close command, and its
// timer, which must keep running under the boxes steps open. What the button,
// the ticks and the close guard decide is tested in tests/transfer.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QMessageBox>
#include <QPointer>
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

namespace lumbra::testing {
namespace {

using app::FirmwareDialog;
using transfer::FieldId;

QString Q(std::string_view s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }

// Answers every message box that opens while it lives: records it and presses
// OK once `keepOpenUntil` holds (or after a thousand polls), so that a test can
// watch what goes on under the box. It polls from a timer of its own, which
// the box's modal loop runs.
class BoxCloser {
 public:
  struct Seen {
    QString text, caption;
    bool warningWithOkOverTheDialog, conditionMet;
  };

  explicit BoxCloser(std::function<bool()> keepOpenUntil = [] { return true; })
      : keepOpenUntil_(std::move(keepOpenUntil)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
    poll_.start(1);
  }
  std::vector<Seen> seen;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    if (box != current_) polls_ = 0, current_ = box;
    const bool met = keepOpenUntil_();
    if (!met && ++polls_ < 1000) return;
    const bool looks = box->icon() == QMessageBox::Warning &&
                       box->standardButtons() == QMessageBox::Ok && box->isModal() &&
                       qobject_cast<FirmwareDialog*>(box->parentWidget());
    seen.push_back({box->text(), box->windowTitle(), looks, met});
    current_ = nullptr;
    box->button(QMessageBox::Ok)->click();
  }

  std::function<bool()> keepOpenUntil_;
  QTimer poll_;
  QMessageBox* current_ = nullptr;
  int polls_ = 0;
};

// Where a group box's style draws `part`, in the box's coordinates.
QRect Drawn(const QGroupBox& box, QStyle::SubControl part) {
  QStyleOptionGroupBox option;
  option.initFrom(&box);
  option.text = box.title();
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  return box.style()->subControlRect(QStyle::CC_GroupBox, &option, part, &box);
}

// The dialog's own timer is set far off: the tests tick by hand.
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

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller = platform.AddController();
  FirmwareDialog dialog{platform, nullptr, std::chrono::hours(1)};
};

TEST_F(DialogTest, OpensWithItsTitleAndFourEmptyFieldsAScreenReaderCanName) {
  EXPECT_EQ(dialog.windowTitle(), "Quorvex Pump and Valve Firmware Ver. 2.01");
  const std::pair<FieldId, QString> fields[] = {{FieldId::kStatus, "Status"},
                                                {FieldId::kDownloadPercent, "Download progress"},
                                                {FieldId::kVerifyPercent, "Verify progress"},
                                                {FieldId::kErrors, "Differences"}};
  for (const auto& [field, name] : fields) {
    EXPECT_EQ(dialog.FieldText(field), "") << name.toStdString();
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&dialog.Field(field));
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Name), name);
  }
}

// MS Sans Serif 8 pt at 96 dpi: base units 6 x 13. The dialog then measures
// 521 x 327 pixels inside its frame on Windows.
TEST(DialogUnitsTest, ConvertsLikeWindowsForMsSansSerif) {
  const app::DialogBaseUnits base{6, 13};
  EXPECT_EQ(app::DialogUnitsToPixels(QSize(347, 201), base), QSize(521, 327));
  // 14 units of height: 22.75 pixels, rounded up; 73 across: 109.5, rounded up.
  EXPECT_EQ(app::DialogUnitsToPixels(QRect(30, 30, 73, 14), base), QRect(45, 49, 110, 23));
  EXPECT_EQ(app::DialogUnitsToPixelsY(8, base), 13);
  EXPECT_EQ(app::DialogUnitsToPixelsX(-2, base), -3);  // half away from zero, as MulDiv
}

// Converted with the figures above, from the template's table.
TEST_F(DialogTest, ControlsSitWhereTheTemplatePutsThemInDialogUnits) {
  const app::DialogBaseUnits base = app::BaseUnitsOf(dialog.font());
  EXPECT_EQ(dialog.size(), app::DialogUnitsToPixels(QSize(347, 201), base));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  const std::pair<QWidget*, QRect> controls[] = {
      {&dialog.Field(FieldId::kDownloadPercent), {280, 34, 35, 14}},
      {&dialog.DownloadButton(), {30, 30, 73, 14}},
      {&dialog.Field(FieldId::kStatus), {15, 175, 315, 14}},
      {&dialog.Field(FieldId::kErrors), {30, 70, 235, 60}},
      {&dialog.Field(FieldId::kVerifyPercent), {280, 80, 35, 14}},
  };
  for (const auto& [control, units] : controls)
    EXPECT_EQ(control->geometry(), app::DialogUnitsToPixels(units, base))
        << qPrintable(control->objectName());
}

TEST_F(DialogTest, GroupBoxTitlesSitOnTheFrameAndNoControlCrossesAFrameLine) {
  const auto boxes = dialog.findChildren<QGroupBox*>();
  ASSERT_EQ(boxes.size(), 2);
  for (const QGroupBox* box : boxes) {
    const QRect frame = Drawn(*box, QStyle::SC_GroupBoxFrame);
    const QRect title = Drawn(*box, QStyle::SC_GroupBoxLabel);
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

// The timer only queues a step: were the step run in the timer's own slot,
// the timeouts of a slow step would each run one.
TEST_F(DialogTest, TimeoutsWhileAStepIsQueuedRunOneStep) {
  dialog.DownloadButton().click();
  Tick();  // the handshake
  const std::uint64_t before = controller.Counters().frames;
  for (int i = 0; i < 3; ++i) dialog.OnTimer();
  QCoreApplication::processEvents();
  EXPECT_EQ(controller.Counters().frames, before + 1);
}

TEST_F(DialogTest, CloseAndEscapeGoThroughTheCloseGuard) {
  BoxCloser boxes;
  dialog.DownloadButton().click();
  Tick();
  Tick();
  EXPECT_FALSE(dialog.close());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(dialog.Controller().State().flags.downloading);
  ASSERT_EQ(boxes.seen.size(), 2u);
  for (const BoxCloser::Seen& box : boxes.seen) {
    EXPECT_EQ(box.text, Q(transfer::kCloseRefusedBox));
    EXPECT_EQ(box.caption, "test_app");  // the executable's name
    EXPECT_TRUE(box.warningWithOkOverTheDialog);
  }
}

TEST_F(DialogTest, EnterDoesNothingAndEscapeEndsAnIdleDialog) {
  BoxCloser boxes;
  QWidget* const focusable[] = {&dialog.DownloadButton(), &dialog.Field(FieldId::kDownloadPercent)};
  for (QWidget* focus : focusable) {
    focus->setFocus();
    QTest::keyClick(focus, Qt::Key_Return);
    QTest::keyClick(focus, Qt::Key_Enter);
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.Controller().Busy());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
}

TEST(DownloaderAppTest, TheDialogIsGoneWhenRunReturns) {
  emulator::EmulatedHidPlatform platform;
  QPointer<FirmwareDialog> opened;
  auto closeOnceOpen = [&](FirmwareDialog& dialog) {
    opened = &dialog;
    QTimer::singleShot(0, &dialog, [&] { opened->close(); });
  };
  auto* app = static_cast<app::DownloaderApp*>(QCoreApplication::instance());
  EXPECT_EQ(app->Run(platform, closeOnceOpen), 0);
  EXPECT_TRUE(opened.isNull());
}

// lumbra-demo's unattended run, on the dialog's timer cut to nothing. The last
// Compare step opens the final box; the Done step must still run under it.
TEST(DemoSessionTest, TicksGoOnUnderABoxThatAStepOpened) {
  QTemporaryDir shots;
  app::DemoSession demo;
  // Sector 1 stores two chunks in each other's place; only the verification sees it.
  demo.Platform().ControllerAt(0)->AddFault(emulator::Fault::SwapChunks(1, 0, 1));
  FirmwareDialog dialog(demo.Platform(), nullptr, std::chrono::milliseconds(0));
  demo.Attach(dialog, {.autostart = true, .closeAtEnd = false, .screenshotDir = shots.path()});
  dialog.show();
  // Open until the Done step has run and the demo has taken its pictures.
  BoxCloser boxes([&] { return !dialog.Controller().Busy() && demo.Ended(); });
  QElapsedTimer clock;
  clock.start();
  while (boxes.seen.empty() && clock.elapsed() < 60000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, Q(transfer::kVerifyFailedBox));
  EXPECT_TRUE(boxes.seen[0].conditionMet) << "no tick ran while the step's box was open";
  EXPECT_EQ(demo.FinalBoxText(), boxes.seen[0].text);
  for (const char* name : {"lumbra-demo-downloading.png", "lumbra-demo.png", "lumbra-demo-box.png"})
    EXPECT_TRUE(QDir(shots.path()).exists(name)) << name;
  // One difference a line, each ended by a plain line end.
  const QString errors = dialog.FieldText(FieldId::kErrors);
  EXPECT_TRUE(errors.startsWith("add 0x40")) << qPrintable(errors);
  EXPECT_FALSE(errors.contains('\r'));
  EXPECT_EQ(errors.count('\n'), dialog.Controller().State().errorCount);
}

}  // namespace
}  // namespace lumbra::testing
