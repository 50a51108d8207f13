#include "transfer/transfer_controller.h"

#include "transfer/firmware_image.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

link::ControllerPolicy PolicyForImage() {
  return FirmwareImage::IsStandIn() ? link::ControllerPolicy::kVirtualOnly
                                    : link::ControllerPolicy::kAny;
}

TransferController::TransferController(link::HidPlatform& platform, DialogPort& dialog)
    : TransferController(platform, &dialog, nullptr) {}

TransferController::TransferController(link::HidPlatform& platform, TransferObserver& observer)
    : TransferController(platform, nullptr, &observer) {}

TransferController::TransferController(link::HidPlatform& platform, DialogPort* dialog,
                                       TransferObserver* observer)
    : link_(platform, protocol::kLongestLine, PolicyForImage()),
      statusEvents_(events_),
      context_(link_, events_, state_, report_),
      handshake_(context_),
      download_(context_),
      verify_(context_) {
  if (dialog != nullptr) events_.Add(dialogView_.emplace(*dialog));
  if (observer != nullptr) events_.Add(*observer);
  // Service mode is a property of the connection: a controller opened anew
  // (replugged, power-cycled, or another one) starts outside it.
  link_.SetOpenedHandler([this] { state_.serviceMode = false; });
}

void TransferController::Init() {
  state_.serviceMode = false;
  state_.flags = {};
  state_.verifyStep = VerifyStep::kBegin;
  state_.skipWindow = {};
  link_.SetStatusTarget(&statusEvents_);
}

void TransferController::OnTick() {
  if (state_.flags.connectPending) {
    ++context_.stepsDone;
    handshake_.Run();
    state_.flags.connectPending = false;
  } else if (state_.flags.downloading) {
    ++context_.stepsDone;
    download_.Step();
  } else if (state_.flags.verifying) {
    ++context_.stepsDone;
    verify_.Step();
  }
  // A tick under the ending's box may get here first; the end is told once.
  if (context_.endPending && report_.outcome) {
    context_.endPending = false;
    events_.OnEnd(*report_.outcome, report_);
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
  report_ = {};
  context_.stepsDone = 0;
  context_.endPending = false;
}

bool TransferController::OnClose() {
  if (!state_.flags.downloading) return true;
  events_.OnBox(kCloseRefusedBox);
  return false;
}

}  // namespace lumbra::transfer
