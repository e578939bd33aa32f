// The embedded backend: every backend operation answered from one local
// SQLite database file.
//
// The database holds the queue of action records, the history of every
// status report, the shipped log pieces, the scaled-down identifiers and the
// operator's settings (registry credentials, owners' key pairs, codebase
// URLs per model family, model secrets, per-action internal API keys, the
// data-processing image, the shutdown settings). Operator tools write into
// it with the operator calls below; an agent reads it through the Scaling
// operations. Both may have the same file open at the same time, from
// several processes.
//
// Secrets at rest: the file and its -wal and -shm files are created mode
// 0600 (and closed to others when an older program left them readable and
// this user owns them). With TAVOREN_ENCRYPTION_KEY set in the process that
// writes them, every stored secret is encrypted with AES-GCM: key pairs in
// the agent's form (answered as stored), the registry password, model
// secrets and internal API keys sealed (answered in clear). Secrets stored
// without a key, or before sealing existed, are answered as stored; a
// sealed secret read without its key is refused, naming what it is and
// never its value.
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
// handed the same action.
//
// Failures:
// - Operator calls refuse invalid input by throwing ValueError, TypeError or
//   KeyError (tavoren/common/errors.h) with a message that names the fault;
//   a refused call writes nothing.
// - Scaling operations that answer a Result report refusals in it (error
//   and message set to the same text): an unknown action, malformed
//   arguments, or a setting the operator has not configured. They never
//   answer a made-up value.
// - Scaling operations that answer a bare value (get_data_processing_image,
//   get_open_port, get_shutdown_details) throw NotConfiguredError for a
//   missing setting and std::runtime_error when no free port is found.
// - Every operation throws DatabaseError when the database cannot be read
//   or written (I/O failure, a file that is not this backend's database,
//   the write lock held beyond busy_timeout). Such a call writes nothing.
//
// Messages about missing settings name the configuration command that
// supplies the setting, as "config <what> <arguments>" (config_command
// below): the operator's command-line tool offers these subcommands.
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
};

// The line appended once to a log that reached log_limit_bytes.
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
// stored in the form the server gives it (sealed); this library neither
// seals nor opens it.
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

namespace detail {
struct LocalScalingState;
}

class LocalScaling final : public Scaling {
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
  LocalScaling(const LocalScaling&) = delete;
  LocalScaling& operator=(const LocalScaling&) = delete;

  // The schema version this code writes (the database's user_version).
  static int schema_version();
  // The action types the agent knows how to run; submit accepts only these.
  static const std::vector<std::string>& action_types();

  // ---- Scaling -----------------------------------------------------------
  const Session& session() const override;
  // Hands out up to assign_batch queued, not scaled-down actions, oldest
  // first, marking them assigned to this instance; an agent without a GPU
  // gets only actions whose actionDetails.gpuRequired is absent, false or
  // zero.
  // data: the list of records (each with "status" "assigned"); an empty
  // list when nothing is queued.
  Result assign_jobs(bool has_gpu) override;
  // Recorded in the action's history; "status" becomes the record's status.
  Result update_action_status(const Json& arguments) override;
  // Recorded in the action's history; the record is unchanged.
  Result update_status(const std::string& action_record_id, const std::string& action_type,
                       const std::string& service, const std::string& step_code,
                       const std::string& status, const std::string& description) override;
  // Recorded in the action's history; "status", "job_params" and
  // "sub_action", where given, become the record's "status", "jobParams"
  // and "subAction".
  Result update_action(const Json& arguments) override;
  // Appends "log_content" (a text, kept byte for byte) to the action's log.
  Result update_action_docker_logs(const Json& arguments) override;
  Result get_action_details(const std::string& action_record_id) override;
  // data: the list of scaled-down action identifiers, in scale-down order.
  Result get_downscaled_ids() override;
  Result get_model_codebase(const std::string& model_family) override;
  // A family configured without a requirements URL is refused with data
  // null (no requirements file).
  Result get_model_codebase_requirements(const std::string& model_family) override;
  Result get_docker_hub_credentials() override;
  // The pair as stored: encrypted when TAVOREN_ENCRYPTION_KEY was set while
  // it was configured.
  Result get_user_access_key_pair(const std::string& user_id) override;
  Result get_model_secret_keys(const std::string& secret_name) override;
  Result get_internal_api_key(const std::string& action_record_id) override;
  // The agent asks for it whenever it takes on an action, even one that
  // names its own image: configure it before agents run.
  Json get_data_processing_image() override;
  // A TCP port free on this host at the time of the call, as a number.
  Json get_open_port() override;
  Json get_shutdown_details() override;
  // Keeps this instance's latest report (named arguments available_memory,
  // available_cpu, available_gpu_memory, gpu_utilisation, each a number);
  // refused without an instance identifier or with a missing or non-numeric
  // argument.
  Result update_available_resources(const Json& arguments) override;

