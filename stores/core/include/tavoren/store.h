// The store of a backend server: every backend operation of one or many
// instances, the operator's calls, and what a server needs to decide who
// may do what and to answer each write once.
//
// Implementations: backend::LocalScaling (one SQLite file,
// tavoren/sqlite_store.h) and backend::PgScaling (a PostgreSQL database
// shared by several servers, tavoren/postgres_store.h). Both give the same
// answers to the same calls; the comments of LocalScaling state each
// operation's answers in full.
//
// Ownership: a store owns its connections. instance_view() answers a light
// object for one instance that shares them; views and the store may be
// destroyed in any order. Nothing an operation returns refers back into
// the store.
// Threads: every operation may be called from several threads at once.
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
//   or written in time; such a call writes nothing.
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
    "config codebase <model-family> <url>[#sha256=<digest>] [<requirements-url>]";
inline constexpr std::string_view kModelSecret = "config model-secret <name> <user-access-token>";
inline constexpr std::string_view kInternalApiKey = "config internal-api-key <action-id> <key>";
inline constexpr std::string_view kDataProcessingImage = "config data-processing-image <image>";
inline constexpr std::string_view kShutdown =
    "config shutdown <threshold> <launch-duration> <instance-source>";
}  // namespace config_command

// The end of an action's attempt as its agent reports it.
struct ActionEnd {
  // The process's exit status; nullopt when it has none.
  std::optional<int> exit_status;
  // One of end_cause's agent causes.
  std::string cause = std::string(end_cause::kExited);
  // The attempt the agent ran; nullopt: not checked.
  std::optional<std::int64_t> attempt;
};

// What recording an end did: the cause stored (the server's own for an
// action it scaled down or drained, whatever the agent said) and whether the
// action was queued again as its next attempt.
struct EndRecorded {
  std::string cause;
  bool requeued = false;
};

// The messages of a poll that got nothing although work may be queued.
namespace poll_message {
inline constexpr std::string_view kTooSoon = "nothing handed out: polled too soon";
inline constexpr std::string_view kDraining = "nothing handed out: the machine is draining";
inline constexpr std::string_view kPreempting =
    "nothing handed out: the machine's cloud is taking it back";
}  // namespace poll_message

// GPUs of a machine whose agent's own has_gpu decides.
inline constexpr int kGpusAsReported = -1;

// What the operator sets of a machine. Unset fields stay as they are.
struct MachineChange {
  // The GPUs it is rented with: 0 for CPU only, kGpusAsReported to trust
  // the agent's has_gpu.
  std::optional<int> gpus;
  // The most live actions it holds at once.
  std::optional<int> max_actions;
  // Labels set (an empty value removes the label).
  std::map<std::string, std::string> labels;
};

// What a machine's agent says of itself.
struct Contact {
  std::string agent_version;
  std::string provider;
  // The address its requests came from, as the server saw it.
  std::string address;
  // The agent is stopping with a drain: an active machine shows as
  // draining until its agent polls again.
  bool draining = false;
  // The machine's cloud gave notice that it takes the machine back: it
  // shows as preempting, and gets no more work, until an operator
  // undrains it.
  bool preempting = false;
};

// What one sweep of the machines did.
struct SweepOutcome {
  // Machines found lost now.
  std::int64_t lost = 0;
  // Their actions ended for good, and those queued again.
  std::int64_t ended = 0;
  std::int64_t requeued = 0;
  // Actions scaled down because their machine's drain deadline passed.
  std::int64_t drained = 0;
};

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
  // When its end was recorded, in the stores' time text (UTC with
  // milliseconds, "2026-12-09T13:32:24.123Z"); empty when it has none.
  std::string ended_at;
};

