#include "link/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace lumbra::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::pair<std::size_t, std::size_t> Lengths(const ReportLayout& layout) {
  return {layout.lengths.input, layout.lengths.output};
}

// A vendor-defined device with 64-byte reports each way and no report IDs,
// the Output count written as a four-byte item.
const Bytes kVendor64 = {
    0x06, 0x00, 0xFF,              // Usage Page (vendor 0xFF00)
    0x09, 0x01,                    // Usage (1)
    0xA1, 0x01,                    // Collection (Application)
    0x09, 0x02,                    //   Usage (2)
    0x15, 0x00,                    //   Logical Minimum (0)
    0x26, 0xFF, 0x00,              //   Logical Maximum (255)
    0x75, 0x08,                    //   Report Size (8)
    0x95, 0x40,                    //   Report Count (64)
    0x81, 0x02,                    //   Input (Data, Var, Abs)
    0x09, 0x03,                    //   Usage (3)
    0x97, 0x40, 0x00, 0x00, 0x00,  //   Report Count (64)
    0x91, 0x02,                    //   Output (Data, Var, Abs)
    0xC0,                          // End Collection
};

// Wraps items in an application collection.
Bytes InCollection(const Bytes& items) {
  Bytes bytes = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  bytes.insert(bytes.end(), items.begin(), items.end());
  bytes.push_back(0xC0);
  return bytes;
}

TEST(ReportDescriptorTest, VendorDeviceWithoutReportIds) {
  const auto layout = ParseReportDescriptor(kVendor64);
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{65}, std::size_t{65}));
  EXPECT_FALSE(layout->numbered);

  const auto lengths = ReportLengthsFromDescriptor(kVendor64);
  ASSERT_TRUE(lengths);
  EXPECT_EQ(lengths->input, 65u);
  EXPECT_EQ(lengths->output, 65u);
}

TEST(ReportDescriptorTest, BootKeyboard) {
  // The keyboard of the HID boot protocol: modifiers, a reserved byte and six
  // key codes in; five LED bits and three bits of padding out.
  const Bytes keyboard = {
      0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
      0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
      0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01,
      0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07,
      0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
  };
  const auto layout = ParseReportDescriptor(keyboard);
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{9}, std::size_t{2}));
  EXPECT_FALSE(layout->numbered);
}

TEST(ReportDescriptorTest, FourByteItemDataIsSkippedWhole) {
  // The last byte of Logical Maximum (0x7FFFFFFF) would read as a Report Size
  // prefix if the item were taken for shorter than it is.
  const auto layout = ParseReportDescriptor(
      InCollection({0x27, 0xFF, 0xFF, 0xFF, 0x7F, 0x75, 0x20, 0x95, 0x02, 0x81, 0x02}));
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->lengths.input, 9u);
}

TEST(ReportDescriptorTest, NumberedReportsTakeTheLongestPerDirection) {
  const Bytes items = {
      0x75, 0x08,  // Report Size (8)
      0x85, 0x01,  // Report ID (1)
      0x95, 0x10,  // Report Count (16)
      0x81, 0x02,  // Input: report 1 has 16 bytes so far
      0x85, 0x02,  // Report ID (2)
      0x95, 0x14,  // Report Count (20)
      0x81, 0x02,  // Input: report 2 has 20 bytes
      0x85, 0x01,  // Report ID (1) again
      0x95, 0x0F,  // Report Count (15)
      0x81, 0x02,  // Input: report 1 grows to 31 bytes
      0x85, 0x03,  // Report ID (3)
      0x95, 0x3F,  // Report Count (63)
      0x91, 0x02,  // Output: report 3 has 63 bytes
  };
  const auto layout = ParseReportDescriptor(InCollection(items));
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{32}, std::size_t{64}));
  EXPECT_TRUE(layout->numbered);
}

TEST(ReportDescriptorTest, BitsAreRoundedUpToWholeBytes) {
  const Bytes items = {
      0x75, 0x01, 0x95, 0x03, 0x81, 0x02,  // 3 one-bit fields
      0x75, 0x08, 0x95, 0x02, 0x81, 0x02,  // 2 bytes: 19 bits in all
      0x75, 0x01, 0x95, 0x01, 0x91, 0x02,  // a single output bit
  };
  const auto layout = ParseReportDescriptor(InCollection(items));
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{4}, std::size_t{2}));
}

TEST(ReportDescriptorTest, FeatureItemsDoNotCount) {
  Bytes items = {
      0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02,  // 64 bytes each way
      0x96, 0xC8, 0x00, 0xB1, 0x02,                    // Feature of 200 bytes
  };
  auto layout = ParseReportDescriptor(InCollection(items));
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{65}, std::size_t{65}));

  // A descriptor of Feature reports alone gives the link nothing to use.
  layout = ParseReportDescriptor(InCollection({0x75, 0x08, 0x95, 0x40, 0xB1, 0x02}));
  EXPECT_FALSE(layout);
}

