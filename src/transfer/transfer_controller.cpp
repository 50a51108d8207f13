#include "transfer/transfer_controller.h"

#include <cstdio>

#include "transfer/firmware_image.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

using protocol::PendingReply;

namespace {

// A build that carries the stand-in image must never write it into a real
// controller; only the virtual one may have it.
link::ControllerPolicy PolicyForImage() {
  return FirmwareImage::IsStandIn() ? link::ControllerPolicy::kVirtualOnly
                                    : link::ControllerPolicy::kAny;
}

}  // namespace

TransferController::TransferController(link::HidPlatform& platform, DialogPort& dialog)
    : link_(platform, protocol::kLongestLine, PolicyForImage()),
      dialog_(dialog),
      statusField_(dialog, FieldId::kStatus),
      channel_(link_) {
  // Service mode is a property of the connection: a controller opened anew
  // (replugged, power-cycled, or another one) starts outside it.
  link_.SetOpenedHandler([this] { state_.serviceMode = false; });
}

void TransferController::Init() {
  state_.serviceMode = false;
  state_.flags = {};
  state_.verifyStep = VerifyStep::kBegin;
  state_.skipWindow = {};
  link_.SetStatusTarget(&statusField_);
}

void TransferController::OnTick() {
  if (state_.flags.connectPending) {
    Handshake();
    state_.flags.connectPending = false;
  } else if (state_.flags.downloading) {
    RunDownloadStep();
  } else if (state_.flags.verifying) {
    RunVerifyStep();
  }
}

void TransferController::BeginDownload() {
  if (state_.flags.downloading || state_.flags.connectPending) return;
  state_.downloadStep = DownloadStep::kStart;
  state_.flags.connectPending = true;
  state_.flags.downloading = true;
  state_.currentAddress = 0;
  state_.endAddress = kEndAddress;
  // A verification under way is abandoned: the download reuses its addresses
  // and rewrites the flash it was reading, so resuming it after a failed
  // download could skip blocks it never read and still report success. A
  // successful download starts a fresh verification.
  state_.flags.verifying = false;
  state_.verifyStep = VerifyStep::kBegin;
}

bool TransferController::OnClose() {
  if (!state_.flags.downloading) return true;
  dialog_.ShowMessageBox(kCloseRefusedBox);
  return false;
}

void TransferController::SetStatus(std::string_view text) {
  dialog_.SetFieldText(FieldId::kStatus, text);
}

void TransferController::ShowPercent(FieldId field) {
  float percent = static_cast<float>(static_cast<double>(state_.imagePosition) /
                                     static_cast<double>(state_.endAddress) * 100.0);
  if (percent > 99.99f) percent = 99.99f;
  char text[32];
  std::snprintf(text, sizeof text, "%5.2f%%", static_cast<double>(percent));
  dialog_.SetFieldText(field, text);
}

// ---------------------------------------------------------------------------
// Service handshake

void TransferController::Handshake() {
  // A controller that answered once is not asked again while it stays
  // connected. One that has gone since is found gone here, and the controller
  // opened in its place is asked.
  if (state_.serviceMode && link_.StillOpen()) return;
  if (link_.SendLine(kServiceOnLine) == link::SendResult::kLinkLost) {
    state_.flags.connectPending = false;
    state_.flags.downloading = false;
    const link::Discovery discovery = link_.LastDiscovery();
    dialog_.ShowMessageBox(discovery == link::Discovery::kRealRefused    ? kStandInRefusedBox
                           : discovery == link::Discovery::kAccessDenied ? kAccessDeniedBox
                                                                         : kNotDetectedBox);
    return;
  }
  link_.Pause(kAnswerPauseMs);
  // Only the first ten characters count. A different answer, or none, changes
  // nothing: the download still begins.
  const std::optional<std::string_view> reply = link_.ReadReply();
  if (reply && reply->substr(0, kServiceOnReply.size()) == kServiceOnReply) {
    SetStatus(kConnected);
    state_.serviceMode = true;
  }
}

// ---------------------------------------------------------------------------
// Sending frames

