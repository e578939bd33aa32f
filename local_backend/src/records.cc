// Action records: the rows that hold records, their history and the
// settings.

#include <string>

#include "local_scaling_impl.h"
#include "tavoren/common/json.h"

namespace tavoren::backend {

const std::vector<std::string>& LocalScaling::action_types() { return store_rules::action_types(); }

namespace detail {

std::optional<Json> load_record(sqlite::Connection& connection, const std::string& id) {
  sqlite::Statement select = connection.prepare("SELECT record FROM actions WHERE id = ?");
  select.bind(1, id);
  if (!select.step()) return std::nullopt;
  return parse_stored(select.text(0), "action record");
}

void store_record(sqlite::Connection& connection, const std::string& id, const Json& record) {
  connection.prepare("UPDATE actions SET record = ? WHERE id = ?")
      .bind(1, to_text(record))
      .bind(2, id)
      .run();
}

void record_event(sqlite::Connection& connection, const std::string& id, std::string_view operation,
                  const Json& arguments) {
  connection
      .prepare(
          "INSERT INTO status_history (action_id, operation, arguments, recorded_at) "
          "VALUES (?, ?, ?, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))")
      .bind(1, id)
      .bind(2, operation)
      .bind(3, to_text(arguments))
      .run();
}

std::optional<Json> read_setting(sqlite::Connection& connection, const char* name) {
  sqlite::Statement select = connection.prepare("SELECT value FROM settings WHERE name = ?");
  select.bind(1, std::string_view(name));
  if (!select.step()) return std::nullopt;
  return parse_stored(select.text(0), std::string("setting ") + name);
}

void write_setting(sqlite::Connection& connection, const char* name, const Json& value) {
  connection
      .prepare(
          "INSERT INTO settings (name, value) VALUES (?, ?) "
          "ON CONFLICT (name) DO UPDATE SET value = excluded.value")
      .bind(1, std::string_view(name))
      .bind(2, to_text(value))
      .run();
}

}  // namespace detail
}  // namespace tavoren::backend
