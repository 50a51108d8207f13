#include "station/records.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace lumbra::station {

namespace {

bool Synced(std::FILE* file) {
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

// Whether the file ends in the middle of a line: a write a power cut tore.
bool EndsTorn(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in || in.tellg() <= 0) return false;
  in.seekg(-1, std::ios::end);
  return in.get() != '\n';
}

}  // namespace

RecordFile::RecordFile(const std::string& path) : path_(path) {
  const bool torn = EndsTorn(path);
  // Opened once, for appending: every record goes after whatever is there.
  file_ = std::fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    error_ = "cannot open the report file \"" + path + "\": " + std::strerror(errno);
  } else if (torn) {
    Append("\n");  // the torn line stays a line of its own, the next record whole
  }
}

RecordFile::~RecordFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RecordFile::Append(const std::string& line) {
  const std::lock_guard lock(mutex_);
  if (file_ == nullptr) return false;
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0 ||
      !Synced(file_)) {
    error_ = "cannot write to the report file \"" + path_ + "\": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string RecordFile::Error() const {
  const std::lock_guard lock(mutex_);
  return error_;
}

ReadBack ReadRecords(const std::string& path) {
  ReadBack back;
  std::ifstream in(path, std::ios::binary);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty()) continue;  // where a torn line was closed
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_object()) {
      back.records.push_back(std::move(record));
    } else {
      back.warnings.push_back("\"" + path + "\" line " + std::to_string(number) +
                              " is not a whole record (a write cut short?); not counted");
    }
  }
  return back;
}

std::optional<std::chrono::system_clock::time_point> ParseUtc(const std::string& text) {
  using namespace std::chrono;
  int y = 0, ms = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char z = 0;
  if (std::sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms, &z) != 8 ||
      z != 'Z') {
    return std::nullopt;
  }
  const year_month_day date{year{y}, month{mo}, day{d}};
  if (!date.ok() || h > 23 || mi > 59 || s > 60) return std::nullopt;
  return sys_days{date} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

void Window::Add(const std::string& verdict, double seconds, std::chrono::system_clock::time_point start,
                 std::chrono::system_clock::time_point end) {
  if (verdict == "verified") {
    ++verified;
    verifiedSeconds += seconds;
  } else {
    ++failed[verdict];
  }
  if (verdict != "interrupted") ++judged;
  if (!first || start < *first) first = start;
  if (!last || end > *last) last = end;
}

std::optional<double> Window::YieldPercent() const {
  if (judged == 0) return std::nullopt;
  return 100.0 * verified / judged;
}

std::optional<double> Window::UnitsPerHour() const {
  if (!first || *last <= *first) return std::nullopt;
  return verified / std::chrono::duration<double, std::ratio<3600>>(*last - *first).count();
}

std::optional<double> Window::MeanCycle() const {
  if (verified == 0) return std::nullopt;
  return verifiedSeconds / verified;
}

// A record's times are to the millisecond: one that ended in the millisecond
// the program started must count since the start.
Counters::Counters(std::chrono::system_clock::time_point started)
    : started_(std::chrono::floor<std::chrono::milliseconds>(started)),
      day_(std::chrono::floor<std::chrono::days>(started)) {}

void Counters::Add(const nlohmann::json& record) {
  const auto text = [&](const char* key) {
    return record.contains(key) && record[key].is_string() ? record[key].get<std::string>() : "";
  };
  const std::optional<std::chrono::system_clock::time_point> end = ParseUtc(text("end"));
  if (text("verdict").empty() || !end) return;
  const auto start = ParseUtc(text("start")).value_or(*end);
  const double seconds = record.contains("seconds") && record["seconds"].is_number()
                             ? record["seconds"].get<double>() : 0.0;
  if (*end >= started_) sinceStart_.Add(text("verdict"), seconds, start, *end);
  // A station that runs past midnight starts a new day with its first record.
  const auto day = std::chrono::floor<std::chrono::days>(*end);
  if (day > day_) {
    day_ = day;
    today_ = {};
  }
  if (day == day_) today_.Add(text("verdict"), seconds, start, *end);
}

}  // namespace lumbra::station
