// The controller's answers: hexadecimal digits of the answer bytes, the last
// byte being the XOR of the others, e.g. "4F4B04" for "OK".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/command_frame.h"

namespace lumbra::protocol {

// The kind of answer being awaited.
enum class PendingReply : int { kNone = 0, kReady = 1, kOk = 2, kChecksum = 3, kBlock = 4 };

// A reply line holds at most 64 characters, so at most 32 bytes.
inline constexpr std::size_t kMaxReplyBytes = 32;

struct HexBytes {
  std::array<std::uint8_t, kMaxReplyBytes> bytes{};
  std::size_t count = 0;
};

// The bytes written as hexadecimal digits in `replyText` up to its first
// carriage return; a trailing unpaired digit is dropped. nullopt when the
// text holds any character other than 0-9 and A-F, or more than 32 bytes.
std::optional<HexBytes> DecodeHexDigits(std::string_view replyText);

struct Reply {
  // The answer passed its check byte, has the frame's reply length and says
  // what the kind awaits. For kChecksum it is only well formed: the download
  // engine judges the value.
  bool accepted = false;
  std::uint32_t checksum = 0;                   // kChecksum: first four bytes, big-endian
  std::array<std::uint8_t, kChunkSize> block{};  // kBlock: the 16 flash bytes
};

// Decodes `replyText` as the answer of the given kind to a frame whose reply
// length is `replyLength` (answer bytes including the XOR byte).
Reply DecodeReply(std::string_view replyText, PendingReply kind, std::size_t replyLength);

}  // namespace lumbra::protocol
