// The PostgreSQL store of the tests: each database path of a test names a
// schema of its own in the sandbox's database (scripts/pg-sandbox.sh), so
// that every test starts on an empty store and the objects of one test that
// share a path share a store. The schemas made by a test program are dropped
// when it ends (PgTestEnvironment).
// The programs that test on PostgreSQL alone link pg_test_environment.cc,
// which registers that environment; the store suite registers it for its
// PostgreSQL run only.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "tavoren/postgres_store.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::testing {

// libpq's environment reaches the sandbox ("postgresql://" alone).
inline constexpr const char* kPgTestConninfo = "postgresql://";

// Reads the sandbox's settings (unless libpq's are set already) and skips
// every test when no PostgreSQL answers; at the end drops the schemas the
// program made.
class PgTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

// The schema of a database path: "t" + the path's hash + this process.
std::string pg_schema_for(const std::filesystem::path& database);

// The store options of the embedded store's options, on the path's schema,
// migrated to the current version.
backend::PgBackendOptions pg_options_for(const backend::LocalBackendOptions& options);

// A PostgreSQL store on the options' path's schema.
std::unique_ptr<backend::Store> pg_store_for(const backend::LocalBackendOptions& options);

// The rows of `table` in the path's schema, read behind the store's back.
std::int64_t pg_count_rows(const std::filesystem::path& database, const std::string& table);

// The first column of the first row of `sql`, run in the path's schema
// behind the store's back ("" when no row).
std::string pg_query_text(const std::filesystem::path& database, const std::string& sql);

// Every row of every table in the path's schema, as PostgreSQL writes it out
// as text: what the store keeps at rest.
std::string pg_schema_text(const std::filesystem::path& database);

}  // namespace tavoren::testing