// A key that signs requests to a backend server, as stored. The secret is
// stored in the form the server gives it (sealed); stores neither seal nor
// open it.
struct AccessKeyRecord {
  std::string access_key;
  std::string sealed_secret;
  // "instance", "operator" or "viewer" (the operator's reads only).
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
  // The bytes from the requested offset on, up to the end of what was
  // shipped and at most kLogPageBytes of them.
  std::string content;
  // The offset to ask for next time (requested offset + content size).
  std::int64_t next_offset = 0;
  // Whether more is stored beyond next_offset already (the page was full).
  bool more = false;
  // Whether nothing follows: the action had ended (or was rejected) when
  // this was read, or it is an earlier attempt's, and no more is stored (an
  // agent records the end only after the whole log was shipped).
  bool finished = false;
};

// The most bytes of log one read answers.
inline constexpr std::int64_t kLogPageBytes = 1 << 20;

// A batch of one table's rows, for moving a store's contents to another
// database (LocalScaling::export_rows, PgScaling::import_rows). Values are
// the bytes as stored (integers in decimal, flags as 0 or 1, log pieces
// raw); std::nullopt is SQL NULL. Each row has one value per column.
struct StoreRows {
  std::string table;
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

// How a store's secrets are sealed (Store::key_sealing).
namespace key_sealing {
// Under a master key, each bound to its row.
inline constexpr std::string_view kMaster = "master";
// A move to a master key began and has not finished.
inline constexpr std::string_view kResealing = "resealing";
// Under the single encryption key of servers before master keys (or in
// clear).
inline constexpr std::string_view kSingle = "single";
}  // namespace key_sealing

// What one batch of Store::reseal_secrets did.
struct ResealStep {
  // Values sealed anew, by table.
  std::map<std::string, std::int64_t> resealed;
  // Every value is now under the current master key (the store is marked
  // kMaster).
  bool done = false;
};

// Which machines a page of the fleet shows, and in which order.
struct FleetQuery {
  // "alive", "unresponsive" or "lost"; empty: any.
  std::string liveness;
  // "active", "draining" or "preempting"; empty: any.
  std::string mode;
  // A part of the instance identifier, or of one of its labels as
  // "key=value", without regard to ASCII case; empty: any.
  std::string search;
  // "instanceId", "lastContact" or "actionsHeld"; ties in identifier order.
  std::string sort = "instanceId";
  bool descending = false;
  std::int64_t offset = 0;
  std::int64_t limit = 50;
};

class Store : public Scaling {
 public:
  using Scaling::assign_jobs;
  using Scaling::update_action_docker_logs;

  // A view of the same store for `instance_id`: its Scaling operations
  // act as that instance's agent. It shares the store's connections.
  virtual std::unique_ptr<Store> instance_view(const std::string& instance_id,
                                               Session session = {}) const = 0;

