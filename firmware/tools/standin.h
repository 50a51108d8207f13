// The repository's stand-in for the firmware image: program-like bytes from a
// fixed seed, laid out like version 2.01 and fixed up so that every image fact
// holds. It lets the tool be built and tested without the real image; it is
// not firmware and must never be written into a real controller.
#pragma once

#include <cstdint>
#include <vector>

namespace lumbra::firmware {

// The same 65,536 bytes on every call and every platform.
std::vector<std::uint8_t> MakeStandIn();

}  // namespace lumbra::firmware
