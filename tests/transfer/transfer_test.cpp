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
#include "support/wire.h"
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

  // Ticks until no activity is left, or only the download's end; returns the ticks it took.
  int RunUntilIdle(bool downloadOnly = false) {
    int ticks = 0;
    for (; (downloadOnly ? tc.State().flags.downloading : tc.Busy()) && ticks < 20000; ++ticks) tc.OnTick();
    EXPECT_LT(ticks, 20000) << "no end";
    return ticks;
  }

  emulator::EmulatedHidPlatform platform;
  emulator::QuorvexController& controller;
  testing::RecordingDialog dialog;
  TransferController tc{platform, dialog};
};

// Nothing goes out before the button is pressed; then the first sector's
// exchange line by line, and the ticks the whole download and verification
// take, which presses of the button while the download is on leave as they are.
TEST_F(TransferTest, WholeRunAndItsFirstSectorLineByLine) {
  for (int i = 0; i < 10; ++i) tc.OnTick();
  EXPECT_EQ(platform.Enumerations(), 0u);
  EXPECT_TRUE(dialog.fields.empty());
  tc.BeginDownload();
  tc.BeginDownload();  // handshake still pending
  for (int i = 0; i < 4; ++i) tc.OnTick();  // handshake, Start, SendAddress, first chunk
  EXPECT_EQ(dialog.Status(), kDownloadingSector);
  EXPECT_EQ(dialog.Field(FieldId::kDownloadPercent), " 0.02%");
  tc.BeginDownload();  // in the first sector
  for (int i = 4; i < 2 + 66 + 1; ++i) tc.OnTick();
  const auto transcript = controller.Transcript();
  ASSERT_EQ(transcript.size(), 69u);
  EXPECT_EQ(transcript[0].line, "service.on");
  EXPECT_EQ(transcript[1].line, "xscr 5 6 5057585906");
  EXPECT_EQ(transcript[2].line, "xscr 8 3 5057303030303037");
  EXPECT_EQ(transcript[3].line, "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  EXPECT_EQ(transcript[66].line, "xscr 19 0 50589486402090003BE4F0A3F0801790003BAA");
  EXPECT_EQ(transcript[67].line, "xscr 3 5 505909");
  EXPECT_EQ(transcript[68].line, "xscr 8 3 5057303130323430");
  EXPECT_EQ(transcript[0].answer, "SERVICE ON");
  EXPECT_EQ(transcript[2].answer, "4F4B04");
  EXPECT_EQ(transcript[67].answer, "00020A7F77");
  EXPECT_EQ(platform.PausedMs(), 4u);  // after "service.on" and after Start download
  EXPECT_EQ(dialog.statusHistory[0], "Quorvex detected");
  EXPECT_EQ(std::ranges::count(dialog.statusHistory, kConnected), 1);

  EXPECT_EQ(RunUntilIdle(/*downloadOnly=*/true) + 69, 4227);  // handshake, Start, 64 x 66, Finish
  EXPECT_EQ(std::ranges::count(dialog.statusHistory, kReadingChecksum), 64);
  EXPECT_EQ(std::ranges::count(dialog.statusHistory, kDownloadingSector), 64);
  EXPECT_EQ(dialog.Status(), kDownloadFinished);
  EXPECT_EQ(dialog.Field(FieldId::kDownloadPercent), "100.00");
  EXPECT_EQ(RunUntilIdle(), 8194);  // Begin, 4096 x 2, Done
  // How a verified run ends, and that its flash is the image: the fault matrix's clean rows.
  EXPECT_EQ(dialog.Status(), kVerifyFinished);
}

TEST_F(TransferTest, DifferencesAreListedOneALine) {
  tc.BeginDownload();
  RunUntilIdle(/*downloadOnly=*/true);
  // Three erased bytes of the image lose their value before the read-back.
  std::array<std::uint8_t, kImageSize> flash;
  std::copy(controller.Flash().begin(), controller.Flash().end(), flash.begin());
  flash[0x6400] = flash[0x6401] = flash[0x7FFF] = 0x00;
  controller.LoadFlash(flash);
  RunUntilIdle();
  // The run's report lists them too: tests/cli checks them in the command line's records.
  EXPECT_EQ(dialog.Field(FieldId::kErrors),
            "add 0x6400 = 0x0 should be 0xFF\r\nadd 0x6401 = 0x0 should be 0xFF\r\n"
            "add 0x7FFF = 0x0 should be 0xFF\r\n");
}

TEST_F(TransferTest, FailedDownloadDoesNotResumeAnAbandonedVerification) {
  tc.BeginDownload();
  RunUntilIdle(/*downloadOnly=*/true);
  for (int i = 0; i < 1001; ++i) tc.OnTick();
  EXPECT_TRUE(tc.OnClose());  // a verification does not hold the dialog
  controller.AddFault(emulator::Fault::WrongChecksum(5, 6));
  tc.BeginDownload();
  RunUntilIdle();
  // The flash was changed under the interrupted verification: it must not
  // carry on and report success.
  EXPECT_EQ(dialog.Status(), kDownloadFailed);
  EXPECT_EQ(std::ranges::count(dialog.statusHistory, kVerifyFinished), 0);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kDownloadFailedBox)});  // none for the close above
}

