// One action (job) assigned to this instance, run as a child process.
//
// A WorkUnit is built from the backend client and the action record. Its
// constructor picks the executor from the action-type table; execute()
// runs that executor, which builds a command line and hands it to start().
// start() launches the command in a session of its own with standard
// output and error in logs/<log_name>_<action id>.txt, and starts the log
// thread, which ships the log to the backend every log_interval and reports
// GPU out-of-memory failures. The log thread also watches the child (its
// pidfd): the moment the child ends, that thread logs it, flushes the log
// tail, reports the end (on_exit) and lets the child's handle go, so every
// unit records its own end at once, side by side with the others.
// is_running() tells whether the unit is still busy: it answers at once
// while the log thread watches, and checks the child itself otherwise.
// stop() ends the child (SIGTERM to its process group, SIGKILL after
// term_grace), flushes the log tail and joins the log thread; on a unit
// whose end was already recorded it only joins the finished thread.
//
// Ownership: the dispatcher owns work units; a unit owns its child process
// and its log thread. The Scaling client is borrowed and must outlive the
// unit. The destructor ends a child still running: it asks the engine to
// stop the unit's container (as stop() does, within term_grace), then
// kills the child's process group. It waits up to join_limit for the log
// thread; past that it gives the rest of the log up (the thread sends
// nothing more) and waits only for the backend call in progress, which
// the client bounds with its own time limits. So no thread or process
// outlives the object, and destruction is bounded by those limits.
//
// Secrets: the unit keeps every secret of its action (the owner's keys,
// the registry password, the model-hub token, the internal API key) masked
// in the agent's log while it lives, and lets them go when it is destroyed
// (log::SecretRegistration). The secret container variables
// (kContainerSecretVariables) never show on a command line: the command
// names them without a value and the unit launches the command with their
// values in the client's environment, which only the agent's user can read.
// Log files are created 0600 in a folder created 0700.
//
// Threads: every public member may be called from any thread. The locks
// and what each guards are stated at the members (GUARDED_BY, REQUIRES,
// EXCLUDES; checked by clang's -Wthread-safety):
//   - What the constructor sets (the record, its identifier and type, the
//     image, the executor, the options) never changes afterwards and is
//     read without a lock.
//   - The lifecycle (start's launch, is_running, stop, adopt, detach, the
//     destructor's join of the log thread) is serialised by the unit's
//     lifecycle lock: a call waits for the one in progress. The lifecycle
//     lock guards the log thread's handle.
//   - The child's handle, its command line, the log path, the key pair
//     in force, the container's secret environment and the unit's log
//     secrets sit behind the unit's state lock; the accessors return
//     copies.
//   - How the child ended is kept by the unit's ChildEnd, under a lock of
//     its own. The end is handled once, by whichever of the log thread,
//     is_running, stop, detach and the destructor takes it first
//     (ChildEnd::take); the log thread takes it without the lifecycle
//     lock, so is_running never waits behind a flush in progress (it
//     answers true until the end is recorded). The taker alone waits on
//     the child until it settles the end.
//   - The wake lock pairs the log thread's stop request and its done
//     signal with the condition variable they are waited for on.
//   - Lock order: the lifecycle lock before the state lock and before the
//     wake lock; the state and wake locks are never held together.
//     ChildEnd's lock and the log shipper's are leaves.
//   - The log thread ships the log through the unit's log shipper, which
//     has a lock of its own: every byte of the log reaches the backend
//     exactly once, in order, whichever thread sends it, unless the
//     backend refused its piece so often that it was dropped (see
//     max_log_refusals).
//
// Failures: the constructor throws (TypeError, KeyError, ValueError) on a
// record it cannot run. execute, start, is_running and stop never throw:
// failures are logged under the agent's error policy.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/child_end.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/mutex.h"
#include "tavoren/common/process.h"

