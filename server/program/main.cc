// tavoren-backend: the backend server of agents and operators, and the
// commands that manage its access keys.
//
// Exit statuses: 0 done, 1 refused or failed, 2 wrong usage.

#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/server.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/http_server.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/metrics.h"
#include "tavoren/metrics_endpoint.h"
#include "tavoren/postgres_store.h"

namespace {

using namespace tavoren;
namespace wire = backend::wire;

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "Usage: tavoren-backend <command> [options]\n"
    "\n"
    "Commands:\n"
    "  serve          serve agents and operators over HTTPS\n"
    "  keys create    make an access key (--instance ID or --operator)\n"
    "  keys list      list the access keys (never their secrets)\n"
    "  keys revoke    revoke an access key\n"
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
    "from the database PATH. SIGTERM or SIGINT stops it gracefully: requests in progress\n"
    "are answered first.\n"
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
    "  --encryption-key-file FILE   the encryption key, when TAVOREN_ENCRYPTION_KEY is unset\n"
    "  --log-level LEVEL            debug, info, warning or error (default info)\n"
    "  --metrics-listen HOST:PORT   serve /metrics and /healthz over plain HTTP there\n"
    "                               (default 127.0.0.1:9465; an empty value serves nothing)\n"
    "\n"
    "The encryption key (16, 24 or 32 bytes) seals the access keys' secrets and the\n"
    "operator's secrets at rest; the server refuses to start without one.\n";

constexpr const char* kKeysCreateHelp =
    "Usage: tavoren-backend keys create --store STORE (--instance ID | --operator)\n"
    "                                   [--encryption-key-file FILE]\n"
    "\n"
    "Makes an access key for one instance's agent, or for an operator, and prints the\n"
    "access key and its secret key on standard output. The secret is shown only now;\n"
    "it is stored encrypted under the encryption key.\n";

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
    "stay sealed: serve the target with the same TAVOREN_ENCRYPTION_KEY), the machines'\n"
    "resource reports, the ports held by instances and the answers kept for repeated\n"
    "writes. Not copied: kept answers that expired. Settings or access keys the target\n"
    "holds already are kept. Stop the servers of the embedded store first: writes made\n"
    "after the copy began are not copied. The target's schema is migrated first.\n";

constexpr const char* kKeysRevokeHelp =
    "Usage: tavoren-backend keys revoke --store STORE ACCESS_KEY\n"
    "\n"
    "Revokes an access key: a running server refuses it within seconds.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options "--name value" and flags "--name", and the remaining words.
struct Parsed {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;
  bool help = false;
  bool has(const std::string& name) const { return values.contains(name); }
  std::optional<std::string> get(const std::string& name) const {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  }
};

// Reads `args` with CLI11: "--name value" or "--name=value" (the last one
// counts when given twice), flags, "-h"/"--help" anywhere, and the words.
Parsed parse(const std::vector<std::string>& args, const std::vector<std::string>& with_value,
             const std::vector<std::string>& flags) {
  CLI::App app;
  app.set_help_flag();
  Parsed parsed;
  app.add_flag("-h,--help", parsed.help);
  app.add_option("words", parsed.words);
  std::map<std::string, std::string> values;
  std::vector<std::pair<std::string, CLI::Option*>> options;
  for (const std::string& name : with_value) {
    options.emplace_back(
        name,
        app.add_option(name, values[name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
  }
  for (const std::string& name : flags) {
    options.emplace_back(name,
                         app.add_flag(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
  }
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string what = e.what();
    throw UsageError(what.substr(0, what.find(':')) + " needs a value");
  } catch (const CLI::ExtrasError& e) {
    const std::string what = e.what();
    throw UsageError("Unknown option " + what.substr(what.rfind(' ') + 1));
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  for (const auto& [name, option] : options) {
    if (option->count() > 0) parsed.values[name] = values[name];
  }
  return parsed;
}

std::string required(const Parsed& parsed, const std::string& name) {
  std::optional<std::string> value = parsed.get(name);
  if (!value || value->empty()) throw UsageError(name + " is required");
  return *value;
}

std::int64_t number(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  std::int64_t value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) throw UsageError(what + " is not a number: " + text);
  return value;
}

// The server's settings of a store.
struct StoreSettings {
  std::int64_t log_limit_bytes = 0;
  std::optional<std::pair<int, int>> port_range;
  int assign_batch = 1;
};

bool is_postgresql(const std::string& store) {
  return store.starts_with("postgresql://") || store.starts_with("postgres://");
}

// The text of --store, checked to be sqlite:PATH or a postgresql:// URL
// (UsageError otherwise). The text is never echoed: a mistyped URL may hold
// a password.
std::string store_text(const Parsed& parsed) {
  const std::string store = required(parsed, "--store");
  constexpr std::string_view kScheme = "sqlite:";
  if (!is_postgresql(store) && (!store.starts_with(kScheme) || store.size() == kScheme.size())) {
    throw UsageError("--store takes sqlite:PATH or postgresql://HOST/DATABASE");
  }
  return store;
}

// The store named by --store.
std::unique_ptr<backend::Store> open_store(const Parsed& parsed,
                                           const StoreSettings& settings = {}) {
  const std::string store = store_text(parsed);
  if (is_postgresql(store)) {
    backend::PgBackendOptions options;
    options.conninfo = store;
    options.log_limit_bytes = settings.log_limit_bytes;
    options.port_range = settings.port_range;
    options.assign_batch = settings.assign_batch;
    return std::make_unique<backend::PgScaling>(std::move(options));
  }
  backend::LocalBackendOptions options;
  options.database = store.substr(std::string_view("sqlite:").size());
  options.log_limit_bytes = settings.log_limit_bytes;
  options.port_range = settings.port_range;
  options.assign_batch = settings.assign_batch;
  return std::make_unique<backend::LocalScaling>(std::move(options));
}

struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
};

ListenAddress listen_address(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("--listen takes HOST:PORT");
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
    address.host = address.host.substr(1, address.host.size() - 2);
  }
  const std::int64_t port = number(text.substr(colon + 1), "The port of --listen");
  if (port < 0 || port > 65535) throw UsageError("The port of --listen is out of range");
  address.port = static_cast<std::uint16_t>(port);
  return address;
}

bool is_loopback(const std::string& host) { return host == "::1" || host.starts_with("127."); }

std::string format_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

void use_encryption_key(const Parsed& parsed, std::string& key) {
  key = server::load_encryption_key(parsed.get("--encryption-key-file"));
  // The store seals the operator's secrets under the same key; it reads
  // it from the environment. Set before any thread starts.
  if (::setenv("TAVOREN_ENCRYPTION_KEY", key.c_str(), 1) != 0) {
    throw std::runtime_error("Cannot pass the encryption key to the store");
  }
}

int serve(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args,
                              {"--store", "--listen", "--tls-cert", "--tls-key", "--max-in-flight",
                               "--log-limit", "--port-range", "--assign-batch",
                               "--encryption-key-file", "--log-level", "--metrics-listen"},
                              {"--plain-http"});
  if (parsed.help) {
    std::cout << kServeHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  if (const auto level = parsed.get("--log-level")) {
    if (*level == "debug") {
      log::set_level(log::Level::debug);
    } else if (*level == "info") {
      log::set_level(log::Level::info);
    } else if (*level == "warning") {
      log::set_level(log::Level::warning);
    } else if (*level == "error") {
      log::set_level(log::Level::error);
    } else {
      throw UsageError("--log-level takes debug, info, warning or error");
    }
  } else {
    log::set_level(log::Level::info);
  }

  store_text(parsed);
  StoreSettings store;
  store.log_limit_bytes = std::int64_t{1} << 30;
  if (const auto limit = parsed.get("--log-limit")) {
    store.log_limit_bytes = number(*limit, "--log-limit");
    if (store.log_limit_bytes < 1) throw UsageError("--log-limit must be positive");
  }
  store.port_range = std::make_pair(30000, 32767);
  if (const auto range = parsed.get("--port-range")) {
    const std::size_t dash = range->find('-');
    if (dash == std::string::npos) throw UsageError("--port-range takes LOW-HIGH");
    const std::int64_t low = number(range->substr(0, dash), "The low end of --port-range");
    const std::int64_t high = number(range->substr(dash + 1), "The high end of --port-range");
    if (low < 1 || high > 65535 || low > high) throw UsageError("--port-range is out of range");
    store.port_range = std::make_pair(static_cast<int>(low), static_cast<int>(high));
  }

  if (const auto batch = parsed.get("--assign-batch")) {
    const std::int64_t n = number(*batch, "--assign-batch");
    if (n < 1 || n > 1000) throw UsageError("--assign-batch takes 1 to 1000");
    store.assign_batch = static_cast<int>(n);
  }

  const ListenAddress address = listen_address(required(parsed, "--listen"));
  http_server::Options server;
  server.address = address.host;
  server.port = address.port;
  server.server_name = "tavoren-backend/0.1.0";
  server.plain_http = parsed.has("--plain-http");
  if (server.plain_http) {
    if (!is_loopback(address.host)) {
      throw UsageError("--plain-http is refused on a non-loopback address: serve TLS instead");
    }
    if (parsed.has("--tls-cert") || parsed.has("--tls-key")) {
      throw UsageError("--plain-http takes no --tls-cert or --tls-key");
    }
  } else {
    server.certificate_chain_file = required(parsed, "--tls-cert");
    server.private_key_file = required(parsed, "--tls-key");
  }
  if (const auto in_flight = parsed.get("--max-in-flight")) {
    const std::int64_t n = number(*in_flight, "--max-in-flight");
    if (n < 1) throw UsageError("--max-in-flight must be positive");
    server.limits.max_in_flight = static_cast<std::size_t>(n);
  }

  std::optional<metrics_endpoint::ListenAddress> metrics_address;
  if (const std::string text = parsed.get("--metrics-listen").value_or("127.0.0.1:9465");
      !text.empty()) {
    try {
      metrics_address = metrics_endpoint::parse_listen_address(text);
    } catch (const std::invalid_argument& e) {
      throw UsageError(std::string("--metrics-listen: ") + e.what());
    }
  }

  std::string encryption_key;
  use_encryption_key(parsed, encryption_key);

  // Signals are taken by sigtimedwait below, on this thread only: block
  // them before any thread starts, so that every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const std::unique_ptr<backend::Store> local = open_store(parsed, store);
  server::AccessKeys keys(*local, encryption_key);
  server::BackendService service(*local, keys);
  http_server::HttpServer http(server, service);
  http.start();
  const std::string bound = format_host(address.host) + ":" + std::to_string(http.port());
  log::info("listening on %s (%s)", bound, server.plain_http ? "plain HTTP" : "TLS");
  std::cout << "listening on " << bound << std::endl;

  // The operator's view: the state of the queue and of the connections,
  // read at each scrape, and the health of the store.
  metrics::Registry& registry = metrics::Registry::process_wide();
  metrics::Family<metrics::Gauge>& actions =
      registry.gauge("tavoren_backend_actions",
                     "Actions in the store by state (queued: waiting for an agent)", {"state"});
  metrics::Gauge& in_flight =
      registry.gauge("tavoren_backend_requests_in_flight", "Requests being handled now").get();
  metrics::Gauge& connections =
      registry.gauge("tavoren_backend_open_connections", "Open client connections").get();
  metrics::Counter& store_errors = service.metrics().store_errors;
  std::atomic<bool> store_answered{true};
  std::atomic<bool> stopping{false};
  metrics::CollectHook hook = registry.on_collect([&] {
    const http_server::Stats stats = http.stats();
    in_flight.set(static_cast<double>(stats.in_flight));
    connections.set(static_cast<double>(stats.open_connections));
    try {
      std::map<std::string, std::int64_t> counts = local->count_by_state();
      for (const char* state : {"queued", "assigned", "ended", "rejected"}) {
        actions.with({state}).set(static_cast<double>(counts[state]));
      }
      store_answered = true;
    } catch (const std::exception& e) {
      store_errors.inc();
      store_answered = false;
      log::error("Cannot count the actions for the metrics: %s", e.what());
    }
  });
  std::unique_ptr<metrics_endpoint::MetricsEndpoint> endpoint;
  if (metrics_address) {
    auto health = [&] {
      metrics_endpoint::HealthReport report;
      try {
        local->count_by_state();
        report.checks.emplace_back("store", "answers");
      } catch (const std::exception&) {
        report.ready = false;
        report.checks.emplace_back("store", "does not answer");
      }
      if (stopping) {
        report.ready = false;
        report.checks.emplace_back("service", "stopping");
      }
      return report;
    };
    const std::string where =
        format_host(metrics_address->host) + ":" + std::to_string(metrics_address->port);
    try {
      endpoint =
          std::make_unique<metrics_endpoint::MetricsEndpoint>(metrics_endpoint::EndpointOptions{
              .address = *metrics_address, .health = health, .server_name = server.server_name});
      log::info("Serving metrics and health on %s (port %d)", where, endpoint->port());
    } catch (const std::exception& e) {
      log::error("Cannot serve metrics and health on %s: %s; serving without them", where,
                 e.what());
    }
  }

  int signal = 0;
  while (signal <= 0) {
    timespec wait{1, 0};
    signal = sigtimedwait(&stop_signals, nullptr, &wait);
  }
  log::info("Signal %d: answering the requests in progress, then stopping", signal);
  stopping = true;
  http.begin_shutdown();
  http.stop();
  endpoint.reset();
  hook.reset();
  log::info("Stopped");
  return kOk;
}

int keys_create(const std::vector<std::string>& args) {
  const Parsed parsed =
      parse(args, {"--store", "--instance", "--encryption-key-file"}, {"--operator"});
  if (parsed.help) {
    std::cout << kKeysCreateHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const bool operator_key = parsed.has("--operator");
  const std::optional<std::string> instance = parsed.get("--instance");
  if (operator_key == instance.has_value()) {
    throw UsageError("Give exactly one of --instance ID and --operator");
  }
  if (instance && instance->empty()) throw UsageError("--instance needs an identifier");
  store_text(parsed);
  std::string encryption_key;
  use_encryption_key(parsed, encryption_key);
  const std::unique_ptr<backend::Store> local = open_store(parsed);
  server::AccessKeys keys(*local, encryption_key);
  const server::NewAccessKey made = operator_key
                                                ? keys.create(wire::Role::kOperator)
                                                : keys.create(wire::Role::kInstance, *instance);
  std::cout << "access-key: " << made.access_key << "\nsecret-key: " << made.secret_key
            << std::endl;
  std::cerr << "The secret key is shown only now; keep it where the "
            << (operator_key ? "operator's tools" : "instance's agent") << " can read it.\n";
  return kOk;
}

int keys_list(const std::vector<std::string>& args) {
  const Parsed parsed = parse(args, {"--store"}, {});
  if (parsed.help) {
    std::cout << kKeysListHelp;
    return kOk;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  const std::unique_ptr<backend::Store> local = open_store(parsed);
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
  const std::unique_ptr<backend::Store> local = open_store(parsed);
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
  open_store(parsed);
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
    if (rest.empty()) throw UsageError("keys needs create, list or revoke");
    const std::vector<std::string> options(rest.begin() + 1, rest.end());
    if (rest[0] == "create") return keys_create(options);
    if (rest[0] == "list") return keys_list(options);
    if (rest[0] == "revoke") return keys_revoke(options);
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
