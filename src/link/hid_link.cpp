#include "link/hid_link.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "link/device_ids.h"

namespace lumbra::link {

HidLink::HidLink(HidPlatform& platform, std::size_t longestLine, ControllerPolicy policy)
    : platform_(platform), longestLine_(std::min(longestLine, kMaxLineLength)), policy_(policy) {}

bool HidLink::Usable(const ReportLengths& caps) const {
  return caps.input >= kMinInputReportLength && caps.input <= kMaxReportLength &&
         caps.output >= longestLine_ + 2 && caps.output <= kMaxReportLength;
}

bool Examined::IsController() const {
  return attributes && IsQuorvex(attributes->vendorId, attributes->productId);
}

Examined Examine(HidPlatform& platform, const std::string& path) {
  HidPlatform::Opened opened = platform.Open(path);
  Examined examined{std::move(opened.device), std::nullopt, opened.error};
  if (examined.device) {
    examined.attributes = examined.device->Attributes();
  } else if (examined.openError.fault == HidFault::kAccessDenied) {
    examined.attributes = platform.Identify(path);
  }
  return examined;
}

HidLink::~HidLink() = default;

void HidLink::SetStatus(std::string_view text) {
  if (status_ != nullptr) status_->SetText(text);
}

bool HidLink::Connect() {
  device_.reset();
  bool unsupported = false;
  bool realRefused = false;
  bool accessDenied = false;
  // Foreign devices are opened, identified and closed one at a time; the
  // first controller in enumeration order is taken.
  for (const std::string& path : platform_.Enumerate()) {
    Examined examined = Examine(platform_, path);
    if (!examined.IsController()) continue;
    if (!PolicyAllows(policy_, *examined.attributes)) {
      // Closed before anything is written to it, not even "service.on".
      realRefused = true;
      continue;
    }
    if (!examined.device) {
      accessDenied = true;
      lastError_ = examined.openError;
      continue;
    }
    std::unique_ptr<HidDevice> device = std::move(examined.device);
    SetStatus(kDetected);
    std::optional<ReportLengths> caps = device->Capabilities();
    if (!caps || !Usable(*caps)) {
      // Lengths we cannot learn or carry: the reports would not fit our
      // buffers or our lines. Try the next device instead.
      unsupported = true;
      continue;
    }
    caps_ = *caps;
    device_ = std::move(device);
    break;
  }
  discovery_ = device_       ? Discovery::kOpened
               : unsupported ? Discovery::kUnsupported
               : realRefused  ? Discovery::kRealRefused
               : accessDenied ? Discovery::kAccessDenied
                              : Discovery::kNotFound;
  switch (discovery_) {
    case Discovery::kOpened: SetStatus(kDetected); break;
    case Discovery::kNotFound: SetStatus(kNotDetected); break;
    case Discovery::kUnsupported: SetStatus(kUnsupported); break;
    case Discovery::kRealRefused: SetStatus(kStandInRefused); break;
    case Discovery::kAccessDenied: SetStatus(kDetectedAccessDenied); break;
  }
  if (device_ && onOpened_) onOpened_();
  return device_ != nullptr;
}

bool HidLink::StillOpen() {
  if (!device_) return false;
  if (device_->ReadReport(InputReport(), 0) != ReadOutcome::kFailed) return true;
  lastError_ = device_->LastError();
  device_.reset();
  return false;
}

void HidLink::DiscardStaleInput() {
  // A late answer to an earlier request, or a report nobody asked for, would
  // otherwise be read as this line's answer and shift every later reply by one.
  for (int i = 0; i < kMaxStaleReports; ++i) {
    if (device_->ReadReport(InputReport(), 0) != ReadOutcome::kReport) break;
  }
}

bool HidLink::WriteLine(std::string_view text) {
  DiscardStaleInput();
  // Report ID 0, the line, a carriage return and the terminator; the rest of
  // the report is cleared so that no earlier line shows through.
  std::fill(outputReport_.begin(), outputReport_.end(), 0);
  std::memcpy(outputReport_.data() + 1, text.data(), text.size());
  outputReport_[text.size() + 1] = 0x0D;
  // A short write counts as a failed one: the controller got half a line.
  if (device_->WriteReport(std::span(outputReport_.data(), caps_.output))) return true;
  lastError_ = device_->LastError();
  device_.reset();
  return false;
}

SendResult HidLink::SendLine(std::string_view text) {
  // Discovery took only a controller whose output report holds the longest
  // line, the report ID and the carriage return.
  if (text.size() > longestLine_) return SendResult::kLinkLost;
  if ((IsOpen() || Connect()) && WriteLine(text)) return SendResult::kWritten;
  // Not open, or the write failed: discover once more and write again.
  if (!Connect()) return SendResult::kLinkLost;
  if (WriteLine(text)) return SendResult::kWritten;
  SetStatus(kCantWrite);
  return SendResult::kLinkLost;
}

std::optional<std::string_view> HidLink::ReadReply() {
  if (!IsOpen() && !Connect()) return std::nullopt;
  // The preset 'i' in byte 1 is what a completed read without data would show.
  std::fill(inputReport_.begin(), inputReport_.end(), 0);
  inputReport_[1] = 'i';
  const std::span<std::uint8_t> report = InputReport();
  switch (device_->ReadReport(report, kReadTimeoutMs)) {
    case ReadOutcome::kReport: {
      const auto* data = reinterpret_cast<const char*>(report.data() + 1);
      reply_.assign(data, strnlen(data, report.size() - 1));
      reply_ += "\r\n";
      return reply_;
    }
    case ReadOutcome::kTimeout:
      SetStatus(kReadTimedOut);
      device_.reset();
      SetStatus(kCantRead);
      return std::nullopt;
    case ReadOutcome::kFailed:
      // An unplugged device fails at once on some systems; the link stays
      // open and the next write finds out.
      lastError_ = device_->LastError();
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace lumbra::link
