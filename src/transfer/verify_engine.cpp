#include "transfer/verify_engine.h"

#include "transfer/messages.h"

namespace lumbra::transfer {

void VerifyEngine::Step() {
  switch (c_.state.verifyStep) {
    case VerifyStep::kBegin: Begin(); break;
    case VerifyStep::kSendAddress: SendAddress(); break;
    case VerifyStep::kCompare: Compare(); break;
    case VerifyStep::kDone:
      c_.state.flags.verifying = false;
      c_.state.verifyStep = VerifyStep::kBegin;
      break;
  }
}

void VerifyEngine::Begin() {
  TransferState& s = c_.state;
  s.currentAddress = 0;
  s.imagePosition = 0;
  s.errorCount = 0;
  s.errorLog.clear();
  c_.report.differences.clear();
  s.verifyStep = VerifyStep::kSendAddress;
}

void VerifyEngine::SendAddress() {
  const auto reply = c_.Request(protocol::VerifyAddressFrame(c_.state.currentAddress),
                                protocol::PendingReply::kBlock);
  if (!reply) return c_.End(Outcome::kVerifyLinkLost);
  if (!reply->accepted) return c_.End(Outcome::kVerifyBlockRefused);
  block_ = *reply;
  c_.state.verifyStep = VerifyStep::kCompare;
}

bool VerifyEngine::Skipped(FlashAddress address) const {
  // Only a window the download actually opened is skipped.
  const SkipWindow& window = c_.state.skipWindow;
  return window.open && address >= window.start && address <= window.end;
}

void VerifyEngine::Compare() {
  TransferState& s = c_.state;
  for (std::uint8_t found : block_.block) {
    const FlashAddress address = s.imagePosition;
    if (!Skipped(address) && found != FirmwareImage::Byte(address) &&
        !ListDifference(address, found)) {
      c_.ShowPercent(FieldId::kVerifyPercent);
      return;  // aborted, at this byte
    }
    ++s.imagePosition;
  }
  c_.ShowPercent(FieldId::kVerifyPercent);
  s.currentAddress += protocol::kChunkSize;
  if (s.currentAddress > s.endAddress) {
    c_.dialog.SetFieldText(FieldId::kVerifyPercent, kPercentComplete);
    // Firmware known to differ from the image must not be reported as done.
    return c_.End(s.errorCount != 0 ? Outcome::kVerifyFailed : Outcome::kVerified);
  }
  TextBuffer status;
  c_.SetStatus(VerifyingAddress(s.currentAddress, status));
  s.verifyStep = VerifyStep::kSendAddress;
}

bool VerifyEngine::ListDifference(FlashAddress address, std::uint8_t found) {
  TransferState& s = c_.state;
  const std::uint8_t expected = FirmwareImage::Byte(address);
  s.errorLog += DifferenceLine(address, found, expected);
  c_.report.differences.push_back({address, found, expected});
  c_.dialog.SetFieldText(FieldId::kErrors, s.errorLog);
  if (++s.errorCount <= kMaxVerifyErrors) return true;
  c_.End(Outcome::kVerifyAborted);
  return false;
}

}  // namespace lumbra::transfer
