// The facts every firmware image of version 2.01 satisfies. The build checks
// the chosen image file against them before it embeds it, so a truncated,
// padded or wrong-version file never reaches a controller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra::firmware {

inline constexpr std::size_t kImageSize = 0x10000;
inline constexpr std::size_t kSectorSize = 0x400;
inline constexpr std::size_t kSectorCount = kImageSize / kSectorSize;
inline constexpr std::uint8_t kErased = 0xFF;

inline constexpr std::uint32_t kSector0Sum = 0x020A7F;

// Bytes the image holds at a fixed address.
struct FixedRun {
  std::string_view fact;
  std::size_t address;
  std::span<const std::uint8_t> bytes;
};
extern const std::array<FixedRun, 5> kFixedRuns;

// Inclusive address range.
struct AddressRange {
  std::size_t first;
  std::size_t last;
};

// Sectors that are entirely 0xFF; every other sector holds program or data.
inline constexpr std::array<AddressRange, 4> kErasedRanges = {{
    {0x6400, 0x7FFF},
    {0x8800, 0xDFFF},
    {0xE400, 0xEFFF},
    {0xFC00, 0xFFFF},
}};
inline constexpr std::size_t kErasedSectorCount = 33;

// Start addresses of the sectors that hold both used bytes and 0xFF.
inline constexpr std::array<std::size_t, 4> kPartlyUsedSectors = {0x6000, 0x8000, 0x8400, 0xE000};
// The program ends inside this sector, which then runs out in 0xFF.
inline constexpr std::size_t kProgramEndSector = 0x6000;

// One fact the image breaks: its name and what was found instead.
struct Violation {
  std::string fact;
  std::string detail;
};

// Every fact the image breaks; empty when it may be embedded. An image of the
// wrong size is reported as such and not examined further.
std::vector<Violation> CheckImage(std::span<const std::uint8_t> image);

// The whole file, or nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path);

}  // namespace lumbra::firmware