  // ---- Operator calls ----------------------------------------------------
  // Queues one action record and returns its new identifier (24 lowercase
  // hexadecimal characters), which the stored record carries as its first
  // key "_id"; the other keys keep their order, and "status" is set to
  // "queued". The record must be an object with "action" one of
  // action_types() and "actionDetails" an object; it must not carry "_id";
  // "jobParams" (an object), "_idUser", "_idService", "subAction" and
  // actionDetails' "modelFamily" and "modelKey" (texts) are checked where
  // present. All texts must be valid UTF-8.
  std::string submit(const Json& record);
  // One summary per action, oldest first: "_id", "action", "status",
  // "state", "assignedTo", "scaledDown", "submittedAt", "exitStatus" (null
  // until it ended). The state is "queued", "assigned" (handed to an
  // agent), "ended" (its process ended; record_exit) or "rejected" (a queue
  // entry that was not an action record, set aside by assign_jobs, which
  // logs it as an error and records a "reject" event with the reason).
  Json list();
  // How many actions are in each state, as list() names them (states with
  // none are left out).
  std::map<std::string, std::int64_t> count_by_state();
  // One action: "record" (the current record; for a rejected entry its
  // stored text), "state", "assignedTo", "submittedAt", "assignedAt",
  // "scaledDownAt", "endedAt", "exitStatus", "logBytes", "logLimit" (this
  // object's log_limit_bytes, null without a limit), "logLimitReachedAt"
  // (null unless output was dropped), and "history": every event in order,
  // each with "operation", "arguments", "recordedAt". KeyError for an
  // unknown identifier.
  Json show(const std::string& action_record_id);
  // The action's shipped log from byte `after_offset` on. KeyError for an
  // unknown identifier, ValueError for a negative offset.
  LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0);
  // Records that the action's process ended on this instance with
  // `exit_status` (its exit code, or 128 + the signal that ended it): show
  // and list then answer "endedAt" and "exitStatus" and the state "ended",
  // and the history gains an "exit" event. The record's "status" (the
  // job's own reports) is unchanged. KeyError for an unknown identifier.
  void record_exit(const std::string& action_record_id, int exit_status);
  // Marks the action scaled down: it is no longer handed out and its
  // identifier is answered by get_downscaled_ids. Again on the same action:
  // no change. KeyError for an unknown identifier.
  void scale_down(const std::string& action_record_id);

  // Settings. Each replaces the earlier value of the same setting. The
  // registry password, model secrets and internal API keys are sealed when
  // TAVOREN_ENCRYPTION_KEY is set in this process (ValueError when the key
  // is set but unusable).
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "");
  // Stored encrypted (the agent's Base64 AES-GCM form) when
  // TAVOREN_ENCRYPTION_KEY is set in this process, as given otherwise.
  // ValueError when the key is set but unusable.
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key);
  // URLs with the scheme http:// or https://, the only ones the agent
  // downloads (ValueError for any other).
  void set_codebase(const std::string& model_family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt);
  void set_model_secret(const std::string& secret_name, const std::string& user_access_token);
  // The action must exist.
  void set_internal_api_key(const std::string& action_record_id, const std::string& key);
  void set_data_processing_image(const std::string& image);
  // Threshold and launch duration must be positive; the instance source
  // must not be empty.
  void set_shutdown_details(double shutdown_threshold, double launch_duration,
                            const std::string& instance_source);
  // The latest resource report of each instance, by instance identifier:
  // {"report": the named arguments as sent, "reportedAt": time}.
  Json machine_resources();
  // Every setting, with passwords, secret keys, tokens and API keys left
  // out: "registry", "dataProcessingImage", "shutdownDetails" (each null
  // when unset), "codebases", "keyPairs" (user to {"encrypted"}),
  // "modelSecrets" and "internalApiKeys" (the names that have a value).
  Json configuration();

  // ---- For a server of many instances ---------------------------------
  // Who may touch an action; nullopt for an unknown identifier.
  std::optional<ActionAccess> action_access(const std::string& action_record_id);
  // Whether an action of owner `user_id` is assigned to `instance_id` and
  // has not ended.
  bool has_live_action_of(const std::string& instance_id, const std::string& user_id);
  // Whether any action is assigned to `instance_id` and has not ended.
  bool has_live_action(const std::string& instance_id);
  // get_downscaled_ids restricted to the actions assigned to this object's
  // instance (none without an instance identifier).
  Result get_own_downscaled_ids();

  // assign_jobs and update_action_docker_logs that keep their answer under
  // `once` in the same transaction as the write: a repeat of the same
  // caller and key answers the kept answer and does nothing, even when the
  // first call's answer was lost after it committed. Expired answers are
  // purged on the way.
  RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once);
  RecordedAnswer update_action_docker_logs(const Json& arguments, const WriteOnce& once);
  // Any write of this object or its views, made by `write` on the calling
  // thread, with its answer (what `write` returns) kept under `once` in one
  // transaction: the write's own transactions join this one, so that either
  // both the write and its answer are stored or neither is. A repeat of the
  // same caller and key answers the kept answer without calling `write`.
  // When `write` throws, nothing it wrote is kept and the throw goes on.
  // once.render is not used.
  RecordedAnswer write_once(const WriteOnce& once, const std::function<std::string()>& write);
  // The kept answer of a write, if any and not expired.
  std::optional<RecordedAnswer> recorded_answer(const std::string& caller, const std::string& key);
  // Keeps `answer` as the first answer of (caller, key); an answer kept
  // already stays. The answer now kept is returned.
  RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                               const std::string& request_hash, const std::string& answer,
                               std::chrono::seconds keep = std::chrono::hours(24));

  // Access keys of a backend server. add_access_key throws ValueError for
  // an empty access key or secret, a role other than "instance" or
  // "operator", an instance key without an instance or an operator key
  // with one, and for an access key stored already.
  void add_access_key(const AccessKeyRecord& key);
  // Every key, oldest first (revoked ones included).
  std::vector<AccessKeyRecord> access_keys();
  std::optional<AccessKeyRecord> find_access_key(const std::string& access_key);
  // Whether the key existed (revoking a revoked key again changes nothing).
  bool revoke_access_key(const std::string& access_key);

 private:
  struct ViewTag {};
  LocalScaling(ViewTag, std::unique_ptr<detail::LocalScalingState> state);

  std::unique_ptr<detail::LocalScalingState> impl_;
};

}  // namespace tavoren::backend
