// The identifiers a Quorvex controller enumerates with. Any listed vendor
// identifier together with any listed product identifier is a controller.
// The udev rule is generated from this table too (packaging/).
#pragma once

#include <array>
#include <cstdint>

namespace lumbra::link {

inline constexpr std::array<std::uint16_t, 3> kQuorvexVendorIds = {0x4242, 0x0400, 0x0614};
inline constexpr std::array<std::uint16_t, 3> kQuorvexProductIds = {0xC003, 0x0614, 0x0400};

constexpr bool IsQuorvex(std::uint16_t vendorId, std::uint16_t productId) {
  bool vendor = false;
  bool product = false;
  for (auto id : kQuorvexVendorIds) vendor = vendor || id == vendorId;
  for (auto id : kQuorvexProductIds) product = product || id == productId;
  return vendor && product;
}

}  // namespace lumbra::link
