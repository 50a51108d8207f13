#include "emulator/line_parser.h"

namespace lumbra::emulator {

const char* ToString(Command command) {
  switch (command) {
    case Command::kUnknown: return "Unknown";
    case Command::kServiceOn: return "ServiceOn";
    case Command::kStartDownload: return "StartDownload";
    case Command::kSectorAddress: return "SectorAddress";
    case Command::kSectorData: return "SectorData";
    case Command::kSectorChecksum: return "SectorChecksum";
    case Command::kVerifyAddress: return "VerifyAddress";
  }
  return "?";
}

const char* ToString(ParseError error) {
  switch (error) {
    case ParseError::kNone: return "None";
    case ParseError::kNoLineEnd: return "NoLineEnd";
    case ParseError::kNotACommand: return "NotACommand";
    case ParseError::kBadNumber: return "BadNumber";
    case ParseError::kBadSeparator: return "BadSeparator";
    case ParseError::kBadHex: return "BadHex";
    case ParseError::kBadLength: return "BadLength";
    case ParseError::kBadCheckByte: return "BadCheckByte";
    case ParseError::kUnknownPayload: return "UnknownPayload";
    case ParseError::kReplyLengthMismatch: return "ReplyLengthMismatch";
    case ParseError::kBadAddress: return "BadAddress";
  }
  return "?";
}

std::size_t ReplyLengthOf(Command command) {
  switch (command) {
    case Command::kStartDownload: return 6;   // "READY" + XOR
    case Command::kSectorAddress: return 3;   // "OK" + XOR
    case Command::kSectorChecksum: return 5;  // 4-byte sum + XOR
    case Command::kVerifyAddress: return kBlockSize + 1;
    case Command::kUnknown:
    case Command::kServiceOn:
    case Command::kSectorData: return 0;
  }
  return 0;
}

namespace {

constexpr std::string_view kXscrPrefix = "xscr ";
constexpr std::size_t kAddressDigits = 5;

ParsedLine Reject(ParseError error) {
  ParsedLine parsed;
  parsed.error = error;
  return parsed;
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Upper-case hex digit value, or -1. Lower case is refused: the tool writes upper case.
int HexValue(char ch) {
  if (IsDigit(ch)) return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// A length field: one digit, or two without a leading zero. Consumes the field
// from the front of `rest`.
bool TakeLength(std::string_view& rest, unsigned& value) {
  std::size_t n = 0;
  while (n < rest.size() && IsDigit(rest[n])) ++n;
  if (n == 0 || n > 2 || (n == 2 && rest[0] == '0')) return false;
  value = 0;
  for (std::size_t i = 0; i < n; ++i) value = value * 10 + static_cast<unsigned>(rest[i] - '0');
  rest.remove_prefix(n);
  return true;
}

bool TakeBlank(std::string_view& rest) {
  if (rest.empty() || rest[0] != ' ') return false;
  rest.remove_prefix(1);
  return true;
}

// The five zero-filled decimal digits of an address frame, as an address.
bool ReadAddress(const std::uint8_t* digits, std::uint32_t& address) {
  address = 0;
  for (std::size_t i = 0; i < kAddressDigits; ++i) {
    const char ch = static_cast<char>(digits[i]);
    if (!IsDigit(ch)) return false;
    address = address * 10 + static_cast<std::uint32_t>(ch - '0');
  }
  return true;
}

ParsedLine Classify(const std::uint8_t* payload, std::size_t size) {
  ParsedLine parsed;
  if (size < 2 || payload[0] != 'P') return Reject(ParseError::kUnknownPayload);
  const char letter = static_cast<char>(payload[1]);
  if (letter == 'W' && size == 4 && payload[2] == 'X' && payload[3] == 'Y') {
    parsed.command = Command::kStartDownload;
  } else if ((letter == 'W' || letter == 'Z') && size == 2 + kAddressDigits) {
    if (!ReadAddress(payload + 2, parsed.address)) return Reject(ParseError::kBadAddress);
    if (letter == 'W') {
      if (parsed.address >= kFlashSize) return Reject(ParseError::kBadAddress);
      parsed.command = Command::kSectorAddress;
    } else {
      if (parsed.address + kBlockSize > kFlashSize) return Reject(ParseError::kBadAddress);
      parsed.command = Command::kVerifyAddress;
    }
  } else if (letter == 'X' && size == 2 + kChunkSize) {
    for (std::size_t i = 0; i < kChunkSize; ++i) parsed.chunk[i] = payload[2 + i];
    parsed.command = Command::kSectorData;
  } else if (letter == 'Y' && size == 2) {
    parsed.command = Command::kSectorChecksum;
  } else {
    return Reject(ParseError::kUnknownPayload);
  }
  return parsed;
}

}  // namespace

ParsedLine ParseLine(std::string_view line) {
  if (line == kServiceOnLine) {
    ParsedLine parsed;
    parsed.command = Command::kServiceOn;
    return parsed;
  }
  if (line.substr(0, kXscrPrefix.size()) != kXscrPrefix) return Reject(ParseError::kNotACommand);
  std::string_view rest = line.substr(kXscrPrefix.size());

  unsigned frameLength = 0;
  unsigned replyLength = 0;
  if (!TakeLength(rest, frameLength)) return Reject(ParseError::kBadNumber);
  if (!TakeBlank(rest)) return Reject(ParseError::kBadSeparator);
  if (!TakeLength(rest, replyLength)) return Reject(ParseError::kBadNumber);
  if (!TakeBlank(rest)) return Reject(ParseError::kBadSeparator);

  // Payload bytes and the check byte; the size test comes before any byte is stored.
  if (rest.size() % 2 != 0) return Reject(ParseError::kBadHex);
  const std::size_t byteCount = rest.size() / 2;
  if (byteCount < 2 || byteCount > kMaxPayload + 1) return Reject(ParseError::kBadLength);
  std::array<std::uint8_t, kMaxPayload + 1> bytes{};
  for (std::size_t i = 0; i < byteCount; ++i) {
    const int high = HexValue(rest[2 * i]);
    const int low = HexValue(rest[2 * i + 1]);
    if (high < 0 || low < 0) return Reject(ParseError::kBadHex);
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  const std::size_t payloadSize = byteCount - 1;
  // The frame length counts the reply length byte and the payload.
  if (frameLength != payloadSize + 1) return Reject(ParseError::kBadLength);

  std::uint8_t check = 0;
  for (std::size_t i = 0; i < payloadSize; ++i) check ^= bytes[i];
  if (check != bytes[payloadSize]) return Reject(ParseError::kBadCheckByte);

  ParsedLine parsed = Classify(bytes.data(), payloadSize);
  if (!parsed.Understood()) return parsed;
  if (replyLength != ReplyLengthOf(parsed.command)) return Reject(ParseError::kReplyLengthMismatch);
  return parsed;
}

ReportLine LineOfReport(std::string_view reportData) {
  const std::size_t end = reportData.find('\r');
  if (end == std::string_view::npos) return {};
  return {reportData.substr(0, end), true};
}

}  // namespace lumbra::emulator
