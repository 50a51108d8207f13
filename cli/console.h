// What lumbra-cli prints: JSON lines, plain lines, or on a terminal one line
// per controller redrawn in place under the lines that stay (boxes, results).
// Thread-safe: every controller thread tells it its events.
#pragma once

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/runner.h"

namespace lumbra::cli {

enum class Style { kPlain, kTerminal, kJson };

class Console final : public Events {
 public:
  Console(std::ostream& out, std::ostream& err, Style style) : out_(out), err_(err), style_(style) {}

  void Status(const std::string& device, std::string_view text) override;
  void Progressed(const std::string& device, const Progress& progress) override;
  void Box(const std::string& device, std::string_view text) override;
  void Verbose(const std::string& device, std::string_view text) override;

  void Finished(const Result& result);
  void Summary(const std::vector<Result>& results);
  void Listing(const std::vector<Controller>& controllers);
  // One line on stderr.
  void Note(std::string_view text);

 private:
  using Clock = std::chrono::steady_clock;
  struct Row {
    std::string device;
    std::string progress;
    std::string status;
    Phase phase = Phase::kHandshake;
    Clock::time_point shown{};  // when its progress was last printed
    bool done = false;
  };

  Row& RowOf(const std::string& device);
  // A line that stays: on a terminal it goes above the redrawn rows.
  void PrintLine(const std::string& line);
  void Json(const nlohmann::ordered_json& event);
  void Redraw();

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  Style style_;
  std::vector<Row> rows_;
  std::size_t drawn_ = 0;  // rows on screen below the last line that stays
  Clock::time_point drawnAt_{};
};

}  // namespace lumbra::cli
