#include "transfer/transfer_controller.h"

#include "transfer/firmware_image.h"
#include "transfer/messages.h"

namespace lumbra::transfer {

link::ControllerPolicy PolicyForImage() {
  return FirmwareImage::IsStandIn() ? link::ControllerPolicy::kVirtualOnly
                                    : link::ControllerPolicy::kAny;
}

TransferController::TransferController(link::HidPlatform& platform, DialogPort& dialog)
    : link_(platform, protocol::kLongestLine, PolicyForImage()),
      dialog_(dialog),
      statusField_(dialog, FieldId::kStatus),
      context_(link_, dialog, state_, report_),
      handshake_(context_),
      download_(context_),
      verify_(context_) {
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
    handshake_.Run();
    state_.flags.connectPending = false;
  } else if (state_.flags.downloading) {
    download_.Step();
  } else if (state_.flags.verifying) {
    verify_.Step();
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
}

bool TransferController::OnClose() {
  if (!state_.flags.downloading) return true;
  dialog_.ShowMessageBox(kCloseRefusedBox);
  return false;
}

}  // namespace lumbra::transfer
