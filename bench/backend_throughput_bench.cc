// How many assignments per second, and how many log bytes per second, one
// backend server answers on each kind of store, in the same run.
//
//   build/default/bin/bench_backend_throughput [--actions N] [--clients N]
//                                              [--pieces N] [--piece-bytes N] [--pg CONNINFO]
//
// For each store (the embedded SQLite store in a temporary folder, then a
// PostgreSQL store in a fresh schema of --pg, default "postgresql://" when
// libpq's PGHOST is set; skipped, saying so, when it cannot be reached):
// the backend server in this process on loopback TLS, --clients agents
// (each a network client with an instance key of its own, on a thread of
// its own) and --actions queued actions. Assignments: every agent polls
// assign_jobs until the queue is empty; the figure is actions handed out per
// second of wall time, each checked to be handed out once. Log ingest:
// every agent then ships --pieces pieces of --piece-bytes bytes to an action
// it holds; the figure is bytes stored per second, checked against each
// action's stored log. The last row compares PostgreSQL with SQLite.

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/backend_client.h"
#include "tavoren/common/logging.h"
#include "tavoren/http_server.h"
#include "tavoren/postgres_store.h"
#include "tavoren/protocol.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kEncryptionKey = "bench-encryption-key-0123456789a";
// The master key of the bench's servers.
std::shared_ptr<const sealing::Keyring> bench_keyring() {
  static const auto keyring = std::make_shared<const sealing::Keyring>(sealing::parse_master_key(
      "b3e1c4a5d6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091"));
  return keyring;
}

struct Config {
  int actions = 6000;
  int clients = 8;
  int pieces = 200;
  std::size_t piece_bytes = 16384;
  std::optional<std::string> pg;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "bench_backend_throughput: %s\n"
               "Usage: bench_backend_throughput [--actions N] [--clients N] [--pieces N]\n"
               "                                [--piece-bytes N] [--pg CONNINFO]\n",
               problem.c_str());
  std::exit(2);
}

int positive(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value <= 0 || value > 10'000'000) {
    usage(name + " takes a positive number");
  }
  return static_cast<int>(value);
}

Config parse_arguments(int argc, char** argv) {
  Config config;
  if (std::getenv("PGHOST") != nullptr) config.pg = "postgresql://";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--actions") {
      config.actions = positive(arg, value());
    } else if (arg == "--clients") {
      config.clients = positive(arg, value());
    } else if (arg == "--pieces") {
      config.pieces = positive(arg, value());
    } else if (arg == "--piece-bytes") {
      config.piece_bytes = static_cast<std::size_t>(positive(arg, value()));
    } else if (arg == "--pg") {
      config.pg = value();
    } else {
      usage("unknown argument " + arg);
    }
  }
  return config;
}

struct Figures {
  double assignments_per_s = 0;
  double log_bytes_per_s = 0;
};