  // ---- The agent's operations (Scaling), as a store answers them ----------
  //
  // assign_jobs (write): hands out up to the store's assign batch of queued,
  //   not scaled-down actions, oldest first, marking them assigned to this
  //   view's instance; an agent without a GPU gets only actions whose
  //   actionDetails.gpuRequired is absent, false or zero. data: the list of
  //   records (each with "status" "assigned" and "attempt", the number of
  //   this assignment of the action, from 1), empty when nothing is queued.
  //   The view's instance is a machine (made at its first poll): a poll
  //   counts as contact; a machine polling again within the store's
  //   min_poll_interval, a draining machine, and one holding its
  //   max_actions live actions get nothing (the message says why); at most
  //   max_actions minus the actions held are handed out, and a machine set
  //   to 0 GPUs gets no GPU action whatever has_gpu says. Queue entries that are no records are set
  //   aside (state "rejected", a "reject" event and an error line). Refused on a store without an
  //   instance. Entries another server is handing out at the same time are skipped, so no action
  //   goes to two agents.
  // update_action_status (write): recorded in the action's history;
  //   "status" becomes the record's status.
  // update_status (write): recorded in the action's history; the record is
  //   unchanged.
  // update_action (write): recorded in the action's history; "status",
  //   "job_params" and "sub_action", where given, become the record's
  //   "status", "jobParams" and "subAction".
  //   These three refuse an unknown action or a missing identifier.
  //   Every write about an action (these three, update_action_docker_logs,
  //   update_step and record_end) takes an optional "attempt": given, it
  //   must be the action's current attempt, assigned to this view's
  //   instance (when it has one) and not ended; otherwise the write is
  //   refused with the error "not_current" and changes nothing.
  // update_action_docker_logs (write): appends "log_content" (a text, kept
  //   byte for byte) to the action's log. A placed piece (log_stream,
  //   log_start_offset, log_end_offset) is stored once however often it is
  //   sent: what the action's log holds of its stream already is skipped
  //   (store_rules::plan_log_piece). Beyond the store's log limit pieces
  //   are acknowledged without being stored ("not stored: log limit
  //   reached"), and the log gains one notice line (log_limit_notice) and a
  //   "log_limit" event instead.
  // get_action_details (read): the current record.
  // get_downscaled_ids (read): the scaled-down identifiers, in scale-down
  //   order.
  // get_model_codebase, get_model_codebase_requirements (read): the URLs of
  //   a model family; a family configured without a requirements URL is
  //   refused with data null.
  // get_docker_hub_credentials (read): the registry credentials, password
  //   opened.
  // get_user_access_key_pair (read): the owner's pair. A store with a
  //   master key opens it and answers it sealed under this view's
  //   instance's transport key (tavoren/common/sealing.h, the agent's
  //   form), and refuses a view whose instance has none
  //   (store_rules::no_transport_key). Without a master key: as stored
  //   (encrypted when TAVOREN_ENCRYPTION_KEY was set while it was
  //   configured).
  // get_model_secret_keys, get_internal_api_key (read): the secret opened.
  //   A view with an instance is answered a secret only for a live action
  //   of that instance: the internal API key of an action assigned to it
  //   and not ended; the model secret of the named action's owner (else the
  //   platform's default of that name) when the named action is assigned to
  //   it and not ended, and without a named action the platform's default
  //   while any action is live on it. Every other case, a secret that does
  //   not exist included, gets the same not-configured refusal, so that
  //   names cannot be probed. A view without an instance (the embedded
  //   backend's own) is answered as if every action were its own.
  // get_data_processing_image, get_shutdown_details (read): the setting.
  //   The agent asks for the image whenever it takes on an action, even one
  //   that names its own image: configure it before agents run.
  // get_open_port (write): a TCP port free on this host, not answered again
  //   within the port hold; with a port range, a port of the range held for
  //   the instance until every action live on it then has ended.
  // update_available_resources (write): keeps this instance's latest report
  //   (named arguments available_memory, available_cpu,
  //   available_gpu_memory, gpu_utilisation, each a number); refused
  //   without an instance or with a missing or non-numeric argument.

