#include "emulator/virtual/virtual_device.h"

#include <array>

namespace lumbra::emulator {

namespace {

constexpr std::array<std::uint8_t, 27> kReportDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x02,        //   Usage (0x02)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x03,        //   Usage (0x03)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

}  // namespace

std::span<const std::uint8_t> VirtualReportDescriptor() { return kReportDescriptor; }

const char* ToString(BridgeStop stop) {
  switch (stop) {
    case BridgeStop::kStopRequested: return "stop requested";
    case BridgeStop::kUnplugged: return "unplugged";
    case BridgeStop::kDeviceFailed: return "the device failed";
  }
  return "?";
}

}  // namespace lumbra::emulator
