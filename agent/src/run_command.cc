// The agent's service: start-up checks, the dispatcher loop on the main
// thread, housekeeping (reaper passes and purges) on its own thread, and
// orderly shutdown on SIGTERM or SIGINT.
//
// Signals: SIGTERM, SIGINT and SIGHUP are blocked in every thread (the mask
// is set before any thread starts and is inherited) and taken by one
// watching thread with sigtimedwait. The first SIGTERM or SIGINT asks the
// dispatcher to stop; the main thread then (after draining, with --drain)
// stops housekeeping and every work unit, and the program exits 0. SIGHUP
// asks for a restart instead: the dispatcher stops, every action is left
// running with its state kept, and the program exits kExitRestart for its
// supervisor to start it again. A second signal ends the process at once
// with status 130. Children are started with an empty signal mask, so they
// see signals as usual.
//
// Ended containers: after each purge, the housekeeping thread removes the
// containers of this instance whose action's end and log are recorded
// (neither in the dispatcher's table nor kept for a restart), once
// --keep-ended-containers has passed since they ended (EndedContainers).
//
// Restarts: the running actions are kept in the state file (--state-file,
// tavoren/action_store.h) from their launch until their end is recorded.
// At start-up, before the first poll, the kept actions are taken over
// (JobDispatcher::readopt), and running containers labelled with this
// instance that nothing keeps are stopped.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "cli.h"
#include "commands.h"
#include "json_log.h"
#include "machine_report.h"
#include "service_monitor.h"
#include "tavoren/action_store.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/config.h"
#include "tavoren/common/files.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/container_reaper.h"
#include "tavoren/disk_cleanup.h"
#include "tavoren/engine.h"
#include "tavoren/gpu_health.h"
#include "tavoren/host_probe.h"
#include "tavoren/job_dispatcher.h"
#include "tavoren/prechecks.h"
#include "tavoren/resources_tracker.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::agent {
namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::duration<double>;

const char kRunUsage[] =
    "tavoren-agent run [--backend PATH|URL[,URL...]]... [--backend-ca FILE] [--instance-id ID]\n"
    "                  [--skip-prechecks]\n"
    "                  [--reaper-interval SECONDS] [--poll-interval SECONDS]\n"
    "                  [--drain] [--drain-timeout SECONDS] [--stop-grace SECONDS]\n"
    "                  [--log-interval SECONDS] [--work-dir DIR] [--assign-batch N]\n"
    "                  [--state-file FILE] [--kernel-log PATH]\n"
    "                  [--log-level debug|info|warning|error] [--log-format text|json]\n"
    "                  [--metrics-listen HOST:PORT] [--retain DURATION] [--min-free PERCENT]\n"
    "                  [--keep-ended-containers DURATION]";

const char kRunHelp[] =
    "usage: tavoren-agent run [options]\n"
    "\n"
    "Runs the agent: checks this host, then takes the actions the backend\n"
    "assigns to this instance and runs each in its container, until SIGTERM or\n"
    "SIGINT. The first signal stops taking work, stops every running action\n"
    "(its log shipped, its container stopped) and exits 0; a second signal\n"
    "exits at once. SIGHUP leaves every running action running, kept in the\n"
    "state file, and exits 75 for a restart; an agent that starts takes over\n"
    "the actions its state file keeps (also after a crash).\n"
    "\n"
    "  --backend PATH|URL        the embedded backend's database (default:\n"
    "                            $TAVOREN_BACKEND, else $XDG_STATE_HOME/tavoren/agent.db,\n"
    "                            else /var/lib/tavoren/agent.db for root and\n"
    "                            ~/.local/state/tavoren/agent.db for other users), or a\n"
    "                            backend server, https://HOST:PORT, reached with this\n"
    "                            instance's key pair (TAVOREN_ACCESS_KEY, TAVOREN_SECRET_KEY);\n"
    "                            several servers of one store: --backend again, or URLs\n"
    "                            separated by commas; the first is used until it fails\n"
    "  --backend-ca FILE         the CA certificates of the server's certificate (default:\n"
    "                            $TAVOREN_BACKEND_CA, else the system's CA store)\n"
    "  --instance-id ID          this instance (default: $INSTANCE_ID, else local-<hostname>)\n"
    "  --skip-prechecks          do not check the host first (development hosts only)\n"
    "  --kernel-log PATH         where the GPUs' Xid events are read (/dev/kmsg)\n"
    "  --reaper-interval SECS    between two passes stopping scaled-down containers (30)\n"
    "  --poll-interval SECS      base wait between two polls for work, at least 1 (10)\n"
    "  --drain                   on the first signal, let running actions end first\n"
    "  --drain-timeout SECS      the longest a drain waits before stopping them (300)\n"
    "  --stop-grace SECS         how long a stopped action's container gets to end\n"
    "                            before it is killed (15)\n"
    "  --log-interval SECS       between two shipments of each action's log (10)\n"
    "  --work-dir DIR            the folder holding the actions' log files (default: .)\n"
    "  --state-file FILE         where the running actions are kept across a restart\n"
    "                            (default: kept-actions.state in the --work-dir)\n"
    "  --assign-batch N          the most actions the embedded backend hands out\n"
    "                            in one poll, 1 to 1000 (1)\n"
    "  --log-level LEVEL         debug, info (default), warning or error\n"
    "  --log-format FORMAT       text (default) or json (one object per line)\n"
    "  --metrics-listen HOST:PORT  serve /metrics and /healthz over plain HTTP there\n"
    "                            (default 127.0.0.1:9464; an empty value serves nothing)\n"
    "  --retain DURATION         how long the log file and workspace of an ended action\n"
    "                            are kept: 90s, 15m, 12h, 7d (7d)\n"
    "  --min-free PERCENT        below this much free space on their disk, the files of\n"
    "                            the earliest ended actions go first; 0: never (10)\n"
    "  --keep-ended-containers DURATION\n"
    "                            how long the container of an action whose end and log\n"
    "                            are recorded stays in the engine after it ended, before\n"
    "                            it is removed: 90s, 15m, 12h, 7d; 0: at the next\n"
    "                            housekeeping pass (10m)\n"
    "\n"
    "The start-up checks read the access keys from TAVOREN_ACCESS_KEY and\n"
    "TAVOREN_SECRET_KEY; the container engine is reached as DOCKER_HOST says.\n";

