// The HID services the link needs, as a small interface so the link runs on
// each system's own HID binding (hidapi on Linux, SetupAPI and the HID library
// on Windows) and against scripted or emulated devices in tests.
//
// Threads: lumbra-cli flashes several controllers at once, one thread each,
// on one platform. So a HidPlatform takes calls from several threads at once,
// and each binding serialises inside itself what its system library needs;
// a caller holds no lock for it. A HidDevice belongs to one thread at a time,
// but different devices of one platform are used from different threads at
// once, each on its own handles. Every call's note says which of these holds.
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

// One opened HID device; destroying it closes it. One thread at a time uses
// a device (and destroys it, before the platform that opened it goes); other
// devices may be in use on other threads meanwhile, and the platform may take
// calls at the same time.
class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Identifiers and serial number; nullopt when they cannot be read.
  // The device's thread only.
  virtual std::optional<HidAttributes> Attributes() = 0;

  // Input and output report lengths; nullopt when they cannot be learned.
  // The device's thread only.
  virtual std::optional<ReportLengths> Capabilities() = 0;

  // Writes one whole output report, report[0] being the report ID. Returns
  // when the report has gone out; false when it failed, or on Windows did
  // not go out within a bounded wait. The device's thread only; a write on
  // another device runs at the same time and is not held up by this one.
  virtual bool WriteReport(std::span<const std::uint8_t> report) = 0;

  // Reads the next input report into `report` (report[0] is the report ID;
  // for a device without numbered reports hidraw leaves it as the caller set
  // it and Windows makes it 0), waiting at most `timeoutMs` milliseconds.
  // The device's thread only; the wait holds up no other device nor the
  // platform.
  virtual ReadOutcome ReadReport(std::span<std::uint8_t> report, int timeoutMs) = 0;

  // Why this device's last failed WriteReport or ReadReport (kFailed) failed;
  // another device's failures, or the platform's, never change it. The
  // device's thread only, after the failed call.
  virtual HidError LastError() const = 0;
};

// The machine's HID devices. Every call may be made from several threads at
// once; each returns all it has to say, so no caller needs a lock across two
// calls.
class HidPlatform {
 public:
  virtual ~HidPlatform() = default;

  // Paths of the present HID devices (hidraw nodes, Windows device interface
  // paths), in enumeration order. Only these paths are ever passed to Open
  // and Identify. Any thread; calls from several threads at once are
  // serialised by the binding, and a path any of them listed is taken by Open
  // and Identify until an enumeration no longer finds its device.
  virtual std::vector<std::string> Enumerate() = 0;

  // An open's device, or why there is none.
  struct Opened {
    std::unique_ptr<HidDevice> device;  // null: `error` says why
    HidError error;
  };
  // Opens a device for reading and writing. Any thread, also while other
  // threads enumerate, open or use their devices; the device returned then
  // belongs to the calling thread until it hands it on.
  virtual Opened Open(const std::string& path) = 0;

  // What a listed device says about itself, learned without opening it for
  // reading and writing, so that a controller this user may not open is still
  // known as one; nullopt where the system does not tell. Any thread, as Open.
  virtual std::optional<HidAttributes> Identify(const std::string& path) = 0;

  // Where the device is plugged in, stable across replugs while its path is
  // not: the USB port path on Linux ("1-1.2"), the USB device's location path
  // on Windows. The path itself when the system tells none (a uhid device, a
  // failed lookup). Any thread, as Identify.
  virtual std::string Port(const std::string& path) = 0;

  // Sleeps for the given time (the short pauses of the handshake). Any
  // thread; it holds up no other call.
  virtual void Pause(int milliseconds) = 0;
};

}  // namespace lumbra::link
