#include "emulator/line_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumbra::emulator {
namespace {

// One wrong, missing or extra character anywhere in a line the tool writes
// must cost the answer: the fields, the blanks and the check byte together
// leave no blind spot.
TEST(LineParser, RejectsEverySingleCharacterEditOfTheToolsLines) {
  const std::string lines[] = {
      "service.on", "xscr 5 6 5057585906", "xscr 8 3 5057363435313233", "xscr 3 5 505909",
      "xscr 19 0 50580253E9AF84758401E4F5C875CA0675CBB5", "xscr 8 17 505A36353532303E",
  };
  for (const std::string& line : lines) {
    ASSERT_TRUE(ParseLine(line).Understood()) << line;
    std::vector<std::string> edits;
    for (std::size_t i = 0; i <= line.size(); ++i) {
      const std::string head = line.substr(0, i);
      const std::string tail = i < line.size() ? line.substr(i + 1) : "";
      if (i < line.size()) edits.insert(edits.end(), {head, head + tail});  // cut short; one missing
      for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        edits.push_back(head + ch + line.substr(i));  // one extra
        if (i < line.size() && ch != line[i]) edits.push_back(head + ch + tail);  // one changed
      }
    }
    for (const std::string& edit : edits) ASSERT_FALSE(ParseLine(edit).Understood()) << "'" << edit << "'";
  }
}

}  // namespace
}  // namespace lumbra::emulator
