#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

using emulator::Fault;
using transfer::FieldId;

TEST_F(TransferTest, WholeDownloadAndVerificationWritesTheImage) {
  tc.BeginDownload();
  const int downloadTicks = RunWhileDownloading();
  EXPECT_EQ(downloadTicks, 4227);  // handshake, Start, 64 x 66, Finish
  EXPECT_EQ(Status(), kDownloadFinished);
  EXPECT_EQ(Field(FieldId::kDownloadPercent), "100.00");
  const int verifyTicks = RunUntilIdle();
  EXPECT_EQ(verifyTicks, 8194);  // Begin, 4096 x 2, Done

  EXPECT_EQ(Status(), kVerifyFinished);
  EXPECT_EQ(dialog.boxes, std::vector<std::string>{std::string(kVerifyFinishedBox)});
  EXPECT_EQ(Field(FieldId::kVerifyPercent), "100.00");
  EXPECT_EQ(Field(FieldId::kErrors), "");
  EXPECT_TRUE(FlashDifferences().empty());
  // The boot code answered 0x00FFFFFF; the first sector after it was confirmed.
  const SkipWindow& w = tc.State().skipWindow;
  EXPECT_TRUE(w.open && w.closed);
  EXPECT_EQ(w.start, 0xF000);
  EXPECT_EQ(w.end, 0xFBFF);
}

