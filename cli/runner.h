// One controller's run on its own thread: the dialog's work on a
// TransferController whose link sees only that controller, paced like the
// dialog's timer, told to a Console as it goes, and its result at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/machine.h"
#include "cli/options.h"
#include "cli/shared_platform.h"
#include "transfer/endings.h"
#include "transfer/run_report.h"

namespace lumbra::cli {

enum class Verdict {
  kVerified,
  kVerifyFailed,
  kVerifyAborted,
  kDownloadFailed,
  kNotDetected,
  kRefused,
  kAccessDenied,
  kInterrupted,
};

std::string_view ToString(Verdict verdict);
int ExitCode(Verdict verdict);

enum class Phase { kHandshake, kDownload, kVerify };
std::string_view ToString(Phase phase);

struct Progress {
  Phase phase = Phase::kHandshake;
  double percent = 0;          // of the phase
  std::uint32_t address = 0;   // the sector's (download) or the block's (verify)
  std::int32_t resends = 0;
  double elapsed = 0;          // seconds
  std::optional<double> eta;   // seconds left, once it can be told
};

struct Result {
  std::string device;          // as the run's events named it
  Controller controller;       // as listed
  Verdict verdict = Verdict::kNotDetected;
  std::chrono::system_clock::time_point start, end;
  double seconds = 0;
  transfer::RunReport report;  // its outcome empty: the engine did not end
};

// What a run tells as it goes. Called from the controller threads.
class Events {
 public:
  virtual ~Events() = default;
  virtual void Status(const std::string& device, std::string_view text) = 0;
  virtual void Progressed(const std::string& device, const Progress& progress) = 0;
  virtual void Box(const std::string& device, std::string_view text) = 0;
  virtual void Verbose(const std::string& device, std::string_view text) = 0;
};

struct RunSettings {
  int paceMs = kDialogPaceMs;
  bool verbose = false;
};

// Flashes and verifies `controller`, whose path the caller has claimed on
// `shared` (an empty path: whatever appears with its serial number). Stops
// after the current step once `stop` is requested; the controller's handle
// is closed when it returns.
Result RunController(SharedPlatform& shared, const Controller& controller,
                     const RunSettings& settings, Events& events, const StopSignal& stop);

}  // namespace lumbra::cli