log::Level parse_level(const std::string& text) {
  if (text == "debug") return log::Level::debug;
  if (text == "info") return log::Level::info;
  if (text == "warning") return log::Level::warning;
  if (text == "error") return log::Level::error;
  throw UsageError("--log-level must be debug, info, warning or error, not \"" + text + "\"");
}

std::string default_instance_id() {
  if (auto env = get_env("INSTANCE_ID"); env && !env->empty()) return *env;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "local-agent";
  return std::string("local-") + host;
}

struct RunSettings {
  // --help: nothing else was read.
  bool help = false;
  // The embedded backend's database, or a backend server.
  BackendLocation backend;
  std::string instance_id;
  bool skip_prechecks = false;
  // Where the GPU health monitor reads the kernel's Xid events.
  std::string kernel_log = "/dev/kmsg";
  Seconds reaper_interval{30};
  Seconds poll_interval{10};
  bool drain = false;
  Seconds drain_timeout{300};
  std::optional<Seconds> stop_grace;
  std::optional<Seconds> log_interval;
  std::optional<std::string> work_dir;
  std::optional<std::string> state_file;
  int assign_batch = 1;
  // TAVOREN_HOST_TOOL_TIMEOUT: every host tool's time limit, in place of
  // each tool's own default.
  std::optional<Seconds> host_tool_limit;
  // The metrics and health endpoint.
  MonitorSettings monitor;
  // What becomes of the files of ended actions.
  disk_cleanup::CleanupOptions disk;
  // How long an ended action's container stays in the engine.
  std::chrono::seconds keep_ended_containers{600};
  log::Level log_level = log::Level::info;
  // --log-format json: one object per line.
  bool json_log = false;
};

// --- Settings: the command line and the environment, read and checked. ---

// The durations of --reaper-interval, --poll-interval, --drain-timeout,
// --stop-grace and --log-interval.
void read_timings(const ParsedArgs& args, RunSettings& settings) {
  if (auto v = args.value("--reaper-interval")) {
    settings.reaper_interval = Seconds(parse_seconds("--reaper-interval", *v));
  }
  if (auto v = args.value("--poll-interval")) {
    settings.poll_interval = Seconds(parse_seconds("--poll-interval", *v));
    // The dispatcher waits whole seconds; below one it would not wait.
    if (settings.poll_interval < Seconds(1)) {
      throw UsageError("--poll-interval must be at least 1 second");
    }
  }
  settings.drain = args.has("--drain");
  if (auto v = args.value("--drain-timeout")) {
    settings.drain_timeout = Seconds(parse_seconds("--drain-timeout", *v));
  }
  if (auto v = args.value("--stop-grace")) {
    settings.stop_grace = Seconds(parse_seconds("--stop-grace", *v));
  }
  if (auto v = args.value("--log-interval")) {
    settings.log_interval = Seconds(parse_seconds("--log-interval", *v));
  }
}

// A duration option (90s, 15m, 12h, 7d); UsageError naming it otherwise.
std::chrono::seconds duration_option(const std::string& option, const std::string& text) {
  try {
    return disk_cleanup::parse_duration(text);
  } catch (const std::invalid_argument& e) {
    throw UsageError(option + ": " + e.what());
  }
}

// What becomes of the files of ended actions: --retain and --min-free.
disk_cleanup::CleanupOptions read_cleanup(const ParsedArgs& args) {
  disk_cleanup::CleanupOptions disk;
  if (auto v = args.value("--retain")) disk.retain = duration_option("--retain", *v);
  if (auto v = args.value("--min-free")) {
    double percent = -1;
    try {
      percent = parse_double(*v);
    } catch (const std::exception&) {  // refused below, with the value
    }
    if (!(percent >= 0 && percent < 100)) {
      throw UsageError("--min-free needs a percentage from 0 to 99, not \"" + *v + "\"");
    }
    disk.min_free = percent / 100;
  }
  return disk;
}