TEST_F(TransferTest, FirstSectorExchangeLineByLine) {
  tc.BeginDownload();
  for (int i = 0; i < 2 + 66 + 1; ++i) tc.OnTick();
  const std::vector<std::string> lines = Lines();
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

TEST_F(TransferTest, ProgressFieldsAndStatusTexts) {
  tc.BeginDownload();
  tc.OnTick();  // handshake
  tc.OnTick();  // Start
  tc.OnTick();  // SendAddress
  EXPECT_EQ(Status(), kDownloadingSector);
  tc.OnTick();  // first chunk
  EXPECT_EQ(Field(FieldId::kDownloadPercent), " 0.02%");
  RunWhileDownloading();
  EXPECT_EQ(Count(dialog.statusHistory, kReadingChecksum), 64);
  EXPECT_EQ(Count(dialog.statusHistory, kDownloadingSector), 64);
  // The last chunk shows 99.99% (65,536 / 65,535 is over 100), then success.
  EXPECT_EQ(Field(FieldId::kDownloadPercent), "100.00");
}

TEST_F(TransferTest, ChecksumFailuresResendTheSectorFiveTimesAtMost) {
  controller.AddFault(Fault::WrongChecksum(3, 5));
  PressAndRun();
  EXPECT_EQ(Count(dialog.statusHistory, kResendingSector), 5);
  EXPECT_EQ(Status(), kVerifyFinished);
  EXPECT_TRUE(FlashDifferences().empty());
}

TEST_F(TransferTest, SixthChecksumFailureEndsTheDownload) {
  controller.AddFault(Fault::WrongChecksum(3, 6));
  PressAndRun();
  EXPECT_EQ(Count(dialog.statusHistory, kResendingSector), 5);
  EXPECT_EQ(Status(), kDownloadFailed);
  EXPECT_EQ(dialog.boxes, std::vector<std::string>{std::string(kDownloadFailedBox)});
  EXPECT_FALSE(tc.State().flags.verifying);
}

TEST_F(TransferTest, ProtectedSectorsToTheEndLeaveTheWindowOpenToTheEndAddress) {
  emulator::ControllerOptions options;
  options.protectedEnd = 0x10000;
  TransferRig rig(options);
  rig.PressAndRun();
  const SkipWindow& w = rig.tc.State().skipWindow;
  EXPECT_EQ(w.start, 0xF000);
  EXPECT_EQ(w.end, 0xFFFF);
  EXPECT_EQ(rig.dialog.Status(), kVerifyFinished);
  EXPECT_TRUE(rig.FlashDifferences().empty());
}

TEST_F(TransferTest, TimeOutsDuringTheDownload) {
  struct Case {
    const char* name;
    std::uint32_t frame;  // 1 service.on, 2 Start, 3 Sector address 0, 68 its checksum
    std::string_view status;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      // An unanswered handshake changes nothing: the download goes on.
      {"handshake", 1, kVerifyFinished, {std::string(kVerifyFinishedBox)}},
      {"start", 2, kStartFailed, {std::string(kStartFailedBox)}},
      {"sector address", 3, kSectorAddressFailed, {std::string(kSectorAddressFailedBox)}},
      // A checksum that never came is a failed checksum: the sector is resent.
      {"checksum", 68, kVerifyFinished, {std::string(kVerifyFinishedBox)}},
  };
  for (const Case& c : cases) {
    TransferRig rig;
    rig.controller.AddFault(Fault::NoAnswer(c.frame));
    rig.PressAndRun();
    EXPECT_EQ(rig.dialog.Status(), c.status) << c.name;
    EXPECT_EQ(rig.dialog.boxes, c.boxes) << c.name;
    EXPECT_EQ(Count(rig.dialog.statusHistory, link::kCantRead), 1) << c.name;
  }
}

TEST_F(TransferTest, GarbageAnswersAreNeverAccepted) {
  using emulator::Command;
  using emulator::Corruption;
  for (Corruption corruption : {Corruption::kWrongXor, Corruption::kOddDigits, Corruption::kLowerCase,
                                Corruption::kNonHex, Corruption::kTooFewBytes,
                                Corruption::kTooManyBytes, Corruption::kEmpty}) {
    TransferRig rig;
    rig.controller.AddFault(Fault::CorruptAnswer(corruption, Command::kSectorAddress));
    rig.PressAndRun();
    EXPECT_EQ(rig.dialog.Status(), kSectorAddressFailed) << emulator::ToString(corruption);
  }
}

TEST_F(TransferTest, UnplugDuringTheDownload) {
  controller.AddFault(Fault::Unplug(100));  // a data frame of the second sector
  PressAndRun();
  // The next write finds the controller gone: the send-failure box ends the
  // download at once; the step's own answer is then missing as well.
  ASSERT_GE(dialog.boxes.size(), 1u);
  EXPECT_EQ(dialog.boxes[0], protocol::kDownloadSendFailedBox);
  EXPECT_EQ(Count(dialog.statusHistory, link::kNotDetected), 1);
  EXPECT_FALSE(tc.State().flags.verifying);
  EXPECT_NE(Status(), kVerifyFinished);
}

TEST_F(TransferTest, SecondDownloadSkipsTheHandshake) {
  PressAndRun();
  ASSERT_EQ(Status(), kVerifyFinished);
  controller.ClearTranscript();
  tc.BeginDownload();
  tc.OnTick();  // the handshake tick sends nothing
  tc.OnTick();
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "xscr 5 6 5057585906");
  RunUntilIdle();
  EXPECT_EQ(Status(), kVerifyFinished);
  EXPECT_TRUE(FlashDifferences().empty());
}

TEST_F(TransferTest, NoControllerForTheHandshake) {
  emulator::EmulatedHidPlatform empty;
  testing::RecordingDialog d;
  TransferController t(empty, d);
  t.Init();
  t.BeginDownload();
  bool downloadingUnderBox = true;
  d.whileBoxOpen = [&](const std::string&) { downloadingUnderBox = t.State().flags.downloading; };
  t.OnTick();
  EXPECT_FALSE(downloadingUnderBox);
  EXPECT_EQ(d.boxes, std::vector<std::string>{std::string(kNotDetectedBox)});
  EXPECT_EQ(d.Status(), link::kNotDetected);
  t.OnTick();  // nothing follows
  EXPECT_EQ(d.boxes.size(), 1u);
  EXPECT_FALSE(t.State().flags.connectPending || t.State().flags.downloading);
}

}  // namespace
}  // namespace lumbra::transfer
