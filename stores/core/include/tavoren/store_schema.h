// The tables every store keeps, written once: what each holds, which
// columns move with the rows from one store to another, and which a store
// derives from the rest. Each database writes its own DDL and migrations
// (SQLite's and PostgreSQL's types and sequences differ); a test checks
// both against this list, and a store's export and import move exactly the
// columns named here.
//
// Threads: the list is immutable and may be read from any thread.
#pragma once

#include <string>
#include <vector>

namespace tavoren::backend::store_schema {

struct Table {
  std::string name;
  // The columns that move with the rows, in this order.
  std::vector<std::string> columns;
  // Those of `columns` holding raw bytes (log pieces).
  std::vector<std::string> binary_columns;
  // The columns a store derives from the rest when rows arrive (an
  // action's owner from its record, its log size from its pieces); they
  // do not move.
  std::vector<std::string> derived_columns;
  // The order rows are read in for moving them.
  std::string order_by;
  // Whether rows of the target with the same key are kept when rows move
  // in (settings and keys made for the target before the move); the action
  // tables must start empty.
  bool keep_existing = true;
};

// Every table, parents before the tables whose rows refer to them.
const std::vector<Table>& tables();
// The table named `name`, or nullptr.
const Table* find_table(const std::string& name);

}  // namespace tavoren::backend::store_schema
