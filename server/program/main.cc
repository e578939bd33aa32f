// tavoren-backend: the backend server of agents and operators, and the
// commands that manage its access keys.
//
// Exit statuses: 0 done, 1 refused or failed, 2 wrong usage.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "command_line.h"
#include "serve_settings.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/sealing.h"
#include "tavoren/http_server.h"
#include "tavoren/metrics.h"
#include "tavoren/metrics_endpoint.h"
#include "tavoren/postgres_store.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/web.h"

namespace {

using namespace tavoren;
using namespace tavoren::server::cli;
namespace wire = backend::wire;

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "Usage: tavoren-backend <command> [options]\n"
    "\n"
    "Commands:\n"
    "  serve          serve agents and operators over HTTPS\n"
    "  keys create    make an access key (--instance ID, --operator or --viewer)\n"
    "  keys list      list the access keys (never their secrets)\n"
    "  keys revoke    revoke an access key\n"
    "  keys transport make a new transport key of an instance\n"
    "  keys reseal    move a store's secrets to a (new) master key\n"
    "  keys master-key  print a new random master key\n"
    "  migrate        bring a store's schema to this program's version\n"
    "  import         copy an embedded store (sqlite:PATH) into a PostgreSQL one\n"
    "\n"
    "Run \"tavoren-backend <command> --help\" for a command's options;\n"
    "\"tavoren-backend --version\" shows the version.\n";

constexpr const char* kServeHelp =
    "Usage: tavoren-backend serve --store STORE --listen HOST:PORT\n"
    "                             (--tls-cert FILE --tls-key FILE | --plain-http) [options]\n"
    "\n"
    "Serves the backend protocol to agents (instance keys) and operators (operator keys)\n"
    "from the database PATH, and the operator's pages under /ui/ on the same listener\n"
    "(sign in with an operator or viewer key). SIGTERM or SIGINT stops it gracefully:\n"
    "requests in progress are answered first.\n"
    "\n"
    "  --store sqlite:PATH          the database file (created when missing)\n"
    "  --store postgresql://HOST/DB a PostgreSQL database that several servers share; its\n"
    "                               schema must be current (tavoren-backend migrate). The\n"
    "                               password comes from PGPASSFILE, ~/.pgpass or libpq's\n"
    "                               environment: a URL with a password is refused\n"
    "  --listen HOST:PORT           an IP address and port ([::1]:8443 for IPv6; port 0\n"
    "                               picks a free one); the bound address is printed\n"
    "  --tls-cert FILE              the server's certificate chain (PEM)\n"
    "  --tls-key FILE               the server's private key (PEM)\n"
    "  --plain-http                 serve without TLS: only on a loopback address (tests)\n"
    "  --max-in-flight N            requests handled at once before 429 (default 256)\n"
    "  --log-limit BYTES            log bytes stored per action (default 1073741824)\n"
    "  --port-range LOW-HIGH        ports handed to each instance (default 30000-32767)\n"
    "  --assign-batch N             the most actions one assign_jobs hands out (default 1)\n"
    "  --unresponsive-after SECONDS a machine without contact this long is unresponsive\n"
    "                               (default 90)\n"
    "  --lost-after SECONDS         ... and lost this long: its actions end as machine_lost\n"
    "                               and are queued again (default 300)\n"
    "  --requeue-lost N             how often an action is queued again after its machine\n"
    "                               was lost, unless its record sets \"retry\" (default 1;\n"
    "                               0: never)\n"
    "  --master-key-file FILE       the master key (required): 32 random bytes as 64\n"
    "                               hexadecimal characters or Base64 (tavoren-backend keys\n"
    "                               master-key makes one)\n"
    "  --previous-master-key-file FILE  during a rotation, the master key before it: values\n"
    "                               sealed under either are read (see keys reseal)\n"
    "  --log-level LEVEL            debug, info, warning or error (default info)\n"
    "  --metrics-listen HOST:PORT   serve /metrics and /healthz over plain HTTP there\n"
    "                               (default 127.0.0.1:9465; an empty value serves nothing)\n"
    "\n"
    "The master key never leaves the server (it is neither put into the environment nor\n"
    "given to any child). One subkey per purpose is derived from it (HKDF-SHA256): the\n"
    "access keys' and transport keys' secrets, the operator's secrets (registry password,\n"
    "model secrets, internal API keys), the owners' key pairs at rest, and web sessions;\n"
    "each value is bound to its row. A store made by older servers under the single\n"
    "encryption key is refused until tavoren-backend keys reseal has moved it.\n";

constexpr const char* kKeysCreateHelp =
    "Usage: tavoren-backend keys create --store STORE\n"
    "                                   (--instance ID | --operator | --viewer)\n"
    "                                   [--gpus N] [--max-actions N] [--label KEY=VALUE]...\n"
    "                                   --master-key-file FILE\n"
    "\n"
    "Makes an access key for one instance's agent, for an operator, or for a viewer (who\n"
    "may read what an operator reads, the configuration excepted, and sign in to the\n"
    "pages under /ui/, but change nothing), and prints the\n"
    "access key and its secret key on standard output; an instance key comes with the\n"
    "instance's transport key, the agent's TAVOREN_ENCRYPTION_KEY, with which it opens\n"
    "the owners' key pairs the server sends it. They are shown only now; they are stored\n"
    "sealed under the master key.\n"
    "\n"
    "An instance key makes its instance a machine the server knows:\n"
    "  --gpus N         the GPUs it is rented with; 0: CPU only, it never gets GPU work\n"
    "                   whatever its agent reports (unset: the agent's report decides)\n"
    "  --max-actions N  the most live actions it holds at once (default 8)\n"
    "  --label K=V      a label of the machine (repeatable)\n";

constexpr const char* kKeysTransportHelp =
    "Usage: tavoren-backend keys transport --store STORE --instance ID --master-key-file FILE\n"
    "\n"
    "Makes a new transport key of an instance, replacing its earlier one, and prints it\n"
    "once: give it to the instance's agent as TAVOREN_ENCRYPTION_KEY. The server sends an\n"
    "owner's key pair to an instance sealed under its transport key, and only while it\n"
    "holds a live action of that owner; an instance without one (one made before\n"
    "transport keys) gets no key pair, with a refusal that names this command.\n";

constexpr const char* kKeysResealHelp =
    "Usage: tavoren-backend keys reseal --store STORE --master-key-file NEW\n"
    "                                   (--old-key-file OLD | --old-master-key-file OLD)\n"
    "                                   [--batch N]\n"
    "\n"
    "Seals every secret of the store anew under the master key NEW: the access keys' and\n"
    "transport keys' secrets, the owners' key pairs, model secrets, internal API keys and\n"
    "the registry password. Values already under NEW are left alone.\n"
    "\n"
    "  --old-key-file OLD         a store made by servers before master keys: OLD holds\n"
    "                             their single encryption key (TAVOREN_ENCRYPTION_KEY).\n"
    "                             Stop its servers first; serve refuses the store until\n"
    "                             the move has finished.\n"
    "  --old-master-key-file OLD  a rotation: OLD is the master key until now. Restart\n"
    "                             the servers with --master-key-file NEW\n"
    "                             --previous-master-key-file OLD first (they read values\n"
    "                             under both), run this, then restart them without the\n"
    "                             previous key.\n"
    "  --batch N                  values sealed per transaction (default 100)\n"
    "\n"
    "Each batch is one transaction; after each, the values sealed so far are printed by\n"
    "table. Interrupted, run it again: it goes on where it stopped. The database may keep\n"
    "the old values in its free space until it is vacuumed (VACUUM; for PostgreSQL,\n"
    "VACUUM FULL of the tables named).\n";

constexpr const char* kKeysListHelp =
    "Usage: tavoren-backend keys list --store STORE\n"
    "\n"
    "Lists every access key: the key, its role, its instance, when it was made and\n"
    "whether it is revoked. Secrets are never shown.\n";

constexpr const char* kMigrateHelp =
    "Usage: tavoren-backend migrate --store (sqlite:PATH | postgresql://HOST/DB)\n"
    "\n"
    "Brings the store's schema to this program's version, in one transaction; a\n"
    "schema newer than this program's is refused. Safe to run again, and from\n"
    "several hosts at once.\n";

constexpr const char* kImportHelp =
    "Usage: tavoren-backend import --from sqlite:PATH --to postgresql://HOST/DB\n"
    "\n"
    "Copies an embedded store into a PostgreSQL store that holds no actions, in one\n"
    "transaction: the queue (records, states, assignments, scale-downs, ends), the\n"
    "status history, the logs, the settings, key pairs and access keys (their secrets\n"
    "stay sealed: serve the target with the same master key), the machines'\n"
    "resource reports, the ports held by instances and the answers kept for repeated\n"
    "writes. Not copied: kept answers that expired. Settings or access keys the target\n"
    "holds already are kept. Stop the servers of the embedded store first: writes made\n"
    "after the copy began are not copied. The target's schema is migrated first.\n";

constexpr const char* kKeysRevokeHelp =
    "Usage: tavoren-backend keys revoke --store STORE ACCESS_KEY\n"
    "\n"
    "Revokes an access key: a running server refuses it within seconds.\n";

// The store named by `store` (sqlite:PATH or a postgresql:// URL, checked
// by store_text), its secrets under `keyring` when one is given.
std::unique_ptr<backend::Store> open_store(
    const std::string& store, const StoreSettings& settings = {},
    std::shared_ptr<const sealing::Keyring> keyring = nullptr) {
  if (is_postgresql(store)) {
    backend::PgBackendOptions options;
    options.conninfo = store;
    options.keyring = keyring;
    options.log_limit_bytes = settings.log_limit_bytes;
    options.port_range = settings.port_range;
    options.assign_batch = settings.assign_batch;
    options.fleet = settings.fleet;
    return std::make_unique<backend::PgScaling>(std::move(options));
  }
  backend::LocalBackendOptions options;
  options.database = store.substr(std::string_view("sqlite:").size());
  options.keyring = std::move(keyring);
  options.log_limit_bytes = settings.log_limit_bytes;
  options.port_range = settings.port_range;
  options.assign_batch = settings.assign_batch;
  options.fleet = settings.fleet;
  return std::make_unique<backend::LocalScaling>(std::move(options));
}

// The master key of --master-key-file (required), and the previous one.
std::shared_ptr<const sealing::Keyring> master_keyring(const Parsed& parsed,
                                                       const char* previous_option = nullptr) {
  std::optional<std::string> previous;
  if (previous_option != nullptr) previous = parsed.get(previous_option);
  return server::load_keyring(required(parsed, "--master-key-file"), previous);
}

// The HTTP server's options as the settings give them, with the protocol's
// refusals, and a connection limit that fits the process's descriptors
// (whose soft limit is raised to the hard one first): the store's
// connections, the log, the listeners and the metrics endpoint keep a
// reserve of them.
http_server::Options serving_options(http_server::Options options) {
  constexpr std::size_t kReservedDescriptors = 128;
  options.render_refusal = server::render_refusal;
  const std::uint64_t descriptors = http_server::raise_descriptor_limit();
  const std::size_t wanted = options.limits.max_connections;
  options.limits.max_connections =
      http_server::connections_within(descriptors, wanted, kReservedDescriptors);
  log::info(
      "Descriptor limit %d: serving at most %d connections%s", descriptors,
      options.limits.max_connections,
      options.limits.max_connections < wanted ? " (fewer than wanted: raise LimitNOFILE)" : "");
  return options;
}

// Blocks SIGTERM and SIGINT in this thread, and so in every thread started
// after it, which inherits the mask: only the run loop takes them.
sigset_t block_stop_signals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return stop_signals;
}

