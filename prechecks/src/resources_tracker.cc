// Readings of the host's resources from /proc and nvidia-smi, and of the
// action containers' resources from the container engine, with their
// reports to the backend.

#include "tavoren/resources_tracker.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "checks_internal.h"
#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

double round2(double value) { return std::round(value * 100.0) / 100.0; }

// MemAvailable / MemTotal of a meminfo file, in percent.
double available_memory_percent(const std::filesystem::path& meminfo) {
  const host_probe::MemoryInfo memory = host_probe::read_meminfo(meminfo);
  return static_cast<double>(memory.available_kb) / static_cast<double>(memory.total_kb) * 100.0;
}

struct CpuTimes {
  double idle = 0;
  double total = 0;
};

// The "cpu" line of a stat file: user nice system idle iowait irq softirq
// steal [guest guest_nice]. Guest time is already counted in user and nice,
// so it is left out of the total.
CpuTimes read_cpu_times(const std::filesystem::path& stat) {
  const std::optional<std::string> content = read_file_if_present(stat);
  if (!content) throw std::runtime_error("Cannot read " + stat.string());
  for (const std::string& line : split(*content, '\n')) {
    const std::vector<std::string> tokens = split_whitespace(line);
    if (tokens.empty() || tokens[0] != "cpu") continue;
    if (tokens.size() < 5) throw ValueError("Too few fields in the cpu line of " + stat.string());
    CpuTimes times;
    for (std::size_t i = 1; i < tokens.size() && i <= 8; ++i) {
      const double ticks = parse_double(tokens[i]);
      times.total += ticks;
      if (i == 4 || i == 5) times.idle += ticks;  // idle, iowait
    }
    return times;
  }
  throw std::runtime_error(stat.string() + " has no cpu line");
}

// ---------------------------------------------------------------------------
// Action containers.

// The value at `path` inside `value`, or null when any step is missing.
const Json* find_at(const Json& value, std::initializer_list<const char*> path) {
  const Json* level = &value;
  for (const char* key : path) {
    if (!level->is_object()) return nullptr;
    const auto it = level->find(key);
    if (it == level->end()) return nullptr;
    level = &*it;
  }
  return level;
}

