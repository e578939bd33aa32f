// What this machine has, as the agent reports it to the backend with its
// resources: each GPU with its figures and health, the host, and the
// software that runs it.
//
// Threads: machine_inventory may be called from any thread. Failures: a
// part that cannot be read is left out (and logged at debug); nothing
// throws. Time limits: the engine's version is asked under the engine
// client's own limits.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tavoren/common/json.h"
#include "tavoren/gpu_health.h"

namespace tavoren {

struct InventoryContext {
  std::string agent_version;
  std::string instance_id;
  std::string provider;
  // The folder whose file system holds the actions' data.
  std::filesystem::path data_dir = ".";
};

// {"gpus": [...], "driverVersion", "host": {...}, "software": {...}}; each
// GPU {"index", "uuid", "name", "memoryTotalMiB", "memoryUsedMiB",
// "memoryFreeMiB", "utilisation", "temperatureC", "powerDrawW",
// "powerLimitW", "eccMode", "throttled", "health", "fault", "reason",
// "actionId"} (the action using it, from `users` by position; null when
// none).
// "healthEvents": the latest changes of the GPUs' health, oldest first, each
// {"at" (Unix seconds), "index", "uuid", "from", "to", "fault", "reason"}.
Json machine_inventory(const std::vector<gpu_health::GpuStatus>& gpus,
                       const std::vector<gpu_health::HealthEvent>& events,
                       const std::map<int, std::string>& users, const InventoryContext& context);

}  // namespace tavoren
