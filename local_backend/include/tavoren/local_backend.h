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
#include "tavoren/backend_store.h"
#include "tavoren/common/errors.h"

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
};

namespace detail {
struct LocalScalingState;
}

class LocalScaling final : public Store {
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
  std::unique_ptr<Store> instance_view(const std::string& instance_id,
                                       Session session = {}) const override;
  LocalScaling(const LocalScaling&) = delete;
  LocalScaling& operator=(const LocalScaling&) = delete;

  // The schema version this code writes (the database's user_version).
  static int schema_version();
  // Reads the store's contents for moving them to another database
  // (PgScaling::import_rows): every table, in one read transaction (a
  // consistent snapshot; writes made later are not seen), handed to `sink`
  // table by table in batches of at most `batch_rows` rows, parents before
  // the rows that refer to them. The file is first brought to the current
  // schema, as opening it does. Left out: kept answers that expired (they
  // are never answered again). An access key's order is kept, not its
  // sequence number. DatabaseError when the file cannot be read in time;
  // whatever `sink` throws is passed on.
  static void export_rows(const std::filesystem::path& database,
                          const std::function<void(const StoreRows&)>& sink,
                          std::size_t batch_rows = 256,
                          std::chrono::milliseconds busy_timeout = std::chrono::milliseconds(5000));
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
  std::string submit(const Json& record) override;
  // One summary per action, oldest first: "_id", "action", "status",
  // "state", "assignedTo", "scaledDown", "submittedAt", "exitStatus" (null
  // until it ended). The state is "queued", "assigned" (handed to an
  // agent), "ended" (its process ended; record_exit) or "rejected" (a queue
  // entry that was not an action record, set aside by assign_jobs, which
  // logs it as an error and records a "reject" event with the reason).
  Json list() override;
  // How many actions are in each state, as list() names them (states with
  // none are left out).
  std::map<std::string, std::int64_t> count_by_state() override;
  // One action: "record" (the current record; for a rejected entry its
  // stored text), "state", "assignedTo", "submittedAt", "assignedAt",
  // "scaledDownAt", "endedAt", "exitStatus", "logBytes", "logLimit" (this
  // object's log_limit_bytes, null without a limit), "logLimitReachedAt"
  // (null unless output was dropped), and "history": every event in order,
  // each with "operation", "arguments", "recordedAt". KeyError for an
  // unknown identifier.
  Json show(const std::string& action_record_id) override;
  // The action's shipped log from byte `after_offset` on. KeyError for an
  // unknown identifier, ValueError for a negative offset.
  LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0) override;
  // Records that the action's process ended on this instance with
  // `exit_status` (its exit code, or 128 + the signal that ended it): show
  // and list then answer "endedAt" and "exitStatus" and the state "ended",
  // and the history gains an "exit" event. The record's "status" (the
  // job's own reports) is unchanged. KeyError for an unknown identifier.
  void record_exit(const std::string& action_record_id, int exit_status) override;
  // Marks the action scaled down: it is no longer handed out and its
  // identifier is answered by get_downscaled_ids. Again on the same action:
  // no change. KeyError for an unknown identifier.
  void scale_down(const std::string& action_record_id) override;

  // Settings. Each replaces the earlier value of the same setting. The
  // registry password, model secrets and internal API keys are sealed when
  // TAVOREN_ENCRYPTION_KEY is set in this process (ValueError when the key
  // is set but unusable).
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "") override;
  // Stored encrypted (the agent's Base64 AES-GCM form) when
  // TAVOREN_ENCRYPTION_KEY is set in this process, as given otherwise.
  // ValueError when the key is set but unusable.
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key) override;
  // URLs with the scheme http:// or https://, the only ones the agent
  // downloads (ValueError for any other).
  void set_codebase(const std::string& model_family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt) override;
  void set_model_secret(const std::string& secret_name,
                        const std::string& user_access_token) override;
  // The action must exist.
  void set_internal_api_key(const std::string& action_record_id, const std::string& key) override;
  void set_data_processing_image(const std::string& image) override;
  // Threshold and launch duration must be positive; the instance source
  // must not be empty.
  void set_shutdown_details(double shutdown_threshold, double launch_duration,
                            const std::string& instance_source) override;
  // The latest resource report of each instance, by instance identifier:
  // {"report": the named arguments as sent, "reportedAt": time}.
  Json machine_resources() override;
  // Every setting, with passwords, secret keys, tokens and API keys left
  // out: "registry", "dataProcessingImage", "shutdownDetails" (each null
  // when unset), "codebases", "keyPairs" (user to {"encrypted"}),
  // "modelSecrets" and "internalApiKeys" (the names that have a value).
  Json configuration() override;

  // ---- For a server of many instances ---------------------------------
  // Who may touch an action; nullopt for an unknown identifier.
  std::optional<ActionAccess> action_access(const std::string& action_record_id) override;
  // Whether an action of owner `user_id` is assigned to `instance_id` and
  // has not ended.
  bool has_live_action_of(const std::string& instance_id, const std::string& user_id) override;
  // Whether any action is assigned to `instance_id` and has not ended.
  bool has_live_action(const std::string& instance_id) override;
  // get_downscaled_ids restricted to the actions assigned to this object's
  // instance (none without an instance identifier).
  Result get_own_downscaled_ids() override;

  // assign_jobs and update_action_docker_logs that keep their answer under
  // `once` in the same transaction as the write: a repeat of the same
  // caller and key answers the kept answer and does nothing, even when the
  // first call's answer was lost after it committed. Expired answers are
  // purged on the way.
  RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once) override;
  RecordedAnswer update_action_docker_logs(const Json& arguments, const WriteOnce& once) override;
  // Any write of this object or its views, made by `write` on the calling
  // thread, with its answer (what `write` returns) kept under `once` in one
  // transaction: the write's own transactions join this one, so that either
  // both the write and its answer are stored or neither is. A repeat of the
  // same caller and key answers the kept answer without calling `write`.
  // When `write` throws, nothing it wrote is kept and the throw goes on.
  // once.render is not used.
  RecordedAnswer write_once(const WriteOnce& once,
                            const std::function<std::string()>& write) override;
  // The kept answer of a write, if any and not expired.
  std::optional<RecordedAnswer> recorded_answer(const std::string& caller,
                                                const std::string& key) override;
  // Keeps `answer` as the first answer of (caller, key); an answer kept
  // already stays. The answer now kept is returned.
  RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                               const std::string& request_hash, const std::string& answer,
                               std::chrono::seconds keep = std::chrono::hours(24)) override;

  // Access keys of a backend server. add_access_key throws ValueError for
  // an empty access key or secret, a role other than "instance" or
  // "operator", an instance key without an instance or an operator key
  // with one, and for an access key stored already.
  void add_access_key(const AccessKeyRecord& key) override;
  // Every key, oldest first (revoked ones included).
  std::vector<AccessKeyRecord> access_keys() override;
  std::optional<AccessKeyRecord> find_access_key(const std::string& access_key) override;
  // Whether the key existed (revoking a revoked key again changes nothing).
  bool revoke_access_key(const std::string& access_key) override;

 private:
  struct ViewTag {};
  LocalScaling(ViewTag, std::unique_ptr<detail::LocalScalingState> state);

  std::unique_ptr<detail::LocalScalingState> impl_;
};

}  // namespace tavoren::backend
