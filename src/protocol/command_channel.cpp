#include "protocol/command_channel.h"

namespace lumbra::protocol {

CommandChannel::CommandChannel(link::HidLink& link, DialogPort& dialog, ActivityFlags& flags)
    : link_(link), dialog_(dialog), flags_(flags) {}

void CommandChannel::SendFrame(const CommandFrame& frame) {
  line_ = EncodeXscrLine(frame);
  lastReplyLength_ = frame.ReplyLength();
  link_.SendLine(line_);
  lastSendFailed_ = !link_.m_bOpen;
  if (!lastSendFailed_) return;
  // The link has already tried to reconnect and given up. Flags first: ticks
  // keep arriving while the box is open.
  if (flags_.downloading) {
    flags_.downloading = false;
    dialog_.ShowMessageBox(kDownloadSendFailedBox);
  } else if (flags_.verifying) {
    flags_.verifying = false;
    dialog_.ShowMessageBox(kVerifySendFailedBox);
  }
}

Reply CommandChannel::Request(const CommandFrame& frame, PendingReply kind) {
  SendFrame(frame);
  if (kind == PendingReply::kReady) link_.Pause(kStartDownloadPauseMs);
  if (lastReplyLength_ == 0) return {};
  // A read that brought no report leaves the previous reply in the link's
  // text; it must not be taken for this request's answer.
  if (!link_.ReadReply()) return {};
  return DecodeReply(link_.m_ReplyText, kind, static_cast<std::size_t>(lastReplyLength_));
}

}  // namespace lumbra::protocol
