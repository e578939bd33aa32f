// The SQLite store's tables against the one list of the stores' tables.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "local_backend_testing.h"
#include "schema_columns.h"
#include "tavoren/store_schema.h"

namespace tavoren::local_backend_testing {
namespace {

// How many temporary tables the program of `sql` opens on the file at
// `path` (EXPLAIN's OpenEphemeral steps). Opened for writing: a read-only
// connection leaves the checks out of a write's program.
int temporary_tables(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + path.string());
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, ("EXPLAIN " + sql).c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error(sql + ": " + message);
  }
  int opened = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* opcode = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    if (opcode != nullptr && std::string(opcode) == "OpenEphemeral") ++opened;
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return opened;
}

TEST(SqliteSchemaTest, EveryTableHoldsExactlyTheListedColumns) {
  testing::TempDir dir;
  const auto database = dir.path() / "store.db";
  { backend::LocalScaling store(LocalBackendOptions{.database = database}); }
  RawDatabase raw(database);
  const std::string joined = raw.text(
      "SELECT group_concat(name, ',') FROM (SELECT m.name || '.' || p.name AS name "
      "FROM sqlite_schema m JOIN pragma_table_info(m.name) p "
      "WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite%' ORDER BY 1)");
  EXPECT_EQ(testing::column_set(joined), testing::listed_columns());
}

TEST(SqliteSchemaTest, AMovingColumnIsNeitherDerivedNorListedTwice) {
  for (const backend::store_schema::Table& table : backend::store_schema::tables()) {
    std::set<std::string> seen;
    for (const std::string& column : table.columns) {
      EXPECT_TRUE(seen.insert(column).second) << table.name << "." << column;
    }
    for (const std::string& column : table.derived_columns) {
      EXPECT_TRUE(seen.insert(column).second) << table.name << "." << column;
    }
    for (const std::string& column : table.binary_columns) {
      EXPECT_TRUE(seen.contains(column)) << table.name << "." << column << " is not listed";
    }
    EXPECT_EQ(backend::store_schema::find_table(table.name), &table);
  }
  EXPECT_EQ(backend::store_schema::find_table("no_such_table"), nullptr);
}

// Every poll writes its machine's row: a check that needs a temporary table
// would make and drop one each time. A file whose machines still check
// their mode against a list is brought to the comparisons, rows and all.
TEST(SqliteSchemaTest, AMachinesRowIsWrittenWithoutATemporaryTableAfterTheMigrationToo) {
  testing::TempDir dir;
  const auto database = dir.path() / "store.db";
  { backend::LocalScaling store(LocalBackendOptions{.database = database}); }
  const std::string contact =
      "INSERT INTO machines (instance_id, max_actions, labels, created_at, contact_ms, mode) "
      "VALUES ('machine-1', 8, '{}', 'now', 0, 'active') ON CONFLICT (instance_id) DO UPDATE "
      "SET mode = excluded.mode";
  EXPECT_EQ(temporary_tables(database, contact), 0);
  {
    RawDatabase raw(database);
    raw.exec(
        "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = replace(sql, "
        "'mode = ''active'' OR mode = ''draining'' OR mode = ''preempting''', "
        "'mode IN (''active'', ''draining'', ''preempting'')') WHERE name = 'machines'; "
        "PRAGMA writable_schema = OFF; PRAGMA user_version = 17");
  }
  {
    RawDatabase raw(database);
    raw.exec(contact);
    raw.exec("UPDATE machines SET mode = 'draining', held_at_most = 3");
  }
  ASSERT_GT(temporary_tables(database, contact), 0) << "the file was not taken back";

  { backend::LocalScaling store(LocalBackendOptions{.database = database}); }
  EXPECT_EQ(temporary_tables(database, contact), 0);
  RawDatabase raw(database);
  EXPECT_EQ(raw.text("SELECT mode || ' ' || held_at_most FROM machines"), "draining 3");
  EXPECT_THROW(raw.exec("UPDATE machines SET mode = 'asleep'"), std::runtime_error);
  raw.exec("UPDATE machines SET mode = 'preempting'");
  EXPECT_EQ(raw.text("SELECT mode FROM machines"), "preempting");
}

}  // namespace
}  // namespace tavoren::local_backend_testing