namespace tavoren {

class WorkUnit;
namespace testing {
struct WorkUnitTestAccess;
}  // namespace testing
namespace detail {
class LogShipper;
struct LogSpan;
class EngineLogResume;
}  // namespace detail

// An executor runs one action type: it prepares the command and calls
// WorkUnit::start. Executors are free functions named <kind>_execute.
using Executor = std::function<void(WorkUnit&)>;
// The action-type table: type name to executor, in a fixed order.
using ActionsMap = std::vector<std::pair<std::string, Executor>>;

// The agent's action-type table (15 entries, several sharing an executor).
ActionsMap default_actions_map();

struct WorkUnitTimings {
  // Between two log shipments.
  std::chrono::milliseconds log_interval{10'000};
  // After SIGTERM, before SIGKILL.
  std::chrono::milliseconds term_grace{15'000};
  // After SIGKILL.
  std::chrono::milliseconds kill_wait{5'000};
  // Before the final log flush reads the tail.
  std::chrono::milliseconds flush_delay{1'000};
  // For the log thread to finish when stopping.
  std::chrono::milliseconds join_limit{30'000};
  // For an ended child to be reaped in is_running.
  std::chrono::milliseconds exit_wait{1'000};
  // When a child that ended by itself leaves its end undelivered for a
  // cause that may pass (backend::CallFailure::may_pass: the backend
  // unreachable for a while), the log thread tries the rest of the log and
  // then on_exit again every end_retry_interval, for up to
  // end_delivery_limit after the child ended.
  std::chrono::milliseconds end_retry_interval{2'000};
  std::chrono::milliseconds end_delivery_limit{300'000};
};

// What a restarted agent needs to take a running action over, as the unit
// tells it when it launched the action's command (WorkUnitOptions::on_launch).
struct LaunchedRun {
  std::string action_id;
  // The action record the unit was built from.
  Json record;
  std::string log_path;
  // Where the `docker run` client writes its container's id ("" when the
  // command runs no container).
  std::string cid_path;
  // The client's process id.
  pid_t client_pid = 0;
  std::chrono::system_clock::time_point started_at;
};

// An action a previous agent left running, for WorkUnit::adopt.
struct AdoptedRun {
  // Its container; "" when it has none (gone, or never created).
  std::string container_id;
  std::string log_path;
  std::string cid_path;
  // Bytes of the log file that reached the backend, and that were scanned
  // for the out-of-memory marker.
  std::uint64_t shipped = 0;
  std::uint64_t scanned = 0;
  // The log's stream identifier, and the end of the piece being sent when
  // the previous agent stopped (0: none), as on_sending told them; the
  // first piece shipped is that one again, so that the backend can tell it
  // as a repeat. "": a new stream.
  std::string log_stream;
  std::uint64_t sending = 0;
  // The previous agent's `docker run` client, when it may still run: its
  // process id and start time (action_store::process_start_time); 0: none.
  pid_t client_pid = 0;
  std::uint64_t client_start = 0;
};

struct WorkUnitOptions {
  WorkUnitTimings timings;
  // The folder of the log files, relative to the working directory.
  std::filesystem::path log_dir = "logs";
  // Replaces the action-type table (tests); nullopt: default_actions_map().
  std::optional<ActionsMap> actions_map;
  // Whether a codebase may come from a loopback address (tests only).
  bool allow_loopback_downloads = false;
  // Largest piece sent in one update_action_docker_logs call; a larger
  // backlog goes in several calls within one shipment.
  std::size_t max_log_piece = 8u << 20;
  // A log piece the backend refuses (or fails to take: a thrown failure
  // counts the same, as the client cannot tell a passing failure from one
  // the piece causes every time) is sent again by the next shipment. From
  // the max_log_refusals-th refusal in a row at the same place on, each
  // refusal halves the next piece there (one step per shipment), down to
  // min_log_piece bytes; a piece of that size still refused is dropped,
  // with an error line naming its byte range, and the log goes on after
  // it. Its out-of-memory marker, if any, was reported when first read.
  int max_log_refusals = 5;
  std::size_t min_log_piece = 1024;
  // Told once that the unit's child has ended, after the final flush of its
  // log: with the action's identifier, how the child ended, whether the
  // whole log reached the backend (log_complete: the flush shipped it to
  // its end and no piece of it was ever dropped; false when the backend
  // refused the tail, a read failed, or the log thread still held the log
  // at the join limit), and the cause of the end (backend::end_cause):
  // cuda_oom once the log showed the out-of-memory marker; start_failed for
  // a `docker run` whose client failed with the engine's own status 125
  // (the container never ran its command); else exited. A unit whose
  // action never reached its command is told too, by
  // report_never_started(). Called from the thread that handled the end: the
  // unit's log thread as soon as the child ends by itself, or is_running or
  // stop (with the lifecycle lock held). It must not call back into the
  // unit. Its exceptions are logged and dropped.
  std::function<void(const std::string& action_id, process::ExitStatus exit_status,
                     bool log_complete, std::string_view cause)>
      on_exit;
  // Labels ("name=value") given to the container of every `docker run`
  // the unit launches, after the action's own (the agent's instance).
  std::vector<std::string> container_labels;
  // Told once the command is launched (on the launching thread, with the
  // unit's lifecycle lock held; it must not call back into the unit). Its
  // exceptions are logged and dropped.
  std::function<void(const LaunchedRun&)> on_launch;
  // Told after each piece of the log that the backend accepted (or that
  // was dropped): the bytes of the log file shipped so far, and how far it
  // was scanned for the out-of-memory marker. Called on the shipping
  // thread, with the shipper claimed; it must not call back into the unit.
  // Its exceptions are logged and dropped.
  std::function<void(const std::string& action_id, std::uint64_t shipped, std::uint64_t scanned)>
      on_progress;
  // Told before each piece of the log is sent: the log's stream identifier
  // and the piece's byte range [start, end) in the log file, to be kept
  // for a restart (AdoptedRun::log_stream and sending). Called on the
  // shipping thread, like on_progress. Its exceptions are logged and
  // dropped (the piece is sent all the same).
  std::function<void(const std::string& action_id, const std::string& stream, std::uint64_t start,
                     std::uint64_t end)>
      on_sending;
};

// What get_base_docker_cmd puts into a container's command line.
struct DockerCmdOptions {
  // Host working file system: mounts <work_fs>/workspace at
  // destination_workspace_path and <work_fs>/<action_id> at
  // /usr/src/<action_id>. Empty or "/" mounts nothing.
  std::string work_fs;
  // The GPU flag from get_gpu_config, inserted as it is.
  std::string use_gpu;
  // Mount the container engine's socket into the container.
  bool mount_docker_sock = false;
  std::string action_id;
  // The model key; keys of some model families bring a model-hub token.
  std::string model_key;
  // Further environment (an object of name to value), merged over the
  // agent's own: a known name keeps its place and takes the new value.
  std::optional<Json> extra_env_vars;
  // Host port to container port (an object); non-empty replaces host
  // networking with one -p flag per entry.
  std::optional<Json> port_mapping;
  std::string destination_workspace_path = "/usr/src/workspace";
  // Working directory of the script; empty: /usr/src/<action_id>, or "."
  // without an action identifier.
  std::string docker_workdir;
};

// The container variables whose values are secrets. get_base_docker_cmd
// (and the broker's own command) pass them as `-e NAME`, without a value,
// and export them in the script as `export NAME="$NAME"`: the engine's
// client takes each value from its own environment, which the unit fills
// (set_container_environment) when it launches the command.
inline constexpr std::array<std::string_view, 4> kContainerSecretVariables = {
    "TAVOREN_ACCESS_KEY_ID", "TAVOREN_SECRET_ACCESS_KEY", "HUGGING_FACE_ACCESS_TOKEN",
    "TAVOREN_INTERNAL_API_KEY"};

inline bool is_container_secret_variable(std::string_view name) {
  for (std::string_view secret : kContainerSecretVariables) {
    if (name == secret) return true;
  }
  return false;
}

// What a work unit launches for a command line.
struct LaunchCommand {
  // The command split by POSIX shell rules (run without a shell).
  std::vector<std::string> argv;
  // Where the engine's client records the id of the container it runs;
  // nullopt for a command that runs no container.
  std::optional<std::string> cid_path;
};

// Finishes a container command line (get_base_docker_cmd's text and the
// executor's job) for launch: splits `cmd`, and when it runs a container
// ("docker run ...", the program named docker wherever it lies) inserts
// "--cidfile <cid_path> --label tavoren.action-id=<action_id>" right after
// "run", then "--label <label>" for each of `extra_labels`: the container
// can then be stopped through the engine and found by the reaper (an
// identifier inside the job's shell script is no argument of its own).
// Other commands are only split. Throws ValueError for unbalanced quotes
// or an empty command. Pure.
LaunchCommand finish_container_command(const std::string& cmd, const std::string& cid_path,
                                       const std::string& action_id,
                                       const std::vector<std::string>& extra_labels = {});

// Tells options.on_exit (when set) that action `id` ended as start_failed,
// with no exit status, and logs why: the action never reached its command.
// Whatever on_exit throws goes to the caller.
void tell_never_started(const WorkUnitOptions& options, const std::string& id);

// The text that marks a GPU out-of-memory failure in a job's log.
inline constexpr std::string_view kCudaOutOfMemory = "CUDA error: out of memory";

class WorkUnit {
 public:
  // Throws TypeError when `action_info` is not an object, KeyError when it
  // lacks "_id", "action" or "actionDetails", ValueError when "_id" is not
  // an action identifier (backend::is_action_id) and "Unknown action type:
  // <type>" when the type has no executor. Asks the backend for the
  // default image (get_data_processing_image) on every construction.
  WorkUnit(backend::Scaling& scaling, const Json& action_info, WorkUnitOptions options = {});
  ~WorkUnit();
  WorkUnit(const WorkUnit&) = delete;
  WorkUnit& operator=(const WorkUnit&) = delete;

  // Lifecycle (the dispatcher's and the agent's).
  //
  // Runs the executor of this action's type. Never throws.
  void execute() EXCLUDES(lifecycle_mutex_);
  // Launches `cmd` (split by POSIX shell rules, run without a shell) with
  // its output in logs/<log_name>_<action id>.txt, then starts the log
  // thread. Called by the executors. Never throws.
  void start(const std::string& cmd, const std::string& log_name) EXCLUDES(lifecycle_mutex_);
  // Whether the unit is still busy with its child. While the log thread
  // watches the child this answers at once: true until that thread has
  // recorded the child's end (logged it, flushed the log tail, reported
  // it), then false, and the handle is gone. Otherwise it checks the child
  // itself and, when it has ended, logs its status, flushes the log tail,
  // reaps it and forgets it. After stop() it forgets the ended child
  // without a second flush. False at once for a unit whose action was
  // taken away (taken_away()), so that its owner stops it.
  bool is_running() EXCLUDES(lifecycle_mutex_);
  // Whether the backend refused a log piece as not current: the action's
  // attempt was taken from this machine (found lost, and the action queued
  // again). The unit then ships nothing more; stop() ends its child.
  bool taken_away() const { return taken_away_.load(); }
  // For a unit that is done (is_running() false) without ever launching its
  // command (its executor failed first): tells on_exit, once, that the
  // action ended with cause start_failed and an unknown status, so that it
  // does not stay assigned to this machine. Does nothing for a unit that
  // launched a child, was taken away, or was told already. Never throws.
  void report_never_started() EXCLUDES(lifecycle_mutex_);
  // Ends the child and the log thread; returns once both are gone (or
  // given up after their limits). Never throws.
  void stop() EXCLUDES(lifecycle_mutex_);
  // The GPUs (positions) this unit's container was given; empty for a unit
  // without GPUs or one taken over from a previous agent.
  std::vector<int> gpus() const EXCLUDES(state_mutex_);
  // The cause its end is recorded with, whatever its exit status says
  // (gpu_fault for a unit ended because its GPU failed). Set before stop().
  void set_end_cause(std::string_view cause) EXCLUDES(state_mutex_);
  // Takes over an action that a previous agent started and left running
  // (instead of execute). A previous `docker run` client still running is
  // ended first (SIGKILL, once its start time shows it is that process;
  // its container goes on). The log file is then completed from the
  // engine's log of the container as it grows, and shipped on from
  // `shipped`. The unit's process is a `docker wait` on the container, so
  // is_running, stop, the dispatcher's purge and the final flush work as
  // for any unit; on_exit gets the container's own exit status from the
  // engine. Without a container, the log file's unshipped rest is shipped
  // at once and the end is reported with an unknown status. Throws when
  // the unit was started already or the watch cannot be launched.
  void adopt(const AdoptedRun& run) EXCLUDES(lifecycle_mutex_);
  // Lets go of the action without stopping it, for an agent that exits to
  // be restarted: ships what the log holds, ends the log thread and kills
  // the unit's process (the `docker run` client, which leaves its container
  // running), reports no end. The unit is then as if stopped; the
  // destructor leaves the container alone. Never throws.
  void detach() EXCLUDES(lifecycle_mutex_);

  // What the executors ask while building their command.
  //
  // The current action record from the backend; nullopt on an error.
  std::optional<Json> get_action_details();
  // The instance's key pair from the client's session, stored in
  // tavoren_access_key_id / tavoren_secret_access_key and registered as
  // secrets. Throws ValueError when either is empty, without logging.
  Json _init_credentials();
  // Each of the following returns the empty text on any failure (logged
  // as "Error in <operation>: ...").
  //
  // The GPU flag for the action record `action_details` (the object that
  // holds "actionDetails"): `--gpus "device=0,1"` for the GPUs with enough
  // free memory, or the empty text when the action needs no GPU or none
  // fits.
  std::string get_gpu_config(const Json& action_details);
  // The front of a container command line, up to and including the open
  // script: `docker run ... /bin/bash -c "cd <dir> && <exports> && <pip
  // installs> && `. The caller appends its job command and the closing
  // double quote. Every inserted value is shell-quoted, and inside the
  // script escaped for the double quotes, so the shell reads back exactly
  // the values given; plain values appear unchanged. The image is the
  // record's "docker" entry, else its "docker_container", else the
  // backend's default image. The secret variables
  // (kContainerSecretVariables) appear by name only (`-e NAME`,
  // `export NAME=\"\$NAME\"`); their values become the unit's container
  // environment (replacing the previous one), and they, the access keys
  // and the model-hub token (for model keys starting with "microsoft" or
  // "timm", asked from the backend) are kept masked in the log. A name in
  // extra_env_vars that is not a valid variable name fails the whole
  // command.
  std::string get_base_docker_cmd(const DockerCmdOptions& options = {});
  // The action's internal API key from the backend.
  std::string get_internal_api_key(const std::string& action_id);
  // Prepares what the container needs, in three stages, each only after the
  // previous one succeeded: the model family's codebase in
  // <work_fs>/<action_id> (only with a model family), the container
  // engine's login to the image registry (host_probe::login_to_registry:
  // the password goes to the login's standard input, and the login has a
  // time limit), and the action owner's access keys, decrypted into
  // tavoren_access_key_id / tavoren_secret_access_key. A model family with
  // an empty work_fs fails with ValueError before anything is asked or
  // fetched (the workspace would be on the root file system). Every failure
  // is logged and thrown; the keys change only when the last stage
  // succeeds.
  void setup_action_requirements(const Json& action_details, const std::string& work_fs = "",
                                 const std::string& model_family = "",
                                 const std::string& action_id = "");

  // Attributes.
  backend::Scaling& scaling() const { return scaling_; }
  const std::string& action_record_id() const { return action_record_id_; }
  const std::string& action_type() const { return action_type_; }
  // Whether a child process is held (launched and not yet forgotten).
  bool has_process() const EXCLUDES(state_mutex_);
  // The command line launched, and its log file (nullopt before a launch).
  std::optional<std::string> cmd() const EXCLUDES(state_mutex_);
  std::optional<std::string> log_path() const EXCLUDES(state_mutex_);

  // The key pair in force for this unit's containers (nullopt until set).
  std::optional<std::string> tavoren_access_key_id() const EXCLUDES(state_mutex_);
  std::optional<std::string> tavoren_secret_access_key() const EXCLUDES(state_mutex_);
  void set_tavoren_keys(std::string access_key_id, std::string secret_access_key)
      EXCLUDES(state_mutex_);

  // Keeps `secret` masked in every log line while this unit lives (texts
  // shorter than four characters are ignored, as by log::register_secret).
  void keep_secret_masked(std::string_view secret) EXCLUDES(state_mutex_);
  // "NAME=value" entries added to the agent's environment for the command
  // the unit launches next: the values of the secret container variables
  // that the command names without a value.
  void set_container_environment(std::vector<std::string> entries) EXCLUDES(state_mutex_);
  std::vector<std::string> container_environment() const EXCLUDES(state_mutex_);

 private:
  // The tests' way to a final flush without a log thread.
  friend struct testing::WorkUnitTestAccess;

  // The launch alone (start without the log thread); throws on failure
  // (bad quoting, missing program, unwritable log file).
  void start_process(const std::string& cmd, const std::string& log_name)
      EXCLUDES(lifecycle_mutex_);
  // Creates the log folder when missing and returns it ("logs").
  std::string get_log_path();
  // The model-hub token for model keys starting with "microsoft" or
  // "timm" (asked from the backend); the empty text otherwise.
  std::string get_hugging_face_token(const std::string& model_key);
  // Reports the action in error when `log_content` holds the GPU
  // out-of-memory marker.
  void _check_cuda(const std::string& log_content);
  // Sends one piece of the log; true when the backend accepted it. The
  // text's storage is lent to the request and handed back afterwards.
  bool send_log_piece(std::string& text, const detail::LogSpan* span = nullptr);
  void request_thread_stop() EXCLUDES(wake_mutex_);
  // The id of the container this unit's command runs, once the engine's
  // client has written it.
  std::optional<std::string> container_id() const EXCLUDES(state_mutex_);
  // Asks the engine to stop the container within the termination grace.
  // True when a container was known and asked. `only_if_running` (after
  // the child ended by itself): the engine is asked first whether the
  // container still runs, and one that does not is left alone, unlogged.
  bool stop_container(const std::string& label, bool only_if_running = false)
      EXCLUDES(state_mutex_);
  // Starts the log thread on the child held (start() and adopt()).
  void start_log_thread() REQUIRES(lifecycle_mutex_) EXCLUDES(state_mutex_);
  // Makes the eventfd the log thread waits on for a stop.
  void make_stop_fd();
  // An adopted unit's log: appends what the engine holds beyond the file
  // (nothing for other units), and passes what its watcher said so far to
  // the agent's log. `final`: the container has ended.
  void catch_up_log(bool final);
  // What an adopted unit's watcher (`docker wait`) wrote to its standard
  // error so far, through host_probe::log_tool_output; never waits.
  void report_watcher_output() EXCLUDES(state_mutex_);
  // An adopted unit's container's exit status from the engine (unknown
  // when the engine cannot tell, or it still runs).
  process::ExitStatus adopted_exit_status();
  // Ends the previous agent's `docker run` client (see adopt).
  void end_previous_client(pid_t pid, std::uint64_t start);
  // Body of the log thread: the streaming loop, then the done signal.
  void run_log_thread(int child_fd) EXCLUDES(wake_mutex_);
  // The streaming loop, watching the child's pidfd `child_fd` (-1: none).
  void send_logs_continuously(int child_fd);
  // Waits up to join_limit for the log thread and joins it when it ended.
  void join_log_thread(const std::string& label) REQUIRES(lifecycle_mutex_) EXCLUDES(wake_mutex_);
  // Whether the log thread has finished, waiting up to `limit` for it.
  bool wait_log_thread_done(std::chrono::milliseconds limit) EXCLUDES(wake_mutex_);
  // The action identifier for messages ("unknown" when empty).
  std::string label() const;
  void clear_process() EXCLUDES(state_mutex_);
  // The child's status when it has ended and was reaped (nullopt when
  // none is held or it runs).
  std::optional<process::ExitStatus> child_exit_status() const EXCLUDES(state_mutex_);
  // The child, for the thread that holds its end (child_end_.take()) and
  // waits for it to end: no other thread reaps, replaces or drops the
  // child until that thread settles the end, so the wait needs no state
  // lock (which would hold up every accessor for the grace periods).
  // Other threads reach the child only with state_mutex_ held.
  process::Child& child_of_end_taker() NO_THREAD_SAFETY_ANALYSIS { return *process_; }
  // The final flush; true when the whole log has reached the backend: the
  // flush got to its end and nothing was dropped.
  bool flush_final_logs();
  // Calls options_.on_exit for a child that ended with `status`, once it
  // succeeds. False when it failed for a cause that may pass (a
  // backend::CallFailure that may_pass()): it may then be called again.
  bool report_exit(process::ExitStatus status, bool log_complete);
  // The cause on_exit is told for a child that ended with `status`.
  std::string_view end_cause_of(process::ExitStatus status) const;
  // The log thread's delivery of its child's end: the final flush, then
  // on_exit, each tried again while it fails for a cause that may pass,
  // within the timings' end_delivery_limit.
  void deliver_end(process::ExitStatus status);
  // Waits end_retry_interval (not beyond `deadline`); false when the
  // deadline passed or the destructor gave up the delivery.
  bool wait_to_retry_end(std::chrono::steady_clock::time_point deadline);
  // The log thread's wait between two shipments: until log_interval
  // passed, a stop was asked, or (child_fd >= 0) the child ended. True
  // when the child ended and no stop was asked.
  bool wait_for_next_round(int child_fd) EXCLUDES(wake_mutex_);
  // The log thread's handling of its child's end. False when another
  // thread has taken the end: the caller then stops watching the child.
  bool record_end_on_log_thread();
  // The destructor's end of a child still running (see the class comment).
  void end_child_on_destruction(const std::string& id);

  // Set by the constructor, never changed afterwards, read without a lock.
  backend::Scaling& scaling_;
  WorkUnitOptions options_;
  Json action_info_;
  std::string action_record_id_;
  std::string action_type_;
  Json docker_container_;
  Executor task_;

  // Locks, in the order they may be taken: lifecycle_mutex_, then
  // state_mutex_ or wake_mutex_ (never both); child_end_'s own lock and
  // the shipper's are leaves, taken with any of these held or none.
  //
  // Serialises the owner's operations (start_process, is_running, stop,
  // adopt, detach, and the destructor's join) and guards log_thread_.
  Mutex lifecycle_mutex_ ACQUIRED_BEFORE(state_mutex_, wake_mutex_);
  // The child, what belongs to it, and the key pair.
  mutable Mutex state_mutex_;
  std::optional<std::string> tavoren_access_key_id_ GUARDED_BY(state_mutex_);
  std::optional<std::string> tavoren_secret_access_key_ GUARDED_BY(state_mutex_);
  std::vector<std::string> container_environment_ GUARDED_BY(state_mutex_);
  // The action's secrets, masked in the log until the unit is destroyed.
  std::vector<log::SecretRegistration> held_secrets_ GUARDED_BY(state_mutex_);
  std::optional<process::Child> process_ GUARDED_BY(state_mutex_);
  std::optional<std::string> cmd_ GUARDED_BY(state_mutex_);
  std::optional<std::string> log_path_ GUARDED_BY(state_mutex_);
  // Where the container engine's client writes the id of the container it
  // runs (set when the command is a `docker run`).
  std::optional<std::string> cid_path_ GUARDED_BY(state_mutex_);
  std::vector<int> gpus_ GUARDED_BY(state_mutex_);
  std::string end_cause_ GUARDED_BY(state_mutex_);

  // How the child ended, and which thread records it (its own lock).
  ChildEnd child_end_;
  // Whether the latest log piece sent got no answer for a cause that may
  // pass (see deliver_end). Written and read by the thread shipping the
  // log (one at a time: the shipper serialises them).
  std::atomic<bool> last_send_unanswered_{false};
  // Set by the shipping thread when the backend answers not current.
  std::atomic<bool> taken_away_{false};
  // Set by the shipping thread once the log showed the out-of-memory marker.
  std::atomic<bool> out_of_memory_seen_{false};

  // The log thread. stop_thread_ is set under wake_mutex_ (so a wait on
  // wake_ cannot miss it) and read without it by the streaming loop.
  std::atomic<bool> stop_thread_{false};
  // Readable once a stop was asked (an eventfd, made by start()), so the
  // log thread can wait for a stop and its child's pidfd at once.
  std::atomic<int> stop_fd_{-1};
  Mutex wake_mutex_;
  // Signalled when stop_thread_ or log_thread_done_ is set.
  std::condition_variable_any wake_;
  bool log_thread_done_ GUARDED_BY(wake_mutex_) = false;
  std::thread log_thread_ GUARDED_BY(lifecycle_mutex_);

  // Ships the log file to the backend (its own state and lock).
  std::unique_ptr<detail::LogShipper> shipper_;

  // Set by adopt() under lifecycle_mutex_ before the log thread starts;
  // read by the log thread, which the start of the thread orders after.
  std::atomic<bool> adopted_{false};
  std::string adopted_container_;
  std::unique_ptr<detail::EngineLogResume> engine_log_;
};

}  // namespace tavoren
