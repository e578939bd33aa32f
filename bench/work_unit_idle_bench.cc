// What each running action costs the agent while its job is quiet: the
// memory and threads added by N work units that each run a `sleep` child,
// and the agent's CPU time while their log threads poll logs that do not
// grow.
//
//   bench_work_unit_idle [units=200] [idle_seconds=5] [log_interval_ms=100]
//
// CPU time is measured at a short log interval and scaled to the agent's
// 10-second interval (the work per cycle does not depend on the interval).

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accepting_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/work_unit.h"

namespace {

using namespace std::chrono_literals;
using tavoren::Json;
using tavoren::WorkUnit;
using tavoren::WorkUnitOptions;

// A field of /proc/self/status ("VmRSS", "Threads"), as its number.
long status_field(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

double cpu_seconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Json record(int i) {
  char id[25];
  std::snprintf(id, sizeof id, "%024x", 0xbe00 + i);
  Json r = Json::object();
  r["_id"] = id;
  r["action"] = "model_train";
  r["actionDetails"] = Json{{"docker", "bench/image:1"}};
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int units = argc > 1 ? std::stoi(argv[1]) : 200;
  const int idle_seconds = argc > 2 ? std::stoi(argv[2]) : 5;
  const auto interval = std::chrono::milliseconds(argc > 3 ? std::stoi(argv[3]) : 100);
  tavoren::log::set_level(tavoren::log::Level::warning);

  tavoren::bench::ScratchDir scratch;
  tavoren::bench::AcceptingScaling backend;
  WorkUnitOptions options;
  options.log_dir = scratch.path() + "/logs";
  options.timings.log_interval = interval;
  options.timings.flush_delay = 0ms;
  options.timings.term_grace = 2s;
  options.actions_map = tavoren::ActionsMap{
      {"model_train", [](WorkUnit& unit) { unit.start("sleep 600", "bench"); }}};

  {  // One unit first, so one-time allocations (logger, thread machinery) are not counted.
    WorkUnit warm(backend, record(units), options);
    warm.execute();
    std::this_thread::sleep_for(50ms);
    warm.stop();
  }

  const long rss_before = status_field("VmRSS");
  const long threads_before = status_field("Threads");
  std::vector<std::unique_ptr<WorkUnit>> running;
  for (int i = 0; i < units; ++i) {
    running.push_back(std::make_unique<WorkUnit>(backend, record(i), options));
    running.back()->execute();
  }
  std::this_thread::sleep_for(1s);  // every log thread has run a few cycles
  int alive = 0;
  for (auto& unit : running) alive += unit->is_running() ? 1 : 0;
  const long rss_after = status_field("VmRSS");
  const long threads_after = status_field("Threads");

  const double cpu_start = cpu_seconds();
  const auto wall_start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double cpu = cpu_seconds() - cpu_start;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  const double cycles = units * wall / std::chrono::duration<double>(interval).count();
  const double scale = std::chrono::duration<double>(interval).count() / 10.0;
  std::printf("work units running:            %d (children alive: %d)\n", units, alive);
  std::printf("RSS added:                     %ld KiB, %.1f KiB per action (goal <= 256)\n",
              rss_after - rss_before, double(rss_after - rss_before) / units);
  std::printf("threads added:                 %ld, %.2f per action (goal 1)\n",
              threads_after - threads_before, double(threads_after - threads_before) / units);
  std::printf(
      "idle CPU at %lld ms interval:   %.3f s over %.1f s (%.2f%% of one core), "
      "%.1f us per cycle\n",
      static_cast<long long>(interval.count()), cpu, wall, 100.0 * cpu / wall, 1e6 * cpu / cycles);
  std::printf("idle CPU at 10 s interval:     %.4f%% of one core for %d actions (extrapolated)\n",
              100.0 * cpu / wall * scale, units);
  std::printf("log calls while idle:          %llu\n",
              static_cast<unsigned long long>(backend.log_calls.load()));

  const auto stop_start = std::chrono::steady_clock::now();
  for (auto& unit : running) unit->stop();
  running.clear();
  std::printf("stopping all:                  %.2f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_start).count());
  return 0;
}
