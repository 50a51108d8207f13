#include "protocol/command_frame.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace lumbra::protocol {

namespace {

CommandFrame Frame(std::uint8_t replyLength, std::initializer_list<std::uint8_t> payload) {
  CommandFrame frame;
  frame.bytes[0] = static_cast<std::uint8_t>(1 + payload.size());
  frame.bytes[1] = replyLength;
  std::memcpy(frame.bytes.data() + 2, payload.begin(), payload.size());
  return frame;
}

// 'P', the command letter and the address as five zero-filled decimal digits.
CommandFrame AddressFrame(char command, std::uint8_t replyLength, std::uint32_t address) {
  assert(address <= 99999);
  char digits[12];
  std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(address));
  CommandFrame frame = Frame(replyLength, {'P', static_cast<std::uint8_t>(command)});
  frame.bytes[0] = 8;
  std::memcpy(frame.bytes.data() + 4, digits, 5);
  return frame;
}

void AppendHex(std::string& line, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  line += kDigits[byte >> 4];
  line += kDigits[byte & 0x0F];
}

}  // namespace

CommandFrame StartDownloadFrame() { return Frame(kReadyReplyLength, {'P', 'W', 'X', 'Y'}); }

CommandFrame SectorAddressFrame(std::uint32_t address) { return AddressFrame('W', kOkReplyLength, address); }

static_assert(1 + kSectorDataFrameLength <= kMaxFrameSize);

CommandFrame SectorDataFrame(std::span<const std::uint8_t, kChunkSize> chunk) {
  CommandFrame frame = Frame(0, {'P', 'X'});
  frame.bytes[0] = kSectorDataFrameLength;
  std::memcpy(frame.bytes.data() + 4, chunk.data(), chunk.size());
  return frame;
}

CommandFrame SectorChecksumFrame() { return Frame(kChecksumReplyLength, {'P', 'Y'}); }

CommandFrame VerifyAddressFrame(std::uint32_t address) {
  return AddressFrame('Z', kBlockReplyLength, address);
}

std::string EncodeXscrLine(const CommandFrame& frame) {
  std::string line;
  line.reserve(80);
  line += "xscr ";
  line += std::to_string(frame.FrameLength());
  line += ' ';
  line += std::to_string(frame.ReplyLength());
  line += ' ';
  std::uint8_t check = 0;
  for (std::uint8_t byte : frame.Payload()) {
    AppendHex(line, byte);
    check ^= byte;
  }
  AppendHex(line, check);
  return line;
}

}  // namespace lumbra::protocol
