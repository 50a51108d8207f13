#include "transfer/download_engine.h"

#include "protocol/service.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

using protocol::PendingReply;

void DownloadEngine::Step() {
  switch (c_.state.downloadStep) {
    case DownloadStep::kStart: Start(); break;
    case DownloadStep::kSendAddress: SendAddress(); break;
    case DownloadStep::kSendData: SendData(); break;
    case DownloadStep::kReadChecksum: ReadChecksum(); break;
    case DownloadStep::kFinish: Finish(); break;
  }
}

void DownloadEngine::Start() {
  c_.events.OnPhase(Phase::kDownload);
  const auto reply = c_.Request(protocol::StartDownloadFrame(), PendingReply::kReady);
  if (!reply) return c_.End(Outcome::kStartLinkLost);
  if (!reply->accepted) return c_.End(Outcome::kStartRefused);
  TransferState& s = c_.state;
  s.downloadStep = DownloadStep::kSendAddress;
  s.retryCount = 0;
  s.currentAddress = 0;
  s.imagePosition = 0;
  s.skipWindow = {};
}

void DownloadEngine::SendAddress() {
  TransferState& s = c_.state;
  const auto reply = c_.Request(protocol::SectorAddressFrame(s.currentAddress), PendingReply::kOk);
  if (!reply) return c_.End(Outcome::kSectorAddressLinkLost);
  if (!reply->accepted) return c_.End(Outcome::kSectorAddressRefused);
  if (s.retryCount != 0) {
    ++c_.report.resends[s.currentAddress / kSectorSize];
    c_.events.OnResend(s.currentAddress, s.retryCount);
    c_.SetStatus(kResendingSector);
  } else {
    c_.SetStatus(kDownloadingSector, Narration::kStep);
  }
  s.chunkCount = 0;
  s.runningSum = 0;
  s.downloadStep = DownloadStep::kSendData;
}

void DownloadEngine::SendData() {
  TransferState& s = c_.state;
  const auto chunk = FirmwareImage::Bytes().subspan(s.imagePosition, protocol::kChunkSize);
  for (std::uint8_t byte : chunk) s.runningSum += byte;
  s.imagePosition += protocol::kChunkSize;
  if (!c_.Send(protocol::SectorDataFrame(chunk.first<protocol::kChunkSize>()))) {
    return c_.End(Outcome::kDownloadLinkLost);
  }
  if (++s.chunkCount == kChunksPerSector) {
    c_.SetStatus(kReadingChecksum, Narration::kStep);
    s.downloadStep = DownloadStep::kReadChecksum;
  }
  // What is left: this sector's chunks and checksum, the sectors after it,
  // Finish and the verification.
  const std::uint32_t sector = s.currentAddress / kSectorSize;
  c_.ReportProgress(Phase::kDownload, s.currentAddress,
                    (kChunksPerSector - s.chunkCount) + 1 +
                        (kSectorCount - 1 - sector) * kSectorSteps + 1 + kVerifySteps);
}

void DownloadEngine::ReadChecksum() {
  TransferState& s = c_.state;
  const auto reply = c_.Request(protocol::SectorChecksumFrame(), PendingReply::kChecksum);
  if (!reply) return c_.End(Outcome::kDownloadLinkLost);
  if (reply->accepted && ConfirmSectorAndMoveSkipWindow(reply->checksum)) {
    s.currentAddress += kSectorSize;
    s.retryCount = 0;
    s.downloadStep =
        s.currentAddress > s.endAddress ? DownloadStep::kFinish : DownloadStep::kSendAddress;
    return;
  }
  if (++s.retryCount > kMaxSectorRetries) {
    s.downloadStep = DownloadStep::kFinish;
    return;
  }
  s.downloadStep = DownloadStep::kSendAddress;
  s.imagePosition -= kSectorSize;  // resend from its first byte
}

bool DownloadEngine::ConfirmSectorAndMoveSkipWindow(std::uint32_t checksum) {
  TransferState& s = c_.state;
  SkipWindow& window = s.skipWindow;
  if (checksum == protocol::kProtectedSectorSum) {
    if (!window.open) {
      window.open = true;
      window.start = s.currentAddress;
    }
    return true;
  }
  if (checksum != s.runningSum) return false;
  if (window.open && !window.closed) {
    // This sector was written and confirmed: the window ends just before it.
    window.closed = true;
    window.end = s.currentAddress - 1;
  }
  return true;
}

void DownloadEngine::Finish() {
  TransferState& s = c_.state;
  if (s.retryCount != 0) return c_.End(Outcome::kDownloadFailed);
  s.flags.downloading = false;
  c_.events.OnPhaseComplete(Phase::kDownload);
  SkipWindow& window = s.skipWindow;
  if (window.open && !window.closed) {
    window.closed = true;
    window.end = s.endAddress;
  }
  c_.SetStatus(kDownloadFinished);
  s.flags.verifying = true;
  s.verifyStep = VerifyStep::kBegin;
}

}  // namespace lumbra::transfer