  // ---- Operator calls ----------------------------------------------------
  // Queues one action record and returns its new identifier (24 lowercase
  // hexadecimal characters), which the stored record carries as its first
  // key "_id"; the other keys keep their order, and "status" is set to
  // "queued". The record must be an object with "action" one of
  // store_rules::action_types() and "actionDetails" an object; it must not
  // carry "_id"; "jobParams" (an object), "_idUser", "_idService",
  // "subAction" and actionDetails' "modelFamily" and "modelKey" (texts) are
  // checked where present. All texts must be valid UTF-8. Write.
  virtual std::string submit(const Json& record) = 0;
  // One summary per action, oldest first: "_id", "action", "status" (the
  // record's, a text; another JSON value as its text), "state",
  // "assignedTo", "scaledDown", "submittedAt", "exitStatus" (null until it
  // ended). The state is "queued", "assigned" (handed to an agent), "ended"
  // (its process ended; record_exit) or "rejected" (a queue entry that was
  // not an action record, set aside by assign_jobs). Read.
  virtual Json list() = 0;
  // How many actions are in each state, as list() names them (states with
  // none are left out). Read.
  virtual std::map<std::string, std::int64_t> count_by_state() = 0;
  // One action: "record" (the current record; for a rejected entry its
  // stored text), "state", "assignedTo", "submittedAt", "assignedAt",
  // "scaledDownAt", "endedAt", "exitStatus", "logBytes", "logLimit" (the
  // store's log limit, null without one), "logLimitReachedAt" (null unless
  // output was dropped), and "history": every event in order, each with
  // "operation", "arguments", "recordedAt". KeyError for an unknown
  // identifier. Read.
  virtual Json show(const std::string& action_record_id) = 0;
  // The action's shipped log from byte `after_offset` on. KeyError for an
  // unknown identifier, ValueError for a negative offset. Read.
  virtual LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0) = 0;
  // Records that the action's process ended on this view's instance with
  // `exit_status` (its exit code, or 128 + the signal that ended it): show
  // and list then answer "endedAt" and "exitStatus" and the state "ended",
  // and the history gains an "exit" event. The record's "status" (the
  // job's own reports) is unchanged. KeyError for an unknown identifier.
  // Write.
  virtual void record_exit(const std::string& action_record_id, int exit_status) = 0;
  // record_exit with a cause and the attempt that ended. The cause must be
  // one an agent sends (ValueError otherwise); an action the server scaled
  // down ends as "scaled_down" (or "drained") whatever the agent says. A
  // cause that requeues (end_cause::requeues) queues the action again as
  // its next attempt while its retry budget allows: the record's "retry"
  // (a count), else the store's requeue_lost. NotCurrentError when
  // end.attempt is given and is not the action's current attempt on this
  // view's instance. KeyError for an unknown identifier. Answers what was
  // stored. Write.
  virtual EndRecorded record_end(const std::string& action_record_id, const ActionEnd& end) = 0;
  // Marks the action scaled down: it is no longer handed out and its
  // identifier is answered by get_downscaled_ids. Again on the same action:
  // no change. KeyError for an unknown identifier. Write.
  virtual void scale_down(const std::string& action_record_id) = 0;

  // The log of one attempt of the action: the current attempt's is logs();
  // an earlier attempt's log was kept when the action was queued again.
  // KeyError for an unknown identifier or an attempt it never had. Read.
  virtual LogChunk attempt_log(const std::string& action_record_id, std::int64_t attempt,
                               std::int64_t after_offset = 0) = 0;