// The settings of `run` from its arguments and the environment, checked in
// a fixed order (the first problem found is the one reported). Throws
// UsageError. With --help, nothing else is read.
RunSettings read_run_settings(const Args& raw) {
  const ParsedArgs args =
      parse_args(raw, {backend_option(),           backend_ca_option(),
                       {"--instance-id", true},    {"--skip-prechecks", false},
                       {"--kernel-log", true},     {"--reaper-interval", true},
                       {"--poll-interval", true},  {"--drain", false},
                       {"--drain-timeout", true},  {"--stop-grace", true},
                       {"--log-interval", true},   {"--work-dir", true},
                       {"--state-file", true},     {"--assign-batch", true},
                       {"--log-level", true},      {"--log-format", true},
                       {"--metrics-listen", true}, {"--retain", true},
                       {"--min-free", true},       {"--keep-ended-containers", true}});
  RunSettings settings;
  if (args.help) {
    settings.help = true;
    return settings;
  }
  if (!args.positionals.empty()) throw UsageError("run takes no arguments");
  settings.backend = backend_location(args);
  settings.instance_id = args.value("--instance-id").value_or(default_instance_id());
  if (settings.instance_id.empty()) throw UsageError("--instance-id is empty");
  settings.skip_prechecks = args.has("--skip-prechecks");
  settings.kernel_log = args.value("--kernel-log").value_or(settings.kernel_log);
  read_timings(args, settings);
  settings.work_dir = args.value("--work-dir");
  if (auto v = args.value("--state-file")) {
    // Relative to where the command was given, not to --work-dir.
    settings.state_file = std::filesystem::absolute(*v).string();
  }
  if (auto v = args.value("--assign-batch")) {
    settings.assign_batch = parse_count("--assign-batch", *v, 1000);
  }
  if (auto v = get_env("TAVOREN_HOST_TOOL_TIMEOUT"); v && !v->empty()) {
    settings.host_tool_limit = Seconds(parse_seconds("TAVOREN_HOST_TOOL_TIMEOUT", *v));
  }
  if (std::string listen = args.value("--metrics-listen").value_or("127.0.0.1:9464");
      !listen.empty()) {
    try {
      settings.monitor.listen = metrics_endpoint::parse_listen_address(listen);
    } catch (const std::invalid_argument& e) {
      throw UsageError(std::string("--metrics-listen: ") + e.what());
    }
  }
  settings.disk = read_cleanup(args);
  if (auto v = args.value("--keep-ended-containers")) {
    settings.keep_ended_containers = duration_option("--keep-ended-containers", *v);
  }
  settings.log_level = parse_level(args.value("--log-level").value_or("info"));
  const std::string format = args.value("--log-format").value_or("text");
  if (format != "text" && format != "json") {
    throw UsageError("--log-format must be text or json, not \"" + format + "\"");
  }
  settings.json_log = format == "json";
  return settings;
}

// Blocks SIGTERM, SIGINT and SIGHUP before any thread exists, so that every
// thread inherits the mask and only the watching thread takes them.
sigset_t block_stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

// What the signal-watching thread tells the rest of the program.
class ShutdownState {
 public:
  // `restart`: leave the actions running for the next agent.
  void request(bool restart = false) {
    {
      std::lock_guard lock(mutex_);
      requested_ = true;
      restart_ = restart;
    }
    cv_.notify_all();
  }
  bool requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
  }
  bool restart() const {
    std::lock_guard lock(mutex_);
    return restart_;
  }
  // Waits up to `limit` for a shutdown request; true when one came.
  bool wait_for(Seconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return requested_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool requested_ = false;
  bool restart_ = false;
};

// The signal-watching thread. Ends when `done` is set.
class SignalWatcher {
 public:
  SignalWatcher(sigset_t signals, ShutdownState& shutdown, JobDispatcher& dispatcher)
      : signals_(signals), shutdown_(shutdown), dispatcher_(dispatcher) {
    thread_ = std::thread([this] { watch(); });
  }
  ~SignalWatcher() {
    done_ = true;
    thread_.join();
  }

 private:
  void watch() {
    int received = 0;
    while (!done_) {
      timespec pause{0, 100'000'000};
      siginfo_t info{};
      int signal = ::sigtimedwait(&signals_, &info, &pause);
      if (signal < 0) continue;  // timeout or interruption
      ++received;
      if (received == 1 && signal == SIGHUP) {
        log::info("Received %s: exiting for a restart, the actions left running",
                  ::strsignal(signal));
        shutdown_.request(true);
        dispatcher_.request_stop();
      } else if (received == 1) {
        log::info("Received %s: stopping (a second signal exits at once)", ::strsignal(signal));
        shutdown_.request();
        dispatcher_.request_stop();
      } else {
        log::warning("Received %s again: exiting at once", ::strsignal(signal));
        log::logger().flush();
        std::_Exit(130);
      }
    }
  }

