#include "transfer_fixture.h"

namespace lumbra::transfer {
namespace {

using emulator::Command;
using emulator::Fault;
using transfer::FieldId;

// The first `times` Verify address answers from the `ordinal`-th on read as `value`.
Fault ReadBackAs(std::uint8_t value, std::uint32_t ordinal, std::uint32_t times = 1) {
  Fault fault = Fault::ReadBackFill(value);
  fault.target.ordinal = ordinal;
  fault.times = times;
  return fault;
}

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(log.substr(start, end - start));
  return lines;
}

TEST_F(TransferTest, ThreeDifferencesAreListedAndTheVerificationFails) {
  tc.BeginDownload();
  RunWhileDownloading();
  // Three erased bytes of the image lose their value before the read-back.
  std::array<std::uint8_t, kImageSize> flash;
  std::copy(controller.Flash().begin(), controller.Flash().end(), flash.begin());
  flash[0x6400] = flash[0x6401] = flash[0x7FFF] = 0x00;
  controller.LoadFlash(flash);
  RunUntilIdle();
  EXPECT_EQ(LogLines(Field(FieldId::kErrors)),
            (std::vector<std::string>{"add 0x6400 = 0x0 should be 0xFF", "add 0x6401 = 0x0 should be 0xFF",
                                      "add 0x7FFF = 0x0 should be 0xFF"}));
  EXPECT_EQ(tc.State().errorCount, 3);
  // Known-bad firmware is never reported as finished.
  EXPECT_EQ(Status(), kVerifyFailed);
  EXPECT_EQ(dialog.boxes, std::vector<std::string>{std::string(kVerifyFailedBox)});
  EXPECT_EQ(Field(FieldId::kVerifyPercent), "100.00");
}

TEST_F(TransferTest, WithoutAWindowTheFirstByteIsCompared) {
  emulator::ControllerOptions options;
  options.protectedBegin = options.protectedEnd = 0;  // nothing protected: no window
  TransferRig rig(options);
  rig.controller.AddFault(ReadBackAs(0x00, 1));
  rig.PressAndRun();
  EXPECT_FALSE(rig.tc.State().skipWindow.open);
  const std::vector<std::string> lines = LogLines(rig.dialog.Field(FieldId::kErrors));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "add 0x0 = 0x0 should be 0x2");
  EXPECT_EQ(rig.dialog.Status(), kVerifyFailed);
}

TEST_F(TransferTest, WindowSkipsTheProtectedSectorsOnlyAndEndsBeforeTheConfirmedOne) {
  // Read-back differences on both sides of the window's end (0xFBFF).
  controller.AddFault(ReadBackAs(0x00, 0xFC0 + 1));  // the block at 0xFC00
  controller.AddFault(ReadBackAs(0x00, 0xFBF + 1));  // the block at 0xFBF0, inside the window
  PressAndRun();
  const std::vector<std::string> lines = LogLines(Field(FieldId::kErrors));
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "add 0xFC00 = 0x0 should be 0xFF");
  EXPECT_EQ(Status(), kVerifyFailed);
}

TEST_F(TransferTest, HundredAndFirstDifferenceIsListedThenTheVerificationAborts) {
  controller.AddFault(ReadBackAs(0x00, 0x640 + 1, 7));  // 7 erased blocks read as 0: 112 bytes
  tc.BeginDownload();
  RunWhileDownloading();
  // Ticks keep coming while the abort box is open.
  int ticksUnderBox = 0;
  dialog.whileBoxOpen = [&](const std::string&) {
    for (int i = 0; i < 3; ++i, ++ticksUnderBox) tc.OnTick();
  };
  RunUntilIdle();
  EXPECT_EQ(ticksUnderBox, 3);
  EXPECT_EQ(tc.State().errorCount, 101);
  const std::vector<std::string> lines = LogLines(Field(FieldId::kErrors));
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[100], "add 0x6464 = 0x0 should be 0xFF");
  EXPECT_EQ(dialog.boxes, std::vector<std::string>{std::string(kVerifyAbortedBox)});
  // The aborted step still ends with its status line, whatever ran under the box.
  EXPECT_EQ(Status(), kVerifyAborted);
  EXPECT_EQ(tc.State().verifyStep, VerifyStep::kBegin);
  EXPECT_NE(Field(FieldId::kVerifyPercent), "100.00");
}

TEST_F(TransferTest, UnansweredVerifyAddressEndsTheVerification) {
  controller.AddFault(Fault::NoAnswer(4226 + 10));  // the tenth block
  PressAndRun();
  EXPECT_EQ(Status(), kVerifyAddressFailed);
  EXPECT_EQ(dialog.boxes, std::vector<std::string>{std::string(kVerifyReadFailedBox)});
  // A block that was never read is not compared against the next one's image.
  EXPECT_EQ(Field(FieldId::kErrors), "");
}

TEST_F(TransferTest, AllBlocksReadBackErasedAbortTheVerification) {
  controller.AddFault(Fault::ReadBackFill(0xFF));
  PressAndRun();
  EXPECT_EQ(Status(), kVerifyAborted);
}

}  // namespace
}  // namespace lumbra::transfer
