// The tool's one connection to the controller: finds it among the HID devices,
// sends one text line per output report and reads one reply line per input
// report. A lost link is never an exception: the link closes the device, says
// so in the status line and is no longer open, which the callers ask.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/hid_platform.h"
#include "link/text_target.h"

namespace lumbra::link {

inline constexpr int kReadTimeoutMs = 6000;
// Largest report the link handles: the report ID byte and 64 data bytes.
inline constexpr std::size_t kMaxReportLength = 65;
inline constexpr std::size_t kMinInputReportLength = 2;
// The longest line a report can carry: the report ID and the carriage return
// take two of its bytes.
inline constexpr std::size_t kMaxLineLength = kMaxReportLength - 2;
// Reports waiting before a line goes out are stale; at most this many are
// discarded (hidraw keeps 64 per handle), so a flooding device cannot hold
// the tool up.
inline constexpr int kMaxStaleReports = 128;

// Status line texts.
inline constexpr std::string_view kDetected = "Quorvex detected";
inline constexpr std::string_view kNotDetected = "Quorvex not detected";
inline constexpr std::string_view kDetectedAccessDenied = "Quorvex detected, access denied";
inline constexpr std::string_view kUnsupported = "Quorvex report size not supported";
inline constexpr std::string_view kCantWrite = "Can't write to Quorvex";
inline constexpr std::string_view kReadTimedOut = "ReadFile timeout";
inline constexpr std::string_view kCantRead = "Can't read from Quorvex";
inline constexpr std::string_view kStandInRefused = "Stand-in image: real controller refused";

// The serial number string by which the virtual controller (uhid) tells
// itself apart from real ones.
inline constexpr std::string_view kVirtualSerialNumber = "lumbra-virtual";

// Which controllers discovery may take.
enum class ControllerPolicy {
  kAny,          // every controller (a build with the real image)
  kVirtualOnly,  // only the virtual controller (a build with the stand-in image)
};

// Whether `policy` lets the tool write to the controller that says `attributes`.
inline bool PolicyAllows(ControllerPolicy policy, const HidAttributes& attributes) {
  return policy == ControllerPolicy::kAny || attributes.serialNumber == kVirtualSerialNumber;
}

// A listed device as discovery sees it: opened when it may be; one the system
// refuses for lack of access is identified without opening it, so that a
// controller this user may not open is not reported missing.
struct Examined {
  std::unique_ptr<HidDevice> device;        // null: not opened
  std::optional<HidAttributes> attributes;  // null: unknown
  HidError openError;                       // why it was not opened

  // A controller by its identifiers (opened or not).
  bool IsController() const;
};
Examined Examine(HidPlatform& platform, const std::string& path);

// How the last discovery ended.
enum class Discovery {
  kOpened,        // a usable controller is open
  kNotFound,      // no controller answered to its identifiers
  kUnsupported,   // controllers were found, but none with report lengths we carry
  kRealRefused,   // the policy refused a real controller, and nothing else was usable
  kAccessDenied,  // a controller this user may not open, and nothing else was usable
};

enum class SendResult {
  kWritten,   // the line went out
  kLinkLost,  // the link could not be (re)opened or the write failed twice
};

class HidLink {
 public:
  // `longestLine`: the longest line the link must carry (at most
  // kMaxLineLength); a controller whose output report cannot hold it with the
  // report ID and the carriage return is not taken.
  HidLink(HidPlatform& platform, std::size_t longestLine,
          ControllerPolicy policy = ControllerPolicy::kAny);
  ~HidLink();
  HidLink(const HidLink&) = delete;
  HidLink& operator=(const HidLink&) = delete;

  // True while the link holds an open controller.
  bool IsOpen() const { return device_ != nullptr; }
  // How the last discovery ended.
  Discovery LastDiscovery() const { return discovery_; }
  // Why the last open, write or read that failed did so (for a log).
  HidError LastError() const { return lastError_; }

  // Where status texts go; nothing is shown while it is null.
  void SetStatusTarget(TextTarget* target) { status_ = target; }
  // Called each time discovery opens a device: whatever was agreed with the
  // controller before (service mode) belongs to the old connection.
  void SetOpenedHandler(std::function<void()> handler) { onOpened_ = std::move(handler); }

  // Sends one line (without its line end, at most `longestLine` characters;
  // a longer one is not sent and counts as a lost link) in one output report,
  // opening the link if needed and retrying a failed write once on a
  // rediscovered link.
  // Input reports already waiting are discarded first: they cannot be the
  // answer to this line.
  SendResult SendLine(std::string_view text);

  // Reads one input report, opening the link if needed: the reply line with
  // "\r\n" appended, valid until the next read, or nullopt when no report
  // arrived (a time-out closes the link).
  std::optional<std::string_view> ReadReply();

  // Whether the open device is still attached. A device that has gone (an
  // unplugged or power-cycled controller) is closed, so that the next line
  // rediscovers. A report waiting now is stale and is dropped.
  bool StillOpen();

  // Sleeps on the platform (the 2 ms pauses of the exchange).
  void Pause(int milliseconds) { platform_.Pause(milliseconds); }

 private:
  bool Connect();
  void SetStatus(std::string_view text);
  void DiscardStaleInput();
  bool Usable(const ReportLengths& caps) const;
  bool WriteLine(std::string_view text);
  std::span<std::uint8_t> InputReport() { return {inputReport_.data(), caps_.input}; }

  HidPlatform& platform_;
  std::size_t longestLine_;
  ControllerPolicy policy_;
  Discovery discovery_ = Discovery::kNotFound;
  HidError lastError_;
  std::function<void()> onOpened_;
  TextTarget* status_ = nullptr;
  std::unique_ptr<HidDevice> device_;
  ReportLengths caps_;
  std::array<std::uint8_t, kMaxReportLength + 1> outputReport_{};
  std::array<std::uint8_t, kMaxReportLength> inputReport_{};
  std::string reply_;
};

}  // namespace lumbra::link