// The parts of a running server, built in this order by the constructor
// and destroyed in the reverse order: the metrics endpoint and the collect
// hook go before the HTTP server, the service and the store they read.
class ServingParts {
 public:
  // Opens the store, starts the HTTP server (printing the bound address)
  // and the metrics endpoint, when one is asked for.
  ServingParts(const ServeSettings& settings,
               const std::shared_ptr<const sealing::Keyring>& keyring)
      : store_(serving_store(settings, keyring)),
        keys_(*store_, keyring),
        service_(*store_, keys_),
        web_(*store_, keys_, keyring->subkey(sealing::Purpose::kWebSessions),
             web::WebOptions{.plain_http = settings.server.plain_http}),
        router_(web_, service_),
        http_(serving_options(settings.server), router_) {
    http_.start();
    const std::string bound =
        format_host(settings.address.host) + ":" + std::to_string(http_.port());
    log::info("listening on %s (%s)", bound, settings.server.plain_http ? "plain HTTP" : "TLS");
    std::cout << "listening on " << bound << std::endl;
    hook_ = watch_metrics();
    if (settings.metrics_address) {
      serve_metrics(*settings.metrics_address, settings.server.server_name);
    }
    sweeper_ = std::thread([this, every = sweep_interval(settings.store_settings.fleet)] {
      sweep_until_stopped(every);
    });
  }

