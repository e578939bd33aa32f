// The start-up checks that exercise the backend and the resource trackers,
// and the runner of all checks.

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "checks_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/container_reaper.h"
#include "tavoren/host_probe.h"
#include "tavoren/prechecks.h"

namespace tavoren {
namespace {

using prechecks::fatal;
using prechecks::is_truthy;

bool is_positive_number(const Json& value) { return value.is_number() && value.get<double>() > 0; }

}  // namespace

bool Prechecks::check_resources_tracking() {
  try {
    machine_resources_tracker_.update_available_resources();
    actions_resources_tracker_.update_actions_resources();
  } catch (const std::exception& e) {
    fatal("Failed to update resource tracking: %s", e.what());
  }
  return true;
}

bool Prechecks::check_scaling_status() {
  bool marked = false;
  try {
    const backend::Result downscaled = scaling_->get_downscaled_ids();
    if (downscaled.has_error_set()) throw std::runtime_error(*downscaled.error);
    marked = instance_id.has_value() && backend::is_scaled_down(downscaled.data, *instance_id);
  } catch (const backend::ScaledDownIdsError& e) {
    fatal(
        "Failed to check scaling status: The scaled-down identifiers are not a collection but a %s",
        e.answer().type_name());
  } catch (const std::exception& e) {
    fatal("Failed to check scaling status: %s", e.what());
  }
  if (marked) fatal("Instance is marked for downscaling");
  return true;
}

bool Prechecks::check_filesystem_space() {
  const std::optional<std::string> file_system = host_probe::get_max_file_system();
  if (!file_system || file_system->empty()) fatal("Failed to get filesystem information");
  return true;
}

bool Prechecks::test_actions_scale_down() {
  container_reaper_->auto_scaledown_actions();
  return true;
}

bool Prechecks::check_fetch_actions() {
  const backend::Result assigned = scaling_->assign_jobs(host_probe::has_gpu());
  if (assigned.has_error()) {
    log::error("Error assigning jobs: %s", *assigned.error);
    return false;
  }
  if (is_truthy(assigned.data)) {
    if (!assigned.data.is_array()) {
      log::error("Invalid actions format");
      return false;
    }
    for (const Json& action : assigned.data) {
      if (!action.is_object() || !action.contains("_id")) {
        log::error("Invalid action format");
        return false;
      }
    }
  }
  return true;
}

bool Prechecks::get_shutdown_details() {
  try {
    const Json details = scaling_->get_shutdown_details();
    if (!is_truthy(details)) {
      log::error("Empty response from get_shutdown_details");
      return false;
    }
    for (const char* key : {"shutdownThreshold", "launchDuration", "instanceSource"}) {
      if (!details.is_object() || !details.contains(key)) {
        log::error("Invalid shutdown details response");
        return false;
      }
    }
    shutdown_threshold = details.at("shutdownThreshold");
    launch_duration = details.at("launchDuration");
    instance_source = details.at("instanceSource");
    if (!is_positive_number(shutdown_threshold)) {
      log::error("Invalid shutdown threshold");
      return false;
    }
    if (!is_positive_number(launch_duration)) {
      log::error("Invalid launch duration");
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    log::error("Failed to get shutdown details: %s", e.what());
    return false;
  }
}

bool Prechecks::run_all_checks(const std::optional<std::string>& instance_id,
                               const std::optional<std::string>& access_key,
                               const std::optional<std::string>& secret_key) {
  using Check = std::pair<const char*, std::function<bool()>>;
  const std::vector<Check> checks = {
      {"<lambda>", [&] { return check_credentials(access_key, secret_key); }},
      {"<lambda>", [&] { return check_instance_id(instance_id); }},
      {"check_docker", [this] { return check_docker(); }},
      {"setup_docker", [this] { return setup_docker(); }},
      {"create_docker_volume", [this] { return create_docker_volume(); }},
      {"check_gpu", [this] { return check_gpu(); }},
      {"check_resources", [this] { return check_resources(); }},
      {"cleanup_docker_storage", [this] { return cleanup_docker_storage(); }},
      {"check_filesystem_space", [this] { return check_filesystem_space(); }},
      {"check_resources_tracking", [this] { return check_resources_tracking(); }},
      {"check_scaling_status", [this] { return check_scaling_status(); }},
      {"get_shutdown_details", [this] { return get_shutdown_details(); }},
      {"test_gpu", [this] { return test_gpu(); }},
      {"check_get_gpu_indices", [this] { return check_get_gpu_indices(); }},
      {"test_actions_scale_down", [this] { return test_actions_scale_down(); }},
      {"check_fetch_actions", [this] { return check_fetch_actions(); }},
  };
  for (const auto& [name, check] : checks) {
    if (!check()) {
      log::error("Check failed: %s", name);
      return false;
    }
  }
  log::info("All prechecks passed successfully");
  return true;
}

}  // namespace tavoren
