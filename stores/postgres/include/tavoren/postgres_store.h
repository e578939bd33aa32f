// The PostgreSQL store: every operation of tavoren/store.h answered
// from one PostgreSQL database that several backend servers share. Its
// answers are those of the embedded SQLite store (tavoren/sqlite_store.h),
// whose comments state them in full: records kept as JSON text in their
// key order, the status history, log pieces with their offsets and the log
// limit notice, settings with secrets sealed at rest under
// TAVOREN_ENCRYPTION_KEY, owners' key pairs, ports held per instance,
// the first answers of writes, access keys and resource reports.
//
// Across servers: the queue is handed out with SELECT ... FOR UPDATE SKIP
// LOCKED, oldest first, so no two agents (of any server) get the same
// action; a write and its kept answer commit in one transaction, and two
// servers given the same (caller, idempotency key) at once do the write
// once (the second waits for the first and answers its answer).
//
// Schema: versioned migrations, applied by migrate() (the program's
// "migrate" command) under an advisory lock. A store opens only a database
// whose schema is current: an older one is refused with the advice to
// migrate, a newer one with the advice to use a newer program.
//
// Credentials: the connection string must not carry a password (refused
// with ValueError); libpq reads it from the password file (PGPASSFILE,
// ~/.pgpass) or its environment. No message names the connection string.
//
// Sessions: statements are prepared once per connection and reused, so a
// connection pooler in front of the database must give each server's
// connection its own session (not one shared per transaction).
//
// Ownership: a PgScaling owns a pool of connections, shared with its
// instance views; the pool closes with the last of them.
// Threads: every operation may be called from several threads at once;
// each call borrows a connection of its own.
// Time limits: connecting waits at most connect_timeout; every statement
// and every lock wait at most statement_timeout (set on the server, and a
// dead peer is noticed within twice that); waiting for a free connection
// of the pool at most pool_wait.
// Failures: as the store contract says; DatabaseError for every failure of
// the database. A connection that broke (the database restarted) is
// dropped; a call that finds its borrowed connection broken before it
// wrote anything tries once more on a new one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavoren/store.h"
#include "tavoren/store_core.h"

namespace tavoren::backend {

struct PgBackendOptions {
  // A postgresql:// URL or key=value connection string, without a
  // password.
  std::string conninfo;
  // The schema that holds the tables (created by migrate when missing);
  // empty: the first schema of the server's search_path. Lowercase
  // letters, digits and "_" only.
  std::string schema;
  // As in LocalBackendOptions.
  std::string instance_id;
  Session session;
  int assign_batch = 1;
  std::chrono::seconds port_hold{600};
  std::function<int()> port_probe;
  std::optional<std::pair<int, int>> port_range;
  std::int64_t log_limit_bytes = 0;
  std::chrono::milliseconds sweep_every{1000};
  FleetRules fleet;
  // The server's master key: the secrets are sealed under its subkeys,
  // each bound to its row, and an owner's key pair is answered re-sealed
  // under the asking instance's transport key. Null: secrets are sealed
  // under TAVOREN_ENCRYPTION_KEY when it is set (tavoren/store_rules.h), and
  // key pairs answered as stored.
  std::shared_ptr<const sealing::Keyring> keyring;
  // Time limits.
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds statement_timeout{5000};
  std::chrono::milliseconds pool_wait{5000};
  // The most connections open at once.
  std::size_t max_connections = 8;
};

class PgScaling final : public StoreCore {
 public:
  // Opens the pool and checks the schema (DatabaseError when the database
  // cannot be reached or its schema is not current); ValueError for
  // invalid options or a connection string with a password.
  explicit PgScaling(PgBackendOptions options);
  ~PgScaling() override;

  // Several servers share a PostgreSQL store: they keep their nonces in it.
  bool shares_nonces() const override { return true; }

  // Brings the database's schema to the current version; answers the
  // version it had. DatabaseError for a newer schema or tables of another
  // program in the schema.
  static int migrate(const PgBackendOptions& options);
  static int schema_version();

  // Fills a store without actions with another store's contents, in one
  // transaction (nothing is written when anything fails): `source` hands
  // every batch of rows to the sink it is given (LocalScaling::export_rows
  // reads an embedded store). Actions keep their ids, order, records,
  // states, assignments, scale-downs and ends, with their status history
  // and log pieces; settings, key pairs and access keys keep their sealed
  // secrets as they are (servers of the target need the same
  // TAVOREN_ENCRYPTION_KEY). Rows of the other tables that the target holds
  // already under the same key (access keys or settings made for it first)
  // are kept. Answers each table's rows inserted, in the order first seen.
  // ValueError when the target holds actions, or for rows of an unknown
  // table or column; DatabaseError when the database fails. The schema
  // must be current (migrate).
  static std::vector<std::pair<std::string, std::int64_t>> import_rows(
      const PgBackendOptions& options,
      const std::function<void(const std::function<void(const StoreRows&)>&)>& source);

  // A view for another instance sharing this store's pool (as
  // LocalScaling::for_instance).
  std::unique_ptr<PgScaling> for_instance(const std::string& instance_id,
                                          Session session = {}) const;

 private:
  PgScaling(std::shared_ptr<core::Port> port, PgBackendOptions options);

  PgBackendOptions options_;
};

}  // namespace tavoren::backend
