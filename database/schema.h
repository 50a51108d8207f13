// The records' schema in the database, created and upgraded by the program:
// an ordered list of steps, each applied once, in a transaction of its own,
// and counted in lumbra_schema_version. No step drops or rewrites what an
// earlier one made, so that an older program still writes to a newer schema.
#pragma once

#include "database/connection.h"

namespace lumbra::database {

// Brings the schema up to `upTo` (the program's own by default) under an
// advisory lock, so that several stations starting at once take turns. A
// schema newer than the program's is left as it is.
Problem Migrate(Connection& connection, int upTo = -1);

}  // namespace lumbra::database
