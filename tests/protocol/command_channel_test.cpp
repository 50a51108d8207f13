#include "protocol/command_channel.h"

#include <gtest/gtest.h>

#include "support/scripted_hid.h"

namespace lumbra::protocol {
namespace {

TEST(CommandChannel, SendsTheFrameAsOneLineAndReadsOnlyAnswersThatWereAwaited) {
  testing::ScriptedPlatform platform;
  testing::ScriptedDevice& device = platform.Add(0x4242, 0xC003);
  link::HidLink link(platform, kLongestLine);
  CommandChannel channel(link);
  device.reads = {testing::ReplyOf("4F4B04")};
  // A frame without an answer is never read: the OK is left for the next frame.
  ASSERT_TRUE(channel.Send(SectorDataFrame(std::array<std::uint8_t, kChunkSize>{})));
  EXPECT_FALSE(channel.ReadAnswer(PendingReply::kOk).accepted);
  ASSERT_TRUE(channel.Send(SectorAddressFrame(0)));
  EXPECT_STREQ(reinterpret_cast<const char*>(&device.written.at(1)[1]), "xscr 8 3 5057303030303037\r");
  EXPECT_TRUE(channel.ReadAnswer(PendingReply::kOk).accepted);
}

}  // namespace
}  // namespace lumbra::protocol
