#include "protocol/command_channel.h"

#include <gtest/gtest.h>

#include "support/scripted_hid.h"

namespace lumbra::protocol {
namespace {

TEST(CommandChannel, ReadsOnlyAnswersThatWereAwaitedAndArrived) {
  testing::ScriptedPlatform platform;
  testing::ScriptedDevice& device = platform.Add(0x4242, 0xC003);
  link::HidLink link(platform);
  CommandChannel channel(link);
  device.reads = {testing::ReplyOf("4F4B04"), {link::ReadOutcome::kFailed, {}}};
  ASSERT_TRUE(channel.Send(SectorAddressFrame(0)));
  EXPECT_STREQ(reinterpret_cast<const char*>(&device.written.at(0)[1]), "xscr 8 3 5057303030303037\r");
  EXPECT_TRUE(channel.ReadAnswer(PendingReply::kOk).accepted);
  // A frame without an answer is never read.
  ASSERT_TRUE(channel.Send(SectorDataFrame(std::array<std::uint8_t, kChunkSize>{})));
  EXPECT_FALSE(channel.ReadAnswer(PendingReply::kOk).accepted);
  EXPECT_EQ(device.reads.size(), 1u);
  // A read that brings no report is not accepted, whatever came before.
  ASSERT_TRUE(channel.Send(SectorAddressFrame(1024)));
  EXPECT_FALSE(channel.ReadAnswer(PendingReply::kOk).accepted);
  // Send reports a link that could not be kept open.
  device.writesToFail = 2;
  EXPECT_FALSE(channel.Send(SectorChecksumFrame()));
}

}  // namespace
}  // namespace lumbra::protocol
