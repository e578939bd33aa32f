// Start-up checks: the validation an instance passes before the agent
// accepts work.
//
//   Prechecks prechecks(session, instance_id, make_scaling);
//   if (!prechecks.run_all_checks(instance_id, access_key, secret_key)) {
//     // a check failed; the log says which ("Check failed: <name>")
//   }
//
// Each check has three outcomes: it returns true; it returns false after
// logging an error; or it is fatal: it logs the finding at error level and
// ends the whole process with exit status 1 (tavoren::log::fatal). Nothing
// here catches a fatal exit. Failures a check does not handle itself (an
// answer of an unexpected shape, a probe that throws) propagate as
// exceptions to the caller of the check; run_all_checks does not catch them
// either.
//
// Host commands run through the host probes (tavoren/host_probe.h) as
// argument vectors without a shell, programs found through PATH, each under
// its time limit (host_probe::ToolLimits): "docker info", "docker login
// --username <user> --password-stdin [<registry>]" with the password on
// standard input, "docker volume create workspace", and nvidia-smi
// queries. A tool that does not finish in time fails as when it exits
// non-zero, after the probes' time-out line. The container
// engine's API is reached as DOCKER_HOST says (tavoren/engine.h).
// The GPU computation uses the CUDA driver library, loaded at run time:
// TAVOREN_CUDA_LIBRARY names it (a file name searched as the dynamic loader
// searches, or a path), "libcuda.so.1" by default; a host without it still
// runs every check that does not compute on the GPU.
//
// Readings in percent: the memory-usage probes of the host (ratios from 0 to
// 1) are compared as percentages (ratio x 100, rounded to two decimals)
// against 90, 95 and 100. The GPU memory map is each GPU's total memory in
// gigabytes (MiB / 1024) as nvidia-smi reports it, keyed by GPU position;
// it is empty when nvidia-smi cannot be started, exits non-zero or does not
// finish within its limit.
//
// Ownership: a Prechecks owns the backend client it builds through the
// factory, the container reaper built on that client, and the resource
// trackers. Threads: one thread at a time. The checks read and change
// process-wide state (the registry login, a container volume, container
// storage), so run one Prechecks at a time.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/resources_tracker.h"

namespace tavoren {

class ContainerReaper;

// The host readings the checks take; an empty member means the agent's own
// probe of tavoren/host_probe.h of the same name. Tests replace them.
struct PrecheckProbes {
  // Main-memory usage ratio (0 to 1).
  std::function<double()> get_cpu_memory_usage;
  // GPU memory usage ratio on GPU hosts, else main memory (0 to 1).
  std::function<double()> get_mem_usage;
  // GPU positions for an action; may throw host_probe::NoSuitableGpuError
  // when no GPU fits, which the checks read as "no GPU".
  std::function<std::vector<int>(const Json& action_details)>
      get_gpu_with_sufficient_memory_for_action;
};

struct PrechecksOptions {
  // Files and timing of the resource readings.
  ResourcesTrackerOptions resources;
  PrecheckProbes probes;
};

class Prechecks {
 public:
  // Builds the backend client of the checks from (session, instance_id).
  using ScalingFactory = std::function<std::unique_ptr<backend::Scaling>(
      const backend::Session& session, const std::optional<std::string>& instance_id)>;

  // Sets the attributes below in their order, then builds the backend
  // client with `make_scaling`, the container reaper on that client (with
  // the engine as DOCKER_HOST says) and the trackers. Throws
  // std::invalid_argument when `make_scaling` is empty or gives no client,
  // and whatever the factory or the reaper's constructor throws (a
  // malformed DOCKER_HOST: ValueError).
  Prechecks(backend::Session session, std::optional<std::string> instance_id,
            const ScalingFactory& make_scaling, PrechecksOptions options = {});
  ~Prechecks();
  Prechecks(const Prechecks&) = delete;
  Prechecks& operator=(const Prechecks&) = delete;

  // -------------------------------------------------------------------------
  // The local host.

