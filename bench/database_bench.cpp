// The line's database on a PostgreSQL 15 server of its own (the tests'
// tests/database/pg_server.h): 100,000 records pushed into an empty
// database, a query by serial number among 1,000,000 rows, and the
// forwarder's memory while the database is away. A plain program:
//   ./build/bench/bench_database
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "database/forwarder.h"
#include "database/push.h"
#include "database/queries.h"
#include "database/schema.h"
#include "station/records.h"
#include "tests/database/pg_server.h"

namespace {

using namespace lumbra::database;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A record as lumbra-cli writes it: 64 resends, a skip window, no difference.
std::string Record(int i) {
  nlohmann::json r = {{"schema", 2}, {"record_id", "bench-" + std::to_string(i)}, {"device", "/dev/hidraw3"},
                      {"port", "1-1.2"}, {"serial", "QX-" + std::to_string(i)}, {"vendor_product", "4242:c003"},
                      {"verdict", "verified"}, {"outcome", "verified"}, {"phase", "verify"}, {"seconds", 310.5},
                      {"resends", std::vector<int>(64, 0)}, {"skip_window", {{"start", 61440}, {"end", 64511}}},
                      {"differences", nlohmann::json::array()}, {"start", "2026-12-08T10:00:00.000Z"},
                      {"end", "2026-12-08T10:05:10.500Z"}, {"lumbra_version", "1.0.0.1"}, {"image_version", "2.01"},
                      {"image_sha256", std::string(64, 'b')}, {"image_standin", false}, {"pace_ms", 25},
                      {"emulated", false}, {"station", "line " + std::to_string(i % 4)}, {"slot", "A"}};
  return r.dump() + "\n";
}

long RssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main() {
  if (!lumbra::testing::PgServer::Installed()) {
    std::puts("PostgreSQL 15 is not installed");
    return 77;
  }
  lumbra::testing::PgServer server;
  if (!server.Running()) return 1;
  const std::string url = server.Url("postgres");
  const std::string file = "/tmp/lumbra-bench-records.jsonl";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 100000; ++i) out << Record(i);
  }

  Connection connection(url);
  const Clock::time_point pushStart = Clock::now();
  if (Problem p = Migrate(connection)) return std::puts(p.text.c_str()), 1;
  const PushReport report = PushFile(connection, file);
  std::printf("push of 100,000 records into an empty database: %.2f s (%zu added)\n", Since(pushStart),
              report.added);
  const Clock::time_point again = Clock::now();
  PushFile(connection, file);
  std::printf("the same push again (all already there): %.2f s\n", Since(again));

  // Up to 1,000,000 rows: the rest made in SQL from the pushed ones.
  Problem problem;
  connection.Run("INSERT INTO records SELECT 'more-' || g || '-' || record_id, record_schema, station, slot, port, "
                 "device, 'QX-' || (100000 * g + substring(record_id from 7)::int), vendor_product, verdict, outcome, "
                 "phase, start_time + g * interval '1 day', end_time + g * interval '1 day', seconds, resends, "
                 "skip_window, differences, advice, lumbra_version, image_version, image_sha256, image_standin, "
                 "pace_ms, emulated, record FROM records, generate_series(1, 9) AS g", problem);
  connection.Run("ANALYZE records", problem);
  if (problem) return std::puts(problem.text.c_str()), 1;
  constexpr int kQueries = 500;
  const Clock::time_point queryStart = Clock::now();
  std::size_t found = 0;
  for (int q = 0; q < kQueries; ++q) {
    RecordFilter filter;
    filter.serial = "QX-" + std::to_string((q * 7919) % 1000000);
    QueryRecords(connection, filter, [&](std::string_view) { ++found; });
  }
  std::printf("query by serial number among 1,000,000 rows: %.3f ms each (%zu found of %d)\n",
              Since(queryStart) * 1000 / kQueries, found, kQueries);

  // The forwarder with the database away: "an hour" of a busy line (4
  // stations, far faster than a real cycle) is 20,000 records here.
  server.Stop();
  const std::string away = "/tmp/lumbra-bench-away.jsonl";
  std::remove(away.c_str());
  std::size_t waiting = 0;
  {
    Forwarder forwarder(url, away, [](const std::string&) {},
                        [&](std::optional<std::size_t> w, const std::string&) { waiting = w.value_or(waiting); });
    lumbra::station::RecordFile records(away);
    for (int i = 0; i < 20000; ++i) {
      records.Append(Record(i));
      forwarder.Appended();
      if (i % 5000 == 0) std::printf("forwarder, database away: %5d records appended, RSS %ld kB\n", i, RssKb());
    }
    std::printf("forwarder, database away: 20000 records appended, RSS %ld kB, %zu waiting told\n", RssKb(), waiting);
  }
  std::remove(away.c_str());
  std::remove(file.c_str());
  return 0;
}