std::optional<double> number_at(const Json& value, std::initializer_list<const char*> path) {
  const Json* found = find_at(value, path);
  if (found == nullptr || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

double cpu_percent(const Json& stats) {
  const double cpu_delta =
      number_at(stats, {"cpu_stats", "cpu_usage", "total_usage"}).value_or(0) -
      number_at(stats, {"precpu_stats", "cpu_usage", "total_usage"}).value_or(0);
  const double system_delta = number_at(stats, {"cpu_stats", "system_cpu_usage"}).value_or(0) -
                              number_at(stats, {"precpu_stats", "system_cpu_usage"}).value_or(0);
  double cpus = number_at(stats, {"cpu_stats", "online_cpus"}).value_or(0);
  if (cpus <= 0) {
    const Json* per_cpu = find_at(stats, {"cpu_stats", "cpu_usage", "percpu_usage"});
    cpus = per_cpu != nullptr && per_cpu->is_array() && !per_cpu->empty()
               ? static_cast<double>(per_cpu->size())
               : 1;
  }
  if (cpu_delta <= 0 || system_delta <= 0) return 0;
  return cpu_delta / system_delta * cpus * 100.0;
}

double memory_percent(const Json& stats) {
  const double usage = number_at(stats, {"memory_stats", "usage"}).value_or(0);
  const double limit = number_at(stats, {"memory_stats", "limit"}).value_or(0);
  // The inactive page cache can be reclaimed: control groups v2 name it
  // inactive_file, v1 total_inactive_file.
  const double cache =
      number_at(stats, {"memory_stats", "stats", "inactive_file"})
          .value_or(number_at(stats, {"memory_stats", "stats", "total_inactive_file"}).value_or(0));
  if (limit <= 0) return 0;
  return std::max(usage - cache, 0.0) / limit * 100.0;
}

// Whole seconds since the container started ("State"."StartedAt", as
// "2024-05-01T10:11:12.123456789Z"); 0 when that cannot be read.
long long seconds_running(const Json& inspection) {
  const auto state = inspection.find("State");
  if (state == inspection.end() || !state->is_object()) return 0;
  const auto started = state->find("StartedAt");
  if (started == state->end() || !started->is_string()) return 0;
  std::tm parts{};
  char separator = 0;
  if (std::sscanf(started->get<std::string>().c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &parts.tm_year,
                  &parts.tm_mon, &parts.tm_mday, &separator, &parts.tm_hour, &parts.tm_min,
                  &parts.tm_sec) != 7 ||
      separator != 'T') {
    return 0;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const time_t start = ::timegm(&parts);
  const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  return std::max(now - static_cast<long long>(start), 0LL);
}

bool is_gone(const engine::ApiError& error) { return error.status() == 404; }

}  // namespace

// ---------------------------------------------------------------------------

ResourcesTracker::ResourcesTracker(ResourcesTrackerOptions options)
    : options_(std::move(options)) {}

AvailableResources ResourcesTracker::get_available_resources(bool read_gpus) const {
  AvailableResources figures;
  figures.memory = round2(available_memory_percent(options_.meminfo_path));

  const CpuTimes before = read_cpu_times(options_.stat_path);
  if (options_.sleep) {
    options_.sleep(options_.cpu_sample_interval);
  } else {
    std::this_thread::sleep_for(options_.cpu_sample_interval);
  }
  const CpuTimes after = read_cpu_times(options_.stat_path);
  const double passed = after.total - before.total;
  if (passed == 0) {
    throw std::runtime_error("No CPU time passed between two readings of " +
                             options_.stat_path.string());
  }
  figures.cpu = round2((after.idle - before.idle) / passed * 100.0);

  if (!read_gpus) return figures;
  const host_probe::GpuFigures gpu = host_probe::read_gpu_figures();
  figures.gpu_memory = round2(gpu.free_gb);
  figures.gpu_utilisation = round2(gpu.utilisation);
  return figures;
}

MachineResourcesTracker::MachineResourcesTracker(backend::Scaling& scaling,
                                                 ResourcesTrackerOptions options)
    : scaling_(scaling), tracker_(options), inventory_(std::move(options.inventory)) {}

void MachineResourcesTracker::update_available_resources() {
  Json inventory = inventory_ ? inventory_() : Json();
  AvailableResources figures = tracker_.get_available_resources(inventory.is_null());
  if (!inventory.is_null()) {
    // The inventory's GPUs were read just now: their figures, not a second
    // reading of nvidia-smi.
    double free_mib = 0;
    double utilisation = 0;
    int gpus = 0;
    for (const Json& gpu : inventory.value("gpus", Json::array())) {
      free_mib += gpu.value("memoryFreeMiB", 0.0);
      utilisation += gpu.value("utilisation", 0.0);
      ++gpus;
    }
    figures.gpu_memory = round2(free_mib / 1024.0);
    figures.gpu_utilisation = gpus > 0 ? round2(utilisation / gpus) : 0.0;
  }
  Json report = Json::object();
  report["available_memory"] = figures.memory;
  report["available_cpu"] = figures.cpu;
  report["available_gpu_memory"] = figures.gpu_memory;
  report["gpu_utilisation"] = figures.gpu_utilisation;
  if (!inventory.is_null()) report["inventory"] = std::move(inventory);
  const backend::Result result = scaling_.update_available_resources(report);
  if (result.has_error()) {
    throw std::runtime_error("The backend refused the machine's resources: " + *result.error);
  }
}

ActionsResourcesTracker::ActionsResourcesTracker(backend::Scaling& scaling) : scaling_(scaling) {}

void ActionsResourcesTracker::update_actions_resources() {
  engine::Client client;
  const Json containers =
      client.list_containers({.filters = Json{{"status", Json::array({"running"})}}});
  if (!containers.is_array()) throw TypeError("The engine's container list is not a list");

  for (const Json& summary : containers) {
    const std::string id = summary.at("Id").get<std::string>();
    Json inspection;
    Json stats;
    std::optional<std::string> action_id;
    try {
      inspection = client.inspect_container(id);
      action_id = engine::action_of_container(inspection, id);
      if (!action_id) continue;
      stats = client.container_stats(id);
    } catch (const engine::ApiError& e) {
      if (!is_gone(e)) throw;
      log::debug("Container %s ended before its resources were read", id);
      continue;
    }

    const std::optional<std::string> provider = config::service_provider();
    if (!provider) throw std::runtime_error("SERVICE_PROVIDER is not set");
    Json report = Json::object();
    report["service_provider"] = *provider;
    report["status"] = "started";
    report["action_record_id"] = *action_id;
    report["isRunning"] = true;
    report["action_duration"] = seconds_running(inspection);
    report["cpuUtilisation"] = round2(cpu_percent(stats));
    report["gpuUtilisation"] = 0.0;
    report["memoryUtilisation"] = round2(memory_percent(stats));
    report["gpuMemoryUsed"] = 0;
    const backend::Result result = scaling_.update_action_status(report);
    if (result.has_error()) {
      throw std::runtime_error("The backend refused the resources of action " + *action_id + ": " +
                               *result.error);
    }
  }
}

}  // namespace tavoren