  // Fatal "Missing access key or secret key" when either is absent or
  // empty; else logs "Credentials check passed" and returns true. The keys
  // are not stored.
  bool check_credentials(const std::optional<std::string>& access_key = std::nullopt,
                         const std::optional<std::string>& secret_key = std::nullopt);
  // Fatal "Missing instance ID" when absent or empty, "Invalid instance ID
  // format" when shorter than 8 characters. Stores it in instance_id, then
  // asks the host's identity probe (host_probe::get_instance_info): fatal
  // "Invalid instance ID <id>" only when that probe fails. Logs "Instance ID
  // <id> validated" and returns true.
  bool check_instance_id(const std::optional<std::string>& instance_id = std::nullopt);
  // Asks the backend for the registry credentials. Any error set (even an
  // empty one): logs "Error getting docker credentials: <error>", false.
  // Stores docker_username and docker_password (absent entries: nullopt),
  // then logs the engine in to the registry ("registry" of the credentials
  // when given and not empty). Success: logs "Successfully logged into
  // Docker", true. A login that fails (non-zero exit, no end within its
  // limit, docker missing, absent username or password): logs "Failed to
  // login to Docker: <what>", false. Credentials data that is not an object
  // throws TypeError.
  bool setup_docker();
  // Runs "docker volume create workspace": true on exit 0; otherwise logs
  // "Failed to create docker volume: <what>" and returns false. A docker
  // that cannot be started throws process::SpawnError.
  bool create_docker_volume();
  // Fatal "Docker not installed or not running" unless "docker info" exits
  // 0; fatal "Docker API check failed: <error>" unless the engine's API
  // answers a ping. Logs "Docker check passed" and returns true.
  bool check_docker();
  // Range checks of ResourcesTracker's figures (not among run_all_checks),
  // in this order, each fatal:
  //   memory or CPU above 100: "Resource usage exceeds 100%: Memory <m>%,
  //     CPU <c>%";
  //   free GPU memory above 256: "GPU memory exceeds 256GB limit: <g>GB";
  //   any figure below 0: "Resource usage cannot be negative: Memory <m>%,
  //     CPU <c>%, GPU Memory <g>GB";
  //   GPU utilisation above 100: "GPU utilization exceeds 100%: <u>%".
  // Then logs "Resource availability check passed" and returns true.
  bool get_available_resources();
  // CPU reading = get_cpu_memory_usage, memory reading = get_mem_usage, as
  // percentages. Strictly above 100: fatal "CPU usage exceeds 100%: <c>%"
  // (then "Memory usage exceeds 100%: <m>%"); above 90: warning "High CPU
  // usage: <c>%" ("High memory usage: <m>%"). A GPU above 256 GB: fatal
  // "GPU memory exceeds 256GB limit". CPU or memory above 95: fatal
  // "Insufficient available resources". Logs "Resource limits check passed",
  // returns true.
  bool check_resources();
  // Fatal "No GPU detected on this machine" when the GPU memory map is
  // empty; fatal "GPU has insufficient memory (min 4GB required)" when a GPU
  // has less than 4 GB. Then the CUDA driver: fatal "CUDA not available"
  // when it loads but finds no usable device; when it cannot be loaded, a
  // warning "<library> not installed - skipping CUDA check" naming it. Logs
  // "GPU check passed", returns true.
  bool check_gpu();
  // True at once without a GPU (host_probe::has_gpu). Fatal "No GPU with
  // sufficient memory" when the GPU selection for {"memory_required": 4} is
  // empty (or finds no GPU that fits). Fills a 2 x 2 single-precision matrix
  // with 1.0 on the GPU and squares it: fatal "GPU computation test failed"
  // unless every element is 2.0, fatal "GPU computation test failed: <what>"
  // when the driver is missing or the computation fails. Returns true.
  bool test_gpu();
  // The GPU selection for {"memory_required": 4}: fatal "Failed to get GPU
  // indices" when empty (or no GPU fits), "Invalid GPU indices returned"
  // when one is negative, "Duplicate GPU indices returned" when one repeats.
  // Returns true.
  bool check_get_gpu_indices();
  // Runs the container-storage clean-up (host_probe::cleanup_docker_storage)
  // between two host_probe::get_max_file_system readings, compared as texts:
  // when the later is not greater, warning "Docker cleanup did not free any
  // space". True either way. When a reading fails: logs "Docker storage
  // cleanup failed: <what>" and returns false.
  bool cleanup_docker_storage();

