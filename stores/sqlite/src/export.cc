// The store's contents read for moving them to another database.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "schema.h"
#include "sqlite.h"
#include "tavoren/common/errors.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/store_rules.h"
#include "tavoren/store_schema.h"

namespace tavoren::backend {
namespace {

// The query that reads a table's moving columns in their order; expired
// kept answers are left out (its one parameter: the time now).
std::string select_of(const store_schema::Table& table) {
  std::string sql = "SELECT ";
  for (std::size_t column = 0; column < table.columns.size(); ++column) {
    sql += (column == 0 ? "" : ", ") + table.columns[column];
  }
  sql += " FROM " + table.name;
  if (table.name == "write_answers") sql += " WHERE expires_at > ?";
  return sql + " ORDER BY " + table.order_by;
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
  const std::int64_t now = store_rules::unix_now();
  for (const store_schema::Table& table : store_schema::tables()) {
    StoreRows batch{table.name, table.columns, {}};
    const std::string sql = select_of(table);
    sqlite::Statement select = connection.prepare(sql.c_str());
    if (table.name == "write_answers") select.bind(1, now);
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
