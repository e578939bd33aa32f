// The sandbox's database for the tests of the PostgreSQL store.

#include "pg_test_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>

namespace tavoren::testing {
namespace {

std::mutex schemas_mutex;
std::set<std::string>& made_schemas() {
  static std::set<std::string> schemas;
  return schemas;
}

struct PgConnection {
  PGconn* connection;
  PgConnection() : connection(PQconnectdb("connect_timeout=5")) {
    PQsetNoticeProcessor(
        connection, [](void*, const char*) {}, nullptr);
  }
  ~PgConnection() { PQfinish(connection); }
  bool ok() const { return PQstatus(connection) == CONNECTION_OK; }
  // The first column of the first row; throws on a failure.
  std::string value(const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection, sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      throw std::runtime_error(sql + ": " + PQerrorMessage(connection));
    }
    if (status != PGRES_TUPLES_OK || PQntuples(result.get()) == 0) return "";
    return PQgetvalue(result.get(), 0, 0);
  }
};

// Reads the sandbox's env file into the environment unless libpq's
// variables are set already.
void use_sandbox_environment() {
  if (std::getenv("PGHOST") != nullptr) return;
  const char* dir = std::getenv("TAVOREN_PG_SANDBOX_DIR");
  std::ifstream env(std::string(dir != nullptr ? dir : "/tmp/tavoren-pg-sandbox") + "/env");
  std::string line;
  while (std::getline(env, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      ::setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
  }
}

}  // namespace

void PgTestEnvironment::SetUp() {
  use_sandbox_environment();
  PgConnection probe;
  if (!probe.ok()) {
    GTEST_SKIP() << "No PostgreSQL to test on: start the sandbox with scripts/pg-sandbox.sh up "
                    "(needs Debian's postgresql-15), or run the tests through ctest";
  }
}

void PgTestEnvironment::TearDown() {
  std::lock_guard lock(schemas_mutex);
  if (made_schemas().empty()) return;
  PgConnection connection;
  if (!connection.ok()) return;
  for (const std::string& schema : made_schemas()) {
    connection.value("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
  }
  made_schemas().clear();
}

std::string pg_schema_for(const std::filesystem::path& database) {
  const std::size_t hash = std::hash<std::string>{}(std::filesystem::absolute(database).string());
  return "t" + std::to_string(hash) + "_" + std::to_string(::getpid());
}

backend::PgBackendOptions pg_options_for(const backend::LocalBackendOptions& options) {
  backend::PgBackendOptions pg;
  pg.conninfo = kPgTestConninfo;
  pg.schema = pg_schema_for(options.database);
  pg.instance_id = options.instance_id;
  pg.session = options.session;
  pg.assign_batch = options.assign_batch;
  pg.port_hold = options.port_hold;
  pg.port_probe = options.port_probe;
  pg.port_range = options.port_range;
  pg.log_limit_bytes = options.log_limit_bytes;
  pg.sweep_every = options.sweep_every;
  pg.fleet = options.fleet;
  pg.keyring = options.keyring;
  pg.max_connections = 16;
  {
    std::lock_guard lock(schemas_mutex);
    made_schemas().insert(pg.schema);
  }
  backend::PgScaling::migrate(pg);
  return pg;
}

std::unique_ptr<backend::Store> pg_store_for(const backend::LocalBackendOptions& options) {
  return std::make_unique<backend::PgScaling>(pg_options_for(options));
}

std::int64_t pg_count_rows(const std::filesystem::path& database, const std::string& table) {
  PgConnection connection;
  if (!connection.ok()) throw std::runtime_error("cannot reach the test database");
  return std::stoll(
      connection.value("SELECT count(*) FROM " + pg_schema_for(database) + "." + table));
}

std::string pg_query_text(const std::filesystem::path& database, const std::string& sql) {
  PgConnection connection;
  if (!connection.ok()) throw std::runtime_error("cannot reach the test database");
  connection.value("SET search_path TO " + pg_schema_for(database));
  return connection.value(sql);
}

std::string pg_schema_text(const std::filesystem::path& database) {
  PgConnection connection;
  if (!connection.ok()) throw std::runtime_error("cannot reach the test database");
  const std::string schema = pg_schema_for(database);
  const std::string tables = connection.value(
      "SELECT string_agg(quote_ident(table_name), ',') FROM information_schema.tables "
      "WHERE table_schema = '" +
      schema + "' AND table_type = 'BASE TABLE'");
  if (tables.empty()) throw std::runtime_error("no tables in schema " + schema);
  std::string text;
  std::size_t begin = 0;
  while (begin <= tables.size()) {
    const std::size_t comma = std::min(tables.find(',', begin), tables.size());
    const std::string table = schema + "." + tables.substr(begin, comma - begin);
    text +=
        table + ":\n" +
        connection.value("SELECT coalesce(string_agg(t::text, E'\\n'), '') FROM " + table + " t") +
        "\n";
    begin = comma + 1;
  }
  return text;
}

}  // namespace tavoren::testing
