#include "link/report_descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace lumbra::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes written as hex pairs, one blank between them: "75 08".
Bytes Hex(std::string_view text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  return bytes;
}

// Items inside a vendor-defined application collection, then `after`.
Bytes App(std::string_view items, std::string_view after = "") {
  return Hex("06 00 FF 09 01 A1 01 " + std::string(items) + " C0 " + std::string(after));
}

// 64 data bytes each way without report IDs, the Output count a four-byte item.
const Bytes kVendor64 = App("09 02 15 00 26 FF 00 75 08 95 40 81 02 09 03 97 40 00 00 00 91 02");

TEST(ReportDescriptor, LengthsPerDirection) {
  const struct {
    const char* what;
    Bytes bytes;
    std::size_t input = 0, output = 0;  // both 0: refused
    bool numbered = false;
  } rows[] = {
      {"vendor, 64 bytes each way", kVendor64, 65, 65},
      // The last byte of Logical Maximum would read as a Report Size prefix.
      {"four-byte item data skipped whole", App("27 FF FF FF 7F 75 20 95 02 81 02"), 9, 0},
      {"numbered: reports 1 (16+15), 2 (20) in, 3 (63) out",
       App("75 08 85 01 95 10 81 02 85 02 95 14 81 02 85 01 95 0F 81 02 85 03 95 3F 91 02"), 32, 64, true},
      {"19 bits in, 1 bit out", App("75 01 95 03 81 02 75 08 95 02 81 02 75 01 95 01 91 02"), 4, 2},
      {"a 200-byte Feature does not count", App("75 08 95 40 81 02 91 02 96 C8 00 B1 02"), 65, 65},
      {"Feature only", App("75 08 95 40 B1 02")},
      {"Pop restores 8 x 64 after 16 x 100", App("75 08 95 40 A4 75 10 95 64 91 02 B4 81 02"), 65, 201},
      {"Pop restores report 1 (4+4+4) after report 2 (40)",
       App("75 08 85 01 95 04 81 02 A4 85 02 95 28 81 02 B4 81 02 81 02"), 41, 0, true},
      {"Pop without Push", App("B4 75 08 95 01 81 02")},
      {"long item whose data looks like a huge Input",
       App("FE 06 10 75 08 96 FF 0F 81 75 08 95 40 81 02 91 02"), 65, 65},
      {"long item past the end", App("75 08 95 40 81 02", "FE 05 10 01")},
      {"report ID 0", App("85 00 85 01 75 08 95 08 81 02")},
      {"report ID 256", App("86 00 01 75 08 95 08 81 02")},
      {"unnumbered and numbered data", App("75 08 95 08 81 02 85 01 91 02")},
      {"End Collection without Collection", Hex("75 08 95 08 81 02 C0")},
      {"2^16 x 2^16 bits (0 in 32 bits)", App("77 00 00 01 00 97 00 00 01 00 81 02")},
      {"4 Inputs of 4095 bytes, reported unclamped", App("75 08 96 FF 0F 81 02 81 02 81 02 81 02"), 16381, 0},
      {"5 Inputs of 4095 bytes: over the limit", App("75 08 96 FF 0F 81 02 81 02 81 02 81 02 81 02")},
  };
  for (const auto& row : rows) {
    const auto layout = ParseReportDescriptor(row.bytes);
    EXPECT_EQ(layout ? std::tuple(layout->lengths.input, layout->lengths.output, layout->numbered)
                     : std::tuple(std::size_t{0}, std::size_t{0}, false),
              std::tuple(row.input, row.output, row.numbered))
        << row.what;
  }
}

// A cut splits an item (its data past the end) or leaves the collection open.
TEST(ReportDescriptor, EveryTruncationOfAValidDescriptorIsRefused) {
  for (std::size_t size = 0; size < kVendor64.size(); ++size)
    EXPECT_FALSE(ParseReportDescriptor(std::span(kVendor64.data(), size))) << size << " bytes";
}

}  // namespace
}  // namespace lumbra::link
