// The SQLite store: every operation of tavoren/store.h answered from one
// local SQLite database file; the agent's embedded backend, and a server's
// store on one host.
//
// Operator tools write into the file with the operator calls; an agent
// reads it through the Scaling operations. Both may have the same file open
// at the same time, from several processes.
//
// Files: the file and its -wal and -shm files are created mode 0600 (and
// closed to others when an older program left them readable and this user
// owns them).
//
// Ownership: a LocalScaling owns its own connections to the file and closes
// them on destruction; no operation may be in flight then. The file itself
// is shared: any number of objects, in any number of processes, may open
// the same path. Nothing returned by an operation refers back into the
// object.
//
// Threads: every operation of a LocalScaling may be called from several
// threads at once. Each call borrows a connection of its own for the
// duration of the call, so readers never wait for one another and see only
// committed data (write-ahead log mode). Writers take the database's write
// lock for one short transaction; a writer that finds the lock held waits
// up to busy_timeout. An assignment reads and marks queued actions within
// one such transaction, so no two agents (objects or processes) are ever
// handed the same action. Once a commit leaves a thousand pages in the
// write-ahead log, a thread of the object's own copies them back into the
// file, so that no writer waits for that copy; it is joined on destruction.
//
// Failures: as tavoren/store.h says; DatabaseError also for a file that is
// not this backend's database, and for the write lock held beyond
// busy_timeout.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/common/errors.h"
#include "tavoren/store.h"
#include "tavoren/store_core.h"

namespace tavoren::backend {

struct LocalBackendOptions {
  // The database file; created (with its schema) when missing. Its folder
  // must exist.
  std::filesystem::path database;
  // The instance that receives assignments through assign_jobs. Operator
  // tools leave it empty; assign_jobs is then refused.
  std::string instance_id;
  // Answered by session(); the backend itself does not check it.
  Session session;
  // How long a writer waits for the write lock held by another connection.
  std::chrono::milliseconds busy_timeout{5000};
  // The most actions handed out by one assign_jobs call (at least 1).
  int assign_batch = 1;
  // A port answered by get_open_port is not answered again within this
  // time, by any object on the same file (an executor asks for two ports
  // before binding either).
  std::chrono::seconds port_hold{600};
  // Where candidate free ports come from. Empty: bind a TCP socket to port 0
  // on all interfaces of this host, read the port the kernel chose, close.
  // Called from the threads that call get_open_port, possibly at once.
  std::function<int()> port_probe;
  // Ports handed out per instance from this range (both ends included)
  // instead of probing this host: for a backend that serves other hosts.
  // A port is then held for the instance until every action that was live
  // on it (assigned, not ended) when the port was handed out has ended, and
  // for port_hold when none was. Unset: ports are probed as above.
  std::optional<std::pair<int, int>> port_range;
  // The most bytes of log stored per action; 0: no limit. Beyond it pieces
  // are acknowledged without being stored, and the log gains one notice
  // line (log_limit_notice) instead.
  std::int64_t log_limit_bytes = 0;
  // How often expired kept answers and request nonces are swept (see
  // CoreOptions::sweep_every).
  std::chrono::milliseconds sweep_every{1000};
  // Liveness, limits and requeueing of machines.
  FleetRules fleet;
  // The server's master key: the secrets are sealed under its subkeys,
  // each bound to its row, and an owner's key pair is answered re-sealed
  // under the asking instance's transport key. Null: secrets are sealed
  // under TAVOREN_ENCRYPTION_KEY when it is set (tavoren/store_rules.h), and
  // key pairs answered as stored.
  std::shared_ptr<const sealing::Keyring> keyring;
  // The embedded backend (an agent's, and its operator's commands): when
  // no keyring is given and TAVOREN_ENCRYPTION_KEY is unset, the secrets
  // are sealed under a master key of the store's own, kept in the file
  // own_key_path(database) (made mode 0600 on first use, read afterwards;
  // DatabaseError when it is open to others or holds no key), so that no
  // secret is ever stored in clear. Key pairs are then opened here and
  // answered in clear to this process, which holds no transport key.
  bool own_key_file = false;
};

// Where the embedded backend keeps its own master key: beside the database,
// with ".key" added to its name.
std::filesystem::path own_key_path(const std::filesystem::path& database);

class LocalScaling final : public StoreCore {
 public:
  // Opens (or creates) the database and brings its schema up to date.
  // Throws DatabaseError when the file cannot be opened, is not this
  // backend's database, or was written by a newer schema; ValueError for an
  // empty path or an assign_batch below 1.
  explicit LocalScaling(LocalBackendOptions options);
  ~LocalScaling() override;

  // A light object for another instance on the same database: it shares
  // this object's connections (no new ones are opened for it) and its
  // options, except instance_id and session. Either may be destroyed
  // first; the connections close with the last of them.
  std::unique_ptr<LocalScaling> for_instance(const std::string& instance_id,
                                             Session session = {}) const;

  // The schema version this code writes (the database's user_version).
  static int schema_version();
  // Reads the store's contents for moving them to another database
  // (PgScaling::import_rows): every table, in one read transaction (a
  // consistent snapshot; writes made later are not seen), handed to `sink`
  // table by table in batches of at most `batch_rows` rows, parents before
  // the rows that refer to them. The file is first brought to the current
  // schema, as opening it does. Left out: kept answers that expired (they
  // are never answered again), and what the target derives from the rest
  // (an action's owner and log size). An access key's order is kept, not
  // its sequence number. DatabaseError when the file cannot be read in
  // time; whatever `sink` throws is passed on.
  static void export_rows(const std::filesystem::path& database,
                          const std::function<void(const StoreRows&)>& sink,
                          std::size_t batch_rows = 256,
                          std::chrono::milliseconds busy_timeout = std::chrono::milliseconds(5000));
  // The action types the agent knows how to run; submit accepts only these.
  static const std::vector<std::string>& action_types();

 private:
  LocalScaling(std::shared_ptr<core::Port> port, LocalBackendOptions options);

  LocalBackendOptions options_;
};

}  // namespace tavoren::backend
