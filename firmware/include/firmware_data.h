// The firmware image built into the tool. The definitions are generated at
// build time from the file chosen with LUMBRA_FIRMWARE_IMAGE, after that file
// has passed lumbra_check_image; nothing is read from disk at run time.
#pragma once

#include <cstdint>

namespace lumbra::firmware {

extern const std::uint8_t kImageData[65536];
extern const char kImageSha256[];   // 64 lower-case hex digits of the embedded file
extern const bool kImageIsStandIn;  // true when the embedded file is the repository's stand-in

}  // namespace lumbra::firmware