  ~ServingParts() { stop_sweeping(); }

  // Answers the requests in progress and stops: new requests get 503, the
  // HTTP server drains and stops, then the metrics go.
  void shut_down() {
    stop_sweeping();
    stopping_ = true;
    http_.begin_shutdown();
    http_.stop();
    endpoint_.reset();
    hook_.reset();
  }

 private:
  // The store, once it is known to be sealed under the master key.
  static std::unique_ptr<backend::Store> serving_store(
      const ServeSettings& settings, const std::shared_ptr<const sealing::Keyring>& keyring) {
    std::unique_ptr<backend::Store> store =
        open_store(settings.store, settings.store_settings, keyring);
    server::require_master_sealed(*store, settings.store);
    return store;
  }

  // How often the machines are swept: a tenth of the time to lost, from 1
  // to 10 seconds, so that a lost machine's work runs again soon after.
  static std::chrono::milliseconds sweep_interval(const backend::FleetRules& fleet) {
    return std::clamp<std::chrono::milliseconds>(fleet.lost_after / 10, std::chrono::seconds(1),
                                                 std::chrono::seconds(10));
  }

  // Sweeps the machines every `every` until stop_sweeping(). Every server
  // of a store sweeps; they skip the machines another is sweeping.
  void sweep_until_stopped(std::chrono::milliseconds every) {
    metrics::Registry& registry = metrics::Registry::process_wide();
    metrics::Counter& lost =
        registry.counter("tavoren_backend_machines_lost_total", "Machines found lost").get();
    metrics::Family<metrics::Counter>& outcomes = registry.counter(
        "tavoren_backend_lost_work_total",
        "Actions of lost machines queued again (requeued) or ended, and actions of drained "
        "machines scaled down (drained)",
        {"outcome"});
    std::unique_lock lock(sweep_mutex_);
    while (!sweep_stop_.wait_for(lock, every, [this] { return sweeping_stopped_; })) {
      lock.unlock();
      try {
        const backend::SweepOutcome outcome = store_->sweep_machines();
        lost.inc(static_cast<double>(outcome.lost));
        outcomes.with({"requeued"}).inc(static_cast<double>(outcome.requeued));
        outcomes.with({"ended"}).inc(static_cast<double>(outcome.ended));
        outcomes.with({"drained"}).inc(static_cast<double>(outcome.drained));
        const std::string lost_cause(backend::end_cause::kMachineLost);
        service_.metrics()
            .ends.with({lost_cause})
            .inc(static_cast<double>(outcome.ended + outcome.requeued));
        service_.metrics().requeues.with({lost_cause}).inc(static_cast<double>(outcome.requeued));
        if (outcome.lost + outcome.drained > 0) {
          log::warning(
              "Machines found lost: %d (their actions: %d queued again, %d ended); actions of "
              "drained machines scaled down: %d",
              outcome.lost, outcome.requeued, outcome.ended, outcome.drained);
        }
      } catch (const std::exception& e) {  // the next sweep tries again
        service_.metrics().store_errors.inc();
        log::error("The sweep of the machines failed: %s", e.what());
      }
      lock.lock();
    }
  }