  // -------------------------------------------------------------------------
  // The backend and the trackers.

  // Reports the machine's and the action containers' resources; any failure
  // is fatal "Failed to update resource tracking: <what>". True.
  bool check_resources_tracking();
  // Asks the backend for the scaled-down identifiers. Any error set (even an
  // empty one), a failing call, or data that is no collection: fatal
  // "Failed to check scaling status: <what>". Fatal "Instance is marked for
  // downscaling" when instance_id is among them (the elements of an array,
  // the keys of an object, or a single text). True otherwise.
  bool check_scaling_status();
  // Fatal "Failed to get filesystem information" when
  // host_probe::get_max_file_system finds none. True.
  bool check_filesystem_space();
  // One pass of the container reaper, which handles its own failures. True.
  bool test_actions_scale_down();
  // assign_jobs(has_gpu()): error set and not empty: logs "Error assigning
  // jobs: <error>", false. Data that is not empty must be an array ("Invalid
  // actions format", false) of objects with "_id" ("Invalid action format",
  // false, at the first that is not). True.
  bool check_fetch_actions();
  // Reads the backend's shutdown settings into shutdown_threshold,
  // launch_duration and instance_source. False after logging: "Empty
  // response from get_shutdown_details"; "Invalid shutdown details response"
  // (not an object holding all three keys); "Invalid shutdown threshold" or
  // "Invalid launch duration" (not a number above 0); "Failed to get
  // shutdown details: <what>" (the call throws). True.
  bool get_shutdown_details();

  // Runs, in this order, stopping at the first that returns false:
  // check_credentials(access_key, secret_key), check_instance_id(instance_id),
  // check_docker, setup_docker, create_docker_volume, check_gpu,
  // check_resources, cleanup_docker_storage, check_filesystem_space,
  // check_resources_tracking, check_scaling_status, get_shutdown_details,
  // test_gpu, check_get_gpu_indices, test_actions_scale_down,
  // check_fetch_actions. A false result: logs "Check failed: <name>" (the
  // name is "<lambda>" for the first two) and returns false. All true: logs
  // "All prechecks passed successfully" and returns true.
  bool run_all_checks(const std::optional<std::string>& instance_id = std::nullopt,
                      const std::optional<std::string>& access_key = std::nullopt,
                      const std::optional<std::string>& secret_key = std::nullopt);

  // -------------------------------------------------------------------------
  // The GPU memory map: GPU position to total memory in gigabytes.
  std::map<int, double> gpu_memory_map() const;

  backend::Scaling& scaling() { return *scaling_; }
  ContainerReaper& container_reaper() { return *container_reaper_; }
  ResourcesTracker& resources_tracker() { return resources_tracker_; }
  MachineResourcesTracker& machine_resources_tracker() { return machine_resources_tracker_; }
  ActionsResourcesTracker& actions_resources_tracker() { return actions_resources_tracker_; }

  // Attributes, in the order the constructor sets them.
  backend::Session session;
  std::optional<std::string> instance_id;
  std::optional<std::string> access_key;
  std::optional<std::string> secret_key;
  std::optional<std::string> docker_username;
  std::optional<std::string> docker_password;
  // As the backend gave them; null until get_shutdown_details stores them.
  Json shutdown_threshold;
  Json launch_duration;
  Json instance_source;

 private:
  PrecheckProbes probes_;
  std::unique_ptr<backend::Scaling> scaling_;
  std::unique_ptr<ContainerReaper> container_reaper_;
  ResourcesTracker resources_tracker_;
  MachineResourcesTracker machine_resources_tracker_;
  ActionsResourcesTracker actions_resources_tracker_;
};

}  // namespace tavoren
