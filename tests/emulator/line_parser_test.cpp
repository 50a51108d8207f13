#include "emulator/line_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumbra::emulator {
namespace {

// Lines exactly as the tool writes them for the first sector and block.
const std::vector<std::string> kToolLines = {
    "service.on",
    "xscr 5 6 5057585906",
    "xscr 8 3 5057303030303037",
    "xscr 8 3 5057303130323430",
    "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5",
    "xscr 19 0 50589486402090003BE4F0A3F0801790003BAA",
    "xscr 3 5 505909",
    "xscr 8 17 505A30303030303A",
    "xscr 8 17 505A30313032343D",
};

TEST(LineParser, UnderstandsTheToolsLines) {
  struct Case {
    std::string line;
    Command command;
    std::uint32_t address;
  };
  const Case cases[] = {
      {kToolLines[0], Command::kServiceOn, 0},
      {kToolLines[1], Command::kStartDownload, 0},
      {kToolLines[2], Command::kSectorAddress, 0},
      {kToolLines[4], Command::kSectorData, 0},
      {kToolLines[8], Command::kVerifyAddress, 1024},
      {"xscr 8 3 5057363435313233", Command::kSectorAddress, 64512},
      {"xscr 8 17 505A36353532303E", Command::kVerifyAddress, 65520},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ParsedLine parsed = ParseLine(c.line);
    EXPECT_EQ(parsed.command, c.command) << ToString(parsed.error);
    EXPECT_EQ(parsed.error, ParseError::kNone);
    EXPECT_EQ(parsed.address, c.address);
  }
}


TEST(LineParser, RejectsMalformedLinesWithTheReason) {
  struct Case {
    std::string line;
    ParseError error;
  };
  const Case cases[] = {
      {"", ParseError::kNotACommand},
      {"SERVICE.ON", ParseError::kNotACommand},
      {"XSCR 5 6 5057585906", ParseError::kNotACommand},
      {"xscr  5 6 5057585906", ParseError::kBadNumber},
      {"xscr 05 6 5057585906", ParseError::kBadNumber},
      {"xscr 100 6 5057585906", ParseError::kBadNumber},
      {"xscr 5 6", ParseError::kBadSeparator},
      {"xscr 5,6 5057585906", ParseError::kBadSeparator},
      {"xscr 5 6  5057585906", ParseError::kBadHex},
      {"xscr 5 6 505758590", ParseError::kBadHex},
      {"xscr 5 6 50575859g6", ParseError::kBadHex},
      {"xscr 8 17 505a30303030303a", ParseError::kBadHex},
      {std::string("xscr 5 6 50575859\0\0", 19), ParseError::kBadHex},
      {"xscr 5 6 ", ParseError::kBadLength},
      {"xscr 4 6 5057585906", ParseError::kBadLength},
      {"xscr 20 0 5058000000000000000000000000000000000008", ParseError::kBadLength},
      {"xscr 5 6 5057585907", ParseError::kBadCheckByte},
      {"xscr 5 6 5057585A05", ParseError::kUnknownPayload},
      {"xscr 3 5 515908", ParseError::kUnknownPayload},
      {"xscr 18 0 505800000000000000000000000000000008", ParseError::kUnknownPayload},
      {"xscr 5 5 5057585906", ParseError::kReplyLengthMismatch},
      {"xscr 8 17 5057303030303037", ParseError::kReplyLengthMismatch},
      {"xscr 8 3 5057303030304146", ParseError::kBadAddress},
      {"xscr 8 3 5057363535333634", ParseError::kBadAddress},   // 65536
      {"xscr 8 17 505A36353532313F", ParseError::kBadAddress},  // 65521: block runs off the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ParsedLine parsed = ParseLine(c.line);
    EXPECT_EQ(parsed.command, Command::kUnknown);
    EXPECT_EQ(parsed.error, c.error) << ToString(parsed.error);
  }
}

// One wrong character anywhere in a line, whatever it is, must cost the answer:
// the fields, the separators and the check byte together leave no blind spot.
TEST(LineParser, EverySingleCharacterChangeOfAToolLineIsRejected) {
  for (const std::string& line : kToolLines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      for (int c = 0; c < 256; ++c) {
        if (static_cast<char>(c) == line[i]) continue;
        std::string mutated = line;
        mutated[i] = static_cast<char>(c);
        ASSERT_FALSE(ParseLine(mutated).Understood()) << "'" << mutated << "'";
      }
    }
  }
}

TEST(LineParser, EveryTruncationAndExtensionOfAToolLineIsRejected) {
  for (const std::string& line : kToolLines) {
    for (std::size_t n = 0; n < line.size(); ++n) {
      EXPECT_FALSE(ParseLine(std::string_view(line).substr(0, n)).Understood()) << line << " cut at " << n;
    }
    EXPECT_FALSE(ParseLine(line + "0").Understood()) << line;
    EXPECT_FALSE(ParseLine(line + "00").Understood()) << line;
    EXPECT_FALSE(ParseLine(line + " ").Understood()) << line;
  }
}

}  // namespace
}  // namespace lumbra::emulator
