#include "protocol/command_frame.h"

#include <gtest/gtest.h>

namespace lumbra::protocol {
namespace {

TEST(XscrLine, EncodesEachFrameExactly) {
  EXPECT_EQ(EncodeXscrLine(StartDownloadFrame()), "xscr 5 6 5057585906");
  EXPECT_EQ(EncodeXscrLine(SectorAddressFrame(0)), "xscr 8 3 5057303030303037");
  EXPECT_EQ(EncodeXscrLine(SectorChecksumFrame()), "xscr 3 5 505909");
  EXPECT_EQ(EncodeXscrLine(VerifyAddressFrame(1024)), "xscr 8 17 505A30313032343D");
  // Image bytes 0..15: the longest line the tool sends.
  const std::uint8_t first[kChunkSize] = {0x02, 0x53, 0xE9, 0xAF, 0x84, 0x75, 0x84, 0x01,
                                          0xE4, 0xF5, 0xC8, 0x75, 0xCA, 0x06, 0x75, 0xCB};
  EXPECT_EQ(EncodeXscrLine(SectorDataFrame(first)), "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  EXPECT_EQ(kLongestLine, 48u);
}

}  // namespace
}  // namespace lumbra::protocol
