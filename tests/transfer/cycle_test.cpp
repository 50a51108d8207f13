#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

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
  EXPECT_TRUE(FlashHoldsImage());
  // The boot code answered 0x00FFFFFF; the first sector after it was confirmed.
  const RunReport& report = tc.Report();
  EXPECT_EQ(report.outcome, Outcome::kVerified);
  EXPECT_TRUE(report.skipWindow.open && report.skipWindow.closed);
  EXPECT_EQ(report.skipWindow.start, 0xF000u);
  EXPECT_EQ(report.skipWindow.end, 0xFBFFu);
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

TEST_F(TransferTest, DifferencesAreListedAndTheVerificationFails) {
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
  EXPECT_EQ(tc.Report().differences, found);
  // Known-bad firmware is never reported as finished.
  EXPECT_EQ(Status(), kVerifyFailed);
  EXPECT_EQ(dialog.boxes, Texts{std::string(kVerifyFailedBox)});
  EXPECT_EQ(Field(FieldId::kVerifyPercent), "100.00");
}

}  // namespace
}  // namespace lumbra::transfer
