// What lumbra-cli prints: JSON lines, plain lines, or on a terminal one line
// per controller redrawn in place under the lines that stay (boxes, results).
// Thread-safe: every controller thread tells it its events.
//
// Strings a device or a command line supplied are untrusted: JSON is written
// in ASCII with invalid UTF-8 replaced, and plain and terminal lines show
// control characters and invalid bytes as visible escapes (Printable).
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/runner.h"
#include "station/records.h"

namespace lumbra::cli {

enum class Style { kPlain, kTerminal, kJson };

// `text` with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 written as a visible escape ("\x1b", "\xff").
std::string Printable(std::string_view text);

// One JSON object as ASCII text, every invalid byte as U+FFFD; as a line.
std::string JsonText(const nlohmann::ordered_json& object);
std::string JsonLine(const nlohmann::ordered_json& object);

class Console final : public Events {
 public:
  // `columns`: the terminal's width (0: unknown); `quiet`: results only.
  Console(std::ostream& out, std::ostream& err, Style style, int columns = 0, bool quiet = false)
      : out_(out), err_(err), style_(style), columns_(columns), quiet_(quiet) {}

  void Began(const std::string& device, Phase phase) override;
  void Progressed(const std::string& device, const Progress& progress) override;
  void Resent(const std::string& device, transfer::FlashAddress sector, int resend) override;
  void Status(const std::string& device, std::string_view text) override;
  void Box(const std::string& device, std::string_view text) override;
  void Verbose(const std::string& device, std::string_view text) override;

  void Finished(const Result& result);
  // The counts per verdict and the exit code, once everything has ended.
  void Summary(const std::vector<Result>& results, int exitCode);
  void Listing(const std::vector<Controller>& controllers);
  // One line on stderr.
  void Note(std::string_view text);
  // The counters since the start and today (watch), in plain and terminal
  // output; once, when today's verified reach the target, a line that says so.
  void Tally(const station::Counters& counters, std::optional<int> target);

 private:
  using Clock = std::chrono::steady_clock;
  struct Row {
    std::string device;
    Progress progress;          // the latest, formatted only when shown
    std::string status;
    std::string said;           // the last line printed for it
    int resends = 0;
    Clock::time_point shown{};  // when its progress was last printed
    bool done = false;
  };

  Row& RowOf(const std::string& device);
  // A line that stays (on a terminal above the redrawn rows), once.
  void Say(Row& row, const std::string& line);
  void PrintLine(const std::string& line);
  void Json(nlohmann::ordered_json event);
  void Redraw();

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  Style style_;
  int columns_;
  bool quiet_;
  bool targetTold_ = false;
  std::vector<Row> rows_;
  std::size_t drawn_ = 0;  // rows on screen below the last line that stays
  Clock::time_point drawnAt_{};
};

}  // namespace lumbra::cli
