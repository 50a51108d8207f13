#include "transfer/firmware_image.h"

#include "firmware_data.h"

namespace lumbra::transfer {

std::span<const std::uint8_t, kImageSize> FirmwareImage::Bytes() {
  static_assert(sizeof firmware::kImageData == kImageSize);
  return std::span<const std::uint8_t, kImageSize>(firmware::kImageData);
}

bool FirmwareImage::IsStandIn() { return firmware::kImageIsStandIn; }

}  // namespace lumbra::transfer
