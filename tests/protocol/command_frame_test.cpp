#include "protocol/command_frame.h"

#include <gtest/gtest.h>

namespace lumbra::protocol {
namespace {

TEST(XscrLine, EncodesTheFiveFramesExactly) {
  EXPECT_EQ(EncodeXscrLine(StartDownloadFrame()), "xscr 5 6 5057585906");
  EXPECT_EQ(EncodeXscrLine(SectorAddressFrame(0)), "xscr 8 3 5057303030303037");
  EXPECT_EQ(EncodeXscrLine(SectorAddressFrame(1024)), "xscr 8 3 5057303130323430");
  EXPECT_EQ(EncodeXscrLine(SectorChecksumFrame()), "xscr 3 5 505909");
  EXPECT_EQ(EncodeXscrLine(VerifyAddressFrame(0)), "xscr 8 17 505A30303030303A");
  EXPECT_EQ(EncodeXscrLine(VerifyAddressFrame(1024)), "xscr 8 17 505A30313032343D");
  EXPECT_EQ(EncodeXscrLine(VerifyAddressFrame(0xFFF0)), "xscr 8 17 505A36353532303E");

  const std::uint8_t first[kChunkSize] = {0x02, 0x53, 0xE9, 0xAF, 0x84, 0x75, 0x84, 0x01,
                                          0xE4, 0xF5, 0xC8, 0x75, 0xCA, 0x06, 0x75, 0xCB};
  const std::uint8_t last[kChunkSize] = {0x94, 0x86, 0x40, 0x20, 0x90, 0x00, 0x3B, 0xE4,
                                         0xF0, 0xA3, 0xF0, 0x80, 0x17, 0x90, 0x00, 0x3B};
  const std::string line = EncodeXscrLine(SectorDataFrame(first));
  EXPECT_EQ(line, "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  EXPECT_EQ(line.size(), 48u);  // the longest line the tool sends
  EXPECT_EQ(EncodeXscrLine(SectorDataFrame(last)),
            "xscr 19 0 50589486402090003BE4F0A3F0801790003BAA");
}

TEST(CommandFrame, LengthsAndPayload) {
  const CommandFrame start = StartDownloadFrame();
  EXPECT_EQ(start.FrameLength(), 5);
  EXPECT_EQ(start.ReplyLength(), 6);
  EXPECT_EQ(start.Payload().size(), 4u);
  EXPECT_EQ(SectorAddressFrame(65535).Payload().size(), 7u);
  EXPECT_EQ(SectorDataFrame(std::array<std::uint8_t, kChunkSize>{}).ReplyLength(), 0);
  EXPECT_EQ(VerifyAddressFrame(16).ReplyLength(), 17);
}

}  // namespace
}  // namespace lumbra::protocol
