// The columns the one list of the stores' tables names, for checking each
// database's own DDL against it.
#pragma once

#include <set>
#include <sstream>
#include <string>

#include "tavoren/store_schema.h"

namespace tavoren::testing {

// "table.column" for every column the list names, moving or derived.
inline std::set<std::string> listed_columns() {
  std::set<std::string> columns;
  for (const backend::store_schema::Table& table : backend::store_schema::tables()) {
    for (const std::string& column : table.columns) columns.insert(table.name + "." + column);
    for (const std::string& column : table.derived_columns) {
      columns.insert(table.name + "." + column);
    }
  }
  return columns;
}

// The comma-separated "table.column" names a database answered, as a set.
inline std::set<std::string> column_set(const std::string& joined) {
  std::set<std::string> columns;
  std::stringstream stream(joined);
  std::string column;
  while (std::getline(stream, column, ',')) {
    if (!column.empty()) columns.insert(column);
  }
  return columns;
}

}  // namespace tavoren::testing
