#include "firmware_data.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "image_facts.h"

namespace lumbra::firmware {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Holds for the stand-in and for the real image alike. (The bytes of sector
// 0 are checked on the wire by the transfer tests' first-sector exchange.)
TEST(FirmwareData, EmbeddedImageIsVersion201) { EXPECT_TRUE(CheckImage(kImageData).empty()); }

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
