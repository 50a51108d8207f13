// The codec: the lines the tool writes, and the answers it takes.
#include "protocol/command_frame.h"
#include "protocol/reply.h"

#include <gtest/gtest.h>

namespace lumbra::protocol {
namespace {

// Image bytes 0..15, the first chunk of sector 0.
constexpr std::array<std::uint8_t, kChunkSize> kFirstChunk = {
    0x02, 0x53, 0xE9, 0xAF, 0x84, 0x75, 0x84, 0x01, 0xE4, 0xF5, 0xC8, 0x75, 0xCA, 0x06, 0x75, 0xCB};

TEST(XscrLine, EncodesEachFrameExactly) {
  EXPECT_EQ(EncodeXscrLine(StartDownloadFrame()), "xscr 5 6 5057585906");
  EXPECT_EQ(EncodeXscrLine(SectorAddressFrame(0)), "xscr 8 3 5057303030303037");
  EXPECT_EQ(EncodeXscrLine(SectorChecksumFrame()), "xscr 3 5 505909");
  EXPECT_EQ(EncodeXscrLine(VerifyAddressFrame(1024)), "xscr 8 17 505A30313032343D");
  // The longest line the tool sends.
  EXPECT_EQ(EncodeXscrLine(SectorDataFrame(kFirstChunk)),
            "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5");
  EXPECT_EQ(kLongestLine, 48u);
}

TEST(Reply, AcceptsOnlyWellFormedAnswersOfTheAwaitedKindAndLength) {
  using enum PendingReply;
  // The reply line without its "\r\n", the kind and reply length awaited, whether it is accepted.
  const struct { const char* text; PendingReply kind; std::size_t length; bool accepted; } rows[] = {
      {"52454144594B", kReady, 6, true},   {"4F4B04", kOk, 3, true},
      {"80020AFF77", kChecksum, 5, true},  {"0253E9AF84758401E4F5C875CA0675CBBD", kBlock, 17, true},
      {"4F4B04", kReady, 3, false},        // "OK" when READY is awaited
      {"52454144594B", kNone, 6, false},   // nothing awaited
      {"00", kChecksum, 1, false},         // no payload
      {"52454144594C", kReady, 6, false},  // bad check byte
      {"", kBlock, 0, false},              // a frame without an answer: no byte to check
      // A short or long answer is refused for its length, not completed or cut to size.
      {"020A7F77", kChecksum, 5, false},   {"0253E9AF84758401E4F5C875CA067576", kBlock, 17, false},
      {"0253E9AF84758401E4F5C875CA0675CB00BD", kBlock, 17, false},
      {"\r4F4B04", kOk, 3, false},  // read up to the first carriage return only
  };
  for (const auto& row : rows)
    EXPECT_EQ(DecodeReply(row.text + std::string("\r\n"), row.kind, row.length).accepted, row.accepted)
        << row.text;
  EXPECT_EQ(DecodeReply("80020AFF77\r\n", kChecksum, 5).checksum, 0x80020AFFu);  // big-endian
  EXPECT_EQ(DecodeReply("0253E9AF84758401E4F5C875CA0675CBBD\r\n", kBlock, 17).block, kFirstChunk);
}

TEST(HexDigits, DecodesUpToTheCarriageReturnAndDropsAnUnpairedDigit) {
  const std::optional<HexBytes> bytes = DecodeHexDigits("4F4B0\r77");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->count, 2u);
  EXPECT_EQ(bytes->bytes[1], 0x4B);
  for (const char* text : {"4F:B", "4f", "4G"}) EXPECT_FALSE(DecodeHexDigits(text)) << text;
  EXPECT_TRUE(DecodeHexDigits(std::string(64, 'A')));
  EXPECT_FALSE(DecodeHexDigits(std::string(66, 'A')));  // more than a report can carry
}

}  // namespace
}  // namespace lumbra::protocol
