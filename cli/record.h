// The JSON forms of lumbra-cli's output (docs/cli.md) and the record file
// that --report appends to.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/runner.h"

namespace lumbra::cli {

// "2026-12-07T22:30:01.123Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

nlohmann::ordered_json ControllerJson(const Controller& controller);
// The result event: the controller, verdict, seconds, resends per sector,
// skip window and differences.
nlohmann::ordered_json ResultJson(const Result& result);
// The result with what a record adds: times, versions, the image, the pace.
nlohmann::ordered_json RecordJson(const Result& result, int paceMs);

// Appends one record per line and never truncates. Thread-safe.
class RecordFile {
 public:
  explicit RecordFile(const std::string& path);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // False (and Error() says why) when the record could not be written whole.
  bool Append(const nlohmann::ordered_json& record);
  std::string Error() const;

 private:
  mutable std::mutex mutex_;
  std::string path_;
  std::FILE* file_ = nullptr;
  std::string error_;
};

}  // namespace lumbra::cli
