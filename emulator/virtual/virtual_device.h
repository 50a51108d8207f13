// What the two ways of plugging the emulated controller into this machine
// share: through uhid, and as a USB gadget.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "emulator/quorvex_controller.h"

namespace lumbra::emulator {

inline constexpr std::uint16_t kVirtualVendorId = 0x4242;
inline constexpr std::uint16_t kVirtualProductId = 0xC003;
inline constexpr std::uint16_t kVirtualVersion = 0x0201;  // the firmware version it pretends to run
inline constexpr std::string_view kVirtualDeviceName = "Quorvex virtual controller";

// Vendor-defined usage page; one 64-byte input and one 64-byte output report,
// without report IDs.
std::span<const std::uint8_t> VirtualReportDescriptor();

enum class BridgeStop {
  kStopRequested,  // the stop descriptor became readable (a signal)
  kUnplugged,      // the controller's unplug fault fired
  kDeviceFailed,   // /dev/uhid or /dev/hidgN failed or was closed under us
};

const char* ToString(BridgeStop stop);

struct BridgeCounters {
  std::uint64_t outputReports = 0;   // handed to the controller
  std::uint64_t inputReports = 0;    // sent to the kernel
  std::uint64_t otherEvents = 0;     // events nothing here acts on
  std::uint64_t reportRequests = 0;  // GET_REPORT / SET_REPORT, refused
  std::uint64_t answersLost = 0;     // a gadget's: unbound, or the host did not read
};

}  // namespace lumbra::emulator
