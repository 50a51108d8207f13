// lumbra-cli records push, query and stats: a station's records in the
// line's PostgreSQL database (Linux builds; lumbra_database).
#pragma once

#include <ostream>

#include "cli/console.h"
#include "cli/options.h"

namespace lumbra::cli {

// Runs records push, query or stats; returns the exit code. Results go to
// `out`, news and problems to the console's stderr.
int RecordsCommand(const Options& o, Console& console, std::ostream& out);

}  // namespace lumbra::cli
