#include "protocol/reply.h"

#include <gtest/gtest.h>

namespace lumbra::protocol {
namespace {

Reply Decode(std::string_view text, PendingReply kind, std::size_t length) {
  return DecodeReply(std::string(text) + "\r\n", kind, length);
}

TEST(Reply, AcceptsTheControllersAnswers) {
  EXPECT_TRUE(Decode("52454144594B", PendingReply::kReady, 6).accepted);
  EXPECT_TRUE(Decode("4F4B04", PendingReply::kOk, 3).accepted);

  const Reply sum = Decode("00020A7F77", PendingReply::kChecksum, 5);
  EXPECT_TRUE(sum.accepted);
  EXPECT_EQ(sum.checksum, 0x020A7Fu);
  EXPECT_EQ(Decode("00FFFFFFFF", PendingReply::kChecksum, 5).checksum, 0x00FFFFFFu);

  const Reply block = Decode("0253E9AF84758401E4F5C875CA0675CBBD", PendingReply::kBlock, 17);
  EXPECT_TRUE(block.accepted);
  EXPECT_EQ(block.block[0], 0x02);
  EXPECT_EQ(block.block[15], 0xCB);
}

TEST(Reply, RejectsAnswersThatAreNotWhatWasAwaited) {
  EXPECT_FALSE(Decode("4F4B04", PendingReply::kReady, 6).accepted);       // "OK" for READY
  EXPECT_FALSE(Decode("52454144594B", PendingReply::kNone, 6).accepted);  // nothing awaited
  EXPECT_FALSE(Decode("00", PendingReply::kReady, 1).accepted);           // empty payload
  EXPECT_FALSE(Decode("524541445900", PendingReply::kReady, 6).accepted);  // "READY" is not "READ\0"
}

TEST(Reply, RejectsMalformedAnswers) {
  struct Case {
    const char* name;
    std::string_view text;
  };
  const Case cases[] = {
      {"bad check byte", "52454144594C"},
      {"empty", ""},
      {"odd digits", "52454144594"},
      {"lower case", "52454144594b"},
      {"garbage", "5245414459G4"},
      {"blank inside", "524541 44594B"},
      {"short", "5245414412"},
      {"long", "52454144595912"},
  };
  for (const Case& c : cases) EXPECT_FALSE(Decode(c.text, PendingReply::kReady, 6).accepted) << c.name;

  // A short checksum or block answer must not be completed with older bytes.
  EXPECT_FALSE(Decode("020A7F77", PendingReply::kChecksum, 5).accepted);
  EXPECT_FALSE(Decode("0253E9AF84758401E4F5C875CA067576", PendingReply::kBlock, 17).accepted);
  EXPECT_FALSE(Decode("0253E9AF84758401E4F5C875CA0675CB00BD", PendingReply::kBlock, 17).accepted);
  // The text is read up to its first carriage return only.
  EXPECT_FALSE(DecodeReply("\r4F4B04\r\n", PendingReply::kOk, 3).accepted);
}

TEST(HexDigits, DecodesUpToTheCarriageReturnAndDropsAnUnpairedDigit) {
  std::optional<HexBytes> bytes = DecodeHexDigits("4F4B0\r77");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->count, 2u);
  EXPECT_EQ(bytes->bytes[1], 0x4B);
  EXPECT_FALSE(DecodeHexDigits("4F:B"));
  EXPECT_FALSE(DecodeHexDigits(std::string(66, 'A')));  // more than a report can carry
  ASSERT_TRUE(DecodeHexDigits(std::string(64, 'A')));
}

}  // namespace
}  // namespace lumbra::protocol
