// The records' schema in the database, created and upgraded by the program:
// an ordered list of steps, each applied once, in a transaction of its own,
// and counted in lumbra_schema_version. No step drops or rewrites what an
// earlier one made, so that an older program still writes to a newer schema.
#pragma once

#include <string>
#include <vector>

#include "database/connection.h"

namespace lumbra::database {

// The SQL of each version, from 1.
const std::vector<std::string>& SchemaSteps();

// Brings the schema up to `upTo` (the program's own by default) under an
// advisory lock, so that several stations starting at once take turns. A
// schema newer than the program's is left as it is.
Problem Migrate(Connection& connection, int upTo = -1);

// The version the database is at; 0 before the first step.
int SchemaVersion(Connection& connection, Problem& problem);

}  // namespace lumbra::database