// A schema of its own in the PostgreSQL database, dropped at the end.
class PgSchema {
 public:
  explicit PgSchema(std::string conninfo)
      : conninfo_(std::move(conninfo)), name_("bench_" + std::to_string(::getpid())) {}
  ~PgSchema() {
    const char* keywords[] = {"dbname", "connect_timeout", "options", nullptr};
    const char* values[] = {conninfo_.c_str(), "5", "-c statement_timeout=10000", nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(connection) == CONNECTION_OK) {
      PQsetNoticeProcessor(
          connection, [](void*, const char*) {}, nullptr);
      PQclear(PQexec(connection, ("DROP SCHEMA IF EXISTS " + name_ + " CASCADE").c_str()));
    }
    PQfinish(connection);
  }
  PgSchema(const PgSchema&) = delete;
  PgSchema& operator=(const PgSchema&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string conninfo_;
  std::string name_;
};

Figures measure(const Config& config, backend::Store& store) {
  testing::TestTls tls;
  server::AccessKeys keys(store, bench_keyring());
  server::BackendService service(store, keys);
  http_server::Options http_options;
  http_options.certificate_chain_file = tls.server_chain_file();
  http_options.private_key_file = tls.server_key_file();
  http_server::HttpServer http(http_options, service);
  http.start();

  std::vector<std::unique_ptr<backend::RemoteScaling>> agents;
  for (int i = 0; i < config.clients; ++i) {
    const server::NewAccessKey key =
        keys.create(backend::wire::Role::kInstance, "bench-agent-" + std::to_string(i));
    agents.push_back(std::make_unique<backend::RemoteScaling>(
        backend::RemoteOptions{.base_url = "https://127.0.0.1:" + std::to_string(http.port()),
                               .session = {key.access_key, key.secret_key},
                               .ca_file = tls.ca_file()}));
  }
  const Json record = {{"action", "data_split"},
                       {"actionDetails", {{"docker", "registry.example/jobs:1"}}},
                       {"_idUser", "owner-a"}};
  for (int i = 0; i < config.actions; ++i) store.submit(record);

  Figures figures;
  std::mutex mutex;
  std::set<std::string> handed_out;
  std::vector<std::string> held(static_cast<std::size_t>(config.clients));
  std::atomic<bool> failed{false};
  const auto run_all = [&](const auto& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < config.clients; ++i) {
      threads.emplace_back([&, i] {
        try {
          body(i);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "agent %d: %s\n", i, e.what());
          failed = true;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  };

  const auto assign_start = Clock::now();
  run_all([&](int i) {
    while (true) {
      const backend::Result result = agents[static_cast<std::size_t>(i)]->assign_jobs(false);
      if (result.has_error()) throw std::runtime_error(*result.error);
      if (result.data.empty()) return;
      const std::string id = result.data.at(0).at("_id").get<std::string>();
      std::lock_guard lock(mutex);
      if (!handed_out.insert(id).second) throw std::runtime_error("handed out twice: " + id);
      if (held[static_cast<std::size_t>(i)].empty()) held[static_cast<std::size_t>(i)] = id;
    }
  });
  const double assign_s = std::chrono::duration<double>(Clock::now() - assign_start).count();
  if (static_cast<int>(handed_out.size()) != config.actions) {
    throw std::runtime_error("handed out " + std::to_string(handed_out.size()) + " of " +
                             std::to_string(config.actions));
  }
  figures.assignments_per_s = config.actions / assign_s;

  const std::string piece(config.piece_bytes, 'x');
  const auto log_start = Clock::now();
  run_all([&](int i) {
    const std::string& id = held[static_cast<std::size_t>(i)];
    if (id.empty()) return;
    for (int n = 0; n < config.pieces; ++n) {
      const backend::Result result = agents[static_cast<std::size_t>(i)]->update_action_docker_logs(
          Json{{"action_record_id", id}, {"log_content", piece}});
      if (result.has_error()) throw std::runtime_error(*result.error);
    }
  });
  const double log_s = std::chrono::duration<double>(Clock::now() - log_start).count();
  std::int64_t stored = 0;
  for (const std::string& id : held) {
    if (id.empty()) continue;
    // Read page by page: one answer holds at most a page of the log.
    for (backend::LogChunk chunk = store.logs(id, 0);; chunk = store.logs(id, chunk.next_offset)) {
      stored += static_cast<std::int64_t>(chunk.content.size());
      if (!chunk.more) break;
    }
  }
  const std::int64_t expected = static_cast<std::int64_t>(config.pieces) *
                                static_cast<std::int64_t>(config.piece_bytes) * config.clients;
  if (stored != expected) {
    throw std::runtime_error("stored " + std::to_string(stored) + " log bytes of " +
                             std::to_string(expected));
  }
  figures.log_bytes_per_s = static_cast<double>(stored) / log_s;
  agents.clear();
  http.stop();
  if (failed) throw std::runtime_error("an agent failed");
  return figures;
}

void print_row(const char* store, const Figures& figures) {
  std::printf("%-12s %16.0f %16.1f\n", store, figures.assignments_per_s,
              figures.log_bytes_per_s / (1024.0 * 1024.0));
  std::fflush(stdout);
}

}  // namespace
}  // namespace tavoren

int main(int argc, char** argv) {
  using namespace tavoren;
  // One access-log line per request would measure the terminal.
  log::set_level(log::Level::warning);
  const Config config = parse_arguments(argc, argv);
  testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);
  std::printf("%d actions, %d agents, %d log pieces of %zu bytes each; %u hardware threads\n",
              config.actions, config.clients, config.pieces, config.piece_bytes,
              std::thread::hardware_concurrency());
  std::printf("%-12s %16s %16s\n", "store", "assignments/s", "log MiB/s");
  try {
    testing::TempDir dir;
    backend::LocalBackendOptions local_options;
    local_options.database = dir.path() / "bench.db";
    local_options.keyring = bench_keyring();
    // Agents here take actions and never end them: each may hold them all.
    local_options.fleet.default_max_actions = config.actions;
    backend::LocalScaling local(local_options);
    const Figures sqlite = measure(config, local);
    print_row("sqlite", sqlite);

    if (!config.pg) {
      std::printf("postgresql   skipped: no --pg and no PGHOST\n");
      return 0;
    }
    PgSchema schema(*config.pg);
    backend::PgBackendOptions pg_options;
    pg_options.conninfo = *config.pg;
    pg_options.schema = schema.name();
    pg_options.keyring = bench_keyring();
    pg_options.max_connections = 16;
    pg_options.fleet.default_max_actions = config.actions;
    std::optional<backend::PgScaling> pg;
    try {
      backend::PgScaling::migrate(pg_options);
      pg.emplace(pg_options);
    } catch (const backend::DatabaseError& e) {
      std::printf("postgresql   skipped: %s\n", e.what());
      return 0;
    }
    const Figures postgres = measure(config, *pg);
    print_row("postgresql", postgres);
    std::printf("%-12s %15.2fx %15.2fx\n", "pg/sqlite",
                postgres.assignments_per_s / sqlite.assignments_per_s,
                postgres.log_bytes_per_s / sqlite.log_bytes_per_s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_backend_throughput: %s\n", e.what());
    return 1;
  }
  return 0;
}