  void stop_sweeping() {
    {
      std::lock_guard lock(sweep_mutex_);
      sweeping_stopped_ = true;
    }
    sweep_stop_.notify_all();
    if (sweeper_.joinable()) sweeper_.join();
  }

  // The operator's view: the state of the queue and of the connections,
  // read at each scrape.
  metrics::CollectHook watch_metrics() {
    metrics::Registry& registry = metrics::Registry::process_wide();
    metrics::Family<metrics::Gauge>& actions =
        registry.gauge("tavoren_backend_actions",
                       "Actions in the store by state (queued: waiting for an agent)", {"state"});
    metrics::Family<metrics::Gauge>& machines =
        registry.gauge("tavoren_backend_machines", "Machines the store knows, by liveness and mode",
                       {"liveness", "mode"});
    metrics::Gauge& in_flight =
        registry.gauge("tavoren_backend_requests_in_flight", "Requests being handled now").get();
    metrics::Gauge& connections =
        registry.gauge("tavoren_backend_open_connections", "Open client connections").get();
    metrics::Counter& store_errors = service_.metrics().store_errors;
    return registry.on_collect(
        [this, &actions, &machines, &in_flight, &connections, &store_errors] {
          const http_server::Stats stats = http_.stats();
          in_flight.set(static_cast<double>(stats.in_flight));
          connections.set(static_cast<double>(stats.open_connections));
          try {
            std::map<std::string, std::int64_t> counts = store_->count_by_state();
            for (const char* state : {"queued", "assigned", "ended", "rejected"}) {
              actions.with({state}).set(static_cast<double>(counts[state]));
            }
            auto by_kind = store_->count_machines();
            for (const char* liveness : {"alive", "unresponsive", "lost"}) {
              for (const char* mode : {"active", "draining"}) {
                machines.with({liveness, mode}).set(static_cast<double>(by_kind[{liveness, mode}]));
              }
            }
            store_answered_ = true;
          } catch (const std::exception& e) {  // a failed count is a metric, not a failed scrape
            store_errors.inc();
            store_answered_ = false;
            log::error("Cannot count the actions for the metrics: %s", e.what());
          }
        });
  }

