// Sends a record file's records to the database, each exactly once: the
// database's unique record_id drops what it has already, so a push that is
// repeated, interrupted or run from several machines at once adds every
// record once. Lines go in batches, each a transaction of its own (COPY into
// a temporary table, then one INSERT ... ON CONFLICT DO NOTHING).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "database/connection.h"

namespace lumbra::database {

// Records per transaction.
inline constexpr std::size_t kPushBatch = 5000;
// A longer line is no record of ours (one is about 2 KB).
inline constexpr std::size_t kLongestLine = 1 << 20;

// Where a push starts, and the next one.
struct FilePosition {
  std::uint64_t offset = 0;  // bytes: a line's start
  std::size_t line = 0;      // lines before it
};

struct PushReport {
  std::size_t records = 0;  // whole records read and offered
  std::size_t added = 0;    // rows the database did not have yet
  std::size_t refused = 0;  // records the database would not take (a warning each)
  std::vector<std::string> warnings;  // lines that are no record, and refused records
  FilePosition next;        // after the last line the database has or never will
  bool torn = false;        // the file ends in a line not yet whole (`next` is its start)
  std::string fileError;    // the file cannot be read
  Problem problem;          // why the push stopped before the file's end
};

// Sends the records of `path` from `from` on. Committed batches stay sent
// when a later one fails.
PushReport PushFile(Connection& connection, const std::string& path, FilePosition from = {},
                    std::size_t batch = kPushBatch);

}  // namespace lumbra::database
