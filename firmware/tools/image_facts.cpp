#include "image_facts.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>

namespace lumbra::firmware {

namespace {

constexpr std::uint8_t kResetCode[] = {0x02, 0x53, 0xE9, 0xAF, 0x84, 0x75, 0x84, 0x01,
                                       0xE4, 0xF5, 0xC8, 0x75, 0xCA, 0x06, 0x75, 0xCB};
constexpr std::uint8_t kInterruptJump[] = {0x02, 0xF0, 0x00};  // LJMP 0xF000
constexpr std::uint8_t kSector0Tail[] = {0x94, 0x86, 0x40, 0x20, 0x90, 0x00, 0x3B, 0xE4,
                                         0xF0, 0xA3, 0xF0, 0x80, 0x17, 0x90, 0x00, 0x3B};
constexpr std::uint8_t kVersionText[] = {'2', '.', '0', '1'};
constexpr std::uint8_t kReadyText[] = {'R', 'E', 'A', 'D', 'Y'};

constexpr std::size_t ErasedSectors() {
  std::size_t sectors = 0;
  for (const AddressRange& range : kErasedRanges) sectors += (range.last + 1 - range.first) / kSectorSize;
  return sectors;
}
static_assert(ErasedSectors() == kErasedSectorCount);

// The controller answers 0x00FFFFFF for a sector it skipped; a real sector sum
// can never take that value, so no image needs to be checked for it.
static_assert(kSectorSize * 0xFF < 0x00FFFFFF);

std::string Hex(std::size_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04zX", value);
  return text;
}

// "32 2E 30 31", followed by the text ("2.01") when every byte is printable.
std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string hex;
  std::string text;
  for (std::uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%s%02X", hex.empty() ? "" : " ", byte);
    hex += digits;
    text += static_cast<char>(byte);
  }
  const bool printable =
      std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte >= 0x20 && byte < 0x7F; });
  return printable && bytes.size() > 1 ? hex + " (\"" + text + "\")" : hex;
}

std::span<const std::uint8_t> Sector(std::span<const std::uint8_t> image, std::size_t start) {
  return image.subspan(start, kSectorSize);
}

bool IsErased(std::uint8_t byte) { return byte == kErased; }

bool InErasedRange(std::size_t sectorStart) {
  return std::any_of(kErasedRanges.begin(), kErasedRanges.end(), [&](const AddressRange& range) {
    return sectorStart >= range.first && sectorStart <= range.last;
  });
}

void CheckFixedRuns(std::span<const std::uint8_t> image, std::vector<Violation>& violations) {
  for (const FixedRun& run : kFixedRuns) {
    const auto found = image.subspan(run.address, run.bytes.size());
    if (!std::equal(found.begin(), found.end(), run.bytes.begin())) {
      violations.push_back({std::string(run.fact), Hex(run.address) + " should hold " + HexBytes(run.bytes) +
                                                       ", found " + HexBytes(found)});
    }
  }
}

void CheckSector0Sum(std::span<const std::uint8_t> image, std::vector<Violation>& violations) {
  const auto sector = Sector(image, 0);
  const std::uint32_t sum = std::accumulate(sector.begin(), sector.end(), std::uint32_t{0});
  if (sum != kSector0Sum) {
    violations.push_back(
        {"sector 0 sum", "bytes 0x0000-0x03FF should add up to " + Hex(kSector0Sum) + ", found " + Hex(sum)});
  }
}

void CheckSectorUse(std::span<const std::uint8_t> image, std::vector<Violation>& violations) {
  for (std::size_t start = 0; start < kImageSize; start += kSectorSize) {
    const auto sector = Sector(image, start);
    const auto used = std::find_if_not(sector.begin(), sector.end(), IsErased);
    if (InErasedRange(start) && used != sector.end()) {
      const std::size_t address = start + static_cast<std::size_t>(used - sector.begin());
      violations.push_back({"erased sectors", "sector " + Hex(start) + " should be all 0xFF, found " +
                                                  HexBytes({&*used, 1}) + " at " + Hex(address)});
    } else if (!InErasedRange(start) && used == sector.end()) {
      violations.push_back(
          {"used sectors", "sector " + Hex(start) + " should hold program or data, found all 0xFF"});
    }
  }
}

void CheckPartlyUsedSectors(std::span<const std::uint8_t> image, std::vector<Violation>& violations) {
  for (std::size_t start : kPartlyUsedSectors) {
    const auto sector = Sector(image, start);
    if (std::none_of(sector.begin(), sector.end(), IsErased)) {
      violations.push_back(
          {"partly used sectors",
           "sector " + Hex(start) + " should be only partly used, found no 0xFF byte"});
    }
  }
  const std::size_t programEnd = kProgramEndSector + kSectorSize - 1;
  if (!IsErased(image[programEnd])) {
    violations.push_back({"partly used sectors",
                          "the program should end inside sector " + Hex(kProgramEndSector) + ", found " +
                              HexBytes(image.subspan(programEnd, 1)) + " at " + Hex(programEnd)});
  }
}

}  // namespace

const std::array<FixedRun, 5> kFixedRuns = {{
    {"reset code", 0x0000, kResetCode},
    {"interrupt vector", 0x003B, kInterruptJump},
    {"sector 0 tail", 0x03F0, kSector0Tail},
    {"version text", 0x5F6B, kVersionText},
    {"ready text", 0x61FF, kReadyText},
}};

std::vector<Violation> CheckImage(std::span<const std::uint8_t> image) {
  if (image.size() != kImageSize) {
    return {{"size",
             "should be " + std::to_string(kImageSize) + " bytes, found " + std::to_string(image.size())}};
  }
  std::vector<Violation> violations;
  CheckFixedRuns(image, violations);
  CheckSector0Sum(image, violations);
  CheckSectorUse(image, violations);
  CheckPartlyUsedSectors(image, violations);
  return violations;
}

std::optional<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) return std::nullopt;
  return bytes;
}

}  // namespace lumbra::firmware
