// What the command line asks of the line's database: records by serial
// number, station and time, and the yield per station and UTC day.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/connection.h"

namespace lumbra::database {

struct RecordFilter {
  std::optional<std::string> serial;   // exactly this serial number
  std::optional<std::string> station;  // exactly this station's name
  std::optional<std::string> since;    // ended at or after this time (PostgreSQL reads it, in UTC)
};

// Calls `row` with each matching record as the database holds it (jsonb's
// text, UTF-8), oldest end first, as the rows arrive.
Problem QueryRecords(Connection& connection, const RecordFilter& filter,
                     const std::function<void(std::string_view record)>& row);

struct DayYield {
  std::string station;  // empty for records without one
  std::string day;      // UTC, "2026-12-08"
  long verified = 0;
  long failed = 0;        // all but verified and interrupted
  long interrupted = 0;
  std::optional<double> yieldPercent;  // verified of all but the interrupted
  std::optional<double> meanCycle;     // seconds, over the verified
};

// Per station and UTC day (the view yield_per_station_day); the filter's
// serial number is not used.
Problem Yields(Connection& connection, const RecordFilter& filter, std::vector<DayYield>& days);

}  // namespace lumbra::database
