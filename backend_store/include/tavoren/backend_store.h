// The store of a backend server: every backend operation of one or many
// instances, the operator's calls, and what a server needs to decide who
// may do what and to answer each write once.
//
// Implementations: backend::LocalScaling (one SQLite file,
// tavoren/local_backend.h) and backend::PgScaling (a PostgreSQL database
// shared by several servers, tavoren/pg_backend.h). Both give the same
// answers to the same calls; the comments of LocalScaling state each
// operation's answers in full.
//
// Ownership: a store owns its connections. instance_view() answers a light
// object for one instance that shares them; views and the store may be
// destroyed in any order. Nothing an operation returns refers back into
// the store.
// Threads: every operation may be called from several threads at once.
// Failures: operator calls throw ValueError, TypeError or KeyError
// (tavoren/common/errors.h) for refused input and write nothing then;
// Scaling operations answer refusals in their Result; every operation
// throws DatabaseError when the database cannot be read or written in
// time, and such a call writes nothing.
// Time limits: every call waits for the database at most the time limits
// of its store's options (a lock wait, a statement, a connection).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/common/errors.h"

namespace tavoren::backend {

// The database could not be opened, read or written.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The configuration subcommands named by refusals, one per setting.
namespace config_command {
inline constexpr std::string_view kRegistry = "config registry <username> <password> [<registry>]";
inline constexpr std::string_view kKeyPair = "config key-pair <user-id> <access-key> <secret-key>";
inline constexpr std::string_view kCodebase =
    "config codebase <model-family> <url> [<requirements-url>]";
inline constexpr std::string_view kModelSecret = "config model-secret <name> <user-access-token>";
inline constexpr std::string_view kInternalApiKey = "config internal-api-key <action-id> <key>";
inline constexpr std::string_view kDataProcessingImage = "config data-processing-image <image>";
inline constexpr std::string_view kShutdown =
    "config shutdown <threshold> <launch-duration> <instance-source>";
}  // namespace config_command

// The line appended once to a log that reached its store's log limit.
std::string log_limit_notice(std::int64_t limit);

// What decides who may touch an action.
struct ActionAccess {
  // The instance it was handed to; empty while queued.
  std::string assigned_to;
  // The record's "_idUser" (empty when it has none).
  std::string owner;
  // Its process ended (record_exit), or it was set aside unread.
  bool ended = false;
};

// A key that signs requests to a backend server, as stored. The secret is
// stored in the form the server gives it (sealed); stores neither seal nor
// open it.
struct AccessKeyRecord {
  std::string access_key;
  std::string sealed_secret;
  // "instance" or "operator".
  std::string role;
  // The instance of an instance key; empty for an operator key.
  std::string instance_id;
  std::string created_at;
  bool revoked = false;
};

// The first answer given to a write, kept under its caller and
// idempotency key.
struct RecordedAnswer {
  // What the write asked for (its operation and body, hashed by the
  // caller of these functions): a repeat must ask for the same.
  std::string request_hash;
  std::string answer;
  // Whether it was recorded by an earlier call (a repeat): answer is then
  // that call's answer and nothing was done now.
  bool repeated = false;
};

// Who sent a write and under which idempotency key, for the writes that
// record their answer in their own transaction.
struct WriteOnce {
  std::string caller;
  std::string key;
  std::string request_hash;
  // Kept at least this long.
  std::chrono::seconds keep{std::chrono::hours(24)};
  // The answer to keep, made from the write's Result inside the
  // transaction (it must not touch the database).
  std::function<std::string(const Result&)> render;
};

// A stretch of an action's shipped log.
struct LogChunk {
  // The bytes from the requested offset to the end of what was shipped.
  std::string content;
  // The offset to ask for next time (requested offset + content size).
  std::int64_t next_offset = 0;
  // Whether the action had ended (or was rejected) when this was read: an
  // agent records the end only after the whole log was shipped, so nothing
  // follows such a chunk.
  bool finished = false;
};

// A batch of one table's rows, for moving a store's contents to another
// database (LocalScaling::export_rows, PgScaling::import_rows). Values are
// the bytes as stored (integers in decimal, flags as 0 or 1, log pieces
// raw); std::nullopt is SQL NULL. Each row has one value per column.
struct StoreRows {
  std::string table;
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

class Store : public Scaling {
 public:
  using Scaling::assign_jobs;
  using Scaling::update_action_docker_logs;

  // A view of the same store for `instance_id`: its Scaling operations
  // act as that instance's agent.
  virtual std::unique_ptr<Store> instance_view(const std::string& instance_id,
                                               Session session = {}) const = 0;

  // ---- Operator calls ----------------------------------------------------
  virtual std::string submit(const Json& record) = 0;
  virtual Json list() = 0;
  // How many actions are in each state, as list() names them (states with
  // none are left out).
  virtual std::map<std::string, std::int64_t> count_by_state() = 0;
  virtual Json show(const std::string& action_record_id) = 0;
  virtual LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0) = 0;
  virtual void record_exit(const std::string& action_record_id, int exit_status) = 0;
  virtual void scale_down(const std::string& action_record_id) = 0;
  virtual void set_registry_credentials(const std::string& username, const std::string& password,
                                        const std::string& registry = "") = 0;
  virtual void set_key_pair(const std::string& user_id, const std::string& access_key,
                            const std::string& secret_key) = 0;
  virtual void set_codebase(const std::string& model_family, const std::string& url,
                            const std::optional<std::string>& requirements_url = std::nullopt) = 0;
  virtual void set_model_secret(const std::string& secret_name,
                                const std::string& user_access_token) = 0;
  virtual void set_internal_api_key(const std::string& action_record_id,
                                    const std::string& key) = 0;
  virtual void set_data_processing_image(const std::string& image) = 0;
  virtual void set_shutdown_details(double shutdown_threshold, double launch_duration,
                                    const std::string& instance_source) = 0;
  virtual Json machine_resources() = 0;
  virtual Json configuration() = 0;

  // ---- For a server of many instances ---------------------------------
  virtual std::optional<ActionAccess> action_access(const std::string& action_record_id) = 0;
  virtual bool has_live_action_of(const std::string& instance_id, const std::string& user_id) = 0;
  virtual bool has_live_action(const std::string& instance_id) = 0;
  virtual Result get_own_downscaled_ids() = 0;
  virtual RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once) = 0;
  virtual RecordedAnswer update_action_docker_logs(const Json& arguments,
                                                   const WriteOnce& once) = 0;
  // `write` runs on the calling thread; every write of this store or its
  // views that it makes joins one transaction with the kept answer.
  virtual RecordedAnswer write_once(const WriteOnce& once,
                                    const std::function<std::string()>& write) = 0;
  virtual std::optional<RecordedAnswer> recorded_answer(const std::string& caller,
                                                        const std::string& key) = 0;
  virtual RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                                       const std::string& request_hash, const std::string& answer,
                                       std::chrono::seconds keep = std::chrono::hours(24)) = 0;

  virtual void add_access_key(const AccessKeyRecord& key) = 0;
  virtual std::vector<AccessKeyRecord> access_keys() = 0;
  virtual std::optional<AccessKeyRecord> find_access_key(const std::string& access_key) = 0;
  virtual bool revoke_access_key(const std::string& access_key) = 0;
};

}  // namespace tavoren::backend
