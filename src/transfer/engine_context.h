// What the service handshake and the two engines share: the link and the
// channel on it, the dialog, the activity state, the run's report, and the
// one way an activity ends.
#pragma once

#include <optional>
#include <string_view>

#include "link/hid_link.h"
#include "protocol/command_channel.h"
#include "transfer/dialog_port.h"
#include "transfer/endings.h"
#include "transfer/run_report.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

// The pause after "service.on" and after Start download, before the answer is read.
inline constexpr int kAnswerPauseMs = 2;

struct EngineContext {
  EngineContext(link::HidLink& link, DialogPort& dialog, TransferState& state, RunReport& report)
      : link(link), channel(link), dialog(dialog), state(state), report(report) {}

  // Sends a frame; false when the link was lost for good (it has already
  // tried to reconnect and given up).
  bool Send(const protocol::CommandFrame& frame) { return channel.Send(frame); }
  // Sends a frame and reads its answer; nullopt when the send lost the link,
  // and then nothing is read.
  std::optional<protocol::Reply> Request(const protocol::CommandFrame& frame,
                                         protocol::PendingReply kind);

  void SetStatus(std::string_view text) { dialog.SetFieldText(FieldId::kStatus, text); }
  // The position in the image as a percentage, in the given field.
  void ShowPercent(FieldId field);

  // Ends the running activity: lets go of it (ticks keep arriving under a
  // box), records the outcome, writes the status line, then shows the boxes.
  void End(Outcome outcome);

  link::HidLink& link;
  protocol::CommandChannel channel;
  DialogPort& dialog;
  TransferState& state;
  RunReport& report;
};

}  // namespace lumbra::transfer
