#include "store_under_test.h"

#include <cstdlib>
#include <stdexcept>

#ifdef TAVOREN_SUITE_ON_POSTGRES
#include "pg_test_store.h"
#endif

namespace tavoren::local_backend_testing {
namespace {

StoreMode read_store_mode() {
  const char* name = std::getenv("TAVOREN_STORE_UNDER_TEST");
  const std::string mode = name != nullptr ? name : "";
  if (mode.empty() || mode == "embedded") return StoreMode::kEmbedded;
  if (mode == "served") return StoreMode::kServed;
  if (mode == "postgres") return StoreMode::kPostgres;
  throw std::invalid_argument("TAVOREN_STORE_UNDER_TEST: unknown store \"" + mode +
                              "\" (embedded, served or postgres)");
}

// One set of certificates for the whole test program.
const testing::TestTls& shared_tls() {
  static const testing::TestTls tls;
  return tls;
}

backend::LocalBackendOptions without_instance(backend::LocalBackendOptions options) {
  options.instance_id.clear();
  options.keyring = testing::test_keyring();
  return options;
}

std::unique_ptr<backend::Store> server_store(const backend::LocalBackendOptions& options) {
  if (store_mode() == StoreMode::kPostgres) {
#ifdef TAVOREN_SUITE_ON_POSTGRES
    return testing::pg_store_for(without_instance(options));
#else
    throw std::invalid_argument("this build of the store suite has no PostgreSQL store");
#endif
  }
  return std::make_unique<backend::LocalScaling>(without_instance(options));
}

#ifdef TAVOREN_SUITE_ON_POSTGRES
// The PostgreSQL run skips without a server to test on, and drops its
// schemas at the end.
[[maybe_unused]] ::testing::Environment* const pg_environment =
    store_mode() == StoreMode::kPostgres
        ? ::testing::AddGlobalTestEnvironment(new testing::PgTestEnvironment)
        : nullptr;
#endif

}  // namespace

StoreMode store_mode() {
  static const StoreMode mode = read_store_mode();
  return mode;
}

#ifdef TAVOREN_SUITE_ON_POSTGRES
std::int64_t count_pg_rows(const std::filesystem::path& database, const std::string& table) {
  return testing::pg_count_rows(database, table);
}
std::string pg_value(const std::filesystem::path& database, const std::string& sql) {
  return testing::pg_query_text(database, sql);
}
std::string pg_rows_text(const std::filesystem::path& database) {
  return testing::pg_schema_text(database);
}
#else
std::int64_t count_pg_rows(const std::filesystem::path&, const std::string&) {
  throw std::logic_error("this build of the store suite has no PostgreSQL store");
}
std::string pg_value(const std::filesystem::path&, const std::string&) {
  throw std::logic_error("this build of the store suite has no PostgreSQL store");
}
std::string pg_rows_text(const std::filesystem::path&) {
  throw std::logic_error("this build of the store suite has no PostgreSQL store");
}
#endif

StoreUnderTest::Served::Served(std::unique_ptr<backend::Store> store,
                               const std::string& instance_id)
    : server(std::move(store), shared_tls()),
      instance_key(server.new_instance_key(instance_id.empty() ? kUnnamedInstance : instance_id)),
      agent(server.remote_options(
          backend::Session{instance_key.access_key, instance_key.secret_key})),
      operator_(server.remote_options(server.new_session(backend::wire::Role::kOperator))) {}

StoreUnderTest::StoreUnderTest(backend::LocalBackendOptions options) {
  if (served()) {
    served_ = std::make_unique<Served>(server_store(options), options.instance_id);
  } else {
    embedded_ = std::make_unique<backend::LocalScaling>(std::move(options));
  }
}

StoreUnderTest::~StoreUnderTest() = default;

std::string StoreUnderTest::agent_key() const {
  if (served_) return served_->instance_key.transport_key;
  const char* key = std::getenv("TAVOREN_ENCRYPTION_KEY");
  return key != nullptr ? key : "";
}

const backend::Session& StoreUnderTest::session() const {
  return embedded_ ? embedded_->session() : served_->agent.session();
}

}  // namespace tavoren::local_backend_testing
