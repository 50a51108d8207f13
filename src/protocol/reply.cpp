#include "protocol/reply.h"

#include <cstring>
#include <string_view>

namespace lumbra::protocol {

namespace {

std::optional<std::uint8_t> DigitValue(char ch) {
  if (ch >= '0' && ch <= '9') return static_cast<std::uint8_t>(ch - '0');
  if (ch >= 'A' && ch <= 'F') return static_cast<std::uint8_t>(ch - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::optional<HexBytes> DecodeHexDigits(std::string_view replyText) {
  replyText = replyText.substr(0, replyText.find('\r'));
  if (replyText.size() / 2 > kMaxReplyBytes) return std::nullopt;
  HexBytes out;
  bool high = true;
  std::uint8_t accumulator = 0;
  for (char ch : replyText) {
    std::optional<std::uint8_t> v = DigitValue(ch);
    if (!v) return std::nullopt;
    if (high) {
      accumulator = static_cast<std::uint8_t>(*v << 4);
    } else {
      out.bytes[out.count++] = static_cast<std::uint8_t>(accumulator | *v);
    }
    high = !high;
  }
  return out;
}

Reply DecodeReply(std::string_view replyText, PendingReply kind, std::size_t replyLength) {
  Reply reply;
  std::optional<HexBytes> decoded = DecodeHexDigits(replyText);
  // A short or long answer would otherwise be read with stale or foreign bytes.
  if (!decoded || decoded->count == 0 || decoded->count != replyLength) return reply;
  const std::size_t n = decoded->count;
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) check ^= decoded->bytes[i];
  if (check != decoded->bytes[n - 1]) return reply;

  const std::uint8_t* payload = decoded->bytes.data();
  const std::size_t payloadSize = n - 1;
  const std::string_view text(reinterpret_cast<const char*>(payload), payloadSize);
  switch (kind) {
    case PendingReply::kNone:
      break;
    case PendingReply::kReady:
      reply.accepted = text == "READY";
      break;
    case PendingReply::kOk:
      reply.accepted = text == "OK";
      break;
    case PendingReply::kChecksum:
      if (payloadSize >= 4) {
        reply.checksum = (std::uint32_t{payload[0]} << 24) | (std::uint32_t{payload[1]} << 16) |
                         (std::uint32_t{payload[2]} << 8) | std::uint32_t{payload[3]};
        reply.accepted = true;
      }
      break;
    case PendingReply::kBlock:
      if (payloadSize >= kChunkSize) {
        std::memcpy(reply.block.data(), payload, kChunkSize);
        reply.accepted = true;
      }
      break;
  }
  return reply;
}

}  // namespace lumbra::protocol