  sigset_t signals_;
  ShutdownState& shutdown_;
  JobDispatcher& dispatcher_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The most time between two heartbeats to a backend server: a machine
// whose agent does not poll for a while (its memory at the threshold) is
// still seen alive.
constexpr Seconds kHeartbeatInterval{30};

// Housekeeping: reaper passes (containers of scaled-down actions are
// stopped), each followed by a purge of ended work units, every interval;
// and a heartbeat, when there is one, at least every kHeartbeatInterval.
class Housekeeping {
 public:
  // `after_purge`, when set, is given the table after each purge.
  Housekeeping(ContainerReaper& reaper, JobDispatcher& dispatcher, Seconds interval,
               std::function<void(const JobDispatcher::ActionTable&)> after_purge = {},
               std::function<void()> heartbeat = {})
      : reaper_(reaper),
        dispatcher_(dispatcher),
        interval_(interval),
        after_purge_(std::move(after_purge)),
        heartbeat_(std::move(heartbeat)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~Housekeeping() { stop(); }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  // The first pass runs at once: containers of actions scaled down while
  // no agent ran are stopped without waiting a whole interval.
  void loop() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point next_pass = Clock::now();
    Clock::time_point next_heartbeat = heartbeat_ ? Clock::now() : Clock::time_point::max();
    while (true) {
      if (Clock::now() >= next_heartbeat) {
        next_heartbeat =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(kHeartbeatInterval);
        heartbeat_();
      }
      if (Clock::now() >= next_pass) {
        next_pass = Clock::now() + std::chrono::duration_cast<Clock::duration>(interval_);
        pass();
      }
      std::unique_lock lock(mutex_);
      if (cv_.wait_until(lock, std::min(next_pass, next_heartbeat), [&] { return stopping_; })) {
        return;
      }
    }
  }

  void pass() {
    reaper_.auto_scaledown_actions();
    try {
      const JobDispatcher::ActionTable table = dispatcher_.get_current_actions();
      if (after_purge_) after_purge_(table);
    } catch (const std::exception& e) {
      log::error("Error in get_current_actions: %s", e.what());
    }
  }

  ContainerReaper& reaper_;
  JobDispatcher& dispatcher_;
  Seconds interval_;
  std::function<void(const JobDispatcher::ActionTable&)> after_purge_;
  std::function<void()> heartbeat_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

// Whether an action still needs what it has on this machine (its files, its
// container): it is in the dispatcher's table, or kept for a restart (its
// end not recorded yet; one the engine did not answer about at start-up is
// kept, not in the table).
bool still_needed(const JobDispatcher::ActionTable& table, action_store::Store& kept,
                  const std::string& id) {
  return std::any_of(table.begin(), table.end(),
                     [&](const auto& entry) { return entry.first == id; }) ||
         kept.find(id).has_value();
}

// The files of ended actions: a pass at start and then every ten minutes,
// on the housekeeping thread, over the log folder and every data folder the
// actions used so far (see tavoren/disk_cleanup.h). Actions that still
// need them keep theirs.
class DiskHousekeeping {
 public:
  DiskHousekeeping(disk_cleanup::CleanupOptions options, const std::filesystem::path& log_dir,
                   action_store::Store& kept)
      : cleanup_(std::move(options)), log_dir_(std::filesystem::absolute(log_dir)), kept_(kept) {}

  void pass(const JobDispatcher::ActionTable& table) {
    const auto now = std::chrono::steady_clock::now();
    if (last_ && now - *last_ < std::chrono::minutes(10)) return;
    last_ = now;
    if (std::optional<std::string> data = host_probe::get_max_file_system();
        data && !data->empty()) {
      if (std::find(data_.begin(), data_.end(), *data) == data_.end()) data_.push_back(*data);
    }
    cleanup_.run(log_dir_, data_,
                 [&](const std::string& id) { return still_needed(table, kept_, id); });
  }

