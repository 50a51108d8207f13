// The tool's one connection to the controller: finds it among the HID devices,
// sends one text line per output report and reads one reply line per input
// report. A lost link is never an exception: the link closes the device, says
// so in the status line and leaves m_bOpen false, which the callers read.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/hid_platform.h"
#include "link/text_target.h"

namespace lumbra::link {

inline constexpr int kReadTimeoutMs = 6000;
// Largest report the link handles: the report ID byte and 64 data bytes.
inline constexpr std::size_t kMaxReportLength = 65;
// The longest line the tool sends (a Sector data frame) must fit an output
// report together with the report ID and the carriage return.
inline constexpr std::size_t kLongestLine = 48;
inline constexpr std::size_t kMinOutputReportLength = kLongestLine + 2;
inline constexpr std::size_t kMinInputReportLength = 2;
// Reports waiting before a line goes out are stale; at most this many are
// discarded (hidraw keeps 64 per handle), so a flooding device cannot hold
// the tool up.
inline constexpr int kMaxStaleReports = 128;

// Status line texts.
inline constexpr std::string_view kDetected = "Quorvex detected";
inline constexpr std::string_view kNotDetected = "Quorvex not detected";
inline constexpr std::string_view kUnsupported = "Quorvex report size not supported";
inline constexpr std::string_view kCantWrite = "Can't write to Quorvex";
inline constexpr std::string_view kReadTimedOut = "ReadFile timeout";
inline constexpr std::string_view kCantRead = "Can't read from Quorvex";
inline constexpr std::string_view kUndefinedError = "Undefined error";
inline constexpr std::string_view kStandInRefused = "Stand-in image: real controller refused";

// The serial number string by which the virtual controller (uhid) tells
// itself apart from real ones.
inline constexpr std::string_view kVirtualSerialNumber = "lumbra-virtual";

// Which controllers discovery may take.
enum class ControllerPolicy {
  kAny,          // every controller (a build with the real image)
  kVirtualOnly,  // only the virtual controller (a build with the stand-in image)
};

// How the last discovery ended.
enum class Discovery {
  kOpened,        // a usable controller is open
  kNotFound,      // no controller answered to its identifiers
  kUnsupported,   // controllers were found, but none with report lengths we carry
  kRealRefused,   // the policy refused a real controller, and nothing else was usable
};

class HidLink {
 public:
  explicit HidLink(HidPlatform& platform, ControllerPolicy policy = ControllerPolicy::kAny);
  virtual ~HidLink();
  HidLink(const HidLink&) = delete;
  HidLink& operator=(const HidLink&) = delete;

  // The last reply line, ending in "\r\n". Callers read it and may overwrite it
  // (the handshake blanks it once it has used a reply).
  std::string m_ReplyText = "\r";
  // True while the link holds an open matching device.
  bool m_bOpen = false;
  // The status line; nothing is shown while it is null.
  TextTarget* m_pStatusWnd = nullptr;

  // Finds and opens the first usable controller in enumeration order. The
  // caller stores the result in m_bOpen.
  bool Connect();
  // How the last Connect ended.
  Discovery LastDiscovery() const { return m_Discovery; }

  // Called each time discovery opens a device: whatever was agreed with the
  // controller before (service mode) belongs to the old connection.
  void SetOpenedHandler(std::function<void()> handler) { m_OnOpened = std::move(handler); }

  // Whether the open device is still attached. A device that has gone (an
  // unplugged or power-cycled controller) is closed, so that the next line
  // rediscovers. A report waiting now is stale and is dropped.
  bool StillOpen();

  // Replaces the status line's text.
  void SetStatus(std::string_view text);

  // Sends one line (without its line end) in one output report, opening the
  // link if needed and retrying a failed write once on a rediscovered link.
  // Input reports already waiting are discarded first: they cannot be the
  // answer to this line. Returns true when the line was written; callers go
  // by m_bOpen.
  bool SendLine(std::string_view text);

  // Reads one input report into m_ReplyText, opening the link if needed.
  // Returns true when a report arrived; otherwise m_ReplyText is unchanged
  // and holds no new reply.
  bool ReadReply();

  // Text of the last read failure; empty until one happens.
  const std::string& LastMessage() const { return m_LastMessage; }
  // Report lengths of the open device.
  const ReportLengths& Caps() const { return m_Caps; }
  // Sleeps on the platform (the 2 ms pauses of the exchange).
  void Pause(int milliseconds) { platform_.Pause(milliseconds); }

 private:
  bool ReadReport();
  void DiscardStaleInput();
  bool Fits(std::string_view text) const { return text.size() + 2 <= m_Caps.output; }
  bool WriteLine(std::string_view text);
  void CloseDevice();

  HidPlatform& platform_;
  ControllerPolicy m_Policy;
  Discovery m_Discovery = Discovery::kNotFound;
  std::function<void()> m_OnOpened;
  std::unique_ptr<HidDevice> m_hDevice;
  ReportLengths m_Caps;
  std::string m_LastMessage;
  std::array<std::uint8_t, kMaxReportLength + 1> m_OutputReport{};
  std::array<std::uint8_t, kMaxReportLength> m_InputReport{};
};

}  // namespace lumbra::link
