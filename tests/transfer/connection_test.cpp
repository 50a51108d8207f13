// What the technician sees when the controller goes away or stops answering,
// which controller a download goes to, and service mode across connections.
#include <functional>

#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

using emulator::Command;
using emulator::Fault;
using Boxes = std::vector<std::string>;

const std::string kWriteFailed(protocol::kDownloadSendFailedBox);

// Frames of an undisturbed run: "service.on" 1, Start download 2, then 66 per
// sector (address, 64 chunks, checksum), then one per verified block.
constexpr std::uint32_t kSecondAddressFrame = 3 + 66;
constexpr std::uint32_t kFirstChecksumFrame = 68;
constexpr std::uint32_t kSixthBlockFrame = 4227 + 5;

// Ticks keep arriving under every box, as a modal loop delivers them.
void TickUnderBoxes(TransferRig& rig) {
  rig.dialog.whileBoxOpen = [&rig](const std::string&) {
    for (int i = 0; i < 3; ++i) rig.tc.OnTick();
  };
}

struct LostAt {
  const char* point;
  std::function<bool(const TransferState&)> reached;  // unplugged before this tick
  Boxes boxes;
};

TEST(FailureBoxes, ALostControllerShowsEachBoxOnce) {
  const LostAt rows[] = {
      {"handshake", [](const TransferState&) { return true; }, {std::string(kNotDetectedBox)}},
      {"start",
       [](const TransferState& s) { return s.flags.downloading && !s.flags.connectPending; },
       {kWriteFailed, std::string(kStartFailedBox)}},
      {"sector address",
       [](const TransferState& s) {
         return s.downloadStep == DownloadStep::kSendAddress && s.currentAddress == kSectorSize;
       },
       {kWriteFailed, std::string(kSectorAddressFailedBox)}},
      {"checksum",
       [](const TransferState& s) { return s.downloadStep == DownloadStep::kReadChecksum; },
       {kWriteFailed}},
      {"block address",
       [](const TransferState& s) {
         return s.flags.verifying && s.verifyStep == VerifyStep::kSendAddress &&
                s.currentAddress == 0x100;
       },
       {std::string(kVerifyReadFailedBox)}},
  };
  for (const LostAt& row : rows) {
    SCOPED_TRACE(row.point);
    TransferRig rig;
    TickUnderBoxes(rig);
    rig.tc.BeginDownload();
    int ticks = 0;
    while (!row.reached(rig.tc.State()) && ticks++ < 20000) rig.tc.OnTick();
    rig.platform.Unplug(0);
    rig.RunUntilIdle();
    EXPECT_EQ(rig.dialog.boxes, row.boxes);
  }
}

struct FaultAt {
  const char* point;
  Fault fault;
  Boxes boxes;
  std::string_view status;
};

TEST(FailureBoxes, AControllerThatStopsAnsweringShowsEachBoxOnce) {
  const FaultAt rows[] = {
      // Without "SERVICE ON" the download still begins, on a reopened link.
      {"handshake", Fault::NoAnswer(1), {std::string(kVerifyFinishedBox)}, kVerifyFinished},
      {"start", Fault::NoAnswer(2), {std::string(kStartFailedBox)}, kStartFailed},
      {"sector address", Fault::NoAnswer(kSecondAddressFrame),
       {std::string(kSectorAddressFailedBox)}, kSectorAddressFailed},
      // An unanswered checksum is a wrong one: the sector is sent again.
      {"checksum", Fault::NoAnswer(kFirstChecksumFrame), {std::string(kVerifyFinishedBox)},
       kVerifyFinished},
      {"block", Fault::NoAnswer(kSixthBlockFrame), {std::string(kVerifyReadFailedBox)},
       kVerifyAddressFailed},
      // Gone right after the request: the block can no longer be read.
      {"block, unplugged", Fault::Unplug(kSixthBlockFrame), {std::string(kVerifyReadFailedBox)},
       kVerifyAddressFailed},
  };
  for (const FaultAt& row : rows) {
    SCOPED_TRACE(row.point);
    TransferRig rig;
    TickUnderBoxes(rig);
    rig.controller.AddFault(row.fault);
    rig.PressAndRun();
    EXPECT_EQ(rig.dialog.boxes, row.boxes);
    EXPECT_EQ(rig.Status(), row.status);
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
  EXPECT_EQ(dialog.boxes, Boxes{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(FlashDifferences().empty());
}

TEST_F(TransferTest, TwoControllersOneAfterTheOther) {
  PressAndRun();
  platform.Unplug(0);
  emulator::QuorvexController& second = platform.AddController();
  dialog.boxes.clear();
  PressAndRun();
  EXPECT_EQ(second.Counters().Count(Command::kServiceOn), 1u);
  EXPECT_EQ(dialog.boxes, Boxes{std::string(kVerifyFinishedBox)});
  EXPECT_TRUE(std::equal(FirmwareImage::Bytes().begin(), FirmwareImage::Bytes().begin() + 0xF000,
                         second.Flash().begin()));
}

// --- A stand-in build writes only to the virtual controller ------------------

TEST(StandInImage, RefusesARealControllerAndTakesTheVirtualOne) {
  if (!FirmwareImage::IsStandIn()) GTEST_SKIP() << "built with the real image";
  emulator::EmulatedHidPlatform platform;
  emulator::DeviceSpec real;
  real.serialNumber = "QX0001234";
  emulator::QuorvexController& controller = platform.AddController({}, real);
  testing::RecordingDialog dialog;
  TransferController tc(platform, dialog);
  tc.Init();

  tc.BeginDownload();
  for (int i = 0; i < 5; ++i) tc.OnTick();
  EXPECT_EQ(dialog.Status(), link::kStandInRefused);
  EXPECT_EQ(dialog.boxes, Boxes{std::string(kStandInRefusedBox)});
  EXPECT_EQ(platform.Counters(0).writes, 0u) << "not even service.on";
  EXPECT_EQ(platform.Counters(0).OpenHandles(), 0u);
  EXPECT_FALSE(tc.Downloading());

  // The button works again, and a virtual controller gets the download.
  emulator::QuorvexController& virtualController = platform.AddController();
  tc.BeginDownload();
  for (int i = 0; i < 20000 && (tc.Downloading() || tc.State().flags.verifying); ++i) tc.OnTick();
  EXPECT_EQ(dialog.Status(), kVerifyFinished);
  EXPECT_GT(virtualController.Counters().frames, 0u);
  EXPECT_EQ(controller.Counters().frames, 0u);
  EXPECT_EQ(platform.Counters(0).writes, 0u);
}

}  // namespace
}  // namespace lumbra::transfer
