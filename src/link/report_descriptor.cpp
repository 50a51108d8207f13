#include "link/report_descriptor.h"

#include <array>
#include <cstddef>
#include <vector>

namespace lumbra::link {

namespace {

// Item prefix: bits 0-1 data size code, bits 2-3 type, bits 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;

constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;

constexpr std::uint8_t kMainInput = 0x8;
constexpr std::uint8_t kMainOutput = 0x9;
constexpr std::uint8_t kMainCollection = 0xA;
constexpr std::uint8_t kMainEndCollection = 0xC;

constexpr std::uint8_t kGlobalReportSize = 0x7;
constexpr std::uint8_t kGlobalReportId = 0x8;
constexpr std::uint8_t kGlobalReportCount = 0x9;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;

constexpr std::size_t kReportIdCount = 256;
// Far longer than any report a HID device sends; bounding the sums here keeps
// them exact whatever sizes and counts the descriptor claims.
constexpr std::uint64_t kMaxReportBits = 16384 * 8;
// Real descriptors push once or twice; the bound only limits memory.
constexpr std::size_t kMaxPushDepth = 16;

struct Item {
  std::uint8_t type = 0;
  std::uint8_t tag = 0;
  std::uint32_t data = 0;  // unsigned little-endian value of the data bytes
  std::size_t length = 0;  // prefix and data bytes
  bool isLong = false;
};

// The item starting at `pos`; nullopt when it runs past the end.
std::optional<Item> ReadItem(std::span<const std::uint8_t> bytes, std::size_t pos) {
  const std::size_t left = bytes.size() - pos;
  const std::uint8_t prefix = bytes[pos];
  Item item;
  if (prefix == kLongItemPrefix) {
    // Long items carry no sizes; only their length matters.
    if (left < 3) return std::nullopt;
    item.length = std::size_t{3} + bytes[pos + 1];
    if (item.length > left) return std::nullopt;
    item.isLong = true;
    return item;
  }
  static constexpr std::array<std::size_t, 4> kDataSizes = {0, 1, 2, 4};
  const std::size_t dataSize = kDataSizes[prefix & 0x03];
  item.length = 1 + dataSize;
  if (item.length > left) return std::nullopt;
  item.type = (prefix >> 2) & 0x03;
  item.tag = prefix >> 4;
  for (std::size_t i = 0; i < dataSize; ++i) {
    item.data |= std::uint32_t{bytes[pos + 1 + i]} << (8 * i);
  }
  return item;
}

struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

// Data bits declared per report ID for one direction.
struct Direction {
  std::array<std::uint64_t, kReportIdCount> bits{};
  bool any = false;

  // Adds one main item; false when the report grows implausibly long.
  bool Add(const GlobalState& global) {
    const std::uint64_t itemBits = std::uint64_t{global.reportSize} * global.reportCount;
    std::uint64_t& total = bits[global.reportId];
    if (itemBits > kMaxReportBits - total) return false;
    total += itemBits;
    any = true;
    return true;
  }

  // Longest report in bytes with its ID byte; 0 when there is none.
  std::size_t Length() const {
    if (!any) return 0;
    std::uint64_t longest = 0;
    for (std::uint64_t b : bits) longest = b > longest ? b : longest;
    return static_cast<std::size_t>((longest + 7) / 8) + 1;
  }
};

}  // namespace

std::optional<ReportLayout> ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  GlobalState global;
  std::vector<GlobalState> pushed;
  std::size_t collectionDepth = 0;
  bool numbered = false;
  bool unnumberedData = false;
  Direction input;
  Direction output;

  for (std::size_t pos = 0; pos < descriptor.size();) {
    const std::optional<Item> item = ReadItem(descriptor, pos);
    if (!item) return std::nullopt;
    pos += item->length;
    if (item->isLong) continue;

    if (item->type == kTypeMain) {
      switch (item->tag) {
        case kMainInput:
        case kMainOutput:
          if (!(item->tag == kMainInput ? input : output).Add(global)) return std::nullopt;
          if (global.reportId == 0) unnumberedData = true;
          break;
        case kMainCollection:
          ++collectionDepth;
          break;
        case kMainEndCollection:
          if (collectionDepth == 0) return std::nullopt;
          --collectionDepth;
          break;
        default:  // Feature and reserved tags carry nothing the link uses
          break;
      }
    } else if (item->type == kTypeGlobal) {
      switch (item->tag) {
        case kGlobalReportSize:
          global.reportSize = item->data;
          break;
        case kGlobalReportCount:
          global.reportCount = item->data;
          break;
        case kGlobalReportId:
          if (item->data == 0 || item->data >= kReportIdCount) return std::nullopt;
          global.reportId = item->data;
          numbered = true;
          break;
        case kGlobalPush:
          if (pushed.size() == kMaxPushDepth) return std::nullopt;
          pushed.push_back(global);
          break;
        case kGlobalPop:
          if (pushed.empty()) return std::nullopt;
          global = pushed.back();
          pushed.pop_back();
          break;
        default:  // usage page, logical and physical ranges, units
          break;
      }
    }
    // Local and reserved items do not change report sizes.
  }

  if (collectionDepth != 0) return std::nullopt;
  if (!input.any && !output.any) return std::nullopt;
  // Once a descriptor uses report IDs, every data report carries one; a report
  // without would leave its ID byte undefined.
  if (numbered && unnumberedData) return std::nullopt;

  ReportLayout layout;
  layout.lengths.input = input.Length();
  layout.lengths.output = output.Length();
  layout.numbered = numbered;
  return layout;
}

}  // namespace lumbra::link
