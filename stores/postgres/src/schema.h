// The PostgreSQL store's schema version and its migrations.
#pragma once

#include <string>

#include "pg.h"

// Sets each action's report_bytes (the bytes its instance's reports hold in
// the status history) from the history: by the migration that adds the
// column and after an import.
#define TAVOREN_PG_REPORT_BYTES_SQL                                                 \
  "UPDATE actions SET report_bytes = reports.bytes FROM (SELECT action_id, "        \
  "sum(octet_length(arguments)) AS bytes FROM status_history WHERE operation IN "   \
  "('update_action_status', 'update_status', 'update_action') GROUP BY action_id) " \
  "reports WHERE actions.id = reports.action_id;\n"

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
