// The record file: one JSON record per line, appended and flushed to disk
// one at a time, read back for the counters, which so survive a restart.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumbra::station {

// The records' version (docs/cli.md says what raises it). Records without
// `schema` are version 1.
inline constexpr int kRecordSchema = 2;

// Appends lines and never truncates. Thread-safe.
class RecordFile {
 public:
  explicit RecordFile(const std::string& path);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Returns once the line is on the disk, not in a cache: a power cut must
  // not take back a controller that was counted. False (and Error() says
  // why) when it could not be written whole.
  bool Append(const std::string& line);
  std::string Error() const;

 private:
  mutable std::mutex mutex_;
  std::string path_;
  std::FILE* file_ = nullptr;
  std::string error_;
};

struct ReadBack {
  std::vector<nlohmann::json> records;
  std::vector<std::string> warnings;  // a line each that is not a record
};

// Every record in `path`; none when it cannot be read (yet).
ReadBack ReadRecords(const std::string& path);

// "2026-12-07T22:30:01.123Z"; nullopt when the text is not one.
std::optional<std::chrono::system_clock::time_point> ParseUtc(const std::string& text);

// The records of a stretch of time.
struct Window {
  int verified = 0;
  std::map<std::string, int> failed;  // every other verdict, interrupted too
  int judged = 0;                     // all but the interrupted
  double verifiedSeconds = 0;
  std::optional<std::chrono::system_clock::time_point> first, last;  // first start, last end

  void Add(const std::string& verdict, double seconds, std::chrono::system_clock::time_point start,
           std::chrono::system_clock::time_point end);
  std::optional<double> YieldPercent() const;  // (not Yield: a macro of windows.h)
  std::optional<double> UnitsPerHour() const;
  std::optional<double> MeanCycle() const;  // seconds
};

// Since the program started and for today (the UTC day of a record's end).
class Counters {
 public:
  explicit Counters(std::chrono::system_clock::time_point started);
  // A record read back, or one just written. Those without a verdict or an
  // end are not counted.
  void Add(const nlohmann::json& record);
  const Window& SinceStart() const { return sinceStart_; }
  const Window& Today() const { return today_; }

 private:
  std::chrono::system_clock::time_point started_;
  std::chrono::sys_days day_;
  Window sinceStart_, today_;
};

}  // namespace lumbra::station
