// A controller that goes away, which controller a download goes to, and
// service mode across connections.
#include <functional>

#include "support/cycle_runner.h"
#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

using emulator::Command;

struct LostAt {
  const char* point;
  std::function<bool(const TransferState&)> reached;  // the plug is pulled before this tick
  Texts boxes;
};

// Each box once; two different boxes for one failure both stay. Replies that
// never come, and a controller lost while a reply is awaited, are rows of the
// fault matrix.
TEST(FailureBoxes, AControllerLostBeforeASendShowsEachBoxOnce) {
  const std::string writeFailed(kDownloadSendFailedBox);
  const LostAt rows[] = {
      {"handshake", [](const TransferState&) { return true; }, {std::string(kNotDetectedBox)}},
      {"start", [](const TransferState& s) { return s.flags.downloading && !s.flags.connectPending; },
       {writeFailed, std::string(kStartFailedBox)}},
      {"sector address",
       [](const TransferState& s) {
         return s.downloadStep == DownloadStep::kSendAddress && s.currentAddress == kSectorSize;
       },
       {writeFailed, std::string(kSectorAddressFailedBox)}},
      {"checksum", [](const TransferState& s) { return s.downloadStep == DownloadStep::kReadChecksum; },
       {writeFailed}},
      {"verify block",
       [](const TransferState& s) { return s.flags.verifying && s.currentAddress == 0x100; },
       {std::string(kVerifyReadFailedBox)}},
  };
  for (const LostAt& row : rows) {
    reliability::Setup setup;
    setup.unplugWhen = row.reached;
    const reliability::CycleResult result = reliability::RunCycle(setup);
    EXPECT_EQ(result.boxes, row.boxes) << row.point;
    EXPECT_TRUE(result.violations.empty()) << row.point << ": " << result.violations.front();
  }
}

// --- Service mode belongs to the connection ------------------------------------

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

TEST_F(TransferTest, TwoControllersOneAfterTheOther) {
  PressAndRun();
  platform.Unplug(0);
  emulator::QuorvexController& second = platform.AddController();
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(second.Counters().Count(Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(FlashHoldsImage(second));
}

// A controller this user may not open is named, and nothing is sent to it.
TEST(AccessDenied, ALockedControllerEndsTheDownloadWithItsOwnBox) {
  emulator::EmulatedHidPlatform platform;
  platform.AddController({}, {.opens = false});
  testing::RecordingDialog dialog;
  TransferController tc(platform, dialog);
  tc.Init();
  tc.BeginDownload();
  for (int i = 0; i < 5; ++i) tc.OnTick();
  EXPECT_EQ(dialog.Status(), "Quorvex detected, access denied");
  EXPECT_EQ(dialog.boxes, Texts{std::string(kAccessDeniedBox)});
  EXPECT_FALSE(tc.Busy());
}

// --- A stand-in build writes only to the virtual controller ------------------

TEST(StandInImage, RefusesARealControllerAndTakesTheVirtualOne) {
  if (!FirmwareImage::IsStandIn()) GTEST_SKIP() << "built with the real image";
  emulator::EmulatedHidPlatform platform;
  emulator::DeviceSpec real;
  real.serialNumber = "QX0001234";
  platform.AddController({}, real);
  testing::RecordingDialog dialog;
  TransferController tc(platform, dialog);
  tc.Init();

  tc.BeginDownload();
  for (int i = 0; i < 5; ++i) tc.OnTick();
  EXPECT_EQ(dialog.Status(), link::kStandInRefused);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kStandInRefusedBox)});
  EXPECT_FALSE(tc.Busy());

  // The button works again, and a virtual controller gets the download.
  platform.AddController();
  tc.BeginDownload();
  for (int i = 0; i < 20000 && tc.Busy(); ++i) tc.OnTick();
  EXPECT_EQ(dialog.Status(), kVerifyFinished);
  EXPECT_EQ(platform.Counters(0).writes, 0u) << "not even service.on";
}

}  // namespace
}  // namespace lumbra::transfer
