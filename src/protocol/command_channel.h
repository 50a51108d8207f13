// Sends CommandFrames over the link as xscr lines and reads their answers.
// What a lost link means for the work under way is the caller's to decide.
#pragma once

#include <string>

#include "link/hid_link.h"
#include "protocol/command_frame.h"
#include "protocol/reply.h"

namespace lumbra::protocol {

class CommandChannel {
 public:
  explicit CommandChannel(link::HidLink& link) : link_(link) {}

  // Encodes the frame and hands the line to the link. False when the link
  // could not be kept open: it has already tried to reconnect and given up.
  bool Send(const CommandFrame& frame);

  // Reads and decodes the answer to the last frame sent as `kind`. A frame
  // without an answer, or a read that brought no report, is never accepted.
  Reply ReadAnswer(PendingReply kind);

 private:
  link::HidLink& link_;
  std::string line_;
  std::uint8_t lastReplyLength_ = 0;
};

}  // namespace lumbra::protocol
