#include "transfer/engine_context.h"

namespace lumbra::transfer {

std::optional<protocol::Reply> EngineContext::Request(const protocol::CommandFrame& frame,
                                                      protocol::PendingReply kind) {
  if (!Send(frame)) return std::nullopt;
  if (kind == protocol::PendingReply::kReady) link.Pause(kAnswerPauseMs);
  return channel.ReadAnswer(kind);
}

void EngineContext::ReportProgress(Phase phase, FlashAddress address, std::uint32_t stepsLeft) {
  events.OnProgress({phase, state.imagePosition, static_cast<std::uint32_t>(kImageSize), address,
                     stepsDone, stepsLeft});
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
  endPending = true;
  if (!ending.status.empty()) SetStatus(ending.status);
  for (std::string_view box : ending.boxes) {
    if (!box.empty()) events.OnBox(box);
  }
}

}  // namespace lumbra::transfer
