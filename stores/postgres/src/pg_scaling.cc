// The PostgreSQL store: the store core over a pool of connections to one
// database, and its schema.

#include <string>
#include <utility>

#include "pg.h"
#include "pg_port.h"
#include "schema.h"
#include "tavoren/common/errors.h"
#include "tavoren/postgres_store.h"

namespace tavoren::backend {
namespace {

void check_options(const PgBackendOptions& options) {
  if (options.conninfo.empty()) throw ValueError("The PostgreSQL connection string is empty");
  pg::check_conninfo(options.conninfo);
  if (!options.schema.empty() && !pg::is_plain_identifier(options.schema)) {
    throw ValueError("The schema name \"" + options.schema +
                     "\" is not a plain identifier (a-z, 0-9, _)");
  }
  check_core_options(core_options_of(options));
  if (options.statement_timeout.count() <= 0 || options.connect_timeout.count() <= 0) {
    throw ValueError("The PostgreSQL time limits must be positive");
  }
}

pg::ConnectionSettings settings_of(const PgBackendOptions& options) {
  return pg::ConnectionSettings{options.conninfo, options.schema, options.connect_timeout,
                                options.statement_timeout};
}

// Checks the options and opens the pool, whose schema must be current.
std::shared_ptr<core::Port> open_port(const PgBackendOptions& options) {
  check_options(options);
  auto pool =
      std::make_shared<pg::Pool>(settings_of(options), options.max_connections, options.pool_wait);
  {
    pg::Pool::Lease lease = pool->acquire();
    pg_schema::require_current(*lease);
  }
  return std::make_shared<pg::PgPort>(std::move(pool));
}

}  // namespace

PgScaling::PgScaling(PgBackendOptions options) : PgScaling(open_port(options), options) {}

PgScaling::PgScaling(std::shared_ptr<core::Port> port, PgBackendOptions options)
    : StoreCore(std::move(port), core_options_of(options)), options_(std::move(options)) {}

PgScaling::~PgScaling() = default;

int PgScaling::migrate(const PgBackendOptions& options) {
  check_options(options);
  pg::Connection connection(settings_of(options));
  return pg_schema::migrate(connection, options.schema);
}

int PgScaling::schema_version() { return pg_schema::current_version(); }

std::unique_ptr<PgScaling> PgScaling::for_instance(const std::string& instance_id,
                                                   Session session) const {
  PgBackendOptions options = options_;
  options.instance_id = instance_id;
  options.session = std::move(session);
  return std::unique_ptr<PgScaling>(new PgScaling(port(), std::move(options)));
}

}  // namespace tavoren::backend