TEST(ReportDescriptorTest, PushAndPopRestoreGlobalState) {
  const Bytes sizes = {
      0x75, 0x08, 0x95, 0x40,  // 8 x 64
      0xA4,                    // Push
      0x75, 0x10, 0x95, 0x64,  // 16 x 100
      0x91, 0x02,              // Output under the pushed state: 200 bytes
      0xB4,                    // Pop: back to 8 x 64
      0x81, 0x02,              // Input: 64 bytes
  };
  auto layout = ParseReportDescriptor(InCollection(sizes));
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{65}, std::size_t{201}));

  // The report ID is global state too.
  const Bytes ids = {
      0x75, 0x08, 0x85, 0x01, 0x95, 0x04, 0x81, 0x02,  // report 1: 4 bytes
      0xA4, 0x85, 0x02, 0x95, 0x28, 0x81, 0x02, 0xB4,  // report 2: 40 bytes
      0x81, 0x02,                                      // report 1: 8 bytes
      0x81, 0x02,                                      // report 1: 12 bytes
  };
  layout = ParseReportDescriptor(InCollection(ids));
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->lengths.input, 41u);

  // Pop without Push.
  EXPECT_FALSE(ParseReportDescriptor(InCollection({0xB4, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02})));
}

TEST(ReportDescriptorTest, LongItemsAreSkippedWhole) {
  // The long item's data looks like a huge Input; it must not be parsed.
  Bytes withLong = kVendor64;
  const Bytes longItem = {0xFE, 0x06, 0x10, 0x75, 0x08, 0x96, 0xFF, 0x0F, 0x81};
  withLong.insert(withLong.begin() + 7, longItem.begin(), longItem.end());
  const auto layout = ParseReportDescriptor(withLong);
  ASSERT_TRUE(layout);
  EXPECT_EQ(Lengths(*layout), std::make_pair(std::size_t{65}, std::size_t{65}));

  // A long item whose data runs past the end.
  Bytes cut = kVendor64;
  cut.insert(cut.end(), {0xFE, 0x05, 0x10, 0x01});
  EXPECT_FALSE(ParseReportDescriptor(cut));
}

TEST(ReportDescriptorTest, MalformedDescriptorsAreRefused) {
  const Bytes input8x8 = {0x75, 0x08, 0x95, 0x08, 0x81, 0x02};
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"report ID 0", InCollection({0x85, 0x00, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02})},
      {"report ID 256", InCollection({0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02})},
      {"unnumbered and numbered data",
       InCollection({0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x85, 0x01, 0x91, 0x02})},
      {"collection left open", Bytes{0xA1, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02}},
      {"end collection without collection", Bytes{0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0xC0}},
      {"item data past the end", Bytes{0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x27, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ParseReportDescriptor(c.bytes)) << c.what;
  }
  // The same items, well formed, are accepted.
  EXPECT_TRUE(ParseReportDescriptor(InCollection(input8x8)));
}

TEST(ReportDescriptorTest, EveryTruncationOfAValidDescriptorIsRefused) {
  // Any cut either splits an item or leaves the collection open.
  for (std::size_t size = 0; size < kVendor64.size(); ++size) {
    const std::span<const std::uint8_t> prefix(kVendor64.data(), size);
    EXPECT_FALSE(ParseReportDescriptor(prefix)) << "first " << size << " bytes";
  }
}

TEST(ReportDescriptorTest, LengthsAreReportedUnclamped) {
  // 4096 data bytes: too long for the link, which must see it to refuse it.
  const auto layout =
      ParseReportDescriptor(InCollection({0x75, 0x08, 0x96, 0x00, 0x10, 0x81, 0x02}));
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->lengths.input, 4097u);
}

TEST(ReportDescriptorTest, AbsurdSizesAndCountsDoNotOverflow) {
  // 0xFFFFFFFF x 0xFFFFFFFF bits: wraps a 32-bit product.
  EXPECT_FALSE(ParseReportDescriptor(InCollection(
      {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02})));
  // 0x10000 x 0x10000 bits is exactly 2^32: zero in 32 bits.
  EXPECT_FALSE(ParseReportDescriptor(InCollection(
      {0x77, 0x00, 0x00, 0x01, 0x00, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x02})));
  // Items of 4095 bytes, plausible one by one, adding up to 16 MiB.
  Bytes repeated = {0x75, 0x08, 0x96, 0xFF, 0x0F};
  for (int i = 0; i < 4096; ++i) repeated.insert(repeated.end(), {0x81, 0x02});
  EXPECT_FALSE(ParseReportDescriptor(InCollection(repeated)));
}

TEST(ReportDescriptorTest, ArbitraryBytesGiveNothingOrSaneLengths) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> size(0, 96);
  for (int round = 0; round < 20000; ++round) {
    Bytes bytes(size(random));
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    const auto layout = ParseReportDescriptor(bytes);
    if (!layout) continue;
    EXPECT_LE(layout->lengths.input, 16385u);
    EXPECT_LE(layout->lengths.output, 16385u);
    EXPECT_TRUE(layout->lengths.input != 0 || layout->lengths.output != 0);
  }
}

}  // namespace
}  // namespace lumbra::link