  // /metrics and /healthz at `address`; the server runs without them when
  // the address cannot be bound.
  void serve_metrics(const metrics_endpoint::ListenAddress& address,
                     const std::string& server_name) {
    auto health = [this] {
      metrics_endpoint::HealthReport report;
      try {
        store_->count_by_state();
        report.checks.emplace_back("store", "answers");
      } catch (const std::exception&) {  // any failure of the store is "not ready"
        report.ready = false;
        report.checks.emplace_back("store", "does not answer");
      }
      if (stopping_) {
        report.ready = false;
        report.checks.emplace_back("service", "stopping");
      }
      return report;
    };
    const std::string where = format_host(address.host) + ":" + std::to_string(address.port);
    try {
      endpoint_ =
          std::make_unique<metrics_endpoint::MetricsEndpoint>(metrics_endpoint::EndpointOptions{
              .address = address, .health = health, .server_name = server_name});
      log::info("Serving metrics and health on %s (port %d)", where, endpoint_->port());
    } catch (const std::exception& e) {  // optional: the server runs on without it
      log::error("Cannot serve metrics and health on %s: %s; serving without them", where,
                 e.what());
    }
  }

  const std::unique_ptr<backend::Store> store_;
  server::AccessKeys keys_;
  server::BackendService service_;
  // The operator's pages under /ui/, beside the protocol.
  web::WebService web_;
  web::Router router_;
  http_server::HttpServer http_;
  std::atomic<bool> store_answered_{true};
  std::atomic<bool> stopping_{false};
  metrics::CollectHook hook_;
  std::unique_ptr<metrics_endpoint::MetricsEndpoint> endpoint_;
  std::mutex sweep_mutex_;
  std::condition_variable sweep_stop_;
  bool sweeping_stopped_ = false;
  std::thread sweeper_;
};

// Serves until SIGTERM or SIGINT (blocked in `stop_signals`), then stops
// gracefully.
int run_until_stopped(ServingParts& parts, const sigset_t& stop_signals) {
  int signal = 0;
  while (signal <= 0) {
    timespec wait{1, 0};
    signal = sigtimedwait(&stop_signals, nullptr, &wait);
  }
  log::info("Signal %d: answering the requests in progress, then stopping", signal);
  parts.shut_down();
  log::info("Stopped");
  return kOk;
}

int serve(const std::vector<std::string>& args) {
  const ServeSettings settings = read_serve_settings(args);
  if (settings.help) {
    std::cout << kServeHelp;
    return kOk;
  }
  log::set_level(settings.log_level);
  if (!settings.master_key_file) {
    throw UsageError(
        "serve needs --master-key-file FILE (tavoren-backend keys master-key makes one)");
  }
  const auto keyring =
      server::load_keyring(*settings.master_key_file, settings.previous_master_key_file);
  const sigset_t stop_signals = block_stop_signals();
  ServingParts parts(settings, keyring);
  return run_until_stopped(parts, stop_signals);
}

// The machine properties of keys create's options.
backend::MachineChange machine_change(const Parsed& parsed) {
  backend::MachineChange change;
  if (const auto gpus = parsed.get("--gpus")) {
    const std::int64_t n = number(*gpus, "--gpus");
    if (n < 0 || n > 1024) throw UsageError("--gpus takes 0 to 1024");
    change.gpus = static_cast<int>(n);
  }
  if (const auto most = parsed.get("--max-actions")) {
    const std::int64_t n = number(*most, "--max-actions");
    if (n < 0 || n > 100000) throw UsageError("--max-actions takes 0 to 100000");
    change.max_actions = static_cast<int>(n);
  }
  const auto labels = parsed.lists.find("--label");
  if (labels != parsed.lists.end()) {
    for (const std::string& label : labels->second) {
      const std::size_t equals = label.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == label.size()) {
        throw UsageError("--label takes KEY=VALUE, not " + label);
      }
      change.labels[label.substr(0, equals)] = label.substr(equals + 1);
    }
  }
  return change;
}

