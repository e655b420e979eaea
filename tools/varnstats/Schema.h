#pragma once

#include "Database.h"

namespace varnstats {

inline constexpr int kSchemaVersion = 2;

// Creates the tables, or brings an older schema up to this version. Run inside the ingest lock.
void migrateSchema(Database& database);

// The schema version of the database: 0 when it has none yet.
int schemaVersionOf(Database& database);

}  // namespace varnstats
