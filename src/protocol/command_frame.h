// The binary command records of the firmware transfer and their text form,
// the "xscr line": "xscr <frame length> <reply length> <payload hex><xor hex>".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lumbra::protocol {

inline constexpr std::size_t kChunkSize = 16;    // image bytes in one Sector data frame
inline constexpr std::size_t kMaxFrameSize = 21;
// Frame length of a Sector data frame: itself, 'P' 'X' and the chunk.
inline constexpr std::uint8_t kSectorDataFrameLength = 1 + 2 + kChunkSize;

// Reply lengths: the answer's bytes and its XOR byte.
inline constexpr std::uint8_t kReadyReplyLength = 6;      // "READY"
inline constexpr std::uint8_t kOkReplyLength = 3;         // "OK"
inline constexpr std::uint8_t kChecksumReplyLength = 5;   // a 4-byte sum
inline constexpr std::uint8_t kBlockReplyLength = 1 + kChunkSize;  // 16 flash bytes

// Byte 0: frame length (bytes that follow it); byte 1: reply length (bytes of
// the answer, its XOR byte included; 0 = no answer); then the payload.
struct CommandFrame {
  std::array<std::uint8_t, kMaxFrameSize> bytes{};

  std::uint8_t FrameLength() const { return bytes[0]; }
  std::uint8_t ReplyLength() const { return bytes[1]; }
  std::span<const std::uint8_t> Payload() const {
    return std::span(bytes).subspan(2, FrameLength() - 1u);
  }
};

CommandFrame StartDownloadFrame();                         // 'P' 'W' 'X' 'Y', awaits "READY"
CommandFrame SectorAddressFrame(std::uint32_t address);    // 'P' 'W' + "%05u", awaits "OK"
CommandFrame SectorDataFrame(std::span<const std::uint8_t, kChunkSize> chunk);  // 'P' 'X' + 16 bytes
CommandFrame SectorChecksumFrame();                        // 'P' 'Y', awaits a 4-byte sum
CommandFrame VerifyAddressFrame(std::uint32_t address);    // 'P' 'Z' + "%05u", awaits 16 bytes

// The frame's text form, ready for SendLine.
std::string EncodeXscrLine(const CommandFrame& frame);

// Characters in the xscr line of a frame with these lengths: "xscr ", both
// lengths in decimal with a space after each, and two hex digits for each
// payload byte and for the XOR byte.
constexpr std::size_t XscrLineLength(std::uint8_t frameLength, std::uint8_t replyLength) {
  const auto digits = [](unsigned n) { return n >= 100 ? 3u : n >= 10 ? 2u : 1u; };
  return 5 + digits(frameLength) + 1 + digits(replyLength) + 1 + 2u * (frameLength - 1u) + 2;
}

// The longest line the tool sends, a Sector data frame's (48 characters):
// what the link must carry in one output report.
inline constexpr std::size_t kLongestLine = XscrLineLength(kSectorDataFrameLength, 0);

}  // namespace lumbra::protocol
