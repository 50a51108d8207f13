#include "firmware_data.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string_view>
#include <vector>

#include "image_facts.h"

namespace lumbra::firmware {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Holds for the stand-in and for the real image alike.
TEST(FirmwareData, EmbeddedImageIsVersion201) {
  EXPECT_TRUE(CheckImage(kImageData).empty());
  // The first and last chunk of sector 0 as the controller receives them.
  EXPECT_EQ(Bytes(kImageData, kImageData + 16), (Bytes{0x02, 0x53, 0xE9, 0xAF, 0x84, 0x75, 0x84, 0x01, 0xE4,
                                                       0xF5, 0xC8, 0x75, 0xCA, 0x06, 0x75, 0xCB}));
  EXPECT_EQ(Bytes(kImageData + 1008, kImageData + 1024),
            (Bytes{0x94, 0x86, 0x40, 0x20, 0x90, 0x00, 0x3B, 0xE4, 0xF0, 0xA3, 0xF0, 0x80, 0x17, 0x90, 0x00,
                   0x3B}));
  EXPECT_EQ(std::accumulate(kImageData, kImageData + 1024, 0u), 0x020A7Fu);
}

TEST(FirmwareData, HashIsLowerCaseHexAndDecidesTheStandInFlag) {
  const std::string_view sha = kImageSha256;
  EXPECT_EQ(sha.size(), 64u);
  EXPECT_EQ(sha.find_first_not_of("0123456789abcdef"), std::string_view::npos) << sha;
  EXPECT_EQ(kImageIsStandIn, sha == LUMBRA_STANDIN_SHA256);
}

TEST(FirmwareData, StandInBuildEmbedsTheCommittedFileByteForByte) {
  if (!kImageIsStandIn) GTEST_SKIP() << "this build embeds another image";
  const std::optional<Bytes> file = ReadImageFile(LUMBRA_STANDIN_PATH);
  ASSERT_TRUE(file.has_value()) << LUMBRA_STANDIN_PATH;
  EXPECT_TRUE(*file == Bytes(std::begin(kImageData), std::end(kImageData)));
  EXPECT_STREQ(kImageSha256, LUMBRA_STANDIN_SHA256);
}

}  // namespace
}  // namespace lumbra::firmware
