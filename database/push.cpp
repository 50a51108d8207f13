#include "database/push.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

namespace lumbra::database {

namespace {

// The columns, filled from the record in SQL so that every client fills them
// alike; `line` is the record's text, `r` the same as jsonb. A record of
// schema 1 has no record_id: the digest of its line stands in, the same at
// every push. (OFFSET 0 keeps the subquery whole: flattened, each r->...
// would parse the line again, five times slower.)
constexpr const char* kInsertColumns = R"sql(
INSERT INTO records (record_id, record_schema, station, slot, port, device, serial, vendor_product,
                     verdict, outcome, phase, start_time, end_time, seconds, resends, skip_window,
                     differences, advice, lumbra_version, image_version, image_sha256,
                     image_standin, pace_ms, emulated, record)
SELECT CASE WHEN jsonb_typeof(r->'record_id') = 'string' THEN r->>'record_id' ELSE 'md5:' || md5(line) END,
       coalesce(lumbra_integer(r->'schema'), 1),
       r->>'station', r->>'slot', r->>'port', r->>'device', r->>'serial', r->>'vendor_product',
       r->>'verdict', r->>'outcome', r->>'phase',
       lumbra_timestamp(r->>'start'), lumbra_timestamp(r->>'end'), lumbra_number(r->'seconds'),
       CASE WHEN jsonb_typeof(r->'resends') = 'array' THEN r->'resends' END,
       CASE WHEN jsonb_typeof(r->'skip_window') = 'object' THEN r->'skip_window' END,
       CASE WHEN jsonb_typeof(r->'differences') = 'array' THEN r->'differences' END,
       r->>'advice', r->>'lumbra_version', r->>'image_version', r->>'image_sha256',
       lumbra_boolean(r->'image_standin'), lumbra_integer(r->'pace_ms'), lumbra_boolean(r->'emulated'), r
)sql";

const std::string kInsertBatch = std::string(kInsertColumns) +
                                 "FROM (SELECT line, line::jsonb AS r FROM lumbra_incoming OFFSET 0) AS incoming\n"
                                 "WHERE jsonb_typeof(r) = 'object' ON CONFLICT (record_id) DO NOTHING";
const std::string kInsertOne = std::string(kInsertColumns) +
                               "FROM (SELECT $1::text AS line, $1::jsonb AS r) AS incoming\n"
                               "WHERE jsonb_typeof(r) = 'object' ON CONFLICT (record_id) DO NOTHING";

// A line is offered when it is a JSON object, whole.
bool IsRecord(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  return first != std::string::npos && line[first] == '{' && nlohmann::json::accept(line);
}

// COPY's text form: a backslash, tab, line end or carriage return escaped.
void AppendCopyLine(std::string& out, const std::string& line) {
  for (char c : line) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  out += '\n';
}

std::size_t Affected(const PGresult* result) {
  const char* count = PQcmdTuples(const_cast<PGresult*>(result));
  return count != nullptr && *count != '\0' ? std::strtoull(count, nullptr, 10) : 0;
}

struct Pending {
  std::string line;
  std::size_t number;  // from 1
};

class Pusher {
 public:
  Pusher(Connection& connection, const std::string& path, PushReport& report)
      : connection_(connection), path_(path), report_(report) {}

  // False when the database failed: report_.problem says why.
  bool Send(const std::vector<Pending>& lines) {
    if (lines.empty()) return true;
    Problem problem;
    if (SendBatch(lines, problem)) return true;
    Result rollback(PQexec(connection_.Raw(), "ROLLBACK"));
    if (problem.failure == Failure::kUnreachable || problem.failure == Failure::kDenied ||
        !connection_.Ok()) {
      report_.problem = problem;
      return false;
    }
    // One record the database refuses (a \u0000 it cannot store in text or
    // jsonb) must not hold back the others: one at a time, each told.
    for (const Pending& pending : lines) {
      Problem one;
      Result result = connection_.Run(kInsertOne, {pending.line}, one);
      if (one.failure == Failure::kUnreachable || one.failure == Failure::kDenied) {
        report_.problem = one;
        return false;
      }
      if (one) {
        ++report_.refused;
        report_.warnings.push_back("\"" + path_ + "\" line " + std::to_string(pending.number) +
                                   ": " + one.text + "; not sent");
      } else {
        report_.added += Affected(result.get());
      }
    }
    return true;
  }

 private:
  bool SendBatch(const std::vector<Pending>& lines, Problem& problem) {
    connection_.Run("BEGIN", problem);
    if (!problem) {
      connection_.Run("CREATE TEMPORARY TABLE IF NOT EXISTS lumbra_incoming (line text) ON COMMIT DELETE ROWS",
                      problem);
    }
    if (!problem) connection_.Run("COPY lumbra_incoming (line) FROM STDIN", problem);
    if (problem) return false;
    std::string data;
    for (const Pending& pending : lines) AppendCopyLine(data, pending.line);
    if (PQputCopyData(connection_.Raw(), data.data(), static_cast<int>(data.size())) != 1 ||
        PQputCopyEnd(connection_.Raw(), nullptr) != 1) {
      problem = connection_.ProblemOf(nullptr, "receiving records");
      return false;
    }
    Result copied(PQgetResult(connection_.Raw()));
    while (Result more{PQgetResult(connection_.Raw())}) {
    }
    if (PQresultStatus(copied.get()) != PGRES_COMMAND_OK) {
      problem = connection_.ProblemOf(copied.get(), "receiving records");
      return false;
    }
    Result inserted = connection_.Run(kInsertBatch, problem);
    if (!problem) connection_.Run("COMMIT", problem);
    if (problem) return false;
    report_.added += Affected(inserted.get());
    return true;
  }

  Connection& connection_;
  const std::string& path_;
  PushReport& report_;
};

}  // namespace

PushReport PushFile(Connection& connection, const std::string& path, FilePosition from,
                    std::size_t batch) {
  PushReport report;
  report.next = from;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    report.fileError = "cannot read the record file \"" + path + "\": " + std::strerror(errno);
    return report;
  }
  in.seekg(static_cast<std::streamoff>(from.offset));
  Pusher pusher(connection, path, report);
  std::vector<Pending> lines;
  FilePosition done = from;  // after the last line end read
  std::uint64_t offset = from.offset;
  std::string line;
  bool overlong = false;
  char chunk[64 * 1024];
  const auto lineEnded = [&] {
    done = {offset, done.line + 1};
    if (overlong || (!line.empty() && !IsRecord(line))) {
      report.warnings.push_back("\"" + path + "\" line " + std::to_string(done.line) +
                                " is not a whole record (a write cut short?); not sent");
    } else if (!line.empty()) {
      ++report.records;
      lines.push_back({std::move(line), done.line});
    }
    line.clear();
    overlong = false;
  };
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < got;) {
      const char* end = static_cast<const char*>(std::memchr(chunk + i, '\n', got - i));
      const std::size_t stop = end != nullptr ? static_cast<std::size_t>(end - chunk) : got;
      if (!overlong && line.size() + (stop - i) <= kLongestLine) {
        line.append(chunk + i, stop - i);
      } else {
        overlong = true;
        line.clear();
      }
      offset += stop - i;
      i = stop;
      if (end == nullptr) break;
      ++offset;
      ++i;
      lineEnded();
      if (lines.size() >= batch) {
        if (!pusher.Send(lines)) return report;
        lines.clear();
        report.next = done;
      }
    }
  }
  if (!pusher.Send(lines)) return report;
  report.next = done;
  // What follows the last line end is a line still being written, or torn by a power cut.
  report.torn = offset > done.offset;
  return report;
}

}  // namespace lumbra::database
