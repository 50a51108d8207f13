// Sends CommandFrames over the link and reads their answers, in the one
// calling order every request uses, and reports a send that failed for good.
#pragma once

#include <string>

#include "link/hid_link.h"
#include "protocol/command_frame.h"
#include "protocol/dialog_port.h"
#include "protocol/reply.h"

namespace lumbra::protocol {

// The activity flags the tick dispatcher decides by. A failed send clears the
// flag of the activity it ends.
struct ActivityFlags {
  bool connectPending = false;  // the next tick runs the service handshake
  bool downloading = false;     // the download engine is active
  bool verifying = false;       // the verify engine is active
};

inline constexpr int kStartDownloadPauseMs = 2;

// Message boxes of a send that failed for good.
inline constexpr std::string_view kDownloadSendFailedBox =
    "Can't write to Quorvex!\nDownload failed!\nService call required!";
inline constexpr std::string_view kVerifySendFailedBox = "Can't read from Quorvex!\nVerify failed!";

class CommandChannel {
 public:
  CommandChannel(link::HidLink& link, DialogPort& dialog, ActivityFlags& flags);

  // Encodes the frame, hands the line to the link and, when the link could
  // not be kept open, ends the running activity with its message box.
  void SendFrame(const CommandFrame& frame);

  // One request: send the frame (whatever comes of the send), then read and
  // decode its answer as `kind`. A frame without an answer, or a read that
  // brought no report, is never accepted.
  Reply Request(const CommandFrame& frame, PendingReply kind);

  // Reply length of the last frame sent (0 for Sector data).
  int LastReplyLength() const { return lastReplyLength_; }
  // True when the last send lost the link for good (and said so, if an
  // activity was running).
  bool LastSendFailed() const { return lastSendFailed_; }

 private:
  link::HidLink& link_;
  DialogPort& dialog_;
  ActivityFlags& flags_;
  std::string line_;
  int lastReplyLength_ = 0;
  bool lastSendFailed_ = false;
};

}  // namespace lumbra::protocol
