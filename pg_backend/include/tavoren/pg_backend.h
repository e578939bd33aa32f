// The PostgreSQL store: every operation of tavoren/backend_store.h answered
// from one PostgreSQL database that several backend servers share. Its
// answers are those of the embedded SQLite store (tavoren/local_backend.h),
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

#include "tavoren/backend_store.h"

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
  // Time limits.
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds statement_timeout{5000};
  std::chrono::milliseconds pool_wait{5000};
  // The most connections open at once.
  std::size_t max_connections = 8;
};

namespace detail {
struct PgScalingState;
}

class PgScaling final : public Store {
 public:
  // Opens the pool and checks the schema (DatabaseError when the database
  // cannot be reached or its schema is not current); ValueError for
  // invalid options or a connection string with a password.
  explicit PgScaling(PgBackendOptions options);
  ~PgScaling() override;
  PgScaling(const PgScaling&) = delete;
  PgScaling& operator=(const PgScaling&) = delete;

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

  std::unique_ptr<PgScaling> for_instance(const std::string& instance_id,
                                          Session session = {}) const;
  std::unique_ptr<Store> instance_view(const std::string& instance_id,
                                       Session session = {}) const override;

  // ---- Scaling -----------------------------------------------------------
  const Session& session() const override;
  Result assign_jobs(bool has_gpu) override;
  Result update_action_status(const Json& arguments) override;
  Result update_status(const std::string& action_record_id, const std::string& action_type,
                       const std::string& service, const std::string& step_code,
                       const std::string& status, const std::string& description) override;
  Result update_action(const Json& arguments) override;
  Result update_action_docker_logs(const Json& arguments) override;
  Result get_action_details(const std::string& action_record_id) override;
  Result get_downscaled_ids() override;
  Result get_model_codebase(const std::string& model_family) override;
  Result get_model_codebase_requirements(const std::string& model_family) override;
  Result get_docker_hub_credentials() override;
  Result get_user_access_key_pair(const std::string& user_id) override;
  Result get_model_secret_keys(const std::string& secret_name) override;
  Result get_internal_api_key(const std::string& action_record_id) override;
  Json get_data_processing_image() override;
  Json get_open_port() override;
  Json get_shutdown_details() override;
  Result update_available_resources(const Json& arguments) override;

  // ---- Store ---------------------------------------------------------------
  std::string submit(const Json& record) override;
  Json list() override;
  std::map<std::string, std::int64_t> count_by_state() override;
  Json show(const std::string& action_record_id) override;
  LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0) override;
  void record_exit(const std::string& action_record_id, int exit_status) override;
  void scale_down(const std::string& action_record_id) override;
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "") override;
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key) override;
  void set_codebase(const std::string& model_family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt) override;
  void set_model_secret(const std::string& secret_name,
                        const std::string& user_access_token) override;
  void set_internal_api_key(const std::string& action_record_id, const std::string& key) override;
  void set_data_processing_image(const std::string& image) override;
  void set_shutdown_details(double shutdown_threshold, double launch_duration,
                            const std::string& instance_source) override;
  Json machine_resources() override;
  Json configuration() override;

  std::optional<ActionAccess> action_access(const std::string& action_record_id) override;
  bool has_live_action_of(const std::string& instance_id, const std::string& user_id) override;
  bool has_live_action(const std::string& instance_id) override;
  Result get_own_downscaled_ids() override;
  RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once) override;
  RecordedAnswer update_action_docker_logs(const Json& arguments, const WriteOnce& once) override;
  RecordedAnswer write_once(const WriteOnce& once,
                            const std::function<std::string()>& write) override;
  std::optional<RecordedAnswer> recorded_answer(const std::string& caller,
                                                const std::string& key) override;
  RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                               const std::string& request_hash, const std::string& answer,
                               std::chrono::seconds keep = std::chrono::hours(24)) override;
  void add_access_key(const AccessKeyRecord& key) override;
  std::vector<AccessKeyRecord> access_keys() override;
  std::optional<AccessKeyRecord> find_access_key(const std::string& access_key) override;
  bool revoke_access_key(const std::string& access_key) override;

 private:
  struct ViewTag {};
  PgScaling(ViewTag, std::unique_ptr<detail::PgScalingState> state);

  std::unique_ptr<detail::PgScalingState> impl_;
};

}  // namespace tavoren::backend
