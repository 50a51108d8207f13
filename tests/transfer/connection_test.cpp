// Which controller a download goes to, and service mode across connections.
// A controller lost at each step, and the boxes that follow, are rows of the
// fault matrix.
#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

using emulator::Command;

TEST_F(TransferTest, AReplugGetsServiceModeAskedForAgain) {
  PressAndRun();
  PressAndRun();
  EXPECT_EQ(controller.Counters().Count(Command::kServiceOn), 1u)
      << "the same connection stays in service mode";

  platform.Unplug(0, 0);  // power-cycled: back at the next enumeration, reset
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(controller.Counters().Count(Command::kServiceOn), 2u);
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
  EXPECT_EQ(second.Counters().Count(Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(FlashHoldsImage(second));
}

}  // namespace
}  // namespace lumbra::transfer
