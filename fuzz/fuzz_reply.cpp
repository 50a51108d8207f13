// Reply decoding on any text, for every kind of awaited answer. Byte 0 picks
// the kind, byte 1 the frame's reply length; the rest is the reply line. An
// accepted answer must be exactly what a well-formed reply of that kind and
// length looks like, checked against a plain re-statement of the format.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "protocol/reply.h"

using lumbra::protocol::DecodeHexDigits;
using lumbra::protocol::DecodeReply;
using lumbra::protocol::PendingReply;

namespace {

std::optional<std::vector<std::uint8_t>> StrictHex(std::string_view text) {
  text = text.substr(0, text.find('\r'));
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    int v = -1;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    if (v < 0) return std::nullopt;
    if (i % 2 == 0) {
      if (i + 1 < text.size()) bytes.push_back(static_cast<std::uint8_t>(v << 4));
    } else {
      bytes.back() = static_cast<std::uint8_t>(bytes.back() | v);
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto kind = static_cast<PendingReply>(data[0] % 5);
  const std::size_t replyLength = data[1] % 40;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::optional<std::vector<std::uint8_t>> expected = StrictHex(text);
  const auto hex = DecodeHexDigits(text);
  if (expected && expected->size() <= lumbra::protocol::kMaxReplyBytes) {
    FUZZ_CHECK(hex.has_value());
    FUZZ_CHECK(hex->count == expected->size());
    FUZZ_CHECK(std::equal(expected->begin(), expected->end(), hex->bytes.begin()));
  } else {
    FUZZ_CHECK(!hex.has_value());
  }

  const lumbra::protocol::Reply reply = DecodeReply(text, kind, replyLength);
  if (!reply.accepted) return 0;

  // Accepted: well formed, of the frame's length, with a matching check byte.
  FUZZ_CHECK(kind != PendingReply::kNone);
  FUZZ_CHECK(expected.has_value());
  const std::vector<std::uint8_t>& bytes = *expected;
  FUZZ_CHECK(!bytes.empty() && bytes.size() == replyLength);
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) check ^= bytes[i];
  FUZZ_CHECK(check == bytes.back());
  const std::string_view payload(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
  switch (kind) {
    case PendingReply::kReady: FUZZ_CHECK(payload == "READY"); break;
    case PendingReply::kOk: FUZZ_CHECK(payload == "OK"); break;
    case PendingReply::kChecksum:
      FUZZ_CHECK(payload.size() >= 4);
      FUZZ_CHECK(reply.checksum == ((std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                    (std::uint32_t{bytes[2]} << 8) | bytes[3]));
      break;
    case PendingReply::kBlock:
      FUZZ_CHECK(payload.size() >= reply.block.size());
      FUZZ_CHECK(std::memcmp(reply.block.data(), bytes.data(), reply.block.size()) == 0);
      break;
    case PendingReply::kNone: break;
  }
  return 0;
}
