// The operator's pages at 10,000 machines of 8 GPUs each, on the SQLite
// store: the time of each data call a page makes (p50 and p99 of 200
// calls), against the full machine list that the command line reads, in
// the same run; and the CPU that the event streams of 100 open pages cost,
// against no page open.
//
//   [TAVOREN_UI_NODE_DIR=DIR] bench_web_pages [machines]
//
// With playwright-core in DIR (scripts/web-test-deps.sh DIR), it also
// loads the fleet page in Chromium: its first paint, and the time until
// its first 50 machines are drawn.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/common/process.h"
#include "tavoren/common/sealing.h"
#include "tavoren/http_server.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/web.h"
#include "test_support.h"

namespace tavoren {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace wire = backend::wire;

constexpr const char* kMasterKey =
    "0b5d9e1a3c7f2468ace0135792468bdf02468ace13579bdf0a1b2c3d4e5f6071";

Json inventory_report(int machine) {
  Json gpus = Json::array();
  for (int gpu = 0; gpu < 8; ++gpu) {
    gpus.push_back(Json{{"index", gpu},
                        {"uuid", "GPU-" + std::to_string(machine) + "-" + std::to_string(gpu)},
                        {"name", "NVIDIA H100 80GB HBM3"},
                        {"memoryTotalMiB", 81559},
                        {"memoryUsedMiB", 1000 * gpu},
                        {"memoryFreeMiB", 81559 - 1000 * gpu},
                        {"utilisation", (machine + gpu) % 100},
                        {"temperatureC", 40 + gpu},
                        {"powerDrawW", 300.5},
                        {"powerLimitW", 700.0},
                        {"health", gpu == 7 && machine % 50 == 0 ? "quarantined" : "healthy"},
                        {"reason", ""},
                        {"actionId", nullptr}});
  }
  return Json{{"available_memory", 60.0},
              {"available_cpu", 70.0},
              {"available_gpu_memory", 80.0},
              {"gpu_utilisation", 20.0},
              {"inventory",
               {{"gpus", gpus},
                {"host", {{"cpus", 128}, {"memoryTotalMiB", 2048 * 1024}}},
                {"software", {{"agentVersion", "0.1.0"}}}}}};
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double p50_ms = 0;
  double p99_ms = 0;
};

Timing time_calls(int calls, const std::function<void()>& call) {
  std::vector<double> ms;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    call();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return Timing{ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

// The fleet page in Chromium, served over loopback from the same store
// (bench/web_first_paint.mjs); skipped without Chromium or playwright-core.
void first_paint(web::WebService& web, const server::NewAccessKey& key) {
  const char* node_dir = std::getenv("TAVOREN_UI_NODE_DIR");
  if (node_dir == nullptr || !std::filesystem::exists("/usr/bin/chromium")) {
    std::printf("\nfirst paint: skipped (needs /usr/bin/chromium and TAVOREN_UI_NODE_DIR)\n");
    return;
  }
  struct NotFound : http_server::Handler {
    http_server::Response handle(const http_server::Request&) override {
      return {404, {}, "not here"};
    }
  } protocol;
  web::Router router(web, protocol);
  http_server::HttpServer http(http_server::Options{.plain_http = true}, router);
  http.start();
  process::RunOptions options{.timeout = 120s, .capture_stderr = true};
  options.environment = {"TAVOREN_UI_URL=http://127.0.0.1:" + std::to_string(http.port()) + "/ui/",
                         "TAVOREN_UI_ACCESS_KEY=" + key.access_key,
                         "TAVOREN_UI_SECRET_KEY=" + key.secret_key,
                         std::string("TAVOREN_UI_NODE_DIR=") + node_dir};
  const process::RunResult result = process::run_capture(
      {"node", std::string(TAVOREN_SOURCE_DIR) + "/bench/web_first_paint.mjs"}, options);
  std::printf("\nthe fleet page in Chromium:\n%s%s", result.out.c_str(), result.err.c_str());
  http.stop();
}

int run(int machines) {
  testing::TempDir dir;
  const auto keyring =
      std::make_shared<const sealing::Keyring>(sealing::parse_master_key(kMasterKey));
  backend::LocalScaling store(
      backend::LocalBackendOptions{.database = dir.path() / "backend.db", .keyring = keyring});
  std::printf("Making %d machines of 8 GPUs, each with its report...\n", machines);
  const auto made = Clock::now();
  for (int i = 0; i < machines; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "gpu-box-%05d", i);
    store.set_machine(id, backend::MachineChange{}, true);
    store.for_instance(id)->update_available_resources(inventory_report(i));
  }
  for (int i = 0; i < 200; ++i) {
    store.submit(Json{
        {"action", "model_train"},
        {"_idUser", "owner"},
        {"actionDetails", {{"gpuRequired", true}, {"expectedResources", {{"gpuMemory", 40000}}}}}});
  }
  std::printf("  made in %.1f s\n", std::chrono::duration<double>(Clock::now() - made).count());

  server::AccessKeys keys(store, keyring);
  // The calls are timed without the answers the pages share (each call
  // reads the store); the server as it runs keeps them for a second.
  web::WebService web(store, keys, keyring->subkey(sealing::Purpose::kWebSessions),
                      web::WebOptions{.plain_http = true, .answer_keep = 0ms});
  web::WebService serving(store, keys, keyring->subkey(sealing::Purpose::kWebSessions),
                          web::WebOptions{.plain_http = true});
  const server::NewAccessKey viewer = keys.create(wire::Role::kViewer);
  auto call_on = [&](web::WebService& service, const std::string& method, const std::string& target,
                     const std::string& body, const std::string& cookie) {
    std::vector<http_server::Request::Header> headers = {{"Host", "127.0.0.1"}};
    if (!cookie.empty()) headers.emplace_back("Cookie", cookie);
    return service.handle(http_server::Request(method, target, headers, body, "127.0.0.1:1", "b"));
  };
  auto call = [&](const std::string& method, const std::string& target, const std::string& body,
                  const std::string& cookie) { return call_on(web, method, target, body, cookie); };
  const std::string challenge =
      Json::parse(call("POST", "/ui/api/challenge", "", "").body).at("challenge");
  const http_server::Response signed_in =
      call("POST", "/ui/api/sign-in",
           Json{{"accessKey", viewer.access_key},
                {"challenge", challenge},
                {"signature", wire::hmac_sha256_hex(viewer.secret_key, challenge)}}
               .dump(),
           "");
  std::string cookie;
  for (const auto& [name, value] : signed_in.headers) {
    if (name == "Set-Cookie") cookie = value.substr(0, value.find(';'));
  }
  if (cookie.empty()) {
    std::fprintf(stderr, "could not sign in: %s\n", signed_in.body.c_str());
    return 1;
  }

  std::printf("\n%-44s %10s %10s %12s\n", "call (200 each)", "p50 ms", "p99 ms", "bytes");
  auto report = [&](const char* name, const std::string& target) {
    std::size_t bytes = 0;
    const Timing t = time_calls(200, [&] {
      const http_server::Response answer = call("GET", target, "", cookie);
      if (answer.status != 200) std::fprintf(stderr, "%s: %d\n", target.c_str(), answer.status);
      bytes = answer.body.size();
    });
    std::printf("%-44s %10.2f %10.2f %12zu\n", name, t.p50_ms, t.p99_ms, bytes);
    return t;
  };
  const Timing baseline = time_calls(20, [&] { (void)store.machines(); });
  std::printf("%-44s %10.2f %10.2f %12s\n", "baseline: every machine (machines list)",
              baseline.p50_ms, baseline.p99_ms, "");
  double worst = 0;
  double fleet_p50_ms = 0;
  for (const auto& [name, target] : std::vector<std::pair<const char*, std::string>>{
           {"fleet: first page of 50", "/ui/api/fleet"},
           {"fleet: last page, by actions held",
            "/ui/api/fleet?sort=actionsHeld&order=desc&offset=9950"},
           {"fleet: search by identifier", "/ui/api/fleet?q=box-0999"},
           {"fleet: alive, by last contact", "/ui/api/fleet?liveness=alive&sort=lastContact"},
           {"queue: first 200", "/ui/api/queue"},
           {"machine: one, with a day of samples", "/ui/api/machine?id=gpu-box-04242"},
           {"me", "/ui/api/me"}}) {
    const Timing t = report(name, target);
    worst = std::max(worst, t.p99_ms);
    if (std::string(target) == "/ui/api/fleet") fleet_p50_ms = t.p50_ms;
  }
  std::printf("worst p99 of a page's call: %.2f ms (target 100 ms)\n", worst);

  // The event streams: the CPU of 10 s with no page open, then with 100.
  auto cpu_over = [&](std::chrono::seconds length) {
    const double before = cpu_seconds();
    std::this_thread::sleep_for(length);
    return (cpu_seconds() - before) / static_cast<double>(length.count());
  };
  const double idle = cpu_over(10s);
  std::vector<http_server::Response> streams;
  for (int i = 0; i < 100; ++i) {
    const char* topic = i % 4 == 0 ? "queue" : "fleet";
    streams.push_back(call("GET", std::string("/ui/api/events?topic=") + topic, "", cookie));
    if (!streams.back().stream) std::fprintf(stderr, "stream %d was refused\n", i);
  }
  const double open = cpu_over(10s);
  std::printf("\nevent streams: %zu open; CPU %.2f %% of one core (none open: %.2f %%)\n",
              web.open_streams(), 100 * open, 100 * idle);
  std::printf("their cost: %.2f %% of one core (target under 5 %%)\n", 100 * (open - idle));
  for (auto& answer : streams) answer.stream->close();
  // The 100 pages, told of a change, fetch at once: one reading serves
  // them all.
  const double before = cpu_seconds();
  for (int page = 0; page < 100; ++page) {
    (void)call_on(serving, "GET", "/ui/api/fleet", "", cookie);
  }
  const double round = cpu_seconds() - before;
  std::printf(
      "100 pages fetching the fleet at once: %.1f ms of CPU (one fleet call alone: %.1f ms); "
      "told every 30 s, %.2f %% of one core\n",
      1000 * round, fleet_p50_ms, 100 * round / 30);
  first_paint(serving, viewer);
  return 0;
}

}  // namespace
}  // namespace tavoren

int main(int argc, char** argv) {
  const int machines = argc > 1 ? std::atoi(argv[1]) : 10'000;
  return tavoren::run(machines);
}
