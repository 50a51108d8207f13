#include "cli/runner.h"

#include <set>
#include <thread>

#include "cli/options.h"
#include "transfer/dialog_port.h"
#include "transfer/messages.h"
#include "transfer/transfer_controller.h"

namespace lumbra::cli {

namespace {

struct VerdictRow {
  std::string_view name;
  int exitCode;
};

constexpr VerdictRow kVerdicts[] = {
    {"verified", kExitVerified},
    {"verify failed", kExitVerifyFailed},
    {"verify aborted", kExitVerifyFailed},
    {"download failed", kExitDownloadFailed},
    {"not detected", kExitNoController},
    {"refused", kExitNoController},
    {"access denied", kExitNoController},
    {"interrupted", kExitInterrupted},
};
static_assert(std::size(kVerdicts) == static_cast<std::size_t>(Verdict::kInterrupted) + 1);

// The verification's status line names each block it reads: that is
// progress, not a change worth a line of its own. The two texts of every
// sector are told once; after that they would be a line per step.
bool Routine(std::string_view text) {
  return text == transfer::kDownloadingSector || text == transfer::kReadingChecksum;
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The dialog, as a command line has it: the status line goes to the events
// when it changes, and every box is told and answered at once.
class CliDialog final : public transfer::DialogPort {
 public:
  CliDialog(Events& events, const std::string& device) : events_(events), device_(device) {}

  void SetFieldText(transfer::FieldId field, std::string_view text) override {
    if (field != transfer::FieldId::kStatus || text == status_) return;
    status_.assign(text);
    if (text.starts_with(transfer::kVerifyingAddress)) return;
    if (Routine(text) && !told_.insert(status_).second) return;
    events_.Status(device_, text);
  }
  void ShowMessageBox(std::string_view text) override { events_.Box(device_, text); }

 private:
  Events& events_;
  const std::string& device_;
  std::string status_;
  std::set<std::string> told_;
};

Progress ProgressOf(const transfer::TransferController& controller, double elapsed) {
  const transfer::TransferState& s = controller.State();
  Progress p;
  p.phase = s.flags.connectPending ? Phase::kHandshake
            : s.flags.downloading  ? Phase::kDownload
            : Phase::kVerify;
  p.percent = p.phase == Phase::kHandshake
                  ? 0.0
                  : 100.0 * static_cast<double>(s.imagePosition) / transfer::kImageSize;
  p.address = s.currentAddress;
  if (p.phase == Phase::kVerify && s.verifyStep == transfer::VerifyStep::kBegin) {
    p.percent = 0;  // the download's last position until the verification begins
    p.address = 0;
  }
  p.resends = controller.Report().TotalResends();
  p.elapsed = elapsed;
  // A verify block costs two steps and a sector about as many steps as it
  // has chunks: the verification is two thirds of a cycle.
  const double done = p.phase == Phase::kDownload ? p.percent
                      : p.phase == Phase::kVerify ? 100.0 + 2.0 * p.percent
                                                  : 0.0;
  if (done >= 1.0) p.eta = elapsed * (300.0 - done) / done;
  return p;
}

// How output names a controller: its path, else what it was asked for by.
std::string Label(const Controller& controller) {
  if (!controller.path.empty()) return controller.path;
  if (!controller.attributes.serialNumber.empty()) return "serial " + controller.attributes.serialNumber;
  return "(no controller)";
}

Verdict VerdictOf(transfer::Outcome outcome) {
  using transfer::Outcome;
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

std::string_view ToString(Phase phase) {
  switch (phase) {
    case Phase::kHandshake: return "handshake";
    case Phase::kDownload: return "download";
    case Phase::kVerify: return "verify";
  }
  return "";
}

Result RunController(SharedPlatform& shared, const Controller& controller,
                     const RunSettings& settings, Events& events, const StopSignal& stop) {
  Result result;
  result.controller = controller;
  result.verdict = Verdict::kInterrupted;
  const std::string device = Label(controller);
  result.device = device;
  PinnedPlatform::Log log;
  if (settings.verbose) log = [&](std::string_view text) { events.Verbose(device, text); };
  PinnedPlatform pinned(shared, controller.path, controller.attributes.serialNumber, log);
  CliDialog dialog(events, device);
  result.start = std::chrono::system_clock::now();
  const Clock::time_point start = Clock::now();
  {
    transfer::TransferController transfer(pinned, dialog);
    transfer.Init();
    transfer.BeginDownload();
    const auto pace = std::chrono::milliseconds(settings.paceMs);
    Clock::time_point next = start;
    while (transfer.Busy() && !stop.Requested()) {
      transfer.OnTick();
      const Clock::time_point now = Clock::now();
      events.Progressed(device, ProgressOf(transfer, Seconds(now - start)));
      if (!transfer.Busy() || pace.count() == 0) continue;
      // Steps start on a fixed schedule, so that the time a step takes and
      // the sleep's lateness do not add up; a step that overran starts the
      // next one at once.
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
