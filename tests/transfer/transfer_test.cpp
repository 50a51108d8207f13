// A whole download and verification, and the first sector's exchange line by
// line; the button, the tick and the close guard, and what they do to each other;
// which controller a download goes to, each new one asked for service mode.
// A controller lost at each step, the boxes that follow, and service mode kept
// on one connection are rows of the fault matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/emulated_hid_platform.h"
#include "support/box_rules.h"
#include "support/cycle_runner.h"
#include "support/recording_dialog.h"
#include "transfer/firmware_image.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::transfer {
namespace {

using Texts = std::vector<std::string>;

// The emulated controller, a recording dialog and the controller under test,
// driven tick by tick. Every box must find its activity let go; tests that
// watch a box set their own hook.
class TransferTest : public ::testing::Test {
 protected:
  TransferTest() : controller(platform.AddController({.initialFlash = {}, .transcriptCapacity = 128})) {
    tc.Init();
    dialog.whileBoxOpen = [this](const std::string& box) {  // the close guard's box ends nothing
      if (box != kCloseRefusedBox) { EXPECT_EQ(testing::CheckFlagsAtBox(box, tc.State()), ""); }
    };
  }

  // Presses the button and ticks until no activity is left.
  void PressAndRun() { tc.BeginDownload(), RunUntilIdle(); }

  // Ticks until no activity is left; returns the ticks it took.
  int RunUntilIdle() { return RunWhile([this] { return tc.Busy(); }); }
  int RunWhileDownloading() { return RunWhile([this] { return tc.State().flags.downloading; }); }
  template <typename Condition>
  int RunWhile(Condition condition) {
    int ticks = 0;
    for (; condition() && ticks < 20000; ++ticks) tc.OnTick();
    EXPECT_LT(ticks, 20000) << "no end";
    return ticks;
  }

  // The lines the controller received, in order.
  Texts Lines() const {
    Texts lines;
    for (const auto& entry : controller.Transcript()) lines.push_back(entry.line);
    return lines;
  }

