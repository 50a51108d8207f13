// lumbra-cli's command line: the subcommand and its options, parsed with CLI11.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "transfer/transfer_controller.h"

namespace lumbra::cli {

// Exit codes, documented in lumbra-cli(1). With several controllers the
// worst (highest) one is the program's.
inline constexpr int kExitVerified = 0;
inline constexpr int kExitVerifyFailed = 1;     // differences found, or the verification aborted
inline constexpr int kExitDownloadFailed = 2;
inline constexpr int kExitNoController = 3;     // none present, none writable, or access denied
inline constexpr int kExitInterrupted = 4;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitSoftware = 70;        // the program failed itself (EX_SOFTWARE)
inline constexpr int kExitRecordFailed = 74;    // --report not written, --station not read, --http not listening

// The dialog's own pace: one step per timer tick.
inline constexpr int kDialogPaceMs = transfer::kTickPeriodMs;

enum class Command { kList, kFlash, kWatch };

// The fault --simulate plants in one emulated controller (its help says
// what each does).
enum class Plant { kNone, kStuck, kBadSum, kUnplug, kReplug };

struct Options {
  Command command = Command::kList;
  std::string device;      // --device PATH
  std::string serial;      // --serial SN
  std::string port;        // --port PORT
  bool all = false;        // --all
  int paceMs = kDialogPaceMs;
  bool paceGiven = false;  // --pace given: it wins over the station file's
  bool json = false;
  std::optional<std::string> reportFile;  // none: no records
  std::optional<std::string> stationFile;
  std::optional<std::string> http;  // watch --http [ADDR:]PORT: the station page
  bool verbose = false;
  bool quiet = false;      // results only
  int simulate = 0;        // emulated controllers instead of the HID devices; 0: none
  std::vector<Plant> plants;  // one per emulated controller
  std::vector<std::string> serials;  // per emulated controller; empty: the virtual one's
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty: nothing to run, exit with exitCode
  int exitCode = 0;
};

// Parses the arguments after the program name. Help and usage errors are
// printed here (help on `out`, errors on `err`, exit kExitUsage).
ParsedCommandLine ParseCommandLine(std::span<const std::string> args, std::ostream& out,
                                   std::ostream& err);

}  // namespace lumbra::cli
