// The emulated controller's reading of one received line: the plain service
// line or an xscr line "xscr <frame length> <reply length> <payload hex><xor hex>".
// Written independently of the tool's encoder and deliberately strict, so an
// encoder that drifts from the wire format gets no answer instead of a lucky one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumbra::emulator {

inline constexpr std::size_t kFlashSize = 0x10000;
inline constexpr std::size_t kSectorSize = 0x400;
inline constexpr std::size_t kSectorCount = kFlashSize / kSectorSize;
inline constexpr std::size_t kChunkSize = 16;  // image bytes in one Sector data frame
inline constexpr std::size_t kBlockSize = 16;  // flash bytes in one Verify address answer
// Longest payload a frame carries: 'P', 'X' and one chunk.
inline constexpr std::size_t kMaxPayload = 2 + kChunkSize;

inline constexpr std::string_view kServiceOnLine = "service.on";
inline constexpr std::string_view kServiceOnAnswer = "SERVICE ON";

enum class Command : std::uint8_t {
  kUnknown,         // not a line the controller answers or acts on
  kServiceOn,       // "service.on"
  kStartDownload,   // 'P' 'W' 'X' 'Y'
  kSectorAddress,   // 'P' 'W' + five decimal digits
  kSectorData,      // 'P' 'X' + 16 bytes
  kSectorChecksum,  // 'P' 'Y'
  kVerifyAddress,   // 'P' 'Z' + five decimal digits
};

// Why a line was not understood; kNone for a line that was.
enum class ParseError : std::uint8_t {
  kNone,
  kNoLineEnd,           // the report holds no carriage return
  kNotACommand,         // neither "service.on" nor an xscr line
  kBadNumber,           // a length field is missing, not decimal, zero-led or over 99
  kBadSeparator,        // not exactly one blank between the fields
  kBadHex,              // odd digit count, a non-digit or a lower-case digit
  kBadLength,           // frame length disagrees with the payload, or payload too long/short
  kBadCheckByte,        // XOR of the payload differs from the last byte
  kUnknownPayload,      // payload is no command the controller knows
  kReplyLengthMismatch, // reply length is not the one this command's answer has
  kBadAddress,          // address digits not decimal, or the address lies outside the flash
};

const char* ToString(Command command);
const char* ToString(ParseError error);

// Number of bytes (XOR byte included) of the answer to each command; 0 for
// commands answered in plain text or not at all.
std::size_t ReplyLengthOf(Command command);

struct ParsedLine {
  Command command = Command::kUnknown;
  ParseError error = ParseError::kNone;
  std::uint32_t address = 0;                      // kSectorAddress, kVerifyAddress
  std::array<std::uint8_t, kChunkSize> chunk{};   // kSectorData

  bool Understood() const { return command != Command::kUnknown; }
};

// Reads one line, without its line end. Never reads outside `line` and
// accepts any bytes, including zero bytes.
ParsedLine ParseLine(std::string_view line);

// The line carried by the data bytes of one output report (the bytes after the
// report ID): everything before the first carriage return; `found` is false
// when the report holds no carriage return.
struct ReportLine {
  std::string_view text;
  bool found = false;
};
ReportLine LineOfReport(std::string_view reportData);

}  // namespace lumbra::emulator