 private:
  disk_cleanup::DiskCleanup cleanup_;
  const std::filesystem::path log_dir_;
  std::vector<std::filesystem::path> data_;
  std::optional<std::chrono::steady_clock::time_point> last_;
  action_store::Store& kept_;
};

// Waits for the running actions to end, at most `limit`.
void drain(JobDispatcher& dispatcher, Seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t remaining = dispatcher.get_current_actions().size();
  if (remaining > 0) log::info("Draining: waiting for %d running actions to end", remaining);
  while (remaining > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(500ms);
    remaining = dispatcher.get_current_actions().size();
  }
  if (remaining > 0) {
    log::warning("Drain timed out with %d actions still running; stopping them", remaining);
  }
}

// --- Wiring: the parts of a running agent, built from its settings. ---

// Applies the settings that concern the process: the host tools' time
// limit, the working folder, the embedded backend's folder.
void prepare_host(const RunSettings& settings) {
  if (settings.host_tool_limit) {
    host_probe::set_tool_limits(host_probe::ToolLimits::all(
        std::chrono::duration_cast<std::chrono::milliseconds>(*settings.host_tool_limit)));
  }
  if (settings.work_dir) {
    std::error_code ec;
    std::filesystem::current_path(*settings.work_dir, ec);
    if (ec) throw Refusal("cannot enter " + *settings.work_dir + ": " + ec.message());
  }
  if (!settings.backend.url) create_database_folder(settings.backend.database);
}

using ScalingFactory = std::function<std::unique_ptr<backend::Scaling>(
    const backend::Session&, const std::optional<std::string>& instance_id)>;

// The backend the agent talks to.
struct Backend {
  backend::Session session;
  // Makes a client of the backend; the start-up checks make their own.
  ScalingFactory make_scaling;
  // The agent's own client.
  std::unique_ptr<backend::Scaling> scaling;
  // The backend's record of how an action's process ended, and why.
  std::function<void(const std::string&, int, std::string_view)> record_exit;
  // The agent's client of a backend server (nullptr for the embedded
  // backend): it knows each action's attempt.
  backend::RemoteScaling* server = nullptr;
};

void log_backend(const RunSettings& settings) {
  if (!settings.backend.url) {
    log::info("Agent %s using the embedded backend at %s", settings.instance_id,
              settings.backend.database.string());
  } else if (settings.backend.fallback_urls.empty()) {
    log::info("Agent %s using the backend server at %s", settings.instance_id,
              *settings.backend.url);
  } else {
    std::string others;
    for (const std::string& url : settings.backend.fallback_urls) {
      others += (others.empty() ? "" : ", ") + url;
    }
    log::info("Agent %s using the backend servers at %s, then %s", settings.instance_id,
              *settings.backend.url, others);
  }
}

// The session (the access keys of the environment, kept out of every log
// line) and the agent's client of the backend. `settings` must outlive it.
Backend connect_backend(const RunSettings& settings) {
  const bool remote = settings.backend.url.has_value();
  Backend backend;
  backend.session = {get_env("TAVOREN_ACCESS_KEY").value_or(""),
                     get_env("TAVOREN_SECRET_KEY").value_or("")};
  if (!backend.session.access_key.empty()) log::register_secret(backend.session.access_key);
  if (!backend.session.secret_key.empty()) log::register_secret(backend.session.secret_key);
  // A server knows this instance by its key pair alone.
  if (remote) backend.session = key_pair_from_environment();

  backend.make_scaling =
      [&settings, remote](
          const backend::Session& client_session,
          const std::optional<std::string>& instance_id) -> std::unique_ptr<backend::Scaling> {
    if (remote) {
      return std::make_unique<backend::RemoteScaling>(
          remote_options(settings.backend, client_session));
    }
    backend::LocalBackendOptions options;
    options.database = settings.backend.database;
    options.instance_id = instance_id.value_or(settings.instance_id);
    options.session = client_session;
    options.assign_batch = settings.assign_batch;
    options.own_key_file = true;
    return std::make_unique<backend::LocalScaling>(std::move(options));
  };
  backend.scaling = backend.make_scaling(backend.session, settings.instance_id);
  if (remote) {
    auto* server = static_cast<backend::RemoteScaling*>(backend.scaling.get());
    backend.server = server;
    backend.record_exit = [server](const std::string& id, int status, std::string_view cause) {
      server->record_exit(id, status, cause);
    };
  } else {
    auto* local = static_cast<backend::LocalScaling*>(backend.scaling.get());
    backend.record_exit = [local](const std::string& id, int status, std::string_view cause) {
      local->record_end(id, backend::ActionEnd{status, std::string(cause), std::nullopt});
    };
  }
  log_backend(settings);
  return backend;
}

// The dispatcher's timings, labels and the recording of each action's end.
JobDispatcherOptions make_dispatcher_options(
    const RunSettings& settings,
    std::function<void(const std::string&, int, std::string_view)> record_exit) {
  JobDispatcherOptions options;
  options.poll_interval = settings.poll_interval.count();
  if (settings.log_interval) {
    options.work_unit.timings.log_interval =
        std::chrono::duration_cast<std::chrono::milliseconds>(*settings.log_interval);
  }
  if (settings.stop_grace) {
    options.work_unit.timings.term_grace =
        std::chrono::duration_cast<std::chrono::milliseconds>(*settings.stop_grace);
  }
  // The backend keeps how each action's process ended, after the final
  // flush of its log. An end whose log did not all arrive is recorded the
  // same way, and said so in the agent's own log: the stored status is the
  // process's, whatever became of its log.
  options.work_unit.on_exit = [record_exit = std::move(record_exit)](
                                  const std::string& id, process::ExitStatus exit_status,
                                  bool log_complete, std::string_view cause) {
    if (!log_complete) {
      log::warning("The log of action %s did not all reach the backend; its end is recorded", id);
    }
    // Stored in the shell's form: the exit code, or 128 + the signal.
    record_exit(id, exit_status.shell_status(), cause);
  };
  options.work_unit.container_labels = {std::string(engine::kInstanceLabel) + "=" +
                                        settings.instance_id};
  return options;
}

// The running actions as kept for a restart: the state file (--state-file,
// else kept-actions.state in the working folder).
std::filesystem::path state_file(const RunSettings& settings) {
  return settings.state_file ? std::filesystem::path(*settings.state_file)
                             : std::filesystem::current_path() / "kept-actions.state";
}

// What the last agent kept, its problems logged.
action_store::Recovery recover_kept_actions(action_store::Store& store) {
  action_store::Recovery recovery = store.load();
  for (const std::string& problem : recovery.problems) {
    log::error("Could not recover a kept action: %s", problem);
  }
  return recovery;
}

// What a restart keeps: every running action from its launch until its
// end is recorded, with how far its log was shipped.
void keep_for_restart(WorkUnitOptions& work_unit, action_store::Store& store) {
  work_unit.on_launch = [&store](const LaunchedRun& run) {
    action_store::KeptAction kept;
    kept.action_id = run.action_id;
    kept.record = run.record;
    kept.log_path = run.log_path;
    kept.cid_path = run.cid_path;
    kept.started_at_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(run.started_at.time_since_epoch())
            .count();
    kept.client_pid = run.client_pid;
    kept.client_start = action_store::process_start_time(run.client_pid).value_or(0);
    store.keep(kept);
  };
  work_unit.on_progress = [&store](const std::string& id, std::uint64_t shipped,
                                   std::uint64_t scanned) {
#ifdef TAVOREN_FAULT_HOOKS
    // Test builds only (never installed): with TAVOREN_FAULT_KILL_AFTER_PIECES=N
    // the program kills itself once the backend has accepted N pieces, before
    // the new offset is kept: the window a restart must cover.
    static std::atomic<long> accepted{0};
    if (const char* after = std::getenv("TAVOREN_FAULT_KILL_AFTER_PIECES")) {
      if (++accepted >= std::atol(after)) ::raise(SIGKILL);
    }
#endif
    store.record_progress(id, shipped, scanned);
    // The container's id, once its client has written it.
    if (std::optional<action_store::KeptAction> kept = store.find(id);
        kept && kept->container_id.empty() && !kept->cid_path.empty()) {
      if (std::optional<std::string> written = read_file_if_present(kept->cid_path)) {
        const std::vector<std::string> words = split_whitespace(*written);
        if (!words.empty()) store.record_container(id, words.front());
      }
    }
  };
  // Kept before each piece is sent: a restarted agent sends that piece
  // again first, and the backend recognises it when it was stored.
  work_unit.on_sending = [&store](const std::string& id, const std::string& stream, std::uint64_t,
                                  std::uint64_t end) { store.record_sending(id, stream, end); };
  // An action is forgotten once its end is recorded (a failure to record
  // it throws before).
  work_unit.on_exit = [record_end = work_unit.on_exit, &store](
                          const std::string& id, process::ExitStatus exit_status, bool log_complete,
                          std::string_view cause) {
    try {
      record_end(id, exit_status, log_complete, cause);
    } catch (const backend::NotCurrentError& e) {
      log::warning("The end of action %s is not recorded: %s", id, e.what());
    }
    try {
      store.forget(id);
    } catch (const std::exception& e) {
      log::error("Error forgetting kept action %s: %s", id, e.what());
    }
  };
}

// The parts of a running agent. The constructor builds them in this order
// (the monitor first, so that its endpoint answers during the start-up);
// they are destroyed in the reverse order: the reaper and the dispatcher
// before the kept actions' store their callbacks write to, the backend's
// clients before the monitor that wraps them.
struct AgentParts {
  explicit AgentParts(const RunSettings& settings) : monitor(settings.monitor) {
    prepare_host(settings);
    backend = connect_backend(settings);
    backend.record_exit = monitor.wrap(std::move(backend.record_exit));
    dispatcher_options = make_dispatcher_options(settings, backend.record_exit);
    store = std::make_unique<action_store::Store>(state_file(settings));
    recovery = recover_kept_actions(*store);
    keep_for_restart(dispatcher_options.work_unit, *store);
    backend.scaling = monitor.wrap(std::move(backend.scaling));
    monitor.watch(dispatcher_options);
    dispatcher = std::make_unique<JobDispatcher>(*backend.scaling, dispatcher_options);
    reaper = std::make_unique<ContainerReaper>(*backend.scaling);
    ended_containers = std::make_unique<EndedContainers>(EndedContainerOptions{
        .instance_id = settings.instance_id, .keep = settings.keep_ended_containers});
  }