int keys_create(const std::vector<std::string>& args) {
  const Parsed parsed =
      parse(args, {"--store", "--instance", "--master-key-file", "--gpus", "--max-actions"},
            {"--operator", "--viewer"}, {"--label"});
  if (parsed.help) {
    std::cout << kKeysCreateHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const bool operator_key = parsed.has("--operator");
  const bool viewer_key = parsed.has("--viewer");
  const std::optional<std::string> instance = parsed.get("--instance");
  if (int{operator_key} + int{viewer_key} + int{instance.has_value()} != 1) {
    throw UsageError("Give exactly one of --instance ID, --operator and --viewer");
  }
  if (instance && instance->empty()) throw UsageError("--instance needs an identifier");
  const backend::MachineChange machine = machine_change(parsed);
  if (!instance && (machine.gpus || machine.max_actions || !machine.labels.empty())) {
    throw UsageError("--gpus, --max-actions and --label are for an instance key");
  }
  const std::string store = store_text(parsed);
  const auto keyring = master_keyring(parsed);
  const std::unique_ptr<backend::Store> local = open_store(store, {}, keyring);
  server::require_master_sealed(*local, store);
  server::AccessKeys keys(*local, keyring);
  if (instance) local->set_machine(*instance, machine, true);
  const server::NewAccessKey made = instance     ? keys.create(wire::Role::kInstance, *instance)
                                    : viewer_key ? keys.create(wire::Role::kViewer)
                                                 : keys.create(wire::Role::kOperator);
  std::cout << "access-key: " << made.access_key << "\nsecret-key: " << made.secret_key << '\n';
  if (!made.transport_key.empty()) std::cout << "transport-key: " << made.transport_key << '\n';
  std::cout << std::flush;
  std::cerr << "The secret key is shown only now; keep it where the "
            << (instance ? "instance's agent" : "operator's tools") << " can read it.\n";
  return kOk;
}

int keys_transport(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--store", "--instance", "--master-key-file"}, {});
  if (parsed.help) {
    std::cout << kKeysTransportHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const std::string instance = required(parsed, "--instance");
  const std::string store = store_text(parsed);
  const auto keyring = master_keyring(parsed);
  const std::unique_ptr<backend::Store> local = open_store(store, {}, keyring);
  server::require_master_sealed(*local, store);
  server::AccessKeys keys(*local, keyring);
  std::cout << "transport-key: " << keys.new_transport_key(instance) << std::endl;
  std::cerr << "The transport key is shown only now; give it to the agent of instance " << instance
            << " as TAVOREN_ENCRYPTION_KEY.\n";
  return kOk;
}

int keys_reseal(const std::vector<std::string>& args) {
  const Parsed parsed = parse(
      args, {"--store", "--master-key-file", "--old-key-file", "--old-master-key-file", "--batch"},
      {});
  if (parsed.help) {
    std::cout << kKeysResealHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  if (parsed.has("--old-key-file") == parsed.has("--old-master-key-file")) {
    throw UsageError("Give exactly one of --old-key-file and --old-master-key-file");
  }
  std::int64_t batch = 100;
  if (const auto given = parsed.get("--batch")) {
    batch = number(*given, "--batch");
    if (batch < 1 || batch > 100000) throw UsageError("--batch takes 1 to 100000");
  }
  const std::string store = store_text(parsed);
  const auto keyring = master_keyring(parsed, "--old-master-key-file");
  std::string old_key;
  sealing::Wipe wipe(old_key);
  if (const auto old_file = parsed.get("--old-key-file")) {
    old_key = server::load_encryption_key(old_file);
  }
  const std::unique_ptr<backend::Store> local = open_store(store, {}, keyring);
  std::map<std::string, std::int64_t> total;
  for (;;) {
    const backend::ResealStep step =
        local->reseal_secrets(old_key, static_cast<std::size_t>(batch));
    for (const auto& [table, count] : step.resealed) total[table] += count;
    std::cout << "resealed";
    for (const auto& [table, count] : total) std::cout << ' ' << table << '=' << count;
    std::cout << (step.done ? " (done)" : "") << std::endl;
    if (step.done) return kOk;
  }
}

int keys_list(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--store"}, {});
  if (parsed.help) {
    std::cout << kKeysListHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const std::unique_ptr<backend::Store> local = open_store(store_text(parsed));
  for (const backend::AccessKeyRecord& key : local->access_keys()) {
    std::cout << key.access_key << '\t' << key.role << '\t'
              << (key.instance_id.empty() ? "-" : key.instance_id) << '\t' << key.created_at << '\t'
              << (key.revoked ? "revoked" : "active") << '\n';
  }
  return kOk;
}

int keys_revoke(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--store"}, {});
  if (parsed.help) {
    std::cout << kKeysRevokeHelp;
    return kOk;
  }
  if (parsed.words.size() != 1) throw UsageError("keys revoke takes one ACCESS_KEY");
  const std::unique_ptr<backend::Store> local = open_store(store_text(parsed));
  if (!local->revoke_access_key(parsed.words.front())) {
    std::cerr << "tavoren-backend: no access key " << parsed.words.front() << '\n';
    return kRefused;
  }
  std::cout << "revoked " << parsed.words.front() << '\n';
  return kOk;
}

int migrate(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--store"}, {});
  if (parsed.help) {
    std::cout << kMigrateHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const std::string store = store_text(parsed);
  if (is_postgresql(store)) {
    backend::PgBackendOptions options;
    options.conninfo = store;
    const int found = backend::PgScaling::migrate(options);
    std::cout << "schema version " << found << " -> " << backend::PgScaling::schema_version()
              << '\n';
    return kOk;
  }
  // Opening the SQLite store brings its schema up to date.
  open_store(store);
  std::cout << "schema version " << backend::LocalScaling::schema_version() << '\n';
  return kOk;
}

int import_store(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--from", "--to"}, {});
  if (parsed.help) {
    std::cout << kImportHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const std::string from = required(parsed, "--from");
  const std::string to = required(parsed, "--to");
  constexpr std::string_view kScheme = "sqlite:";
  if (!from.starts_with(kScheme) || from.size() == kScheme.size()) {
    throw UsageError("--from takes sqlite:PATH");
  }
  if (!is_postgresql(to)) throw UsageError("--to takes postgresql://HOST/DATABASE");
  backend::PgBackendOptions options;
  options.conninfo = to;
  backend::PgScaling::migrate(options);
  const std::filesystem::path database = from.substr(kScheme.size());
  const auto counts = backend::PgScaling::import_rows(
      options, [&](const auto& sink) { backend::LocalScaling::export_rows(database, sink); });
  for (const auto& [table, rows] : counts) std::cout << table << ' ' << rows << '\n';
  return kOk;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("A command is needed");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << kUsageText;
    return kOk;
  }
  if (args[0] == "--version") {
    std::cout << "tavoren-backend " << TAVOREN_VERSION << "\n";
    return kOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "serve") return serve(rest);
  if (args[0] == "migrate") return migrate(rest);
  if (args[0] == "import") return import_store(rest);
  if (args[0] == "keys") {
    if (rest.empty()) {
      throw UsageError("keys needs create, list, revoke, transport, reseal or master-key");
    }
    const std::vector<std::string> options(rest.begin() + 1, rest.end());
    if (rest[0] == "create") return keys_create(options);
    if (rest[0] == "list") return keys_list(options);
    if (rest[0] == "revoke") return keys_revoke(options);
    if (rest[0] == "transport") return keys_transport(options);
    if (rest[0] == "reseal") return keys_reseal(options);
    if (rest[0] == "master-key") {
      std::cout << sealing::new_master_key_text() << std::flush;
      return kOk;
    }
    if (rest[0] == "--help" || rest[0] == "-h") {
      std::cout << kUsageText;
      return kOk;
    }
    throw UsageError("Unknown keys command " + rest[0]);
  }
  throw UsageError("Unknown command " + args[0]);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return run(args);
  } catch (const UsageError& e) {
    std::cerr << "tavoren-backend: " << e.what() << "\n\n" << kUsageText;
    return kUsage;
  } catch (const std::exception& e) {
    std::cerr << "tavoren-backend: " << e.what() << '\n';
    return kRefused;
  }
}
