// The HID services the link needs, as a small interface so the link runs on
// each system's own HID binding (hidapi on Linux, SetupAPI and the HID library
// on Windows) and against scripted or emulated devices in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumbra::link {

// What a HID device says about itself.
struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serialNumber;  // the serial number string; empty when it has none
};

// A device string the platform hands over in wide characters (the serial
// number), as ASCII: anything but printable ASCII becomes '?'.
inline std::string AsciiDeviceString(const wchar_t* text) {
  std::string ascii;
  for (; text != nullptr && *text != L'\0'; ++text) {
    ascii += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
  }
  return ascii;
}

// Report lengths in bytes, each counting the report ID byte.
struct ReportLengths {
  std::size_t input = 0;
  std::size_t output = 0;
};

// Why an open, a write or a read failed.
enum class HidFault {
  kAbsent,        // no such device (not listed, or not there any more when opened)
  kAccessDenied,  // the device is there, but this user or process may not open it
  kGone,          // an opened device has left (unplugged, power-cycled)
  kOther,
};

struct HidError {
  HidFault fault = HidFault::kOther;
  // errno or GetLastError(), for a log only: the dialog never shows it.
  int osCode = 0;
};

enum class ReadOutcome {
  kReport,   // one input report arrived
  kTimeout,  // nothing arrived within the wait
  kFailed,   // the read failed (an unplugged device fails at once)
};

// One opened HID device; destroying it closes it.
class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Identifiers and serial number; nullopt when they cannot be read.
  virtual std::optional<HidAttributes> Attributes() = 0;

  // Input and output report lengths; nullopt when they cannot be learned.
  virtual std::optional<ReportLengths> Capabilities() = 0;

  // Writes one whole output report, report[0] being the report ID. Returns
  // when the report has gone out; false when it failed, or on Windows did
  // not go out within a bounded wait.
  virtual bool WriteReport(std::span<const std::uint8_t> report) = 0;

  // Reads the next input report into `report` (report[0] is the report ID;
  // for a device without numbered reports hidraw leaves it as the caller set
  // it and Windows makes it 0), waiting at most `timeoutMs` milliseconds.
  virtual ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) = 0;

  // Why the last failed WriteReport or ReadReport (kFailed) failed.
  virtual HidError LastError() const = 0;
};

// The machine's HID devices.
class HidPlatform {
 public:
  virtual ~HidPlatform() = default;

  // Paths of the present HID devices (hidraw nodes, Windows device interface
  // paths), in enumeration order. Only these paths are ever passed to Open
  // and Identify.
  virtual std::vector<std::string> Enumerate() = 0;

  // Opens a device for reading and writing; nullptr when it cannot be opened,
  // and OpenError() then says why.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
  virtual HidError OpenError() const = 0;

  // What a listed device says about itself, learned without opening it for
  // reading and writing, so that a controller this user may not open is still
  // known as one; nullopt where the system does not tell.
  virtual std::optional<HidAttributes> Identify(const std::string& path) = 0;

  // Sleeps for the given time (the short pauses of the handshake).
  virtual void Pause(int milliseconds) = 0;
};

}  // namespace lumbra::link
