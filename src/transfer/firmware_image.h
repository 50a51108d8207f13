// The one firmware image the tool carries, built in as constant data and
// indexed by controller flash address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/command_frame.h"

// The firmware version of the image, which lumbra_check_image holds every
// image file to before it is embedded. A macro, so that texts such as the
// dialog's title are built from it at compile time.
#define LUMBRA_IMAGE_VERSION "2.01"

namespace lumbra::transfer {

inline constexpr std::string_view kImageVersion = LUMBRA_IMAGE_VERSION;

// A controller flash address, which is also an index into the image.
using FlashAddress = std::uint32_t;

inline constexpr std::size_t kImageSize = 0x10000;
inline constexpr std::size_t kSectorSize = 0x400;
inline constexpr std::size_t kSectorCount = kImageSize / kSectorSize;
inline constexpr FlashAddress kEndAddress = kImageSize - 1;  // the last image address
inline constexpr int kChunksPerSector = kSectorSize / protocol::kChunkSize;

class FirmwareImage {
 public:
  // The byte that belongs at `address`, address <= kEndAddress.
  static std::uint8_t Byte(FlashAddress address) { return Bytes()[address]; }
  static std::span<const std::uint8_t, kImageSize> Bytes();

  // True when the build embedded the repository's stand-in instead of the
  // real image: such a build must never write to a real controller.
  static bool IsStandIn();
};

}  // namespace lumbra::transfer
