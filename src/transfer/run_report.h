// How the last run of the button ended and what it met on the way: what a
// front end shows or records once the work is over.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "transfer/endings.h"
#include "transfer/firmware_image.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

// A flash byte the verification found unlike the image.
struct Difference {
  FlashAddress address = 0;
  std::uint8_t read = 0;      // what the controller's flash holds
  std::uint8_t expected = 0;  // what the image holds

  bool operator==(const Difference&) const = default;
};

struct RunReport {
  std::optional<Outcome> outcome;            // empty while the run is under way
  std::array<std::int32_t, kSectorCount> resends{};  // per sector, resends begun
  SkipWindow skipWindow;                     // what the verification did not compare
  std::vector<Difference> differences;       // in the order found, at most 101

  std::int32_t TotalResends() const {
    std::int32_t total = 0;
    for (std::int32_t count : resends) total += count;
    return total;
  }
};

}  // namespace lumbra::transfer