  ServiceMonitor monitor;
  Backend backend;
  JobDispatcherOptions dispatcher_options;
  std::unique_ptr<action_store::Store> store;
  action_store::Recovery recovery;
  std::unique_ptr<JobDispatcher> dispatcher;
  std::unique_ptr<ContainerReaper> reaper;
  std::unique_ptr<EndedContainers> ended_containers;
};

// --- The run loop: start-up checks, the dispatcher until a signal, stop. ---

// The host's start-up checks, unless skipped; false when they failed.
bool start_up_checks_pass(AgentParts& agent, const RunSettings& settings) {
  if (settings.skip_prechecks) {
    log::warning(
        "START-UP CHECKS SKIPPED (--skip-prechecks): this host has not been validated; "
        "use this only on a development host");
    return true;
  }
  const backend::Session& session = agent.backend.session;
  Prechecks prechecks(
      session, settings.instance_id,
      [&](const backend::Session& client_session, const std::optional<std::string>& instance_id) {
        return agent.monitor.wrap(agent.backend.make_scaling(client_session, instance_id));
      });
  std::optional<std::string> access, secret;
  if (!session.access_key.empty()) access = session.access_key;
  if (!session.secret_key.empty()) secret = session.secret_key;
  if (!prechecks.run_all_checks(settings.instance_id, access, secret)) {
    log::error("Start-up checks failed; the agent does not start");
    return false;
  }
  return true;
}

// The kept actions with an action record, for the dispatcher to take
// over; a kept action without one is forgotten.
std::vector<KeptRun> kept_runs(AgentParts& agent) {
  std::vector<KeptRun> kept;
  for (const action_store::KeptAction& action : agent.recovery.actions) {
    Json record = action.record;
    if (!record.is_object() || !record.contains("_id")) {
      log::error("Kept action %s has no action record; it is forgotten", action.action_id);
      agent.store->forget(action.action_id);
      continue;
    }
    kept.push_back(KeptRun{.record = std::move(record),
                           .run = AdoptedRun{.container_id = action.container_id,
                                             .log_path = action.log_path,
                                             .cid_path = action.cid_path,
                                             .shipped = action.shipped,
                                             .scanned = action.scanned,
                                             .log_stream = action.log_stream,
                                             .sending = action.sending,
                                             .client_pid = action.client_pid,
                                             .client_start = action.client_start}});
  }
  return kept;
}

// Whether a kept action is still this machine's: a backend server is asked
// before the action is taken back (it may have found the machine lost and
// handed the action on). The client then names the kept attempt in its
// writes. When the server cannot be asked, the action is taken back: its
// writes are refused should it be someone else's by now.
bool still_ours(AgentParts& agent, const std::string& id, const Json& record) {
  backend::RemoteScaling* server = agent.backend.server;
  if (server == nullptr) return true;
  const Json kept = record.is_object() ? record.value("attempt", Json()) : Json();
  try {
    const backend::Result details = agent.backend.scaling->get_action_details(id);
    if (details.has_error()) return false;
    if (kept.is_number_integer()) {
      if (!details.data.is_object() || details.data.value("attempt", Json()) != kept) return false;
      server->adopt(id, kept.get<std::int64_t>());
    }
    return true;
  } catch (const backend::RemoteCallError& e) {
    if (e.status() == 403) return false;  // not assigned to this instance
    log::warning("Cannot ask the backend whether kept action %s is still this machine's: %s", id,
                 e.what());
  } catch (const std::exception& e) {  // taken back; the server fences its writes
    log::warning("Cannot ask the backend whether kept action %s is still this machine's: %s", id,
                 e.what());
  }
  return true;
}

// The actions a previous agent left, before the first poll; then the
// containers of this instance that nothing keeps (the containers of kept
// actions taken from this machine meanwhile among them).
void take_over_kept_actions(AgentParts& agent, const RunSettings& settings,
                            const ShutdownState& shutdown) {
  std::set<std::string> taken;
  std::vector<KeptRun> kept;
  for (KeptRun& run : kept_runs(agent)) {
    const std::string id = run.record.value("_id", "");
    if (!still_ours(agent, id, run.record)) {
      log::warning(
          "Kept action %s was taken from this machine while the agent was away: its "
          "container is stopped",
          id);
      agent.store->forget(id);
      taken.insert(id);
      continue;
    }
    kept.push_back(std::move(run));
  }
  std::vector<std::string> known;
  for (const action_store::KeptAction& action : agent.recovery.actions) {
    if (!taken.contains(action.action_id)) known.push_back(action.action_id);
  }
  if (shutdown.requested()) return;
  const Readoption readoption = agent.dispatcher->readopt(kept);
  if (!kept.empty()) {
    log::info("Kept actions: %d taken over, %d stopped, %d gone, %d left alone",
              readoption.adopted.size(), readoption.stopped.size(), readoption.gone.size(),
              readoption.left.size());
  }
  agent.dispatcher->stop_orphans(settings.instance_id, known);
}

// Tells the server this agent is alive, in `mode` ("active", "draining",
// "preempting"). Empty for the embedded backend.
using Heartbeat = std::function<void(std::string_view mode)>;

// The machine's health and what it has, read on a thread of their own: a
// failed GPU is out of every selection within two health periods, a job on
// a GPU that is lost or needs a reboot ends (and runs again elsewhere while
// its retry budget allows), and the backend hears of the machine every
// minute.
std::unique_ptr<gpu_health::HealthMonitor> start_machine_monitor(AgentParts& agent,
                                                                 const RunSettings& settings) {
  InventoryContext context{.agent_version = TAVOREN_VERSION,
                           .instance_id = settings.instance_id,
                           .provider = config::service_provider().value_or(""),
                           .data_dir = std::filesystem::current_path()};
  auto monitor = std::make_unique<gpu_health::HealthMonitor>(gpu_health::MonitorOptions{
      .kernel_log = settings.kernel_log,
      .gpus = host_probe::has_gpu(),
      .on_change =
          [&agent](const gpu_health::HealthChange& change) {
            if (change.lost || change.fault == gpu_health::FaultClass::kReboot) {
              agent.dispatcher->end_actions_on_gpu(change.index, backend::end_cause::kGpuFault);
            }
          },
      .report =
          [&agent, context](const std::vector<gpu_health::GpuStatus>& gpus,
                            const std::vector<gpu_health::HealthEvent>& events) {
            MachineResourcesTracker(*agent.backend.scaling, {.inventory = [&] {
              return machine_inventory(gpus, events, agent.dispatcher->gpu_users(), context);
            }}).update_available_resources();
          }});
  monitor->start();
  return monitor;
}

// On a spot or preemptible machine, the watcher of its cloud's notice: when
// the cloud takes the machine back, the agent stops taking work, tells the
// server, and stops every job (its log shipped whole, its end recorded
// with cause preempted) before the deadline. Null on any other machine.
std::unique_ptr<gpu_health::NoticeWatcher> start_notice_watcher(AgentParts& agent,
                                                                const Heartbeat& heartbeat,
                                                                std::atomic<bool>& preempted) {
  std::string provider = config::service_provider().value_or("");
  std::transform(provider.begin(), provider.end(), provider.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static constexpr std::chrono::milliseconds kRequestLimit{1000};
  if (!host_probe::is_spot_machine(provider, kRequestLimit)) return nullptr;
  if (!host_probe::gives_interruption_notice(provider)) {
    log::warning(
        "This is a preemptible machine of %s, which gives no notice inside the machine: its jobs "
        "run again once the server finds it lost",
        provider);
    return nullptr;
  }
  log::info("This is a spot machine of %s: its interruption notice is polled every 2 s", provider);
  auto watcher = std::make_unique<gpu_health::NoticeWatcher>(gpu_health::NoticeOptions{
      .read = [provider] { return host_probe::read_interruption_notice(provider, kRequestLimit); },
      .on_notice =
          [&agent, heartbeat, &preempted](const host_probe::InterruptionNotice&) {
            preempted = true;
            agent.dispatcher->set_end_cause_of_all(backend::end_cause::kPreempted);
            agent.dispatcher->request_stop();
            if (heartbeat) heartbeat("preempting");
          }});
  watcher->start();
  return watcher;
}

// The dispatcher's loop on this thread, with housekeeping on its own, until
// a signal (or the cloud's notice) stops it; then the drain, when asked
// for. The exit status so far.
int dispatch_until_stopped(AgentParts& agent, const RunSettings& settings,
                           const ShutdownState& shutdown) {
  int status = kExitOk;
  DiskHousekeeping disk(settings.disk, agent.dispatcher_options.work_unit.log_dir, *agent.store);
  Heartbeat heartbeat;
  if (backend::RemoteScaling* server = agent.backend.server) {
    heartbeat = [server,
                 provider = get_env("SERVICE_PROVIDER").value_or("")](std::string_view mode) {
      try {
        const backend::Result answer = server->heartbeat(TAVOREN_VERSION, provider, mode);
        if (answer.has_error()) log::warning("The heartbeat was refused: %s", *answer.error);
      } catch (const std::exception& e) {  // the next heartbeat tries again
        log::warning("The heartbeat failed: %s", e.what());
      }
    };
  }
  std::function<void()> alive;
  if (heartbeat) alive = [heartbeat] { heartbeat("active"); };
  const std::unique_ptr<gpu_health::HealthMonitor> machine_monitor =
      start_machine_monitor(agent, settings);
  std::atomic<bool> preempted{false};
  const std::unique_ptr<gpu_health::NoticeWatcher> notices =
      start_notice_watcher(agent, heartbeat, preempted);
  // After each purge: the files of ended actions, and the containers of
  // those whose end and log are recorded.
  auto after_purge = [&](const JobDispatcher::ActionTable& table) {
    disk.pass(table);
    agent.ended_containers->remove_ended(
        [&](const std::string& id) { return still_needed(table, *agent.store, id); });
  };
  Housekeeping housekeeping(*agent.reaper, *agent.dispatcher, settings.reaper_interval, after_purge,
                            std::move(alive));
  if (!shutdown.requested()) {
    try {
      agent.monitor.loop_started(settings.poll_interval);
      agent.dispatcher->start_job_dispatcher();
    } catch (const std::exception& e) {  // the loop's end is the agent's: logged, exit 1
      log::error("The job dispatcher stopped: %s", e.what());
      status = kExitRefused;
    }
  }
  agent.monitor.stopping();
  if (settings.drain && status == kExitOk && !shutdown.restart() && !preempted) {
    // The machine shows as draining until its agent polls again.
    if (heartbeat) heartbeat("draining");
    drain(*agent.dispatcher, settings.drain_timeout);
  }
  // Jobs that start no more are stopped as preempted.
  if (preempted) agent.dispatcher->set_end_cause_of_all(backend::end_cause::kPreempted);
  housekeeping.stop();
  if (notices) notices->stop();
  machine_monitor->stop();
  return status;
}

// Leaves the running actions for the next agent (after SIGHUP), or stops
// them. The program's exit status.
int leave_or_stop_actions(AgentParts& agent, const ShutdownState& shutdown, int status) {
  if (shutdown.restart()) {
    log::info("Leaving %d running actions for the next agent", agent.dispatcher->size());
    agent.dispatcher->detach_all();
    log::info("Agent exits for a restart");
    log::logger().flush();
    return kExitRestart;
  }
  log::info("Stopping %d running actions", agent.dispatcher->size());
  agent.dispatcher->stop_all();
  log::info("Agent stopped");
  log::logger().flush();
  return status;
}

// Runs the built agent until a signal (blocked in `signals`) stops it.
int run_until_stopped(AgentParts& agent, const RunSettings& settings, const sigset_t& signals) {
  ShutdownState shutdown;
  SignalWatcher watcher(signals, shutdown, *agent.dispatcher);
  if (!start_up_checks_pass(agent, settings)) return kExitRefused;
  agent.monitor.ready(settings.skip_prechecks);
  take_over_kept_actions(agent, settings, shutdown);
  const int status = dispatch_until_stopped(agent, settings, shutdown);
  return leave_or_stop_actions(agent, shutdown, status);
}

}  // namespace

int run_command(const Args& raw) {
  RunSettings settings;
  try {
    settings = read_run_settings(raw);
  } catch (const UsageError& e) {
    std::cerr << "tavoren-agent run: " << e.what() << "\nusage: " << kRunUsage << "\n";
    return kExitUsage;
  }
  if (settings.help) {
    std::cout << kRunHelp;
    return kExitOk;
  }
  const sigset_t signals = block_stop_signals();
  log::set_level(settings.log_level);
  if (settings.json_log) use_json_log_format();
  try {
    AgentParts agent(settings);
    return run_until_stopped(agent, settings, signals);
  } catch (const std::exception& e) {  // the program's entry: one line, exit 1
    log::error("The agent cannot run: %s", e.what());
    log::logger().flush();
    return kExitRefused;
  }
}

}  // namespace tavoren::agent
