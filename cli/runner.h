// One controller's run on its own thread: the dialog's work on a
// TransferController whose link sees only that controller, paced like the
// dialog's timer, told to Events as the engine reports it, and its result at
// the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cli/machine.h"
#include "cli/options.h"
#include "cli/shared_platform.h"
#include "transfer/endings.h"
#include "transfer/run_report.h"
#include "transfer/transfer_events.h"

namespace lumbra::cli {

using transfer::Phase;

enum class Verdict {
  kVerified,
  kVerifyFailed,
  kVerifyAborted,
  kDownloadFailed,
  kNotDetected,
  kRefused,
  kAccessDenied,
  kInterrupted,
  kInternalError,  // the program itself failed (an unexpected exception)
};

std::string_view ToString(Verdict verdict);
int ExitCode(Verdict verdict);
// Whether the verdict's name says all the outcome does.
bool SaysOutcome(Verdict verdict, transfer::Outcome outcome);

// The engine's progress with the time it took so far.
struct Progress {
  transfer::Progress engine;
  double elapsed = 0;          // seconds since the run began
  std::optional<double> eta;   // seconds left, once it can be told
  double Percent() const {     // of the phase
    return engine.total == 0 ? 0.0 : 100.0 * engine.position / engine.total;
  }
};

struct Result {
  std::string device;          // as the run's events named it
  Controller controller;       // as listed
  Verdict verdict = Verdict::kNotDetected;
  Phase phase = Phase::kHandshake;  // the phase the run ended in
  std::chrono::system_clock::time_point start, end;
  double seconds = 0;
  transfer::RunReport report;  // its outcome empty: the engine did not end
  bool emulated = false;       // the controller was an emulated one (--simulate)
  std::string cause;           // an internal error's cause
};

// What a run tells as it goes. Called from the controller threads; every
// string may hold bytes a device chose.
class Events {
 public:
  virtual ~Events() = default;
  virtual void Began(const std::string& device, Phase phase) = 0;
  virtual void Progressed(const std::string& device, const Progress& progress) = 0;
  virtual void Resent(const std::string& device, transfer::FlashAddress sector, int resend) = 0;
  virtual void Status(const std::string& device, std::string_view text) = 0;
  virtual void Box(const std::string& device, std::string_view text) = 0;
  virtual void Verbose(const std::string& device, std::string_view text) = 0;
};

struct RunSettings {
  int paceMs = kDialogPaceMs;
  bool verbose = false;
  bool emulated = false;
};

// A run as another thread sees it while it goes on: what a record written
// before the run ends must say (the program is made to exit at once).
class LiveRun {
 public:
  // The run so far as an interrupted result, ending now.
  Result Snapshot() const;
  void Update(const Result& result);

 private:
  mutable std::mutex mutex_;
  Result result_;
};

// How output names a controller: its path, else what it was asked for by.
std::string Label(const Controller& controller);

// What the technician must know of a run's end beyond its verdict (a
// controller left with a partial image, an internal error's cause); empty
// when nothing.
std::string Advice(const Result& result);

// A run of `controller` as it begins: interrupted until it ends otherwise.
Result Begun(const Controller& controller, const RunSettings& settings);

// Flashes and verifies `controller`, whose path the caller has claimed on
// `shared` (an empty path: whatever appears with its serial number). Stops
// after the current step once `stop` is requested; the controller's handle
// is closed when it returns. `live`, when given, follows the run.
Result RunController(SharedPlatform& shared, const Controller& controller,
                     const RunSettings& settings, Events& events, const StopSignal& stop,
                     LiveRun* live = nullptr);

}  // namespace lumbra::cli
