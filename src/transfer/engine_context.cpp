#include "transfer/engine_context.h"

#include <cstdio>

namespace lumbra::transfer {

std::optional<protocol::Reply> EngineContext::Request(const protocol::CommandFrame& frame,
                                                      protocol::PendingReply kind) {
  if (!Send(frame)) return std::nullopt;
  if (kind == protocol::PendingReply::kReady) link.Pause(kAnswerPauseMs);
  return channel.ReadAnswer(kind);
}

void EngineContext::ShowPercent(FieldId field) {
  float percent = static_cast<float>(static_cast<double>(state.imagePosition) /
                                     static_cast<double>(state.endAddress) * 100.0);
  if (percent > 99.99f) percent = 99.99f;
  char text[32];
  std::snprintf(text, sizeof text, "%5.2f%%", static_cast<double>(percent));
  dialog.SetFieldText(field, text);
}

void EngineContext::End(Outcome outcome) {
  const Ending& ending = EndingOf(outcome);
  switch (ending.release) {
    case Release::kHandshake:
      state.flags.connectPending = false;
      state.flags.downloading = false;
      break;
    case Release::kDownload: state.flags.downloading = false; break;
    case Release::kVerify: state.flags.verifying = false; break;
    case Release::kVerifyAtDone: state.verifyStep = VerifyStep::kDone; break;
  }
  report.outcome = outcome;
  report.skipWindow = state.skipWindow;
  if (!ending.status.empty()) SetStatus(ending.status);
  for (std::string_view box : ending.boxes) {
    if (!box.empty()) dialog.ShowMessageBox(box);
  }
}

}  // namespace lumbra::transfer
