// What the service handshake and the two engines share: the link and the
// channel on it, the observers of their events, the activity state, the
// run's report, and the one way an activity ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "link/hid_link.h"
#include "protocol/command_channel.h"
#include "transfer/endings.h"
#include "transfer/run_report.h"
#include "transfer/transfer_events.h"
#include "transfer/transfer_state.h"

namespace lumbra::transfer {

// The pause after "service.on" and after Start download, before the answer is read.
inline constexpr int kAnswerPauseMs = 2;

// Every observer, told in the order they were added.
class Observers final : public TransferObserver {
 public:
  void Add(TransferObserver& observer) { observers_.push_back(&observer); }

  void OnPhase(Phase phase) override { Tell(&TransferObserver::OnPhase, phase); }
  void OnProgress(const Progress& progress) override { Tell(&TransferObserver::OnProgress, progress); }
  void OnPhaseComplete(Phase phase) override { Tell(&TransferObserver::OnPhaseComplete, phase); }
  void OnResend(FlashAddress sector, int resend) override {
    Tell(&TransferObserver::OnResend, sector, resend);
  }
  void OnDifference(const Difference& d) override { Tell(&TransferObserver::OnDifference, d); }
  void OnStatus(std::string_view text, Narration narration) override {
    Tell(&TransferObserver::OnStatus, text, narration);
  }
  void OnBox(std::string_view text) override { Tell(&TransferObserver::OnBox, text); }
  void OnEnd(Outcome outcome, const RunReport& report) override {
    Tell(&TransferObserver::OnEnd, outcome, report);
  }

 private:
  template <typename... Params, typename... Args>
  void Tell(void (TransferObserver::*call)(Params...), Args&&... args) {
    for (TransferObserver* o : observers_) (o->*call)(args...);
  }

  std::vector<TransferObserver*> observers_;
};

struct EngineContext {
  EngineContext(link::HidLink& link, Observers& events, TransferState& state, RunReport& report)
      : link(link), channel(link), events(events), state(state), report(report) {}

  // Sends a frame; false when the link was lost for good (it has already
  // tried to reconnect and given up).
  bool Send(const protocol::CommandFrame& frame) { return channel.Send(frame); }
  // Sends a frame and reads its answer; nullopt when the send lost the link,
  // and then nothing is read.
  std::optional<protocol::Reply> Request(const protocol::CommandFrame& frame,
                                         protocol::PendingReply kind);

  void SetStatus(std::string_view text, Narration narration = Narration::kNews) {
    events.OnStatus(text, narration);
  }
  // The position in the image, with the sector or block at `address` and
  // the fewest steps still needed after this one.
  void ReportProgress(Phase phase, FlashAddress address, std::uint32_t stepsLeft);

  // Ends the running activity: lets go of it (ticks keep arriving under a
  // box), records the outcome, writes the status line, then shows the boxes.
  // The observers hear of the end once the tick is over.
  void End(Outcome outcome);

  link::HidLink& link;
  protocol::CommandChannel channel;
  Observers& events;
  TransferState& state;
  RunReport& report;
  std::uint32_t stepsDone = 0;  // steps since the button
  bool endPending = false;      // End ran; the observers are told at the tick's end
};

// Steps of a whole run without a resend: the handshake; Start, 66 per sector
// (its address, its chunks, its checksum) and Finish; Begin, two per block
// (its address, its comparison) and Done.
inline constexpr std::uint32_t kSectorSteps = kChunksPerSector + 2;
inline constexpr std::uint32_t kBlockCount = kImageSize / protocol::kChunkSize;
inline constexpr std::uint32_t kVerifySteps = 1 + 2 * kBlockCount + 1;
inline constexpr std::uint32_t kDownloadSteps = 1 + kSectorCount * kSectorSteps + 1;
inline constexpr std::uint32_t kRunSteps = 1 + kDownloadSteps + kVerifySteps;

}  // namespace lumbra::transfer
