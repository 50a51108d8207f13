// Reply decoding on any text, for every kind of awaited answer. Byte 0 picks
// the kind, byte 1 the frame's reply length; the rest is the reply line. The
// digits are checked by encoding the decoded bytes again with the tests' own
// encoder; an accepted answer must be of the frame's length, with a true
// check byte and the payload its kind calls for.
#include <cstring>
#include <string>

#include "support/wire.h"
#include "fuzz_check.h"
#include "protocol/reply.h"

using lumbra::protocol::PendingReply;
using lumbra::testing::wire::HexWithCheck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto kind = static_cast<PendingReply>(data[0] % 5);
  const std::size_t replyLength = data[1] % 40;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string line = text.substr(0, text.find('\r'));

  // Upper-case hex pairs up to the first CR, an unpaired last digit dropped.
  const auto hex = lumbra::protocol::DecodeHexDigits(text);
  FUZZ_CHECK(hex.has_value() == (line.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
                                 line.size() / 2 <= lumbra::protocol::kMaxReplyBytes));
  if (!hex) return 0;
  const std::span<const std::uint8_t> bytes(hex->bytes.data(), hex->count);
  FUZZ_CHECK(bytes.size() == line.size() / 2);
  FUZZ_CHECK(HexWithCheck(bytes).starts_with(line.substr(0, 2 * bytes.size())));

  const lumbra::protocol::Reply reply = lumbra::protocol::DecodeReply(text, kind, replyLength);
  if (!reply.accepted) return 0;
  FUZZ_CHECK(replyLength > 0 && bytes.size() == replyLength);
  FUZZ_CHECK(HexWithCheck(bytes.first(replyLength - 1)) == line.substr(0, 2 * replyLength));
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
