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
inline constexpr int kExitDataRefused = 65;   // the database refused a record or the query (EX_DATAERR)
inline constexpr int kExitDatabaseAway = 69;  // the database cannot be reached, or no client in this build (EX_UNAVAILABLE)
inline constexpr int kExitSoftware = 70;        // the program failed itself (EX_SOFTWARE)
inline constexpr int kExitRecordFailed = 74;    // --report not written, --station not read, --http not listening
inline constexpr int kExitDatabaseDenied = 77;  // the database refused the login or the role (EX_NOPERM)

// The dialog's own pace: one step per timer tick.
inline constexpr int kDialogPaceMs = transfer::kTickPeriodMs;

enum class Command { kList, kFlash, kWatch, kPush, kQuery, kStats };

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
  std::optional<std::string> db;    // --db URL: the line's database
  std::string pushFile;             // records push FILE
  std::optional<std::string> serialFilter, stationName, since;  // records query and stats
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
