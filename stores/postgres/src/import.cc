// Filling an empty PostgreSQL store with the contents of another store.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pg.h"
#include "schema.h"
#include "tavoren/common/errors.h"
#include "tavoren/postgres_store.h"
#include "tavoren/store_rules.h"
#include "tavoren/store_schema.h"

namespace tavoren::backend {
namespace {

namespace rules = store_rules;
using pg::Params;
using pg::Rows;

// Inserts one batch; answers the rows inserted.
std::int64_t insert_rows(pg::Connection& connection, const StoreRows& batch) {
  const store_schema::Table* found = store_schema::find_table(batch.table);
  if (found == nullptr) {
    throw ValueError("Cannot import rows of an unknown table \"" + batch.table + "\"");
  }
  const store_schema::Table& table = *found;
  const auto has = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (const std::string& column : batch.columns) {
    if (!has(table.columns, column)) {
      throw ValueError("Cannot import the unknown column \"" + column + "\" of " + batch.table);
    }
  }
  if (batch.rows.empty()) return 0;
  const bool actions = batch.table == "actions";
  const auto record_column = std::find(batch.columns.begin(), batch.columns.end(), "record");
  const std::size_t record_index = static_cast<std::size_t>(record_column - batch.columns.begin());
  if (actions && record_column == batch.columns.end()) {
    throw ValueError("Imported actions need their records");
  }

  std::string sql = "INSERT INTO " + batch.table + " (";
  for (std::size_t column = 0; column < batch.columns.size(); ++column) {
    sql += (column == 0 ? "" : ", ") + batch.columns[column];
  }
  // The PostgreSQL store keeps an action's owner beside its record.
  if (actions) sql += ", owner";
  sql += ") VALUES ";
  Params params;
  int next = 1;
  for (std::size_t row = 0; row < batch.rows.size(); ++row) {
    const std::vector<std::optional<std::string>>& values = batch.rows[row];
    if (values.size() != batch.columns.size()) {
      throw ValueError("A row of " + batch.table + " does not have one value per column");
    }
    sql += row == 0 ? "(" : ", (";
    for (std::size_t column = 0; column < values.size(); ++column) {
      sql += (column == 0 ? "$" : ", $") + std::to_string(next++);
      if (!values[column]) {
        params.null();
      } else if (has(table.binary_columns, batch.columns[column])) {
        params.bytes(*values[column]);
      } else {
        params.text(*values[column]);
      }
    }
    if (actions) {
      sql += ", $" + std::to_string(next++);
      const std::optional<std::string>& text = values[record_index];
      const Json record = text ? rules::parse_stored(*text, "action record") : Json();
      std::optional<std::string> owner;
      if (record.is_object()) owner = rules::text_argument(record, "_idUser");
      if (owner) {
        params.text(*owner);
      } else {
        params.null();
      }
    }
    sql += ")";
  }
  if (table.keep_existing) sql += " ON CONFLICT DO NOTHING";
  return connection.exec(sql.c_str(), params).affected();
}

}  // namespace

std::vector<std::pair<std::string, std::int64_t>> PgScaling::import_rows(
    const PgBackendOptions& options,
    const std::function<void(const std::function<void(const StoreRows&)>&)>& source) {
  if (options.statement_timeout.count() <= 0 || options.connect_timeout.count() <= 0) {
    throw ValueError("The PostgreSQL time limits must be positive");
  }
  pg::Connection connection(pg::ConnectionSettings{
      options.conninfo, options.schema, options.connect_timeout, options.statement_timeout});
  pg_schema::require_current(connection);
  std::vector<std::pair<std::string, std::int64_t>> counts;
  connection.exec("BEGIN");
  try {
    // No server adds an action while the import runs (the lock wait is
    // bounded by the statement limit).
    connection.exec("LOCK TABLE actions IN SHARE ROW EXCLUSIVE MODE");
    if (!connection.exec("SELECT 1 FROM actions LIMIT 1").empty()) {
      throw ValueError(
          "The target store already holds actions: import only into a store without actions");
    }
    source([&](const StoreRows& batch) {
      const std::int64_t inserted = insert_rows(connection, batch);
      auto counted = std::find_if(counts.begin(), counts.end(),
                                  [&](const auto& count) { return count.first == batch.table; });
      if (counted == counts.end()) {
        counts.emplace_back(batch.table, inserted);
      } else {
        counted->second += inserted;
      }
    });
    // What the PostgreSQL store keeps beside the rows: each action's log
    // size and report bytes, and sequences past the numbers taken.
    connection.exec(
        "UPDATE actions SET log_bytes = pieces.size FROM (SELECT action_id, attempt, "
        "max(start_offset + length(content)) AS size FROM log_pieces GROUP BY action_id, "
        "attempt) pieces WHERE actions.id = pieces.action_id AND "
        "pieces.attempt = greatest(actions.attempt, 1)");
    connection.exec(TAVOREN_PG_REPORT_BYTES_SQL);
    connection.exec(
        "SELECT setval(pg_get_serial_sequence('actions', 'seq'), max(seq)) FROM actions "
        "HAVING max(seq) IS NOT NULL");
    connection.exec(
        "SELECT setval(pg_get_serial_sequence('status_history', 'seq'), max(seq)) "
        "FROM status_history HAVING max(seq) IS NOT NULL");
    connection.exec(
        "SELECT setval('scale_down_order', greatest(max(scale_down_seq), "
        "(SELECT last_value FROM scale_down_order))) FROM actions "
        "HAVING max(scale_down_seq) IS NOT NULL");
    connection.exec("COMMIT");
  } catch (...) {
    if (!connection.broken()) {
      try {
        connection.exec("ROLLBACK");
      } catch (const DatabaseError&) {
        // The connection closes with this call.
      }
    }
    throw;
  }
  return counts;
}

}  // namespace tavoren::backend
