// Report lengths from a raw HID report descriptor, for platforms that give us
// the descriptor but no capability query. Pure: bytes in, lengths out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "link/hid_platform.h"

namespace lumbra::link {

// What the link needs to know of a device's reports.
struct ReportLayout {
  // Longest Input and longest Output report, each counting the report ID byte
  // (also for devices without report IDs, whose ID byte is 0). A direction
  // without any report has length 0.
  ReportLengths lengths;
  // The descriptor declares report IDs, so every report starts with its ID.
  bool numbered = false;
};

// Walks the descriptor's items and sums Report Size x Report Count of the
// Input and the Output items per report ID (Feature items do not count).
// Returns nullopt for a descriptor that is malformed (truncated item,
// unbalanced Push/Pop or collections, report ID 0 or above 255, data reports
// both with and without IDs), that declares an implausibly long report, or
// that declares neither Input nor Output reports. Safe on arbitrary bytes.
std::optional<ReportLayout> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace lumbra::link
