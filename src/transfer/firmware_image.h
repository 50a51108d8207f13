// The one firmware image the tool carries, built in as constant data and
// indexed by controller flash address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace lumbra::transfer {

inline constexpr std::size_t kImageSize = 0x10000;
inline constexpr std::size_t kSectorSize = 0x400;
inline constexpr std::size_t kSectorCount = kImageSize / kSectorSize;

class FirmwareImage {
 public:
  // The byte that belongs at `address`, 0 <= address <= 0xFFFF.
  static std::uint8_t Byte(std::size_t address) { return Bytes()[address]; }
  static std::span<const std::uint8_t, kImageSize> Bytes();
  static constexpr std::size_t Size() { return kImageSize; }

  // SHA-256 of the embedded file, as 64 lower-case hexadecimal digits.
  static std::string_view Sha256();
  // True when the build embedded the repository's stand-in instead of the
  // real image: such a build must never be used on a real controller.
  static bool IsStandIn();
};

}  // namespace lumbra::transfer
