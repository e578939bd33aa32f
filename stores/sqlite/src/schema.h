// The backend database's schema version and its migration.
#pragma once

#include <string>

#include "sqlite.h"

namespace tavoren::backend {

// The schema version this program writes.
int current_schema_version();

// Brings the database on `connection` to the current schema. Throws
// DatabaseError for a file of a newer version or of another program.
void migrate(sqlite::Connection& connection, const std::string& path);

}  // namespace tavoren::backend