void TransferController::Send(const protocol::CommandFrame& frame) {
  lastSendFailed_ = !channel_.Send(frame);
  if (lastSendFailed_) {
    // The link has already tried to reconnect and given up. Flags first:
    // ticks keep arriving while the box is open.
    if (state_.flags.downloading) {
      state_.flags.downloading = false;
      dialog_.ShowMessageBox(kDownloadSendFailedBox);
    } else if (state_.flags.verifying) {
      state_.flags.verifying = false;
      dialog_.ShowMessageBox(kVerifyReadFailedBox);
    }
  }
}

protocol::Reply TransferController::Request(const protocol::CommandFrame& frame, PendingReply kind) {
  // Whatever came of the send, the answer is read: the step decides.
  Send(frame);
  if (kind == PendingReply::kReady) link_.Pause(kAnswerPauseMs);
  return channel_.ReadAnswer(kind);
}

// ---------------------------------------------------------------------------
// Download engine

void TransferController::RunDownloadStep() {
  switch (state_.downloadStep) {
    case DownloadStep::kStart: StartStep(); break;
    case DownloadStep::kSendAddress: SendAddressStep(); break;
    case DownloadStep::kSendData: SendDataStep(); break;
    case DownloadStep::kReadChecksum: ReadChecksumStep(); break;
    case DownloadStep::kFinish: FinishStep(); break;
  }
}

void TransferController::StartStep() {
  if (Request(protocol::StartDownloadFrame(), PendingReply::kReady).accepted) {
    state_.downloadStep = DownloadStep::kSendAddress;
    state_.retryCount = 0;
    state_.currentAddress = 0;
    state_.imagePosition = 0;
    state_.skipWindow = {};
    return;
  }
  state_.flags.downloading = false;
  SetStatus(kStartFailed);
  dialog_.ShowMessageBox(kStartFailedBox);
}

void TransferController::SendAddressStep() {
  const auto frame = protocol::SectorAddressFrame(state_.currentAddress);
  if (Request(frame, PendingReply::kOk).accepted) {
    SetStatus(state_.retryCount != 0 ? kResendingSector : kDownloadingSector);
    state_.chunkCount = 0;
    state_.runningSum = 0;
    state_.downloadStep = DownloadStep::kSendData;
    return;
  }
  state_.flags.downloading = false;
  SetStatus(kSectorAddressFailed);
  dialog_.ShowMessageBox(kSectorAddressFailedBox);
}

void TransferController::SendDataStep() {
  const auto chunk = FirmwareImage::Bytes().subspan(
      state_.imagePosition, protocol::kChunkSize);
  for (std::uint8_t byte : chunk) state_.runningSum += byte;
  state_.imagePosition += protocol::kChunkSize;
  Send(protocol::SectorDataFrame(chunk.first<protocol::kChunkSize>()));
  if (++state_.chunkCount == kChunksPerSector) {
    SetStatus(kReadingChecksum);
    state_.downloadStep = DownloadStep::kReadChecksum;
  }
  ShowPercent(FieldId::kDownloadPercent);
}

void TransferController::ReadChecksumStep() {
  const protocol::Reply reply =
      Request(protocol::SectorChecksumFrame(), PendingReply::kChecksum);
  if (reply.accepted && ChecksumRule(reply.checksum)) {
    state_.currentAddress += kSectorSize;
    state_.retryCount = 0;
    state_.downloadStep = state_.currentAddress > state_.endAddress ? DownloadStep::kFinish
                                                                    : DownloadStep::kSendAddress;
    return;
  }
  if (++state_.retryCount > kMaxSectorRetries) {
    state_.downloadStep = DownloadStep::kFinish;
  } else {
    state_.downloadStep = DownloadStep::kSendAddress;
    state_.imagePosition -= kSectorSize;  // resend from its first byte
  }
}

bool TransferController::ChecksumRule(std::uint32_t value) {
  SkipWindow& window = state_.skipWindow;
  if (value == kProtectedSectorSum) {
    if (!window.open) {
      window.open = true;
      window.start = state_.currentAddress;
    }
    return true;
  }
  if (value != state_.runningSum) return false;
  if (window.open && !window.closed) {
    // This sector was written and confirmed: the window ends just before it.
    window.closed = true;
    window.end = state_.currentAddress - 1;
  }
  return true;
}