  // ---- Machines ------------------------------------------------------------
  // A machine is an instance the server knows: made by the operator (with
  // its instance key) or at its first contact. Its liveness follows from
  // its last contact on the database's clock: "alive", "unresponsive" after
  // the store's unresponsive_after, "lost" after lost_after (and from the
  // sweep that found it lost until it calls again). Its mode is "active"
  // or "draining" (it gets no new actions).
  //
  // Sets the operator's properties of a machine, making it when `create`
  // is true (KeyError for an unknown machine otherwise). ValueError for an
  // empty or malformed instance identifier, gpus below kGpusAsReported,
  // max_actions below 0, or a label key that is empty or holds "=", blanks
  // or control characters. Write.
  virtual void set_machine(const std::string& instance_id, const MachineChange& change,
                           bool create) = 0;
  // Every machine in identifier byte order: "instanceId", "liveness",
  // "mode", "lastContactAt" (null before its first contact),
  // "firstContactAt", "agentVersion", "provider", "address", "gpus" (null:
  // as reported), "maxActions", "actionsHeld", "labels", "drainDeadline"
  // (milliseconds since the epoch or null), "lostAt". Read.
  virtual Json machines() = 0;
  // A page of the fleet (see FleetQuery): {"total" (the machines that
  // match), "counts": {"liveness": {NAME: N}, "mode": {NAME: N}} (of every
  // machine), "machines": at most `limit` of those that match, from
  // `offset` on, each as machines() shows it, but with the operator's count
  // of GPUs as "gpusSet", and "gpus": each GPU of its latest inventory
  // ("index", "name", "utilisation",
  // "memoryUsedMiB", "memoryFreeMiB", "memoryTotalMiB", "temperatureC",
  // "powerDrawW", "powerLimitW", "health", "reason", "actionId")}. Only the
  // page's machines are read whole, so a page costs about the same however
  // large the fleet. ValueError for an unknown liveness, mode or sort, a
  // negative offset, or a limit outside 1..500. Read.
  virtual Json fleet_page(const FleetQuery& query) = 0;
  // The queue, oldest first: {"total" (queued actions), "actions": at most
  // `limit` of them, each {"position" (from 1), "_id", "action",
  // "gpuRequired", "gpuMemoryMiB" (null when it names none), "submittedAt",
  // "reason" (why it waits, store_rules::wait_reason, from the machines'
  // liveness, modes, caps and inventories)}}. ValueError for a limit
  // outside 1..10000. Read.
  virtual Json queue(std::int64_t limit) = 0;
  // One machine as machines() shows it, with "actions": its live actions
  // ("_id", "action", "attempt", "assignedAt") and "history": its latest
  // 50 attempts, newest first ("_id", "attempt", "assignedAt", "endedAt",
  // "endCause", "exitStatus"). KeyError for an unknown machine. Read.
  virtual Json machine(const std::string& instance_id) = 0;
  // Drains a machine: it gets no new actions; with a deadline, its live
  // actions are scaled down with cause "drained" by the first sweep after
  // the deadline. undrain_machine makes it active again (and drops the
  // deadline). KeyError for an unknown machine; ValueError for a negative
  // deadline. Write.
  virtual void drain_machine(const std::string& instance_id,
                             std::optional<std::chrono::seconds> deadline) = 0;
  virtual void undrain_machine(const std::string& instance_id) = 0;
  // Removes a lost machine and revokes every key of its instance; its
  // attempts stay in the actions' histories. KeyError for an unknown
  // machine, ValueError for one that is not lost. Write.
  virtual void forget_machine(const std::string& instance_id) = 0;
  // Records a contact of the machine now (made at its first contact):
  // it is alive again. Empty fields of `contact` leave what was recorded.
  // Write.
  virtual void record_contact(const std::string& instance_id, const Contact& contact) = 0;
  // Finds the machines lost since the last sweep and ends their live
  // actions with cause "machine_lost", queueing each again while its retry
  // budget allows; then scales down the live actions of draining machines
  // whose deadline passed (cause "drained"). Works in transactions of at
  // most 10 machines, 10 ms apart (the writers waiting get their turn),
  // skipping machines another server is sweeping. Write.
  virtual SweepOutcome sweep_machines() = 0;
  // How many machines there are of each (liveness, mode), for the metrics;
  // pairs with none are left out. Read.
  virtual std::map<std::pair<std::string, std::string>, std::int64_t> count_machines() = 0;
  // The latest attempt of the action that `instance_id` held, if any. Read.
  virtual std::optional<std::int64_t> held_attempt(const std::string& action_record_id,
                                                   const std::string& instance_id) = 0;
  // update_status with named arguments (as update_status' names), checked
  // against "attempt" when given, like the other writes about an action.
  virtual Result update_step(const Json& arguments) = 0;

