#include "cli/records_commands.h"

#include <cstdio>

#include "database/connection.h"
#include "database/push.h"
#include "database/queries.h"
#include "database/schema.h"

namespace lumbra::cli {

namespace {

using database::Failure;
using json = nlohmann::ordered_json;

int ExitOf(const database::Problem& problem) {
  switch (problem.failure) {
    case Failure::kNone: return kExitVerified;
    case Failure::kUrl: return kExitUsage;
    case Failure::kUnreachable: return kExitDatabaseAway;
    case Failure::kDenied: return kExitDatabaseDenied;
    case Failure::kRefused: return kExitDataRefused;
  }
  return kExitSoftware;
}

int Told(Console& console, const database::Problem& problem) {
  console.Note(problem.text);
  return ExitOf(problem);
}

int Push(const Options& o, database::Connection& connection, Console& console) {
  const database::PushReport report = database::PushFile(connection, o.pushFile);
  for (const std::string& warning : report.warnings) console.Note(warning);
  if (!report.fileError.empty()) {
    console.Note(report.fileError);
    return kExitRecordFailed;
  }
  if (report.torn) {
    console.Note("\"" + o.pushFile + "\" ends in line " + std::to_string(report.next.line + 1) +
                 ", which is not whole (a write cut short?); it is sent when it is");
  }
  const std::string counts = std::to_string(report.added) + " of " + std::to_string(report.records) +
                             " records were new to the database " + connection.Name();
  if (report.problem) {
    console.Note(counts + " before it stopped; a push again sends the rest, none twice");
    return Told(console, report.problem);
  }
  console.Note(counts + (report.refused > 0 ? "; it refused " + std::to_string(report.refused) : ""));
  return report.refused > 0 ? kExitDataRefused : kExitVerified;
}

std::string Field(const nlohmann::json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || it->is_null()) return "-";
  return it->is_string() ? it->get<std::string>() : it->dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string Fixed(const std::optional<double>& value, const char* unit) {
  if (!value) return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%.1f%s", *value, unit);
  return text;
}

int Query(const Options& o, database::Connection& connection, Console& console, std::ostream& out) {
  std::size_t rows = 0;
  const database::Problem problem = database::QueryRecords(
      connection, {o.serialFilter, o.stationName, o.since}, [&](std::string_view text) {
        ++rows;
        const json record = json::parse(text, nullptr, false);
        if (o.json) {
          out << JsonLine(record.is_object() ? record : json{{"record", std::string(text)}});
          return;
        }
        const auto s = record.find("seconds");
        const std::string seconds =
            Fixed(s != record.end() && s->is_number() ? std::optional(s->get<double>()) : std::nullopt, " s");
        out << Printable(Field(record, "end") + "  " + Field(record, "station") + "  " + Field(record, "slot") +
                         "  " + Field(record, "serial") + "  " + Field(record, "verdict") + "  " + seconds +
                         "  image " + Field(record, "image_version") + "  " + Field(record, "record_id"))
            << '\n';
      });
  out << std::flush;
  if (problem) return Told(console, problem);
  if (rows == 0) console.Note("no record matches");
  return kExitVerified;
}

// The database has rounded them to a tenth.
json Maybe(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }

int Stats(const Options& o, database::Connection& connection, Console& console, std::ostream& out) {
  std::vector<database::DayYield> days;
  const database::Problem problem = database::Yields(connection, {std::nullopt, o.stationName, o.since}, days);
  if (problem) return Told(console, problem);
  for (const database::DayYield& day : days) {
    if (o.json) {
      out << JsonLine({{"station", day.station}, {"day", day.day}, {"verified", day.verified},
                       {"failed", day.failed}, {"interrupted", day.interrupted},
                       {"yield", Maybe(day.yieldPercent)}, {"mean_cycle", Maybe(day.meanCycle)}});
      continue;
    }
    out << day.day << "  " << Printable(day.station) << "  verified " << day.verified << "  failed "
        << day.failed << "  interrupted " << day.interrupted << "  yield " << Fixed(day.yieldPercent, "%")
        << "  mean cycle " << Fixed(day.meanCycle, " s") << '\n';
  }
  out << std::flush;
  if (days.empty()) console.Note("no record matches");
  return kExitVerified;
}

}  // namespace

int RecordsCommand(const Options& o, Console& console, std::ostream& out) {
  database::Connection connection(*o.db);
  if (connection.Failed()) return Told(console, connection.Failed());
  if (const database::Problem problem = database::Migrate(connection)) return Told(console, problem);
  switch (o.command) {
    case Command::kPush: return Push(o, connection, console);
    case Command::kQuery: return Query(o, connection, console, out);
    default: return Stats(o, connection, console, out);
  }
}

}  // namespace lumbra::cli
