#include "link/hid_link.h"

#include <algorithm>
#include <cstring>

#include "link/device_ids.h"

namespace lumbra::link {

namespace {

bool Usable(const ReportLengths& caps) {
  return caps.input >= kMinInputReportLength && caps.input <= kMaxReportLength &&
         caps.output >= kMinOutputReportLength && caps.output <= kMaxReportLength;
}

}  // namespace

HidLink::HidLink(HidPlatform& platform, ControllerPolicy policy)
    : platform_(platform), m_Policy(policy) {}

HidLink::~HidLink() = default;

void HidLink::SetStatus(std::string_view text) {
  if (m_pStatusWnd != nullptr) m_pStatusWnd->SetText(text);
}

bool HidLink::Connect() {
  m_hDevice.reset();
  bool unsupported = false;
  bool realRefused = false;
  // Foreign devices are opened, identified and closed one at a time; the
  // first controller in enumeration order is taken.
  for (const std::string& path : platform_.Enumerate()) {
    std::unique_ptr<HidDevice> device = platform_.Open(path);
    if (!device) continue;
    std::optional<HidAttributes> attributes = device->Attributes();
    if (!attributes || !IsQuorvex(attributes->vendorId, attributes->productId)) continue;
    if (m_Policy == ControllerPolicy::kVirtualOnly &&
        attributes->serialNumber != kVirtualSerialNumber) {
      // Closed before anything is written to it, not even "service.on".
      realRefused = true;
      continue;
    }
    SetStatus(kDetected);
    std::optional<ReportLengths> caps = device->Capabilities();
    if (!caps || !Usable(*caps)) {
      // Lengths we cannot learn or carry: the reports would not fit our
      // buffers or our lines. Try the next device instead.
      unsupported = true;
      continue;
    }
    m_Caps = *caps;
    m_hDevice = std::move(device);
    break;
  }
  m_Discovery = m_hDevice      ? Discovery::kOpened
                : unsupported  ? Discovery::kUnsupported
                : realRefused  ? Discovery::kRealRefused
                               : Discovery::kNotFound;
  switch (m_Discovery) {
    case Discovery::kOpened: SetStatus(kDetected); break;
    case Discovery::kNotFound: SetStatus(kNotDetected); break;
    case Discovery::kUnsupported: SetStatus(kUnsupported); break;
    case Discovery::kRealRefused: SetStatus(kStandInRefused); break;
  }
  if (m_hDevice && m_OnOpened) m_OnOpened();
  return m_hDevice != nullptr;
}

bool HidLink::StillOpen() {
  if (!m_bOpen) return false;
  const std::span<std::uint8_t> report(m_InputReport.data(), m_Caps.input);
  if (m_hDevice->ReadReport(report, 0) != ReadOutcome::kFailed) return true;
  CloseDevice();
  m_bOpen = false;
  return false;
}

void HidLink::DiscardStaleInput() {
  // A late answer to an earlier request, or a report nobody asked for, would
  // otherwise be read as this line's answer and shift every later reply by one.
  const std::span<std::uint8_t> report(m_InputReport.data(), m_Caps.input);
  for (int i = 0; i < kMaxStaleReports; ++i) {
    if (m_hDevice->ReadReport(report, 0) != ReadOutcome::kReport) break;
  }
}

bool HidLink::WriteLine(std::string_view text) {
  DiscardStaleInput();
  // Report ID 0, the line, a carriage return and the terminator; the rest of
  // the report is cleared so that no earlier line shows through.
  std::fill(m_OutputReport.begin(), m_OutputReport.end(), 0);
  std::memcpy(m_OutputReport.data() + 1, text.data(), text.size());
  m_OutputReport[text.size() + 1] = 0x0D;
  return m_hDevice->WriteReport(std::span(m_OutputReport.data(), m_Caps.output));
}

bool HidLink::SendLine(std::string_view text) {
  if (!m_bOpen) m_bOpen = Connect();
  if (m_bOpen) {
    // A line must leave room for the report ID and the carriage return.
    if (!Fits(text)) return false;
    if (WriteLine(text)) return true;
    CloseDevice();
  }
  // Not open, or the write failed: discover once more and write again.
  m_bOpen = Connect();
  if (!m_bOpen) return false;
  if (!Fits(text)) return false;
  if (WriteLine(text)) return true;
  CloseDevice();
  SetStatus(kCantWrite);
  m_bOpen = false;
  return false;
}

bool HidLink::ReadReply() {
  if (!m_bOpen) m_bOpen = Connect();
  return m_bOpen && ReadReport();
}

bool HidLink::ReadReport() {
  // The preset 'i' in byte 1 is what a completed read without data would show.
  std::fill(m_InputReport.begin(), m_InputReport.end(), 0);
  m_InputReport[1] = 'i';
  const std::span<std::uint8_t> report(m_InputReport.data(), m_Caps.input);
  switch (m_hDevice->ReadReport(report, kReadTimeoutMs)) {
    case ReadOutcome::kReport: {
      const auto* data = reinterpret_cast<const char*>(report.data() + 1);
      const std::size_t n = strnlen(data, report.size() - 1);
      m_ReplyText.assign(data, n);
      m_ReplyText += "\r\n";
      return true;
    }
    case ReadOutcome::kTimeout:
      m_LastMessage = kReadTimedOut;
      SetStatus(m_LastMessage);
      CloseDevice();
      SetStatus(kCantRead);
      m_bOpen = false;
      return false;
    case ReadOutcome::kFailed:
      m_LastMessage = kUndefinedError;
      return false;
  }
  return false;
}

void HidLink::CloseDevice() { m_hDevice.reset(); }

}  // namespace lumbra::link
