// The SQLite store: the store core over one database file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "schema.h"
#include "sqlite_port.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/sealing.h"
#include "tavoren/common/text.h"
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

// The master key in `file`: made first when missing. A fresh key is
// written to a file of its own and then linked into place, so that a
// reader never sees half a key, and of two processes that make one at the
// same time both use the one that was linked first.
std::string own_master_key(const std::filesystem::path& file) {
  const std::string where = "The backend's key file " + file.string();
  for (int tries = 0; tries < 2; ++tries) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
      struct stat info {};
      const bool private_file = ::fstat(fd, &info) == 0 && (info.st_mode & 077) == 0;
      ::close(fd);
      if (!private_file) {
        throw DatabaseError(where + " may be read by others; give it mode 0600");
      }
      std::string text = read_file(file);
      sealing::Wipe wipe(text);
      try {
        return sealing::parse_master_key(text);
      } catch (const ValueError& e) {
        throw DatabaseError(where + ": " + e.what());
      }
    }
    if (errno != ENOENT) throw DatabaseError(where + " cannot be opened: " + std::strerror(errno));
    const std::filesystem::path draft =
        file.string() + ".new-" + std::to_string(::getpid()) + "-" + store_rules::new_action_id();
    const int out = ::open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) throw DatabaseError(where + " cannot be made: " + std::strerror(errno));
    std::string text = sealing::new_master_key_text();
    sealing::Wipe wipe(text);
    const bool written =
        ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(out) == 0;
    ::close(out);
    const bool linked = written && (::link(draft.c_str(), file.c_str()) == 0 || errno == EEXIST);
    const int cause = errno;
    ::unlink(draft.c_str());
    if (!linked) throw DatabaseError(where + " cannot be made: " + std::strerror(cause));
  }
  throw DatabaseError(where + " vanished while it was being read");
}

// The options with the store's own keyring where it needs one.
LocalBackendOptions with_own_key(LocalBackendOptions options) {
  if (options.own_key_file && !options.keyring &&
      get_env("TAVOREN_ENCRYPTION_KEY").value_or("").empty()) {
    std::string master = own_master_key(own_key_path(options.database));
    sealing::Wipe wipe(master);
    options.keyring = std::make_shared<const sealing::Keyring>(master);
  }
  return options;
}

CoreOptions core_options_for(const LocalBackendOptions& options) {
  CoreOptions core = core_options_of(options);
  core.key_pairs_in_clear = options.own_key_file;
  return core;
}

}  // namespace

std::filesystem::path own_key_path(const std::filesystem::path& database) {
  return database.string() + ".key";
}

LocalScaling::LocalScaling(LocalBackendOptions options)
    : LocalScaling(open_port(options), with_own_key(options)) {}

LocalScaling::LocalScaling(std::shared_ptr<core::Port> port, LocalBackendOptions options)
    : StoreCore(std::move(port), core_options_for(options)), options_(std::move(options)) {}

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
