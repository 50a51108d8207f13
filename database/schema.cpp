#include "database/schema.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace lumbra::database {

namespace {

// pg_advisory_lock's key for the migrations ("lumbra" in ASCII).
constexpr const char* kMigrationLock = "SELECT pg_advisory_lock(119165742937697)";
constexpr const char* kMigrationUnlock = "SELECT pg_advisory_unlock(119165742937697)";

// Version 1: a row per record, its fields as columns, the whole record as
// jsonb. The columns are filled from the record in SQL (push.cpp); a field
// of the wrong type (a hostile or a broken file) leaves its column NULL
// rather than refuse the record, hence the guarded conversions.
constexpr const char* kVersion1 = R"sql(
CREATE FUNCTION lumbra_timestamp(t text) RETURNS timestamptz
LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF t IS NULL OR t !~ '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,6})?Z$' THEN RETURN NULL; END IF;
  RETURN t::timestamptz;
EXCEPTION WHEN others THEN RETURN NULL;
END $$;

CREATE FUNCTION lumbra_number(j jsonb) RETURNS double precision
LANGUAGE sql IMMUTABLE AS $$
  SELECT CASE WHEN jsonb_typeof(j) = 'number' AND abs(j::numeric) < 1e300 THEN j::numeric::double precision END
$$;

CREATE FUNCTION lumbra_integer(j jsonb) RETURNS integer
LANGUAGE sql IMMUTABLE AS $$
  SELECT CASE WHEN jsonb_typeof(j) = 'number' AND abs(j::numeric) <= 2147483647 THEN round(j::numeric)::integer END
$$;

CREATE FUNCTION lumbra_boolean(j jsonb) RETURNS boolean
LANGUAGE sql IMMUTABLE AS $$
  SELECT CASE WHEN jsonb_typeof(j) = 'boolean' THEN j::boolean END
$$;

CREATE TABLE records (
  record_id      text PRIMARY KEY,
  record_schema  integer,
  station        text,
  slot           text,
  port           text,
  device         text,
  serial         text,
  vendor_product text,
  verdict        text,
  outcome        text,
  phase          text,
  start_time     timestamptz,
  end_time       timestamptz,
  seconds        double precision,
  resends        jsonb,
  skip_window    jsonb,
  differences    jsonb,
  advice         text,
  lumbra_version text,
  image_version  text,
  image_sha256   text,
  image_standin  boolean,
  pace_ms        integer,
  emulated       boolean,
  record         jsonb NOT NULL,
  received       timestamptz NOT NULL DEFAULT now()
);
)sql";

// Version 2: what the quality people ask of the records.
constexpr const char* kVersion2 = R"sql(
CREATE INDEX records_serial ON records (serial, end_time);
CREATE INDEX records_station_start ON records (station, start_time);

CREATE VIEW last_record_per_serial AS
  SELECT DISTINCT ON (serial) *
  FROM records
  WHERE serial IS NOT NULL
  ORDER BY serial, end_time DESC NULLS LAST, record_id;

CREATE VIEW yield_per_station_day AS
  SELECT station,
         (end_time AT TIME ZONE 'UTC')::date AS day,
         count(*) FILTER (WHERE verdict = 'verified') AS verified,
         count(*) FILTER (WHERE verdict <> 'verified' AND verdict <> 'interrupted') AS failed,
         count(*) FILTER (WHERE verdict = 'interrupted') AS interrupted,
         round(100.0 * count(*) FILTER (WHERE verdict = 'verified')
               / nullif(count(*) FILTER (WHERE verdict <> 'interrupted'), 0), 1) AS yield_percent,
         round(avg(seconds) FILTER (WHERE verdict = 'verified')::numeric, 1) AS mean_cycle_seconds
  FROM records
  WHERE end_time IS NOT NULL AND verdict IS NOT NULL
  GROUP BY station, day;
)sql";

constexpr const char* kVersionTable = R"sql(
CREATE TABLE IF NOT EXISTS lumbra_schema_version (
  version integer PRIMARY KEY,
  applied timestamptz NOT NULL DEFAULT now()
))sql";

// The SQL of each version, from 1.
const std::vector<std::string>& SchemaSteps() {
  static const std::vector<std::string> steps = {kVersion1, kVersion2};
  return steps;
}

// The version the database is at; 0 before the first step. Migrate has made
// the table.
int SchemaVersion(Connection& connection, Problem& problem) {
  Result result = connection.Run("SELECT coalesce(max(version), 0) FROM lumbra_schema_version", problem);
  return problem ? 0 : std::atoi(PQgetvalue(result.get(), 0, 0));
}

}  // namespace

Problem Migrate(Connection& connection, int upTo) {
  const int target = upTo < 0 ? static_cast<int>(SchemaSteps().size()) : upTo;
  Problem problem;
  connection.Run(kMigrationLock, problem);
  if (problem) return problem;
  connection.Run(kVersionTable, problem);
  int version = problem ? 0 : SchemaVersion(connection, problem);
  for (; !problem && version < target; ++version) {
    const std::string step = "BEGIN;\n" + SchemaSteps()[static_cast<std::size_t>(version)] +
                             "\nINSERT INTO lumbra_schema_version (version) VALUES (" +
                             std::to_string(version + 1) + ");\nCOMMIT;";
    // Several statements in one string: the simple protocol, one transaction.
    Result result(PQexec(connection.Raw(), step.c_str()));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      problem = connection.ProblemOf(result.get(), "upgrading its schema to version " +
                                                       std::to_string(version + 1));
      Result rollback(PQexec(connection.Raw(), "ROLLBACK"));
    }
  }
  Problem unlock;
  connection.Run(kMigrationUnlock, unlock);
  return problem;
}

}  // namespace lumbra::database
