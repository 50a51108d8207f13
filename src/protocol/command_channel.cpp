#include "protocol/command_channel.h"

namespace lumbra::protocol {

bool CommandChannel::Send(const CommandFrame& frame) {
  line_ = EncodeXscrLine(frame);
  lastReplyLength_ = frame.ReplyLength();
  return link_.SendLine(line_) != link::SendResult::kLinkLost;
}

Reply CommandChannel::ReadAnswer(PendingReply kind) {
  if (lastReplyLength_ == 0) return {};
  const std::optional<std::string_view> text = link_.ReadReply();
  if (!text) return {};
  return DecodeReply(*text, kind, lastReplyLength_);
}

}  // namespace lumbra::protocol
