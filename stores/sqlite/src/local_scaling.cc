// The SQLite store: the store core over one database file.

#include <string>
#include <utility>

#include "schema.h"
#include "sqlite_port.h"
#include "tavoren/common/errors.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/store_rules.h"

namespace tavoren::backend {
namespace {

// Checks the options and opens the file's pool, its schema brought up to
// date.
std::shared_ptr<core::Port> open_port(const LocalBackendOptions& options) {
  if (options.database.empty()) throw ValueError("The backend database path is empty");
  check_core_options(core_options_of(options));
  if (options.busy_timeout.count() < 0) throw ValueError("busy_timeout must not be negative");
  auto pool = std::make_shared<sqlite::Pool>(options.database, options.busy_timeout);
  {
    sqlite::Pool::Lease lease = pool->acquire();
    migrate(*lease, options.database.string());
  }
  return std::make_shared<sqlite::SqlitePort>(std::move(pool));
}

}  // namespace

LocalScaling::LocalScaling(LocalBackendOptions options)
    : LocalScaling(open_port(options), options) {}

LocalScaling::LocalScaling(std::shared_ptr<core::Port> port, LocalBackendOptions options)
    : StoreCore(std::move(port), core_options_of(options)), options_(std::move(options)) {}

LocalScaling::~LocalScaling() = default;

std::unique_ptr<LocalScaling> LocalScaling::for_instance(const std::string& instance_id,
                                                         Session session) const {
  LocalBackendOptions options = options_;
  options.instance_id = instance_id;
  options.session = std::move(session);
  return std::unique_ptr<LocalScaling>(new LocalScaling(port(), std::move(options)));
}

int LocalScaling::schema_version() { return current_schema_version(); }

const std::vector<std::string>& LocalScaling::action_types() { return store_rules::action_types(); }

}  // namespace tavoren::backend
