// The parts of the conversation that are not frames: the plain-text line that
// puts the controller into service mode and its answer, and the checksum the
// controller gives for a sector it protects.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumbra::protocol {

inline constexpr std::string_view kServiceOnLine = "service.on";
// Only this many leading characters of the answer count.
inline constexpr std::string_view kServiceOnReply = "SERVICE ON";

// The controller's checksum answer for a sector it protects and did not write.
inline constexpr std::uint32_t kProtectedSectorSum = 0x00FFFFFF;

}  // namespace lumbra::protocol
