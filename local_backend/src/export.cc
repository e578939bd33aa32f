// The store's contents read for moving them to another database.

#include <cstddef>
#include <string>
#include <vector>

#include "local_scaling_impl.h"
#include "schema.h"

namespace tavoren::backend {
namespace {

struct ExportedTable {
  const char* table;
  std::vector<std::string> columns;
  // The query that reads them, in this order of columns.
  const char* select;
  // Whether its first parameter is the time now (unix seconds).
  bool binds_now = false;
};

// Parents come before the rows that refer to them.
const std::vector<ExportedTable>& exported_tables() {
  static const std::vector<ExportedTable> tables = {
      {"actions",
       {"seq", "id", "action_type", "gpu_required", "record", "state", "assigned_to",
        "submitted_at", "assigned_at", "scaled_down_at", "scale_down_seq", "ended_at",
        "exit_status", "rejected_reason", "log_limit_reached_at", "log_stream", "log_stream_end"},
       "SELECT seq, id, action_type, gpu_required, record, state, assigned_to, submitted_at, "
       "assigned_at, scaled_down_at, scale_down_seq, ended_at, exit_status, rejected_reason, "
       "log_limit_reached_at, log_stream, log_stream_end FROM actions ORDER BY seq"},
      {"status_history",
       {"seq", "action_id", "operation", "arguments", "recorded_at"},
       "SELECT seq, action_id, operation, arguments, recorded_at FROM status_history ORDER BY seq"},
      {"log_pieces",
       {"action_id", "start_offset", "content"},
       "SELECT action_id, start_offset, content FROM log_pieces ORDER BY action_id, start_offset"},
      {"settings", {"name", "value"}, "SELECT name, value FROM settings ORDER BY name"},
      {"key_pairs",
       {"user_id", "access_key", "secret_key", "encrypted"},
       "SELECT user_id, access_key, secret_key, encrypted FROM key_pairs ORDER BY user_id"},
      {"codebases",
       {"model_family", "url", "requirements_url"},
       "SELECT model_family, url, requirements_url FROM codebases ORDER BY model_family"},
      {"model_secrets",
       {"name", "user_access_token"},
       "SELECT name, user_access_token FROM model_secrets ORDER BY name"},
      {"internal_api_keys",
       {"action_id", "api_key"},
       "SELECT action_id, api_key FROM internal_api_keys ORDER BY action_id"},
      {"handed_ports",
       {"port", "handed_at"},
       "SELECT port, handed_at FROM handed_ports ORDER BY port"},
      {"machine_resources",
       {"instance_id", "report", "reported_at"},
       "SELECT instance_id, report, reported_at FROM machine_resources ORDER BY instance_id"},
      {"access_keys",
       {"access_key", "sealed_secret", "role", "instance_id", "created_at", "revoked_at"},
       "SELECT access_key, sealed_secret, role, instance_id, created_at, revoked_at "
       "FROM access_keys ORDER BY seq"},
      {"write_answers",
       {"caller", "idempotency_key", "request_hash", "answer", "expires_at"},
       "SELECT caller, idempotency_key, request_hash, answer, expires_at FROM write_answers "
       "WHERE expires_at > ? ORDER BY caller, idempotency_key",
       true},
      {"instance_ports",
       {"instance_id", "port", "handed_at"},
       "SELECT instance_id, port, handed_at FROM instance_ports ORDER BY instance_id, port"},
      {"instance_port_holders",
       {"instance_id", "port", "action_id"},
       "SELECT instance_id, port, action_id FROM instance_port_holders "
       "ORDER BY instance_id, port, action_id"},
  };
  return tables;
}

}  // namespace

void LocalScaling::export_rows(const std::filesystem::path& database,
                               const std::function<void(const StoreRows&)>& sink,
                               std::size_t batch_rows, std::chrono::milliseconds busy_timeout) {
  if (batch_rows == 0) throw ValueError("batch_rows must be positive");
  if (!std::filesystem::exists(database)) {
    throw DatabaseError("The backend database " + database.string() + " does not exist");
  }
  sqlite::Connection connection(database, busy_timeout);
  migrate(connection, database.string());
  sqlite::Transaction snapshot(connection, sqlite::Transaction::Kind::read);
  const std::int64_t now = detail::unix_now();
  for (const ExportedTable& table : exported_tables()) {
    StoreRows batch{table.table, table.columns, {}};
    sqlite::Statement select = connection.prepare(table.select);
    if (table.binds_now) select.bind(1, now);
    while (select.step()) {
      std::vector<std::optional<std::string>>& row = batch.rows.emplace_back();
      row.reserve(table.columns.size());
      for (int column = 0; column < static_cast<int>(table.columns.size()); ++column) {
        if (select.is_null(column)) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(select.text(column));
        }
      }
      if (batch.rows.size() >= batch_rows) {
        sink(batch);
        batch.rows.clear();
      }
    }
    if (!batch.rows.empty()) sink(batch);
  }
  snapshot.commit();
}

}  // namespace tavoren::backend
