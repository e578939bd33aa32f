// The start-up checks that look at the local host: credentials, instance
// identity, the container engine and its registry login, GPUs, resource
// readings and container storage.

#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "checks_internal.h"
#include "cuda_driver.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/container_reaper.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"
#include "tavoren/prechecks.h"

namespace tavoren {
namespace {

using prechecks::fatal;

PrecheckProbes with_defaults(PrecheckProbes probes) {
  if (!probes.get_cpu_memory_usage) probes.get_cpu_memory_usage = host_probe::get_cpu_memory_usage;
  if (!probes.get_mem_usage) probes.get_mem_usage = host_probe::get_mem_usage;
  if (!probes.get_gpu_with_sufficient_memory_for_action) {
    probes.get_gpu_with_sufficient_memory_for_action =
        host_probe::get_gpu_with_sufficient_memory_for_action;
  }
  return probes;
}

std::unique_ptr<backend::Scaling> build_scaling(const Prechecks::ScalingFactory& make_scaling,
                                                const backend::Session& session,
                                                const std::optional<std::string>& instance_id) {
  if (!make_scaling) throw std::invalid_argument("Prechecks needs a backend client factory");
  std::unique_ptr<backend::Scaling> scaling = make_scaling(session, instance_id);
  if (!scaling) throw std::invalid_argument("The backend client factory gave no client");
  return scaling;
}

// A usage ratio (0 to 1) as a percentage with two decimals.
double percent(double ratio) { return std::round(ratio * 100.0 * 100.0) / 100.0; }

// An entry of the registry credentials as text: absent or null gives
// nullopt, a text itself, anything else its JSON text.
std::optional<std::string> credential(const Json& credentials, const char* key) {
  const auto found = credentials.find(key);
  if (found == credentials.end() || found->is_null()) return std::nullopt;
  if (found->is_string()) return found->get<std::string>();
  return found->dump();
}

// The GPUs for a small action; an empty list when none fits.
std::vector<int> gpus_for_small_action(const PrecheckProbes& probes) {
  try {
    return probes.get_gpu_with_sufficient_memory_for_action(Json{{"memory_required", 4}});
  } catch (const host_probe::NoSuitableGpuError&) {
    return {};
  }
}

}  // namespace

Prechecks::Prechecks(backend::Session session, std::optional<std::string> instance_id,
                     const ScalingFactory& make_scaling, PrechecksOptions options)
    : session(std::move(session)),
      instance_id(std::move(instance_id)),
      probes_(with_defaults(std::move(options.probes))),
      scaling_(build_scaling(make_scaling, this->session, this->instance_id)),
      container_reaper_(std::make_unique<ContainerReaper>(*scaling_)),
      resources_tracker_(options.resources),
      machine_resources_tracker_(*scaling_, options.resources),
      actions_resources_tracker_(*scaling_) {}

Prechecks::~Prechecks() = default;

bool Prechecks::check_credentials(const std::optional<std::string>& access_key,
                                  const std::optional<std::string>& secret_key) {
  if (!access_key || access_key->empty() || !secret_key || secret_key->empty()) {
    fatal("Missing access key or secret key");
  }
  log::info("Credentials check passed");
  return true;
}

bool Prechecks::check_instance_id(const std::optional<std::string>& instance_id) {
  if (!instance_id || instance_id->empty()) fatal("Missing instance ID");
  if (code_point_count(*instance_id) < 8) fatal("Invalid instance ID format");
  this->instance_id = instance_id;
  if (!host_probe::get_instance_info()) fatal("Invalid instance ID %s", *instance_id);
  log::info("Instance ID %s validated", *instance_id);
  return true;
}

bool Prechecks::setup_docker() {
  const backend::Result credentials = scaling_->get_docker_hub_credentials();
  if (credentials.has_error_set()) {
    log::error("Error getting docker credentials: %s", *credentials.error);
    return false;
  }
  if (!credentials.data.is_object()) {
    throw TypeError(std::string("The registry credentials are not a map but ") +
                    credentials.data.type_name());
  }
  docker_username = credential(credentials.data, "username");
  docker_password = credential(credentials.data, "password");
  if (docker_password) log::register_secret(*docker_password);

  try {
    if (!docker_username || !docker_password) {
      throw std::runtime_error("the registry credentials lack a username or password");
    }
    host_probe::login_to_registry(*docker_username, *docker_password,
                                  credential(credentials.data, "registry"));
  } catch (const std::runtime_error& e) {
    log::error("Failed to login to Docker: %s", e.what());
    return false;
  }
  log::info("Successfully logged into Docker");
  return true;
}

bool Prechecks::create_docker_volume() {
  try {
    host_probe::create_docker_volume("workspace");
  } catch (const host_probe::ToolError& e) {
    log::error("Failed to create docker volume: %s", e.what());
    return false;
  }
  return true;
}

bool Prechecks::check_docker() {
  if (!host_probe::check_docker()) fatal("Docker not installed or not running");
  try {
    engine::Client client;
    client.ping();
  } catch (const std::exception& e) {
    fatal("Docker API check failed: %s", e.what());
  }
  log::info("Docker check passed");
  return true;
}

bool Prechecks::get_available_resources() {
  const AvailableResources figures = resources_tracker_.get_available_resources();
  const double memory = figures.memory;
  const double cpu = figures.cpu;
  const double gpu_memory = figures.gpu_memory;
  const double gpu_utilisation = figures.gpu_utilisation;

  if (memory > 100 || cpu > 100) {
    fatal("Resource usage exceeds 100%%: Memory %s%%, CPU %s%%", memory, cpu);
  }
  if (gpu_memory > 256) fatal("GPU memory exceeds 256GB limit: %sGB", gpu_memory);
  if (memory < 0 || cpu < 0 || gpu_memory < 0 || gpu_utilisation < 0) {
    fatal("Resource usage cannot be negative: Memory %s%%, CPU %s%%, GPU Memory %sGB", memory, cpu,
          gpu_memory);
  }
  if (gpu_utilisation > 100) fatal("GPU utilization exceeds 100%%: %s%%", gpu_utilisation);
  log::info("Resource availability check passed");
  return true;
}

bool Prechecks::check_resources() {
  const double cpu = percent(probes_.get_cpu_memory_usage());
  if (cpu > 100) fatal("CPU usage exceeds 100%%: %s%%", cpu);
  if (cpu > 90) log::warning("High CPU usage: %s%%", cpu);

  const double memory = percent(probes_.get_mem_usage());
  if (memory > 100) fatal("Memory usage exceeds 100%%: %s%%", memory);
  if (memory > 90) log::warning("High memory usage: %s%%", memory);

  for (const auto& [position, gigabytes] : gpu_memory_map()) {
    if (gigabytes > 256) fatal("GPU memory exceeds 256GB limit");
  }
  if (cpu > 95 || memory > 95) fatal("Insufficient available resources");
  log::info("Resource limits check passed");
  return true;
}

bool Prechecks::check_gpu() {
  const std::map<int, double> gpus = gpu_memory_map();
  if (gpus.empty()) fatal("No GPU detected on this machine");
  for (const auto& [position, gigabytes] : gpus) {
    if (gigabytes < 4) fatal("GPU has insufficient memory (min 4GB required)");
  }

  std::unique_ptr<prechecks::CudaDriver> driver;
  try {
    driver = prechecks::CudaDriver::load();
  } catch (const prechecks::CudaLibraryMissing& e) {
    log::debug("%s", e.what());
    log::warning("CUDA driver library %s not installed - skipping CUDA check",
                 prechecks::cuda_library_name());
  }
  if (driver && !driver->is_available()) fatal("CUDA not available");
  log::info("GPU check passed");
  return true;
}

bool Prechecks::test_gpu() {
  if (!host_probe::has_gpu()) return true;
  if (gpus_for_small_action(probes_).empty()) fatal("No GPU with sufficient memory");

  std::array<float, 4> product{};
  try {
    product = prechecks::CudaDriver::load()->square_filled_matrix(1.0F);
  } catch (const std::exception& e) {
    fatal("GPU computation test failed: %s", e.what());
  }
  for (const float element : product) {
    if (element != 2.0F) fatal("GPU computation test failed");
  }
  return true;
}

bool Prechecks::check_get_gpu_indices() {
  const std::vector<int> gpus = gpus_for_small_action(probes_);
  if (gpus.empty()) fatal("Failed to get GPU indices");
  for (const int position : gpus) {
    if (position < 0) fatal("Invalid GPU indices returned");
  }
  if (std::set<int>(gpus.begin(), gpus.end()).size() != gpus.size()) {
    fatal("Duplicate GPU indices returned");
  }
  return true;
}

bool Prechecks::cleanup_docker_storage() {
  try {
    const std::optional<std::string> initial = host_probe::get_max_file_system();
    host_probe::cleanup_docker_storage();
    const std::optional<std::string> final_value = host_probe::get_max_file_system();
    if (!initial) throw std::runtime_error("no file system was found before the clean-up");
    if (!final_value) throw std::runtime_error("no file system was found after the clean-up");
    if (*final_value <= *initial) log::warning("Docker cleanup did not free any space");
    return true;
  } catch (const std::exception& e) {
    log::error("Docker storage cleanup failed: %s", e.what());
    return false;
  }
}

std::map<int, double> Prechecks::gpu_memory_map() const {
  return host_probe::gpu_total_memory_gb();
}

}  // namespace tavoren
