#include "cli/page_feed.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>

#include "cli/console.h"
#include "cli/record.h"

namespace lumbra::cli {

namespace {

using json = nlohmann::ordered_json;

// A tile's progress reaches the page at most this often.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

json Rounded(std::optional<double> value, double scale = 10) {
  return value ? json(std::round(*value * scale) / scale) : json(nullptr);
}

json Text(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

template <typename T>
json Maybe(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

json WindowJson(const station::Window& window) {
  return {{"verified", window.verified},
          {"failed", window.failed},
          {"judged", window.judged},
          {"yield", Rounded(window.YieldPercent())},
          {"units_per_hour", Rounded(window.UnitsPerHour())},
          {"mean_cycle", Rounded(window.MeanCycle())}};
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query value as sent ("%3Cimg+src%3Dx"); a malformed escape stays as it is.
std::string Unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> Query(std::string_view query) {
  std::map<std::string, std::string> values;
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    const std::size_t equals = std::min(pair.find('='), pair.size());
    values[Unescaped(pair.substr(0, equals))] =
        equals < pair.size() ? Unescaped(pair.substr(equals + 1)) : "";
    query.remove_prefix(std::min(end + 1, query.size()));
  }
  return values;
}

// The records of the file that a download or a search asks for, a line at
// a time, each a record whole (a torn line is left out).
class RecordReader {
 public:
  RecordReader(const std::string& path, std::string serial)
      : file_(path, std::ios::binary), serial_(Lower(std::move(serial))) {}
  bool Good() const { return file_.is_open(); }

  // The next record asked for; nullopt at the end.
  std::optional<std::pair<std::string, nlohmann::json>> Next() {
    std::string line;
    while (std::getline(file_, line)) {
      nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
      if (!record.is_object()) continue;
      if (!serial_.empty()) {
        const auto serial = record.find("serial");
        if (serial == record.end() || !serial->is_string() ||
            Lower(serial->get<std::string>()).find(serial_) == std::string::npos) {
          continue;
        }
      }
      return std::make_pair(std::move(line), std::move(record));
    }
    return std::nullopt;
  }

 private:
  std::ifstream file_;
  std::string serial_;
};

std::string CsvField(const nlohmann::json& value) {
  std::string text;
  if (value.is_string()) {
    text = value.get<std::string>();
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
      text.insert(text.begin(), '\'');
    }
  } else if (!value.is_null()) {
    text = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + '"';
}

constexpr const char* kCsvColumns[] = {
    "record_id", "station", "slot", "port", "device", "serial", "vendor_product", "verdict",
    "outcome", "phase", "start", "end", "seconds", "resends", "differences", "lumbra_version",
    "image_version", "image_sha256", "image_standin", "pace_ms", "emulated", "advice"};

}  // namespace

std::string CsvHeader() {
  std::string row;
  for (const char* column : kCsvColumns) row += std::string(row.empty() ? "" : ",") + column;
  return row + "\r\n";
}

std::string CsvRow(const nlohmann::json& record) {
  std::string row;
  bool first = true;
  for (const std::string column : kCsvColumns) {
    nlohmann::json value = record.value(column, nlohmann::json());
    // Counts where the record holds a list.
    if (column == "resends" && value.is_array()) {
      int total = 0;
      for (const auto& count : value) total += count.is_number_integer() ? count.get<int>() : 0;
      value = total;
    } else if (column == "differences" && value.is_array()) {
      value = value.size();
    }
    row += (first ? "" : ",") + CsvField(value);
    first = false;
  }
  return row + "\r\n";
}

PageFeed::PageFeed(const station::Station& station, std::optional<std::string> recordFile,
                   int paceMs)
    : station_(station), recordFile_(std::move(recordFile)), paceMs_(paceMs) {
  for (const station::Slot& slot : station.slots) {
    Tile& tile = tiles_.emplace_back();
    tile.key = tile.slot.emplace(slot.label);
    tile.port = slot.port;
  }
}

void PageFeed::SetPublisher(Publish publish) {
  const std::lock_guard lock(mutex_);
  publish_ = std::move(publish);
}

void PageFeed::Seed(const std::vector<nlohmann::json>& records, const station::Counters& counters) {
  const std::lock_guard lock(mutex_);
  const std::size_t first = records.size() - std::min(records.size(), kPageRecords);
  for (std::size_t i = first; i < records.size(); ++i) records_.push_front(json::parse(records[i].dump()));
  counters_ = counters;
}

void PageFeed::Added(const Controller& controller) {
  const std::lock_guard lock(mutex_);
  const station::Slot* slot = station_.SlotAt(controller.port);
  const std::string key = slot != nullptr ? slot->label
                          : !controller.port.empty() ? controller.port
                                                     : Label(controller);
  auto it = std::find_if(tiles_.begin(), tiles_.end(), [&](const Tile& t) { return t.key == key; });
  if (it == tiles_.end()) {
    it = tiles_.insert(tiles_.end(), Tile{});
    it->key = key;
  }
  Tile& tile = *it;
  const std::optional<std::string> label = tile.slot;
  tile = Tile{};
  tile.key = key;
  tile.slot = label;
  tile.port = controller.port;
  tile.device = controller.path;
  tile.serial = controller.attributes.serialNumber;
  tile.state = State::kRunning;
  devices_[Label(controller)] = key;
  Tell("added", tile);
}

void PageFeed::Removed(const std::string& path) {
  const std::lock_guard lock(mutex_);
  for (Tile& tile : tiles_) {
    if (tile.device != path || tile.state != State::kDone) continue;
    Tile empty;
    empty.key = tile.key;
    empty.slot = tile.slot;
    empty.port = tile.slot ? tile.port : "";
    tile = empty;
    Tell("removed", tile);
  }
}

void PageFeed::Recorded(const Result& result, const nlohmann::ordered_json& record,
                        const station::Counters& counters) {
  const std::lock_guard lock(mutex_);
  if (Tile* tile = TileOf(result.device)) {
    tile->state = State::kDone;
    tile->phase = result.phase;
    tile->progress.elapsed = result.seconds;
    tile->progress.eta.reset();
    tile->resends = result.report.TotalResends();
    tile->verdict = std::string(ToString(result.verdict));
    if (const std::string advice = Advice(result); !advice.empty()) tile->advice = advice;
    Tell("result", *tile);
  }
  records_.push_front(record);
  if (records_.size() > kPageRecords) records_.pop_back();
  Tell({{"event", "record"}, {"record", record}});
  counters_ = counters;
  Tell({{"event", "counters"}, {"counters", CountersJson()}});
}

void PageFeed::Database(std::optional<std::size_t> waiting, const std::string& state) {
  const std::lock_guard lock(mutex_);
  database_ = json{{"waiting", Maybe(waiting)}, {"state", state}};
  Tell({{"event", "database"}, {"database", *database_}});
}

void PageFeed::Began(const std::string& device, Phase phase) {
  const std::lock_guard lock(mutex_);
  Tile* tile = TileOf(device);
  if (tile == nullptr) return;
  tile->phase = phase;
  tile->progress = Progress{};
  tile->progress.engine.phase = phase;
  Tell("phase", *tile);
}

void PageFeed::Progressed(const std::string& device, const Progress& progress) {
  const std::lock_guard lock(mutex_);
  Tile* tile = TileOf(device);
  if (tile == nullptr) return;
  tile->progress = progress;
  const Clock::time_point now = Clock::now();
  if (now - tile->told < kProgressEvery && progress.engine.position < progress.engine.total) return;
  tile->told = now;
  Tell("progress", *tile);
}

void PageFeed::Resent(const std::string& device, transfer::FlashAddress, int) {
  const std::lock_guard lock(mutex_);
  if (Tile* tile = TileOf(device)) {
    ++tile->resends;
    Tell("resend", *tile);
  }
}

void PageFeed::Status(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (Tile* tile = TileOf(device)) {
    tile->status.assign(text);
    Tell("status", *tile);
  }
}

void PageFeed::Box(const std::string& device, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (Tile* tile = TileOf(device)) {
    tile->box.emplace(text);
    Tell("box", *tile);
  }
}

PageFeed::Tile* PageFeed::TileOf(const std::string& device) {
  const auto key = devices_.find(device);
  if (key == devices_.end()) return nullptr;
  for (Tile& tile : tiles_) {
    if (tile.key == key->second) return &tile;
  }
  return nullptr;
}

namespace {

json TileJson(const auto& tile, const char* state) {
  const Progress& p = tile.progress;
  const bool moving = tile.phase && *tile.phase != Phase::kHandshake && p.engine.total > 0;
  return {{"key", tile.key},
          {"slot", Maybe(tile.slot)},
          {"port", Text(tile.port)},
          {"device", Text(tile.device)},
          {"serial", tile.serial},
          {"state", state},
          {"phase", tile.phase ? json(ToString(*tile.phase)) : json(nullptr)},
          {"percent", std::round(p.Percent() * 100) / 100},
          {"unit", moving ? json(*tile.phase == Phase::kDownload ? "sector" : "block") : json(nullptr)},
          {"address", moving ? json(p.engine.address) : json(nullptr)},
          {"resends", tile.resends},
          {"elapsed", std::round(p.elapsed * 10) / 10},
          {"eta", Rounded(p.eta)},
          {"verdict", Maybe(tile.verdict)},
          {"status", tile.status},
          {"box", Maybe(tile.box)},
          {"advice", Maybe(tile.advice)}};
}

constexpr const char* kStates[] = {"empty", "running", "done"};

}  // namespace

void PageFeed::Tell(const char* event, const Tile& tile) {
  Tell({{"event", event}, {"tile", TileJson(tile, kStates[static_cast<int>(tile.state)])}});
}

void PageFeed::Tell(json event) {
  event["seq"] = ++seq_;
  event["sent_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  if (publish_) publish_(JsonText(event));
}

json PageFeed::CountersJson() const {
  const station::Counters counters = counters_.value_or(station::Counters(started_));
  return {{"since_start", WindowJson(counters.SinceStart())},
          {"today", WindowJson(counters.Today())},
          {"target", Maybe(station_.target)},
          {"target_reached", station_.target && counters.Today().verified >= *station_.target}};
}

std::string PageFeed::Snapshot() {
  const std::lock_guard lock(mutex_);
  json tiles = json::array();
  for (const Tile& tile : tiles_) tiles.push_back(TileJson(tile, kStates[static_cast<int>(tile.state)]));
  json records = json::array();
  for (const json& record : records_) records.push_back(record);
  json snapshot = {
      {"event", "snapshot"},
      {"seq", seq_},
      {"station",
       {{"name", station_.name},
        {"target", Maybe(station_.target)},
        {"pace_ms", paceMs_},
        {"started", UtcTimestamp(started_)},
        {"records", recordFile_.has_value()}}},
      {"tiles", tiles},
      {"counters", CountersJson()},
      {"records", records}};
  if (database_) snapshot["database"] = *database_;
  return JsonText(snapshot);
}

std::optional<page::Download> PageFeed::Open(std::string_view target) {
  if (!recordFile_) return std::nullopt;
  const std::size_t mark = std::min(target.find('?'), target.size());
  const std::string_view path = target.substr(0, mark);
  const bool csv = path == "/records.csv";
  if (!csv && path != "/records.jsonl") return std::nullopt;
  std::map<std::string, std::string> query = Query(target.substr(std::min(mark + 1, target.size())));
  auto reader = std::make_shared<RecordReader>(*recordFile_, query["serial"]);

  page::Download download;
  download.contentType = csv ? "text/csv; charset=utf-8" : "application/jsonl; charset=utf-8";
  download.fileName = csv ? "records.csv" : "records.jsonl";
  const auto Line = [csv](const std::pair<std::string, nlohmann::json>& found) {
    return csv ? CsvRow(found.second) : found.first + '\n';
  };
  std::string first = csv ? CsvHeader() : "";
  if (const auto last = query.find("last"); last != query.end()) {
    // The last N that match: the whole file is read now, N lines kept.
    std::size_t count = kSearchRecordsMax;
    try {
      count = std::min<std::size_t>(std::stoul(last->second), kSearchRecordsMax);
    } catch (const std::exception&) {
    }
    std::deque<std::string> kept;
    while (auto found = reader->Good() ? reader->Next() : std::nullopt) {
      kept.push_back(Line(*found));
      if (kept.size() > count) kept.pop_front();
    }
    for (const std::string& line : kept) first += line;
    download.next = [first = std::move(first)](std::string& chunk) mutable {
      chunk += first;
      return false;
    };
    return download;
  }
  download.next = [reader, Line, first = std::move(first)](std::string& chunk) mutable {
    chunk += first;
    first.clear();
    while (chunk.size() < 64 * 1024) {
      const auto found = reader->Good() ? reader->Next() : std::nullopt;
      if (!found) return false;
      chunk += Line(*found);
    }
    return true;
  };
  return download;
}

}  // namespace lumbra::cli
