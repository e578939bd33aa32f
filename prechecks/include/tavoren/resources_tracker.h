// Readings of the host's resources and their reports to the backend.
//
//   ResourcesTracker tracker;
//   AvailableResources now = tracker.get_available_resources();
//   MachineResourcesTracker(scaling).update_available_resources();
//   ActionsResourcesTracker(scaling).update_actions_resources();
//
// Sources:
//   - available memory: MemAvailable / MemTotal of /proc/meminfo, in percent;
//   - available CPU: the idle share (idle + iowait) of all CPU time that
//     passed between two readings of the "cpu" line of /proc/stat taken
//     cpu_sample_interval apart, in percent;
//   - GPUs: "nvidia-smi --query-gpu=memory.free,utilization.gpu
//     --format=csv,noheader,nounits", run without a shell under its time
//     limit (host_probe::read_gpu_figures). Free memory is
//     summed over all GPUs and given in gigabytes (MiB / 1024); utilisation
//     is the mean over all GPUs, in percent. A field nvidia-smi cannot
//     measure ("[N/A]", "[Not Supported]") counts as 0. A host where
//     nvidia-smi cannot be started, exits non-zero or does not finish
//     within its limit has no GPU: both GPU figures are 0.
// Percentages and gigabytes are rounded to two decimals. Figures are not
// clamped: counters that go backwards give figures outside 0..100, which
// the start-up checks are there to catch.
//
// Ownership: a MachineResourcesTracker or ActionsResourcesTracker borrows the
// Scaling client, which must outlive it. Nothing is cached between calls.
// Threads: every member may be called from several threads at once.
// Failures: every operation throws (std::runtime_error or a kind derived
// from it) when a reading cannot be taken or the backend refuses a report
// (its error set and not empty); nothing is logged here but the host
// probes' line for an nvidia-smi that timed out.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

#include "tavoren/backend.h"

namespace tavoren {

struct ResourcesTrackerOptions {
  std::filesystem::path meminfo_path = "/proc/meminfo";
  std::filesystem::path stat_path = "/proc/stat";
  // Between the two readings of stat_path.
  std::chrono::milliseconds cpu_sample_interval{200};
  // Waits between the two readings; empty: std::this_thread::sleep_for.
  std::function<void(std::chrono::milliseconds)> sleep;
  // What the machine has (its GPUs, host and software), sent with the
  // machine's report as the named argument "inventory" when set; the GPU
  // figures are then its GPUs' (free memory summed, utilisation averaged),
  // and nvidia-smi is not read again.
  std::function<Json()> inventory;
};

// What the host has available right now.
struct AvailableResources {
  double memory = 0;           // percent of main memory
  double cpu = 0;              // percent of CPU time
  double gpu_memory = 0;       // gigabytes free over all GPUs
  double gpu_utilisation = 0;  // percent, mean over all GPUs
  bool operator==(const AvailableResources&) const = default;
};

class ResourcesTracker {
 public:
  explicit ResourcesTracker(ResourcesTrackerOptions options = {});

  // Takes every reading anew (blocks for cpu_sample_interval); the GPU
  // figures stay 0 unless `read_gpus`. Throws when /proc cannot be read or
  // nvidia-smi prints what cannot be read.
  AvailableResources get_available_resources(bool read_gpus = true) const;

 private:
  ResourcesTrackerOptions options_;
};

// Reports the machine's available resources to the backend through
// Scaling::update_available_resources, with the named arguments
// available_memory, available_cpu, available_gpu_memory, gpu_utilisation
// (the figures of ResourcesTracker, in that order), and "inventory" when
// the options give one.
class MachineResourcesTracker {
 public:
  explicit MachineResourcesTracker(backend::Scaling& scaling, ResourcesTrackerOptions options = {});

  // Throws when a reading fails or the backend refuses the report.
  void update_available_resources();

 private:
  backend::Scaling& scaling_;
  ResourcesTracker tracker_;
  std::function<Json()> inventory_;
};

// Reports what each running action container uses, read from the container
// engine (reached as DOCKER_HOST says, see tavoren/engine.h).
//
// A container's action is read by engine::action_of_container, as the
// container reaper reads it (its action label, else the first command
// argument as long as an action identifier); running containers without one
// are left out. For each action container one
// sample of the engine's statistics gives:
//   - cpuUtilisation: the container's share of the host's CPU time between
//     the engine's two samples, times the number of online CPUs, in percent
//     (as the engine's own tools show it);
//   - memoryUtilisation: memory in use less the inactive page cache, over the
//     container's memory limit, in percent;
// and the report is the one a work unit sends when its action has started:
// Scaling::update_action_status with the named arguments, in order,
// service_provider (SERVICE_PROVIDER, which must be set when there is an
// action container), status "started", action_record_id, isRunning true,
// action_duration (whole seconds since the container started),
// cpuUtilisation, gpuUtilisation 0.0 and memoryUtilisation, gpuMemoryUsed 0
// (the engine measures no GPU use; the start report sends the same zeros).
class ActionsResourcesTracker {
 public:
  explicit ActionsResourcesTracker(backend::Scaling& scaling);

  // One report per running action container. A container that ends between
  // the listing and its inspection or statistics (the engine answers 404) is
  // left out; every other engine failure, and a report the backend refuses,
  // throws.
  void update_actions_resources();

 private:
  backend::Scaling& scaling_;
};

}  // namespace tavoren