  // Settings. Each replaces the earlier value of the same setting (write).
  // The registry password, model secrets and internal API keys are sealed
  // when TAVOREN_ENCRYPTION_KEY is set in this process (ValueError when the
  // key is set but unusable). Texts must not be empty; ValueError names the
  // fault.
  virtual void set_registry_credentials(const std::string& username, const std::string& password,
                                        const std::string& registry = "") = 0;
  // Stored encrypted (the agent's Base64 AES-GCM form) when
  // TAVOREN_ENCRYPTION_KEY is set in this process, as given otherwise.
  virtual void set_key_pair(const std::string& user_id, const std::string& access_key,
                            const std::string& secret_key) = 0;
  // URLs with the scheme http:// or https://, the only ones the agent
  // downloads (ValueError for any other).
  virtual void set_codebase(const std::string& model_family, const std::string& url,
                            const std::optional<std::string>& requirements_url = std::nullopt) = 0;
  // A secret with an owner (a user identifier) is answered only for that
  // owner's actions; one without is the platform's default of its name.
  // The owner and the name together name the secret.
  virtual void set_model_secret(const std::string& secret_name,
                                const std::string& user_access_token,
                                const std::string& owner = "") = 0;
  // The action must exist (KeyError).
  virtual void set_internal_api_key(const std::string& action_record_id,
                                    const std::string& key) = 0;
  // One word: no blanks or control characters, no leading "-".
  virtual void set_data_processing_image(const std::string& image) = 0;
  // Threshold and launch duration must be positive; the instance source
  // must not be empty.
  virtual void set_shutdown_details(double shutdown_threshold, double launch_duration,
                                    const std::string& instance_source) = 0;
  // The latest resource report of each instance, by instance identifier in
  // byte order: {"report": the named arguments as sent, "reportedAt"}.
  // Read.
  virtual Json machine_resources() = 0;
  // Every setting, with passwords, secret keys, tokens and API keys left
  // out: "registry", "dataProcessingImage", "shutdownDetails" (each null
  // when unset), "codebases", "keyPairs" (user to {"encrypted"}),
  // "modelSecrets" and "internalApiKeys" (the names that have a value;
  // a model secret with an owner as "<owner>/<name>"),
  // names in byte order. Read.
  virtual Json configuration() = 0;

