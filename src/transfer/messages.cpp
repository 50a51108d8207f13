#include "transfer/messages.h"

#include <cstdio>

namespace lumbra::transfer {

std::string_view VerifyingAddress(std::uint32_t address, TextBuffer& buffer) {
  const int length = std::snprintf(buffer.data(), buffer.size(), "%.*s 0x%X",
                                   static_cast<int>(kVerifyingAddress.size()),
                                   kVerifyingAddress.data(), static_cast<unsigned>(address));
  return {buffer.data(), static_cast<std::size_t>(length)};
}

std::string DifferenceLine(std::uint32_t address, std::uint8_t found, std::uint8_t expected) {
  char line[64];
  std::snprintf(line, sizeof line, "add 0x%X = 0x%X should be 0x%X\r\n",
                static_cast<unsigned>(address), static_cast<unsigned>(found),
                static_cast<unsigned>(expected));
  return line;
}

}  // namespace lumbra::transfer