// The close guard holds the dialog from the press on; the download goes on
// under its box, up to a failure of its own.
TEST_F(TransferTest, CloseGuardAndAFailureBoxOnTopOfItsBox) {
  controller.AddFault(emulator::Fault::NoAnswer(3));  // the first Sector address
  EXPECT_TRUE(tc.OnClose());  // idle
  tc.BeginDownload();
  EXPECT_FALSE(tc.OnClose());  // handshake pending
  tc.OnTick();
  dialog.whileBoxOpen = [&](const std::string& box) {
    if (box == kCloseRefusedBox) tc.OnTick(), tc.OnTick();
  };
  EXPECT_FALSE(tc.OnClose());
  const std::string refused(kCloseRefusedBox);
  EXPECT_EQ(dialog.boxes, (Texts{refused, refused, std::string(kSectorAddressFailedBox)}));
  EXPECT_TRUE(tc.OnClose());
}

// Nobody there; in a build with the stand-in image, a real controller, refused
// (that no line went to it is for tests/link); one this user may not open,
// named as such; then the next virtual controller on the bench.
TEST_F(TransferTest, NoControllerARefusedOneThenTheNextOneOnTheBench) {
  PressAndRun();
  platform.Unplug(0);
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(dialog.Status(), link::kNotDetected);  // the link's text stays; tests/link has every reason's
  EXPECT_EQ(dialog.boxes, Texts{std::string(kNotDetectedBox)});
  if (FirmwareImage::IsStandIn()) {
    platform.AddController({}, {.serialNumber = "QX0001234"});
    PressAndRun();
    EXPECT_EQ(dialog.boxes.back(), kStandInRefusedBox);
    platform.Unplug(1);
  }
  platform.AddController({}, {.opens = false});
  PressAndRun();
  EXPECT_EQ(dialog.boxes.back(), kAccessDeniedBox);
  emulator::QuorvexController& second = platform.AddController();
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(second.Counters().Count(emulator::Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(reliability::FlashHoldsImage(second));
}

// What a front end other than the dialog observes.
struct EventLog : TransferObserver {
  void OnPhase(Phase phase) override { phases.push_back(phase); }
  void OnProgress(const Progress& p) override {
    progress.push_back(p);
    if (onProgress) onProgress(p);
  }
  void OnEnd(Outcome o, const RunReport&) override { ends.push_back(o); }

  std::vector<Phase> phases;
  std::vector<Progress> progress;
  std::vector<Outcome> ends;
  std::function<void(const Progress&)> onProgress;
};

// The phases in order, each one's position rising to its total, the steps
// adding up to the run's ticks, and every address the one on the wire; a
// download that fails never tells of a verification.
TEST_F(TransferTest, EventsFollowTheRunWithTheAddressesOnTheWire) {
  EventLog log;
  tc.AddObserver(log);
  log.onProgress = [&](const Progress& p) {
    const auto transcript = controller.Transcript();
    const auto sent = std::find_if(transcript.rbegin(), transcript.rend(),
                                   [](const auto& e) { return e.line.starts_with("xscr 8 "); });
    ASSERT_NE(sent, transcript.rend());
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(p.address));
    EXPECT_EQ(sent->line, p.phase == Phase::kDownload ? testing::wire::SectorAddress(p.address)
                                                      : testing::wire::Xscr(17, std::string("PZ") + digits));
  };
  PressAndRun();
  EXPECT_EQ(log.phases, (std::vector{Phase::kHandshake, Phase::kDownload, Phase::kVerify}));
  EXPECT_EQ(log.ends, std::vector{Outcome::kVerified});
  std::uint32_t position = 0;
  for (std::size_t i = 0; i < log.progress.size(); ++i) {
    const Progress& p = log.progress[i];
    if (i > 0 && p.phase != log.progress[i - 1].phase) position = 0;
    EXPECT_GE(p.position, position) << i;
    position = p.position;
    EXPECT_EQ(p.stepsDone + p.stepsLeft, 4227u + 8194u) << i;  // the ticks of the whole run
    const bool last = i + 1 == log.progress.size() || log.progress[i + 1].phase != p.phase;
    if (last) { EXPECT_EQ(p.position, p.total) << ToString(p.phase); }
  }

  log = {};
  controller.AddFault(emulator::Fault::WrongChecksum(3, emulator::kEveryTime));
  PressAndRun();
  EXPECT_EQ(log.phases, (std::vector{Phase::kHandshake, Phase::kDownload}));
  EXPECT_EQ(log.ends, std::vector{Outcome::kDownloadFailed});
  EXPECT_TRUE(std::ranges::none_of(log.progress, [](const Progress& p) { return p.phase == Phase::kVerify; }));
}

}  // namespace
}  // namespace lumbra::transfer