void TransferController::FinishStep() {
  state_.flags.downloading = false;
  if (state_.retryCount != 0) {
    SetStatus(kDownloadFailed);
    dialog_.ShowMessageBox(kDownloadFailedBox);
    return;
  }
  dialog_.SetFieldText(FieldId::kDownloadPercent, kPercentComplete);
  SkipWindow& window = state_.skipWindow;
  if (window.open && !window.closed) {
    window.closed = true;
    window.end = state_.endAddress;
  }
  SetStatus(kDownloadFinished);
  state_.flags.verifying = true;
  state_.verifyStep = VerifyStep::kBegin;
}

// ---------------------------------------------------------------------------
// Verify engine

void TransferController::RunVerifyStep() {
  switch (state_.verifyStep) {
    case VerifyStep::kBegin:
      state_.currentAddress = 0;
      state_.imagePosition = 0;
      state_.errorCount = 0;
      state_.errorLog.clear();
      state_.verifyStep = VerifyStep::kSendAddress;
      break;
    case VerifyStep::kSendAddress: VerifyAddressStep(); break;
    case VerifyStep::kCompare: CompareStep(); break;
    case VerifyStep::kDone:
      state_.flags.verifying = false;
      state_.verifyStep = VerifyStep::kBegin;
      break;
  }
}

void TransferController::VerifyAddressStep() {
  block_ = Request(protocol::VerifyAddressFrame(state_.currentAddress), PendingReply::kBlock);
  if (block_.accepted) {
    state_.verifyStep = VerifyStep::kCompare;
    return;
  }
  state_.flags.verifying = false;
  SetStatus(kVerifyAddressFailed);
  // A send that lost the link has already shown this very box.
  if (!lastSendFailed_) dialog_.ShowMessageBox(kVerifyReadFailedBox);
}

bool TransferController::Skipped(FlashAddress address) const {
  // Only a window the download actually opened is skipped.
  const SkipWindow& window = state_.skipWindow;
  return window.open && address >= window.start && address <= window.end;
}

void TransferController::CompareStep() {
  for (std::uint8_t found : block_.block) {
    const FlashAddress address = state_.imagePosition;
    if (!Skipped(address) && found != FirmwareImage::Byte(address) &&
        !ListDifference(address, found)) {
      ShowPercent(FieldId::kVerifyPercent);
      return;  // aborted, at this byte
    }
    ++state_.imagePosition;
  }
  ShowPercent(FieldId::kVerifyPercent);
  state_.currentAddress += protocol::kChunkSize;
  if (state_.currentAddress > state_.endAddress) {
    FinishVerify();
    return;
  }
  char status[40];
  std::snprintf(status, sizeof status, "Verifying address 0x%X",
                static_cast<unsigned>(state_.currentAddress));
  SetStatus(status);
  state_.verifyStep = VerifyStep::kSendAddress;
}

bool TransferController::ListDifference(FlashAddress address, std::uint8_t found) {
  char line[64];
  std::snprintf(line, sizeof line, "add 0x%X = 0x%X should be 0x%X\r\n",
                static_cast<unsigned>(address), static_cast<unsigned>(found),
                static_cast<unsigned>(FirmwareImage::Byte(address)));
  state_.errorLog += line;
  dialog_.SetFieldText(FieldId::kErrors, state_.errorLog);
  if (++state_.errorCount <= kMaxVerifyErrors) return true;
  state_.verifyStep = VerifyStep::kDone;
  dialog_.ShowMessageBox(kVerifyAbortedBox);
  SetStatus(kVerifyAborted);
  return false;
}

void TransferController::FinishVerify() {
  dialog_.SetFieldText(FieldId::kVerifyPercent, kPercentComplete);
  state_.verifyStep = VerifyStep::kDone;
  // Firmware known to differ from the image must not be reported as done.
  if (state_.errorCount != 0) {
    SetStatus(kVerifyFailed);
    dialog_.ShowMessageBox(kVerifyFailedBox);
  } else {
    SetStatus(kVerifyFinished);
    dialog_.ShowMessageBox(kVerifyFinishedBox);
  }
}

}  // namespace lumbra::transfer