  // ---- For a server of many instances ---------------------------------
  // Who may touch an action; nullopt for an unknown identifier. Read.
  virtual std::optional<ActionAccess> action_access(const std::string& action_record_id) = 0;
  // Whether an action of owner `user_id` is assigned to `instance_id` and
  // has not ended. Read.
  virtual bool has_live_action_of(const std::string& instance_id, const std::string& user_id) = 0;
  // Whether any action is assigned to `instance_id` and has not ended.
  // Read.
  virtual bool has_live_action(const std::string& instance_id) = 0;
  // get_downscaled_ids restricted to the actions assigned to this view's
  // instance (none without one). Read.
  virtual Result get_own_downscaled_ids() = 0;
  // assign_jobs and update_action_docker_logs that keep their answer under
  // `once` (rendered by once.render) in the same transaction as the write:
  // a repeat of the same caller and key answers the kept answer and does
  // nothing, even when the first call's answer was lost after it
  // committed. Expired answers are swept on the way, when a sweep is due
  // (CoreOptions::sweep_every).
  virtual RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once) = 0;
  virtual RecordedAnswer update_action_docker_logs(const Json& arguments,
                                                   const WriteOnce& once) = 0;
  // Any write of this store or its views, made by `write` on the calling
  // thread, with its answer (what `write` returns) kept under `once` in one
  // transaction: the write's own transactions join this one, so that either
  // both the write and its answer are stored or neither is. A repeat of the
  // same caller and key answers the kept answer and writes nothing: where
  // the kept answer is looked for with the write's first statement (a
  // store that pipelines, PostgreSQL), `write` is called and cut short by
  // core::Found thrown from that statement, which it must let through (it
  // is no std::exception), and whatever it did before is undone; elsewhere
  // `write` is not called. Two servers given the same caller and key at
  // once do the write once (the second waits for the first and answers its
  // answer). When `write` throws, nothing it wrote is kept and the throw
  // goes on. once.render is not used.
  virtual RecordedAnswer write_once(const WriteOnce& once,
                                    const std::function<std::string()>& write) = 0;
  // The kept answer of a write, if any and not expired. Read.
  virtual std::optional<RecordedAnswer> recorded_answer(const std::string& caller,
                                                        const std::string& key) = 0;
  // Keeps `answer` as the first answer of (caller, key); an answer kept
  // already stays. The answer now kept is returned. Write.
  virtual RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                                       const std::string& request_hash, const std::string& answer,
                                       std::chrono::seconds keep = std::chrono::hours(24)) = 0;

  // Access keys of a backend server. add_access_key (write) throws
  // ValueError for an empty access key or secret, a role other than
  // "instance", "operator" or "viewer", an instance key without an
  // instance or another key with one, and for an access key stored
  // already.
  virtual void add_access_key(const AccessKeyRecord& key) = 0;
  // Every key, oldest first (revoked ones included). Read.
  virtual std::vector<AccessKeyRecord> access_keys() = 0;
  virtual std::optional<AccessKeyRecord> find_access_key(const std::string& access_key) = 0;
  // Whether the key existed (revoking a revoked key again changes nothing).
  // Write.
  virtual bool revoke_access_key(const std::string& access_key) = 0;

  // Nonces of signed requests, for the servers that share a store: whether
  // they should keep them here (a store that several servers share) rather
  // than each in its own memory.
  virtual bool shares_nonces() const { return false; }
  // Remembers `nonce` of `access_key` until `expires_at` (Unix seconds);
  // false when it is remembered already and has not expired. One statement
  // of its own; expired nonces are swept on the way, when a sweep is due
  // (CoreOptions::sweep_every). Write.
  virtual bool remember_nonce(const std::string& access_key, const std::string& nonce,
                              std::int64_t expires_at) = 0;
  // Handles a signed request whose `nonce` of `access_key` must be new
  // (remembered as remember_nonce does): runs `handle` and answers true,
  // or answers false when the nonce was remembered already, whatever
  // `handle` did, answered or threw; nothing it wrote through this store
  // is kept then. A store may remember the nonce in the first write
  // transaction `handle` makes on this thread, and after it when it makes
  // none; here it is remembered first. Throws what `handle` throws, and
  // DatabaseError.
  virtual bool with_nonce(const std::string& access_key, const std::string& nonce,
                          std::int64_t expires_at, const std::function<void()>& handle) {
    if (!remember_nonce(access_key, nonce, expires_at)) return false;
    handle();
    return true;
  }

  // The transport key of an instance (32 bytes, the AES-256 key its agent
  // holds as TAVOREN_ENCRYPTION_KEY), replacing an earlier one; stored
  // sealed under the master key. ValueError for a key of another length or
  // a store without a master key. Write.
  virtual void set_transport_key(const std::string& instance_id, const std::string& key) = 0;
  // Whether the instance has one. Read.
  virtual bool has_transport_key(const std::string& instance_id) = 0;

  // How the secrets are sealed: the mark in the settings table, else
  // key_sealing::kSingle when the store holds any secret in another form
  // than under a master key (a store of the servers before master keys),
  // and kMaster when it holds none such. Read.
  virtual std::string key_sealing() = 0;
  // Marks the store kMaster or kResealing (ValueError for another state).
  // Write.
  virtual void mark_key_sealing(const std::string& state) = 0;
  // Seals up to `batch` secrets anew under the master key, in one
  // transaction, marking the store kResealing, and kMaster once none is
  // left: the secrets of access keys, transport keys, key pairs, model
  // secrets, internal API keys and the registry password. A value under the
  // previous master key is opened with it; a value of the older forms
  // (store_rules.h) with `old_key`, the single encryption key. Values under
  // the current master key are left alone, so running it again after an
  // interruption goes on where it stopped. ValueError, naming the table and
  // row but never the value, for a store without a master key, a batch of 0
  // or a value that opens under none of the keys given (nothing of that
  // batch is written). Write.
  virtual ResealStep reseal_secrets(const std::string& old_key, std::size_t batch) = 0;
};

}  // namespace tavoren::backend
