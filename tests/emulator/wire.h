// Test-side helpers that write the lines the tool sends and read the reports
// the controller answers with, kept apart from the tool's own encoder.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "emulator/quorvex_controller.h"

namespace lumbra::emulator::wire {

inline std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

// "xscr <frame length> <reply length> <payload hex><xor hex>"
inline std::string Xscr(int replyLength, std::span<const std::uint8_t> payload) {
  std::uint8_t check = 0;
  for (std::uint8_t b : payload) check ^= b;
  const std::uint8_t checkByte[1] = {check};
  return "xscr " + std::to_string(payload.size() + 1) + " " + std::to_string(replyLength) + " " +
         Hex(payload) + Hex(checkByte);
}

inline std::string StartDownload() { return "xscr 5 6 5057585906"; }
inline std::string SectorChecksum() { return "xscr 3 5 505909"; }

inline std::string AddressLine(char command, int replyLength, std::uint32_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "P%c%05u", command, static_cast<unsigned>(address));
  const std::string_view payload(text, 7);
  return Xscr(replyLength, std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), 7));
}
inline std::string SectorAddress(std::uint32_t address) { return AddressLine('W', 3, address); }
inline std::string VerifyAddress(std::uint32_t address) { return AddressLine('Z', 17, address); }

inline std::string SectorData(std::span<const std::uint8_t> chunk) {
  std::array<std::uint8_t, 18> payload{'P', 'X'};
  std::copy_n(chunk.begin(), 16, payload.begin() + 2);
  return Xscr(0, payload);
}

// The text of one 64-byte report: everything before its first zero byte.
inline std::string TextOf(std::span<const std::uint8_t> data) {
  const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

// The next report the controller lets through, as text.
inline std::optional<std::string> Poll(QuorvexController& controller) {
  std::array<std::uint8_t, kReportDataSize> data{};
  if (!controller.PollReport(data)) return std::nullopt;
  return TextOf(data);
}

}  // namespace lumbra::emulator::wire
