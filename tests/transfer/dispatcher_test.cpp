// The button, the tick and the close guard, and what they do to each other;
// which controller a download goes to, and service mode across connections.
// A controller lost at each step, and the boxes that follow, are rows of the
// fault matrix.
#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

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
  tc.OnTick();
  tc.OnTick();
  // The download goes on under the guard's box.
  const FlashAddress before = tc.State().imagePosition;
  dialog.whileBoxOpen = [&](const std::string&) {
    for (int i = 0; i < 5; ++i) tc.OnTick();
  };
  EXPECT_FALSE(tc.OnClose());
  EXPECT_EQ(dialog.boxes.back(), kCloseRefusedBox);
  EXPECT_GT(tc.State().imagePosition, before);
  dialog.whileBoxOpen = nullptr;
  RunWhileDownloading();
  ASSERT_TRUE(tc.State().flags.verifying);
  const std::size_t boxes = dialog.boxes.size();
  EXPECT_TRUE(tc.OnClose());  // a verification does not hold the dialog
  EXPECT_EQ(dialog.boxes.size(), boxes);
}

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

TEST_F(TransferTest, AReplugGetsServiceModeAskedForAgain) {
  PressAndRun();
  PressAndRun();
  EXPECT_EQ(controller.Counters().Count(emulator::Command::kServiceOn), 1u)
      << "the same connection stays in service mode";

  platform.Unplug(0, 0);  // power-cycled: back at the next enumeration, reset
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(controller.Counters().Count(emulator::Command::kServiceOn), 2u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
}

// Nobody there; in a build with the stand-in image, a real controller, refused
// before a line is sent; then the next virtual controller on the bench.
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
  }
  emulator::QuorvexController& second = platform.AddController();
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(second.Counters().Count(emulator::Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(FlashHoldsImage(second));
}

}  // namespace
}  // namespace lumbra::transfer