  std::string Status() const { return dialog.Status(); }
  std::string Field(FieldId field) const { return dialog.Field(field); }
  int Count(const Texts& texts, std::string_view text) const {
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller;
  testing::RecordingDialog dialog;
  TransferController tc{platform, dialog};
};

TEST_F(TransferTest, WholeDownloadAndVerificationWritesTheImage) {
  tc.BeginDownload();
  for (int i = 0; i < 4; ++i) tc.OnTick();  // handshake, Start, SendAddress, first chunk
  EXPECT_EQ(Status(), kDownloadingSector);
  EXPECT_EQ(Field(FieldId::kDownloadPercent), " 0.02%");
  EXPECT_EQ(RunWhileDownloading() + 4, 4227);  // handshake, Start, 64 x 66, Finish
  EXPECT_EQ(Count(dialog.statusHistory, kReadingChecksum), 64);
  EXPECT_EQ(Count(dialog.statusHistory, kDownloadingSector), 64);
  EXPECT_EQ(Status(), kDownloadFinished);
  EXPECT_EQ(Field(FieldId::kDownloadPercent), "100.00");
  EXPECT_EQ(RunUntilIdle(), 8194);  // Begin, 4096 x 2, Done

  EXPECT_EQ(Status(), kVerifyFinished);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_EQ(Field(FieldId::kVerifyPercent), "100.00");
  EXPECT_EQ(Field(FieldId::kErrors), "");
  EXPECT_TRUE(reliability::FlashHoldsImage(controller));
  EXPECT_EQ(tc.Report().outcome, Outcome::kVerified);  // its skip window: the fault matrix's boot code rows
}

TEST_F(TransferTest, FirstSectorExchangeLineByLine) {
  tc.BeginDownload();
  for (int i = 0; i < 2 + 66 + 1; ++i) tc.OnTick();
  const Texts lines = Lines();
  ASSERT_GE(lines.size(), 69u);
  EXPECT_EQ(lines[0], "service.on");
  EXPECT_EQ(lines[1], "xscr 5 6 5057585906");
  EXPECT_EQ(lines[2], "xscr 8 3 5057303030303037");
  EXPECT_EQ(lines[3], "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  EXPECT_EQ(lines[66], "xscr 19 0 50589486402090003BE4F0A3F0801790003BAA");
  EXPECT_EQ(lines[67], "xscr 3 5 505909");
  EXPECT_EQ(lines[68], "xscr 8 3 5057303130323430");
  const auto transcript = controller.Transcript();
  EXPECT_EQ(transcript[0].answer, "SERVICE ON");
  EXPECT_EQ(transcript[2].answer, "4F4B04");
  EXPECT_EQ(transcript[67].answer, "00020A7F77");
  EXPECT_EQ(platform.PausedMs(), 4u);  // after "service.on" and after Start download
  EXPECT_EQ(dialog.statusHistory[0], "Quorvex detected");
  EXPECT_EQ(Count(dialog.statusHistory, kConnected), 1);
}

TEST_F(TransferTest, DifferencesAreListedOneALine) {
  tc.BeginDownload();
  RunWhileDownloading();
  // Three erased bytes of the image lose their value before the read-back.
  std::array<std::uint8_t, kImageSize> flash;
  std::copy(controller.Flash().begin(), controller.Flash().end(), flash.begin());
  flash[0x6400] = flash[0x6401] = flash[0x7FFF] = 0x00;
  controller.LoadFlash(flash);
  RunUntilIdle();
  EXPECT_EQ(Field(FieldId::kErrors),
            "add 0x6400 = 0x0 should be 0xFF\r\nadd 0x6401 = 0x0 should be 0xFF\r\n"
            "add 0x7FFF = 0x0 should be 0xFF\r\n");
  const std::vector<Difference> found{{0x6400, 0, 0xFF}, {0x6401, 0, 0xFF}, {0x7FFF, 0, 0xFF}};
  EXPECT_EQ(tc.Report().differences, found);  // the ending itself: the fault matrix's rows
}

TEST_F(TransferTest, NothingIsSentBeforeTheButtonIsPressed) {
  for (int i = 0; i < 10; ++i) tc.OnTick();
  EXPECT_EQ(platform.Enumerations(), 0u);
  EXPECT_TRUE(dialog.fields.empty());
  tc.BeginDownload();
  tc.OnTick();
  EXPECT_EQ(Lines(), Texts{"service.on"});
}

TEST_F(TransferTest, PressDuringADownloadChangesNothing) {
  tc.BeginDownload();
  tc.BeginDownload();  // handshake still pending
  for (int i = 0; i < 10; ++i) tc.OnTick();
  const TransferState before = tc.State();
  tc.BeginDownload();
  EXPECT_EQ(tc.State().downloadStep, before.downloadStep);
  EXPECT_EQ(tc.State().imagePosition, before.imagePosition);
  RunUntilIdle();
  EXPECT_EQ(controller.Counters().Count(emulator::Command::kServiceOn), 1u);
  EXPECT_EQ(Status(), kVerifyFinished);
}

TEST_F(TransferTest, FailedDownloadDoesNotResumeAnAbandonedVerification) {
  tc.BeginDownload();
  RunWhileDownloading();
  for (int i = 0; i < 1001; ++i) tc.OnTick();
  controller.AddFault(emulator::Fault::WrongChecksum(5, 6));
  tc.BeginDownload();
  RunUntilIdle();
  // The flash was changed under the interrupted verification: it must not
  // carry on and report success.
  EXPECT_EQ(Status(), kDownloadFailed);
  EXPECT_EQ(Count(dialog.statusHistory, kVerifyFinished), 0);
}

TEST_F(TransferTest, CloseGuard) {
  EXPECT_TRUE(tc.OnClose());  // idle
  tc.BeginDownload();
  EXPECT_FALSE(tc.OnClose());  // handshake pending
  EXPECT_EQ(dialog.boxes.back(), kCloseRefusedBox);
  RunWhileDownloading();
  ASSERT_TRUE(tc.State().flags.verifying);
  const std::size_t boxes = dialog.boxes.size();
  EXPECT_TRUE(tc.OnClose());  // a verification does not hold the dialog
  EXPECT_EQ(dialog.boxes.size(), boxes);
}

// The download goes on under the guard's box, up to a failure of its own.
TEST_F(TransferTest, FailureBoxOnTopOfTheCloseGuardsBox) {
  controller.AddFault(emulator::Fault::NoAnswer(3));  // the first Sector address
  tc.BeginDownload();
  tc.OnTick();
  dialog.whileBoxOpen = [&](const std::string& box) {
    if (box == kCloseRefusedBox) tc.OnTick(), tc.OnTick();
  };
  EXPECT_FALSE(tc.OnClose());
  EXPECT_EQ(dialog.boxes, (Texts{std::string(kCloseRefusedBox), std::string(kSectorAddressFailedBox)}));
  EXPECT_TRUE(tc.OnClose());
}

// Nobody there; in a build with the stand-in image, a real controller, refused
// before a line is sent; one this user may not open, named as such; then the
// next virtual controller on the bench.
TEST_F(TransferTest, NoControllerARefusedOneThenTheNextOneOnTheBench) {
  PressAndRun();
  platform.Unplug(0);
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(Status(), link::kNotDetected);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kNotDetectedBox)});
  if (FirmwareImage::IsStandIn()) {
    platform.AddController({}, {.serialNumber = "QX0001234"});
    PressAndRun();
    EXPECT_EQ(Status(), link::kStandInRefused);
    EXPECT_EQ(dialog.boxes.back(), kStandInRefusedBox);
    EXPECT_EQ(platform.Counters(1).writes, 0u) << "not even service.on";
    platform.Unplug(1);
  }
  platform.AddController({}, {.opens = false});
  PressAndRun();
  EXPECT_EQ(Status(), "Quorvex detected, access denied");
  EXPECT_EQ(dialog.boxes.back(), kAccessDeniedBox);
  emulator::QuorvexController& second = platform.AddController();
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(second.Counters().Count(emulator::Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(reliability::FlashHoldsImage(second));
}

}  // namespace
}  // namespace lumbra::transfer
