#include "transfer/firmware_image.h"

#include "firmware_data.h"

namespace lumbra::transfer {

std::span<const std::uint8_t, kImageSize> FirmwareImage::Bytes() {
  static_assert(sizeof firmware::kImageData == kImageSize);
  return std::span<const std::uint8_t, kImageSize>(firmware::kImageData);
}

std::string_view FirmwareImage::Sha256() { return firmware::kImageSha256; }

bool FirmwareImage::IsStandIn() { return firmware::kImageIsStandIn; }

}  // namespace lumbra::transfer
