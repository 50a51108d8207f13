// The test side of the wire: the lines the tool sends and the hex answers the
// controller gives, written from the wire format alone, so that neither the
// tool's encoder nor the emulator is ever its own oracle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace lumbra::testing::wire {

// Upper-case hex digits of the bytes, then those of their XOR: the text of a
// hex answer, and the last field of an xscr line.
inline std::string HexWithCheck(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  std::uint8_t check = 0;
  auto put = [&text](std::uint8_t b) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  };
  for (std::uint8_t b : bytes) {
    put(b);
    check ^= b;
  }
  put(check);
  return text;
}

// "xscr <payload bytes + 1> <reply length> <payload hex><xor hex>"
inline std::string Xscr(int replyLength, std::string_view payload) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  return "xscr " + std::to_string(payload.size() + 1) + " " + std::to_string(replyLength) + " " +
         HexWithCheck({bytes, payload.size()});
}

// The tool's frames the emulator's tests send; an address goes as five decimal digits.
inline std::string StartDownload() { return Xscr(6, "PWXY"); }
inline std::string SectorChecksum() { return Xscr(5, "PY"); }
inline std::string SectorAddress(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "PW%05u", static_cast<unsigned>(address));
  return Xscr(3, text);
}
inline std::string SectorData(std::span<const std::uint8_t, 16> chunk) {
  return Xscr(0, "PX" + std::string(chunk.begin(), chunk.end()));
}

}  // namespace lumbra::testing::wire
