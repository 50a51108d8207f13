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
  c_.report.differences.clear();
  c_.events.OnPhase(Phase::kVerify);
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
  // What is left after this block: the blocks after it, two steps each, and Done.
  const std::uint32_t stepsLeft = (kBlockCount - 1 - s.currentAddress / protocol::kChunkSize) * 2 + 1;
  for (std::uint8_t found : block_.block) {
    const FlashAddress address = s.imagePosition;
    if (!Skipped(address) && found != FirmwareImage::Byte(address) &&
        !ListDifference(address, found)) {
      c_.ReportProgress(Phase::kVerify, s.currentAddress, 1);
      return;  // aborted, at this byte; Done is left
    }
    ++s.imagePosition;
  }
  c_.ReportProgress(Phase::kVerify, s.currentAddress, stepsLeft);
  s.currentAddress += protocol::kChunkSize;
  if (s.currentAddress > s.endAddress) {
    c_.events.OnPhaseComplete(Phase::kVerify);
    // Firmware known to differ from the image must not be reported as done.
    return c_.End(s.errorCount != 0 ? Outcome::kVerifyFailed : Outcome::kVerified);
  }
  TextBuffer status;
  c_.SetStatus(VerifyingAddress(s.currentAddress, status), Narration::kStep);
  s.verifyStep = VerifyStep::kSendAddress;
}

bool VerifyEngine::ListDifference(FlashAddress address, std::uint8_t found) {
  TransferState& s = c_.state;
  const Difference difference{address, found, FirmwareImage::Byte(address)};
  c_.report.differences.push_back(difference);
  c_.events.OnDifference(difference);
  if (++s.errorCount <= kMaxVerifyErrors) return true;
  c_.End(Outcome::kVerifyAborted);
  return false;
}

}  // namespace lumbra::transfer
