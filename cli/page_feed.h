// What the station page shows: a tile per slot (or per controller without a
// station file), the counters, the latest records, and the record file for
// download. The controller threads tell it their events; it keeps the
// state and passes each change on, as one JSON object, to `publish`, which
// must not wait (the page's server queues it). The server's thread asks it
// for snapshots and downloads.
//
// Every event and snapshot carries a sequence number: a page that gets a
// snapshot ignores the events it already holds.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/runner.h"
#include "page/server.h"
#include "station/records.h"
#include "station/station.h"

namespace lumbra::cli {

// The records the page lists.
inline constexpr std::size_t kPageRecords = 50;
// The most records a search answers with.
inline constexpr std::size_t kSearchRecordsMax = 1000;

class PageFeed final : public Events, public page::Content {
 public:
  using Publish = std::function<void(std::string json)>;

  // `recordFile`: the station's records (--report), for the list and the
  // downloads; none without.
  PageFeed(const station::Station& station, std::optional<std::string> recordFile, int paceMs);

  // Before the first event: where changes go.
  void SetPublisher(Publish publish);
  // The records read back at the start, oldest first, and the counters made of them.
  void Seed(const std::vector<nlohmann::json>& records, const station::Counters& counters);

  // A run of `controller` begins.
  void Added(const Controller& controller);
  // A controller that has had its result was unplugged from `path`.
  void Removed(const std::string& path);
  // A run ended: its record is on the disk, and `counters` count it.
  void Recorded(const Result& result, const nlohmann::ordered_json& record,
                const station::Counters& counters);

  // The line's database (watch --db): the records waiting in the file
  // (nullopt: not known yet) and its state ("connected", "unreachable", ...).
  void Database(std::optional<std::size_t> waiting, const std::string& state);

  void Began(const std::string& device, Phase phase) override;
  void Progressed(const std::string& device, const Progress& progress) override;
  void Resent(const std::string& device, transfer::FlashAddress sector, int resend) override;
  void Status(const std::string& device, std::string_view text) override;
  void Box(const std::string& device, std::string_view text) override;
  void Verbose(const std::string&, std::string_view) override {}

  std::string Snapshot() override;
  // "/records.jsonl" and "/records.csv", with "serial=" (a part of the
  // serial number, any case) and "last=N" in the query.
  std::optional<page::Download> Open(std::string_view target) override;

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { kEmpty, kRunning, kDone };
  struct Tile {
    std::string key;
    std::optional<std::string> slot;
    std::string port, device, serial;
    State state = State::kEmpty;
    std::optional<Phase> phase;
    Progress progress;
    int resends = 0;
    std::optional<std::string> verdict, box, advice;
    std::string status;
    Clock::time_point told{};  // when its progress was last published
  };

  // Under mutex_.
  Tile* TileOf(const std::string& device);
  void Tell(const char* event, const Tile& tile);
  void Tell(nlohmann::ordered_json event);
  nlohmann::ordered_json CountersJson() const;

  const station::Station& station_;
  const std::optional<std::string> recordFile_;
  const int paceMs_;
  const std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
  std::mutex mutex_;
  Publish publish_;
  std::uint64_t seq_ = 0;
  std::vector<Tile> tiles_;                     // slots first, in the station file's order
  std::map<std::string, std::string> devices_;  // a run's device -> its tile's key
  std::deque<nlohmann::ordered_json> records_;  // newest first
  std::optional<station::Counters> counters_;
  std::optional<nlohmann::ordered_json> database_;
};

// A record as a CSV row, and the header row (RFC 4180; a field a
// spreadsheet would take for a formula starts with an apostrophe).
std::string CsvHeader();
std::string CsvRow(const nlohmann::json& record);

}  // namespace lumbra::cli
