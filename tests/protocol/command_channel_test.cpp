#include "protocol/command_channel.h"

#include <gtest/gtest.h>

#include "support/recording_dialog.h"
#include "support/scripted_hid.h"

namespace lumbra::protocol {
namespace {

using testing::ReplyOf;

class CommandChannelTest : public ::testing::Test {
 protected:
  CommandChannelTest() { link.m_pStatusWnd = &status; }

  std::string WrittenLine(std::size_t i) const {
    const auto& report = device->written.at(i);
    return std::string(reinterpret_cast<const char*>(report.data() + 1));
  }

  testing::ScriptedPlatform platform;
  testing::ScriptedDevice* device = &platform.Add(0x4242, 0xC003);
  testing::RecordingDialog dialog;
  FieldTarget status{dialog, FieldId::kStatus};
  link::HidLink link{platform};
  ActivityFlags flags;
  CommandChannel channel{link, dialog, flags};
};

TEST_F(CommandChannelTest, RequestSendsTheLineThenReadsAndDecodesItsAnswer) {
  device->reads.push_back(ReplyOf("52454144594B"));
  EXPECT_TRUE(channel.Request(StartDownloadFrame(), PendingReply::kReady).accepted);
  EXPECT_EQ(WrittenLine(0), "xscr 5 6 5057585906\r");
  EXPECT_EQ(platform.pausedMs, 2);  // only Start download waits before reading

  device->reads.push_back(ReplyOf("4F4B04"));
  EXPECT_TRUE(channel.Request(SectorAddressFrame(0), PendingReply::kOk).accepted);
  EXPECT_EQ(platform.pausedMs, 2);
  EXPECT_EQ(channel.LastReplyLength(), 3);
}

TEST_F(CommandChannelTest, FrameWithoutAnswerIsNeverRead) {
  device->reads.push_back(ReplyOf("4F4B04"));
  std::array<std::uint8_t, kChunkSize> chunk{};
  EXPECT_FALSE(channel.Request(SectorDataFrame(chunk), PendingReply::kNone).accepted);
  EXPECT_EQ(channel.LastReplyLength(), 0);
  EXPECT_EQ(device->reads.size(), 1u);
}

TEST_F(CommandChannelTest, ReadThatTimesOutDoesNotReuseThePreviousAnswer) {
  device->reads.push_back(ReplyOf("0253E9AF84758401E4F5C875CA0675CBBD"));
  ASSERT_TRUE(channel.Request(VerifyAddressFrame(0), PendingReply::kBlock).accepted);
  // No answer to the next block: the previous block's bytes are still in the
  // link's reply text, and must not be taken for this block's.
  EXPECT_FALSE(channel.Request(VerifyAddressFrame(16), PendingReply::kBlock).accepted);
  EXPECT_EQ(link.m_ReplyText, "0253E9AF84758401E4F5C875CA0675CBBD\r\n");
}

TEST_F(CommandChannelTest, FailedReadDoesNotReuseThePreviousAnswer) {
  device->reads.push_back(ReplyOf("4F4B04"));
  device->reads.push_back({link::ReadOutcome::kFailed, {}});
  ASSERT_TRUE(channel.Request(SectorAddressFrame(0), PendingReply::kOk).accepted);
  EXPECT_FALSE(channel.Request(SectorAddressFrame(1024), PendingReply::kOk).accepted);
}

TEST_F(CommandChannelTest, SendThatFailsForGoodEndsTheRunningActivity) {
  platform.Unplug(*device);
  struct Case {
    ActivityFlags before;
    ActivityFlags after;
    const char* box;
  };
  const Case cases[] = {
      {{false, true, true}, {false, false, true}, kDownloadSendFailedBox.data()},
      {{false, false, true}, {false, false, false}, kVerifySendFailedBox.data()},
      {{false, false, false}, {false, false, false}, nullptr},
  };
  for (const Case& c : cases) {
    flags = c.before;
    dialog.boxes.clear();
    ActivityFlags seenUnderBox{};
    dialog.whileBoxOpen = [&](const std::string&) { seenUnderBox = flags; };
    channel.SendFrame(SectorChecksumFrame());
    EXPECT_EQ(flags.downloading, c.after.downloading);
    EXPECT_EQ(flags.verifying, c.after.verifying);
    if (c.box == nullptr) {
      EXPECT_TRUE(dialog.boxes.empty());
    } else {
      ASSERT_EQ(dialog.boxes.size(), 1u);
      EXPECT_EQ(dialog.boxes[0], c.box);
      // The flag is already clear while the box is open.
      EXPECT_EQ(seenUnderBox.downloading, c.after.downloading);
      EXPECT_EQ(seenUnderBox.verifying, c.after.verifying);
    }
  }
  EXPECT_EQ(dialog.Status(), "Quorvex not detected");
}

}  // namespace
}  // namespace lumbra::protocol
