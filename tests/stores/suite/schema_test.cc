// The SQLite store's tables against the one list of the stores' tables.

#include <gtest/gtest.h>

#include "local_backend_testing.h"
#include "schema_columns.h"
#include "tavoren/store_schema.h"

namespace tavoren::local_backend_testing {
namespace {

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

}  // namespace
}  // namespace tavoren::local_backend_testing
