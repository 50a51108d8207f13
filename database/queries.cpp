#include "database/queries.h"

#include <cstdlib>

namespace lumbra::database {

namespace {

// " WHERE serial = $1 AND ..." for the filter's parts that are given; in
// `since`, ? stands for the time's parameter.
std::string Where(const RecordFilter& filter, std::vector<std::optional<std::string>>& params,
                  bool withSerial, const std::string& since) {
  std::string where;
  const auto add = [&](const std::optional<std::string>& value, std::string condition) {
    if (!value) return;
    params.push_back(value);
    // Appended piece by piece: GCC 12 at -O3 takes "$" + to_string(...) for an
    // overlapping copy (-Wrestrict), which the package build treats as an error.
    std::string number(1, '$');
    number += std::to_string(params.size());
    condition.replace(condition.find('?'), 1, number);
    where += where.empty() ? " WHERE " : " AND ";
    where += condition;
  };
  if (withSerial) add(filter.serial, "serial = ?");
  add(filter.station, "station = ?");
  add(filter.since, since);
  return where;
}

std::optional<double> Number(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::nullopt;
  return std::strtod(PQgetvalue(result, row, column), nullptr);
}

}  // namespace

Problem QueryRecords(Connection& connection, const RecordFilter& filter,
                     const std::function<void(std::string_view record)>& row) {
  std::vector<std::optional<std::string>> params;
  const std::string sql = "SELECT record::text FROM records" + Where(filter, params, true, "end_time >= ?::timestamptz") +
                          " ORDER BY end_time NULLS FIRST, record_id";
  std::vector<const char*> values;
  for (const auto& param : params) values.push_back(param->c_str());
  PGconn* conn = connection.Raw();
  if (PQsendQueryParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                        nullptr, 0) != 1) {
    return connection.ProblemOf(nullptr, "querying records");
  }
  // A row at a time: a station's year of records need not fit in memory.
  PQsetSingleRowMode(conn);
  Problem problem;
  while (Result result{PQgetResult(conn)}) {
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_SINGLE_TUPLE) {
      row(std::string_view(PQgetvalue(result.get(), 0, 0),
                           static_cast<std::size_t>(PQgetlength(result.get(), 0, 0))));
    } else if (status != PGRES_TUPLES_OK && !problem) {
      problem = connection.ProblemOf(result.get(), "querying records");
    }
  }
  return problem;
}

Problem Yields(Connection& connection, const RecordFilter& filter, std::vector<DayYield>& days) {
  std::vector<std::optional<std::string>> params;
  const std::string sql =
      "SELECT coalesce(station, ''), day::text, verified, failed, interrupted, yield_percent, "
      "mean_cycle_seconds FROM yield_per_station_day" +
      Where(filter, params, false, "day >= (?::timestamptz AT TIME ZONE 'UTC')::date") + " ORDER BY day, station";
  Problem problem;
  Result result = connection.Run(sql, params, problem);
  if (problem) return problem;
  for (int i = 0; i < PQntuples(result.get()); ++i) {
    DayYield& day = days.emplace_back();
    day.station = PQgetvalue(result.get(), i, 0);
    day.day = PQgetvalue(result.get(), i, 1);
    day.verified = std::atol(PQgetvalue(result.get(), i, 2));
    day.failed = std::atol(PQgetvalue(result.get(), i, 3));
    day.interrupted = std::atol(PQgetvalue(result.get(), i, 4));
    day.yieldPercent = Number(result.get(), i, 5);
    day.meanCycle = Number(result.get(), i, 6);
  }
  return problem;
}

}  // namespace lumbra::database
