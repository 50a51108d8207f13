#include "image_facts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string_view>
#include <string>
#include <vector>

#include "firmware_data.h"
#include "standin.h"

namespace lumbra::firmware {
namespace {

using Image = std::vector<std::uint8_t>;
using Facts = std::set<std::string>;

Image StandInFile() {
  std::optional<Image> image = ReadImageFile(LUMBRA_STANDIN_PATH);
  EXPECT_TRUE(image.has_value()) << "cannot read " << LUMBRA_STANDIN_PATH;
  return image.value_or(Image{});
}

Facts BrokenFacts(const Image& image) {
  Facts facts;
  for (const Violation& violation : CheckImage(image)) facts.insert(violation.fact);
  return facts;
}

// The shipped stand-in passes the same check at every build.
TEST(ImageFacts, NameEveryFactAChangeBreaks) {
  struct Case {
    const char* name;
    std::function<void(Image&)> change;
    Facts broken;
  };
  // A byte that differs by one: changes the sector sum and nothing else.
  const auto nudge = [](std::uint8_t& byte) { byte = byte == 0 ? 1 : byte - 1; };
  const Case cases[] = {
      {"one byte short", [](Image& i) { i.pop_back(); }, {"size"}},
      {"one byte long", [](Image& i) { i.push_back(kErased); }, {"size"}},
      {"empty", [](Image& i) { i.clear(); }, {"size"}},
      {"version 3.01", [](Image& i) { i[0x5F6B] = '3'; }, {"version text"}},
      {"version 2.02", [](Image& i) { i[0x5F6E] = '2'; }, {"version text"}},
      {"sector 0 sum off by one", [&](Image& i) { nudge(i[0x0200]); }, {"sector 0 sum"}},
      {"reset jump elsewhere", [](Image& i) { i[0x0001] = 0x54; }, {"reset code", "sector 0 sum"}},
      {"interrupt vector to 0xF100",
       [](Image& i) { i[0x003C] = 0xF1; },
       {"interrupt vector", "sector 0 sum"}},
      {"sector 0 ends differently", [](Image& i) { i[0x03FF] = 0x3C; }, {"sector 0 tail", "sector 0 sum"}},
      {"ready in lower case", [](Image& i) { i[0x61FF] = 'r'; }, {"ready text"}},
      {"used sector left erased", [](Image& i) { std::fill_n(&i[0xF400], 0x400, kErased); }, {"used sectors"}},
      {"first erased byte used", [](Image& i) { i[0x6400] = 0x00; }, {"erased sectors"}},
      {"byte inside erased range", [](Image& i) { i[0x9123] = 0x22; }, {"erased sectors"}},
      {"last byte used", [](Image& i) { i[0xFFFF] = 0x00; }, {"erased sectors"}},
      {"partly used sector full", [](Image& i) { std::fill_n(&i[0x8400], 0x400, 0x00); }, {"partly used sectors"}},
      {"program to the end of 0x6000", [](Image& i) { i[0x63FF] = 0x22; }, {"partly used sectors"}},
  };
  for (const Case& c : cases) {
    Image image = StandInFile();
    c.change(image);
    EXPECT_EQ(BrokenFacts(image), c.broken) << c.name;
  }
}

TEST(StandIn, GeneratorReproducesTheCommittedFile) {
  const Image made = MakeStandIn();
  EXPECT_TRUE(made == StandInFile()) << "rebuild the file with the lumbra_regenerate_standin target";

  // Program-like content, not one repeated filler value.
  const std::set<std::uint8_t> values(made.begin() + 0x1000, made.begin() + 0x1400);
  EXPECT_GT(values.size(), 150u);
}

// A stand-in build embeds the committed file, its hash and says so; another build
// none of these. That the embedded image is version 2.01 the build itself checks;
// its bytes of sector 0 the transfer tests' first-sector exchange shows on the wire.
TEST(FirmwareData, AStandInBuildEmbedsTheCommittedFileAndSaysSo) {
  EXPECT_EQ(Image(std::begin(kImageData), std::end(kImageData)) == StandInFile(), kImageIsStandIn);
  EXPECT_EQ(std::string_view(kImageSha256) == LUMBRA_STANDIN_SHA256, kImageIsStandIn);
}

}  // namespace
}  // namespace lumbra::firmware
