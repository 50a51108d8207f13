// Reply decoding on any text, for every kind of awaited answer. Byte 0 picks
// the kind, byte 1 the frame's reply length; the rest is the reply line. An
// accepted answer must be exactly what a well-formed reply of that kind and
// length looks like, checked against a plain re-statement of the format.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "protocol/reply.h"

using lumbra::protocol::PendingReply;

namespace {

// Upper-case hex pairs up to the first CR, an unpaired last digit dropped.
std::optional<std::vector<std::uint8_t>> StrictHex(std::string_view text) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  text = text.substr(0, text.find('\r'));
  if (text.find_first_not_of(kDigits) != std::string_view::npos) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(kDigits.find(text[i]) * 16 + kDigits.find(text[i + 1])));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto kind = static_cast<PendingReply>(data[0] % 5);
  const std::size_t replyLength = data[1] % 40;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  std::optional<std::vector<std::uint8_t>> expected = StrictHex(text);
  if (expected && expected->size() > lumbra::protocol::kMaxReplyBytes) expected.reset();
  const auto hex = lumbra::protocol::DecodeHexDigits(text);
  FUZZ_CHECK(hex.has_value() == expected.has_value());
  FUZZ_CHECK(!hex || std::equal(expected->begin(), expected->end(), hex->bytes.begin(),
                                hex->bytes.begin() + static_cast<std::ptrdiff_t>(hex->count)));

  const lumbra::protocol::Reply reply = lumbra::protocol::DecodeReply(text, kind, replyLength);
  if (!reply.accepted) return 0;
  // Accepted: well formed, of the frame's length, with a matching check byte.
  FUZZ_CHECK(expected && !expected->empty() && expected->size() == replyLength);
  const std::vector<std::uint8_t>& bytes = *expected;
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) check ^= bytes[i];
  FUZZ_CHECK(check == bytes.back());
  const std::string payload(bytes.begin(), bytes.end() - 1);
  switch (kind) {
    case PendingReply::kNone: FUZZ_CHECK(false); break;
    case PendingReply::kReady: FUZZ_CHECK(payload == "READY"); break;
    case PendingReply::kOk: FUZZ_CHECK(payload == "OK"); break;
    case PendingReply::kChecksum:
      FUZZ_CHECK(payload.size() >= 4);
      FUZZ_CHECK(reply.checksum == (std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                    std::uint32_t{bytes[2]} << 8 | bytes[3]));
      break;
    case PendingReply::kBlock:
      FUZZ_CHECK(payload.size() >= reply.block.size());
      FUZZ_CHECK(std::memcmp(reply.block.data(), bytes.data(), reply.block.size()) == 0);
      break;
  }
  return 0;
}
