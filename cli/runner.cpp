#include "cli/runner.h"

#include <thread>

#include "cli/options.h"
#include "transfer/transfer_controller.h"

namespace lumbra::cli {

namespace {

using transfer::Outcome;

struct VerdictRow {
  Verdict verdict;
  std::string_view name;
  int exitCode;
  std::optional<Outcome> namesake;  // the outcome that needs no words beside the verdict
};

constexpr VerdictRow kVerdicts[] = {
    {Verdict::kVerified, "verified", kExitVerified, Outcome::kVerified},
    {Verdict::kVerifyFailed, "verify failed", kExitVerifyFailed, Outcome::kVerifyFailed},
    {Verdict::kVerifyAborted, "verify aborted", kExitVerifyFailed, Outcome::kVerifyAborted},
    {Verdict::kDownloadFailed, "download failed", kExitDownloadFailed, Outcome::kDownloadFailed},
    {Verdict::kNotDetected, "not detected", kExitNoController, Outcome::kNotDetected},
    {Verdict::kRefused, "refused", kExitNoController, std::nullopt},
    {Verdict::kAccessDenied, "access denied", kExitNoController, Outcome::kAccessDenied},
    {Verdict::kInterrupted, "interrupted", kExitInterrupted, std::nullopt},
    {Verdict::kInternalError, "internal error", kExitSoftware, std::nullopt},
};

constexpr bool VerdictRowsInOrder() {
  for (std::size_t i = 0; i < std::size(kVerdicts); ++i) {
    if (static_cast<std::size_t>(kVerdicts[i].verdict) != i) return false;
  }
  return std::size(kVerdicts) == static_cast<std::size_t>(Verdict::kInternalError) + 1;
}
static_assert(VerdictRowsInOrder(), "one row per verdict, in the enum's order");

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The engine's events as one controller's, with the time they took: what the
// dialog would show, without reading its fields back.
class RunObserver final : public transfer::TransferObserver {
 public:
  RunObserver(Events& events, const std::string& device, Result& result, LiveRun* live)
      : events_(events), device_(device), result_(result), live_(live) {}

  void OnPhase(Phase phase) override {
    result_.phase = phase;
    if (live_ != nullptr) live_->Update(result_);
    events_.Began(device_, phase);
  }
  void OnProgress(const transfer::Progress& engine) override {
    Progress p{engine, Seconds(Clock::now() - start_), std::nullopt};
    // The steps still needed at the pace of those done so far.
    if (engine.stepsDone > 0 && p.Percent() >= 1.0) {
      p.eta = p.elapsed / engine.stepsDone * engine.stepsLeft;
    }
    events_.Progressed(device_, p);
  }
  void OnResend(transfer::FlashAddress sector, int resend) override {
    events_.Resent(device_, sector, resend);
  }
  void OnStatus(std::string_view text, transfer::Narration narration) override {
    // The narration of each step is progress, which the events carry; a
    // text the status line already shows is no news either.
    const bool shown = text == status_;
    status_.assign(text);
    if (narration == transfer::Narration::kStep || shown) return;
    events_.Status(device_, text);
  }
  void OnBox(std::string_view text) override { events_.Box(device_, text); }

 private:
  Events& events_;
  const std::string& device_;
  Result& result_;
  LiveRun* live_;
  std::string status_;
  const Clock::time_point start_ = Clock::now();
};

Verdict VerdictOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kVerified: return Verdict::kVerified;
    case Outcome::kVerifyFailed:
    // The verification could not read on: it ended without comparing every
    // block, and the dialog says "Verify failed!".
    case Outcome::kVerifyBlockRefused:
    case Outcome::kVerifyLinkLost: return Verdict::kVerifyFailed;
    case Outcome::kVerifyAborted: return Verdict::kVerifyAborted;
    case Outcome::kDownloadFailed:
    case Outcome::kStartRefused:
    case Outcome::kStartLinkLost:
    case Outcome::kSectorAddressRefused:
    case Outcome::kSectorAddressLinkLost:
    case Outcome::kDownloadLinkLost: return Verdict::kDownloadFailed;
    case Outcome::kNotDetected:
    case Outcome::kHandshakeLinkLost: return Verdict::kNotDetected;
    case Outcome::kReportSizeUnsupported:
    case Outcome::kStandInRefused: return Verdict::kRefused;
    case Outcome::kAccessDenied: return Verdict::kAccessDenied;
  }
  return Verdict::kNotDetected;
}

}  // namespace

