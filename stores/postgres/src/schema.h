// The PostgreSQL store's schema version and its migrations.
#pragma once

#include <string>

#include "pg.h"

namespace tavoren::backend::pg_schema {

// The schema version this program writes.
int current_version();
// Brings the schema `schema` (empty: the connection's current schema) to
// the current version in one transaction under an advisory lock; answers
// the version found. DatabaseError for a newer version, or for tables of
// another program.
int migrate(pg::Connection& connection, const std::string& schema);
// DatabaseError unless the schema is at the current version.
void require_current(pg::Connection& connection);

}  // namespace tavoren::backend::pg_schema
