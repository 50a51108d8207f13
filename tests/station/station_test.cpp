// The record file read back and counted: torn lines, days, the yield.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "station/records.h"

namespace lumbra::station {
namespace {

std::string Record(const char* verdict, const char* start, const char* end, double seconds) {
  return nlohmann::json{{"verdict", verdict}, {"start", start}, {"end", end}, {"seconds", seconds}}.dump() + "\n";
}

// The program started at 09:00 on 2026-12-08; a power cut tore the last line.
TEST(StationTest, CountersFromTheRecordFileSkipTheTornLine) {
  const std::string yesterday = Record("verified", "2026-12-07T23:50:00.000Z", "2026-12-07T23:55:00.000Z", 300);
  const std::string early = Record("verified", "2026-12-08T08:00:00.000Z", "2026-12-08T08:05:00.000Z", 300);
  const std::string failed = Record("verify failed", "2026-12-08T09:05:00.000Z", "2026-12-08T09:10:00.000Z", 280);
  const std::string cut = Record("interrupted", "2026-12-08T09:10:00.000Z", "2026-12-08T09:12:00.000Z", 120);
  const std::string late = Record("verified", "2026-12-08T09:00:00.000Z", "2026-12-08T09:20:00.000Z", 330);
  const struct {
    std::string file;
    int today, sinceStart, warnings;
    double yield, unitsPerHour, meanCycle;  // today's; 0: none
  } rows[] = {
      {"", 0, 0, 0, 0, 0, 0},
      {yesterday + early, 1, 0, 0, 100, 12, 300},
      {yesterday + early + failed + cut + late + R"({"verdict":"verif)", 2, 1, 1, 100.0 * 2 / 3, 2 / (80 / 60.0), 315},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const std::string path = ::testing::TempDir() + "station_test_records.jsonl";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << row.file;
    ReadBack back = ReadRecords(path);
    Counters counters(*ParseUtc("2026-12-08T09:00:00.000Z"));
    for (const nlohmann::json& record : back.records) counters.Add(record);
    EXPECT_EQ(back.warnings.size(), static_cast<std::size_t>(row.warnings));
    EXPECT_EQ(counters.Today().verified, row.today);
    EXPECT_EQ(counters.SinceStart().verified, row.sinceStart);
    EXPECT_NEAR(counters.Today().YieldPercent().value_or(0), row.yield, 1e-9);
    EXPECT_NEAR(counters.Today().UnitsPerHour().value_or(0), row.unitsPerHour, 1e-9);
    EXPECT_NEAR(counters.Today().MeanCycle().value_or(0), row.meanCycle, 1e-9);
    // The next record is whole after a torn line, which stays skipped.
    { RecordFile(path).Append(early); }
    back = ReadRecords(path);
    EXPECT_EQ(back.records.size(), static_cast<std::size_t>(std::count(row.file.begin(), row.file.end(), '\n')) + 1);
    EXPECT_EQ(back.warnings.size(), static_cast<std::size_t>(row.warnings));
    std::remove(path.c_str());
  }
  // A controller refused in the millisecond the program started counts since the start.
  Counters counters(*ParseUtc("2026-12-08T09:00:00.000Z") + std::chrono::microseconds(700));
  counters.Add(nlohmann::json::parse(Record("refused", "2026-12-08T09:00:00.000Z", "2026-12-08T09:00:00.000Z", 0)));
  EXPECT_EQ(counters.SinceStart().failed, (std::map<std::string, int>{{"refused", 1}}));
}

}  // namespace
}  // namespace lumbra::station
