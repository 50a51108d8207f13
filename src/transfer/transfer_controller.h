// The dialog's work without the dialog: the tick dispatcher, the Download
// Firmware button and the close guard's decision, driving the service
// handshake, the download engine and the verify engine. A front end only
// forwards its timer, its button and its close command here and observes
// the events, so whole downloads run in tests by calling OnTick.
#pragma once

#include <optional>

#include "link/hid_link.h"
#include "transfer/dialog_port.h"
#include "transfer/download_engine.h"
#include "transfer/engine_context.h"
#include "transfer/run_report.h"
#include "transfer/service_handshake.h"
#include "transfer/transfer_state.h"
#include "transfer/verify_engine.h"

namespace lumbra::transfer {

inline constexpr int kTickPeriodMs = 25;

// Which controllers this build may write to: a build that carries the
// stand-in image must never write it into a real controller, only into the
// virtual one.
link::ControllerPolicy PolicyForImage();

class TransferController {
 public:
  // A dialog: the events rendered into its fields and boxes.
  TransferController(link::HidPlatform& platform, DialogPort& dialog);
  // Any other front end: its observer alone.
  TransferController(link::HidPlatform& platform, TransferObserver& observer);
  TransferController(const TransferController&) = delete;
  TransferController& operator=(const TransferController&) = delete;

  // Told after the observers before it. Add before the first tick.
  void AddObserver(TransferObserver& observer) { events_.Add(observer); }

  // The dialog's initialisation: clears the activity state and points the
  // link's status line at the observers. Sends nothing.
  void Init();

  // One timer tick: at most one step of the handshake, else the download,
  // else the verification.
  void OnTick();

  // The Download Firmware button. Ignored while a download or its handshake
  // is pending; otherwise the next tick starts the handshake.
  void BeginDownload();

  // The close guard. Returns true when the dialog may close; while a download
  // runs it shows its message box and returns false.
  bool OnClose();

  // True while a handshake, a download or a verification is under way.
  bool Busy() const {
    return state_.flags.connectPending || state_.flags.downloading || state_.flags.verifying;
  }

  // How the last run ended, once it has; what it met so far while it runs.
  const RunReport& Report() const { return report_; }
  // The engines' state between ticks, for tests that act at a given step.
  const TransferState& State() const { return state_; }

 private:
  // The link's status texts, told as status events.
  class StatusEvents final : public link::TextTarget {
   public:
    explicit StatusEvents(TransferObserver& events) : events_(events) {}
    void SetText(std::string_view text) override { events_.OnStatus(text, Narration::kNews); }

   private:
    TransferObserver& events_;
  };

  TransferController(link::HidPlatform& platform, DialogPort* dialog, TransferObserver* observer);

  link::HidLink link_;
  std::optional<DialogView> dialogView_;
  Observers events_;
  StatusEvents statusEvents_;
  TransferState state_;
  RunReport report_;
  EngineContext context_;
  ServiceHandshake handshake_;
  DownloadEngine download_;
  VerifyEngine verify_;
};

}  // namespace lumbra::transfer
