// What this machine has, for the backend's view of its fleet.

#include "machine_report.h"

#include <filesystem>
#include <thread>

#include "tavoren/common/logging.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

Json gpu_entry(const gpu_health::GpuStatus& gpu, const std::map<int, std::string>& users) {
  Json entry = Json::object();
  entry["index"] = gpu.index;
  entry["uuid"] = gpu.uuid;
  if (gpu.reading) {
    const host_probe::GpuReading& r = *gpu.reading;
    entry["name"] = r.name;
    entry["memoryTotalMiB"] = r.memory_total_mib;
    entry["memoryUsedMiB"] = r.memory_used_mib;
    entry["memoryFreeMiB"] = gpu.lost ? 0.0 : r.memory_free_mib;
    entry["utilisation"] = r.utilisation;
    entry["temperatureC"] = r.temperature_c;
    entry["powerDrawW"] = r.power_draw_w;
    entry["powerLimitW"] = r.power_limit_w;
    entry["eccMode"] = r.ecc_mode;
    entry["throttled"] = r.hw_slowdown.value_or(false) || r.thermal_slowdown.value_or(false);
  }
  entry["health"] = gpu_health::gpu_state_name(gpu.state);
  entry["fault"] = gpu_health::fault_class_name(gpu.fault);
  entry["reason"] = gpu.reason;
  const auto user = users.find(gpu.index);
  entry["actionId"] = user != users.end() ? Json(user->second) : Json();
  return entry;
}

}  // namespace

Json machine_inventory(const std::vector<gpu_health::GpuStatus>& gpus,
                       const std::vector<gpu_health::HealthEvent>& events,
                       const std::map<int, std::string>& users, const InventoryContext& context) {
  Json inventory = Json::object();
  Json entries = Json::array();
  std::string driver;
  for (const gpu_health::GpuStatus& gpu : gpus) {
    entries.push_back(gpu_entry(gpu, users));
    if (driver.empty() && gpu.reading) driver = gpu.reading->driver_version;
  }
  inventory["gpus"] = std::move(entries);
  Json health_events = Json::array();
  for (const gpu_health::HealthEvent& event : events) {
    health_events.push_back(Json{{"at", event.at},
                                 {"index", event.change.index},
                                 {"uuid", event.change.uuid},
                                 {"from", gpu_health::gpu_state_name(event.change.from)},
                                 {"to", gpu_health::gpu_state_name(event.change.to)},
                                 {"fault", gpu_health::fault_class_name(event.change.fault)},
                                 {"reason", event.change.reason}});
  }
  inventory["healthEvents"] = std::move(health_events);
  inventory["driverVersion"] = driver;

  Json host = Json::object();
  host["cpus"] = std::thread::hardware_concurrency();
  try {
    const host_probe::MemoryInfo memory = host_probe::read_meminfo();
    host["memoryTotalMiB"] = memory.total_kb / 1024;
    host["memoryAvailableMiB"] = memory.available_kb / 1024;
  } catch (const std::exception& e) {
    log::debug("The inventory leaves out the memory: %s", e.what());
  }
  std::error_code ec;
  const std::filesystem::space_info space = std::filesystem::space(context.data_dir, ec);
  if (!ec) {
    constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
    host["dataDiskTotalGB"] = static_cast<double>(space.capacity) / kGiB;
    host["dataDiskFreeGB"] = static_cast<double>(space.available) / kGiB;
  }
  inventory["host"] = std::move(host);

  Json software = Json::object();
  software["agentVersion"] = context.agent_version;
  software["instanceId"] = context.instance_id;
  software["provider"] = context.provider;
  try {
    engine::Client client;
    software["engineApiVersion"] = client.api_version();
  } catch (const std::exception& e) {
    log::debug("The inventory leaves out the engine's version: %s", e.what());
  }
  inventory["software"] = std::move(software);
  return inventory;
}

}  // namespace tavoren
