// The cost of the network: the two calls an agent makes most (a poll that
// hands out one action, and one 4 KiB log piece) on the embedded backend in
// the process, and through the network client, TLS on loopback and the
// backend server onto the same kind of store, in the same run.
//
//   build/default/bin/bench_backend_latency
//
// Both paths use a fresh database in a temporary folder; the server runs in
// this process with the settings `tavoren-backend serve` uses by default.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "tavoren/backend_client.h"
#include "tavoren/common/logging.h"
#include "tavoren/http_server.h"
#include "tavoren/protocol.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren {
namespace {

constexpr const char* kEncryptionKey = "bench-encryption-key-0123456789a";
// The master key of the bench's servers.
std::shared_ptr<const sealing::Keyring> bench_keyring() {
  static const auto keyring = std::make_shared<const sealing::Keyring>(sealing::parse_master_key(
      "b3e1c4a5d6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091"));
  return keyring;
}

constexpr int kActions = 3000;

Json record() {
  return Json{{"action", "data_split"},
              {"actionDetails", {{"docker", "registry.example/jobs:1"}}},
              {"_idUser", "owner-a"}};
}

// One store, queued with kActions actions, and an action assigned to
// `instance` for the log pieces.
struct Store {
  explicit Store(const std::filesystem::path& database, const std::string& instance) {
    backend::LocalBackendOptions options;
    options.database = database;
    options.keyring = bench_keyring();
    store = std::make_unique<backend::LocalScaling>(options);
    for (int i = 0; i < kActions + 1; ++i) store->submit(record());
    agent = store->for_instance(instance);
    logged = agent->assign_jobs(false).data.at(0).at("_id").get<std::string>();
  }
  std::unique_ptr<backend::LocalScaling> store;
  std::unique_ptr<backend::LocalScaling> agent;
  std::string logged;
};

// The backend server on loopback, over TLS, with one instance key.
struct Served {
  Served()
      : encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey),
        store(dir.path() / "served.db", "bench-instance"),
        keys(*store.store, bench_keyring()),
        service(*store.store, keys),
        http(options(), service) {
    http.start();
    const server::NewAccessKey key = keys.create(backend::wire::Role::kInstance, "bench-instance");
    client = std::make_unique<backend::RemoteScaling>(
        backend::RemoteOptions{.base_url = "https://127.0.0.1:" + std::to_string(http.port()),
                               .session = {key.access_key, key.secret_key},
                               .ca_file = tls.ca_file()});
  }
  ~Served() {
    client.reset();
    http.stop();
  }
  http_server::Options options() const {
    http_server::Options o;
    o.certificate_chain_file = tls.server_chain_file();
    o.private_key_file = tls.server_key_file();
    return o;
  }

  testing::TempDir dir;
  testing::ScopedEnv encryption;
  testing::TestTls tls;
  Store store;
  server::AccessKeys keys;
  server::BackendService service;
  http_server::HttpServer http;
  std::unique_ptr<backend::RemoteScaling> client;
};

struct Embedded {
  Embedded() : store(dir.path() / "embedded.db", "bench-instance") {}
  testing::TempDir dir;
  Store store;
};

Embedded& embedded() {
  static Embedded* shared = new Embedded;
  return *shared;
}
Served& served() {
  static Served* shared = new Served;
  return *shared;
}

void poll_once(benchmark::State& state, backend::Scaling& scaling) {
  for (auto _ : state) {
    backend::Result result = scaling.assign_jobs(false);
    if (result.has_error() || !result.data.is_array() || result.data.empty()) {
      state.SkipWithError("the queue ran dry or the poll was refused");
      break;
    }
  }
}

void ship_piece(benchmark::State& state, backend::Scaling& scaling, const std::string& id) {
  const std::string piece(4096, 'x');
  for (auto _ : state) {
    backend::Result result =
        scaling.update_action_docker_logs(Json{{"action_record_id", id}, {"log_content", piece}});
    if (result.has_error()) {
      state.SkipWithError("the log piece was refused");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}

void BM_PollEmbedded(benchmark::State& state) { poll_once(state, *embedded().store.agent); }
void BM_PollThroughServer(benchmark::State& state) { poll_once(state, *served().client); }
void BM_LogPieceEmbedded(benchmark::State& state) {
  ship_piece(state, *embedded().store.agent, embedded().store.logged);
}
void BM_LogPieceThroughServer(benchmark::State& state) {
  ship_piece(state, *served().client, served().store.logged);
}

BENCHMARK(BM_PollEmbedded)->Iterations(kActions)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollThroughServer)->Iterations(kActions)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogPieceEmbedded)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogPieceThroughServer)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavoren

int main(int argc, char** argv) {
  // One access-log line per request would measure the terminal.
  tavoren::log::set_level(tavoren::log::Level::warning);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