std::string_view ToString(Verdict verdict) { return kVerdicts[static_cast<std::size_t>(verdict)].name; }

int ExitCode(Verdict verdict) { return kVerdicts[static_cast<std::size_t>(verdict)].exitCode; }

bool SaysOutcome(Verdict verdict, Outcome outcome) {
  return kVerdicts[static_cast<std::size_t>(verdict)].namesake == outcome;
}

std::string Label(const Controller& controller) {
  if (!controller.path.empty()) return controller.path;
  if (!controller.port.empty()) return "port " + controller.port;
  if (!controller.attributes.serialNumber.empty()) return "serial " + controller.attributes.serialNumber;
  return "(no controller)";
}

std::string Advice(const Result& result) {
  if (result.verdict == Verdict::kInternalError) return "internal error: " + result.cause;
  if (result.verdict != Verdict::kInterrupted) return "";
  switch (result.phase) {
    case Phase::kHandshake: return "";
    case Phase::kDownload:
      return "the controller holds a partial image: flash it again before use";
    case Phase::kVerify: return "the image was written but not verified: flash it again before use";
  }
  return "";
}

Result Begun(const Controller& controller, const RunSettings& settings) {
  Result result;
  result.controller = controller;
  result.verdict = Verdict::kInterrupted;
  result.device = Label(controller);
  result.emulated = settings.emulated;
  result.start = std::chrono::system_clock::now();
  return result;
}

Result LiveRun::Snapshot() const {
  const std::lock_guard lock(mutex_);
  Result result = result_;
  result.verdict = Verdict::kInterrupted;
  result.end = std::chrono::system_clock::now();
  result.seconds = std::chrono::duration<double>(result.end - result.start).count();
  return result;
}

void LiveRun::Update(const Result& result) {
  const std::lock_guard lock(mutex_);
  result_ = result;
}

Result RunController(SharedPlatform& shared, const Controller& controller,
                     const RunSettings& settings, Events& events, const StopSignal& stop,
                     LiveRun* live) {
  Result result = Begun(controller, settings);
  const std::string& device = result.device;
  PinnedPlatform::Log log;
  if (settings.verbose) log = [&](std::string_view text) { events.Verbose(device, text); };
  PinnedPlatform pinned(shared, controller.path, controller.port, controller.attributes.serialNumber,
                        log);
  if (live != nullptr) live->Update(result);
  const Clock::time_point start = Clock::now();
  {
    RunObserver observer(events, device, result, live);
    transfer::TransferController transfer(pinned, observer);
    transfer.Init();
    transfer.BeginDownload();
    const auto pace = std::chrono::milliseconds(settings.paceMs);
    Clock::time_point next = start;
    while (transfer.Busy() && !stop.Requested()) {
      transfer.OnTick();
      if (!transfer.Busy() || pace.count() == 0) continue;
      // Steps start on a fixed schedule, so that the time a step takes and
      // the sleep's lateness do not add up; a step that overran starts the
      // next one at once.
      const Clock::time_point now = Clock::now();
      next += pace;
      if (next < now) {
        next = now;
      } else {
        std::this_thread::sleep_until(next);
      }
    }
    result.report = transfer.Report();
    // Leaving this block closes the controller's handle.
  }
  result.end = std::chrono::system_clock::now();
  result.seconds = Seconds(Clock::now() - start);
  if (result.report.outcome) result.verdict = VerdictOf(*result.report.outcome);
  return result;
}

}  // namespace lumbra::cli
