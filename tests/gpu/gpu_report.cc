// Prints what the agent sees of this host's GPUs: the probes against the
// real nvidia-smi, the health readings and which signals the driver
// offers, the kernel log's Xid events, the GPU selections, and the
// start-up checks' GPU
// computation on the real CUDA driver. Exit status 0 when everything the
// host offers works (a host without GPU passes with "no GPU"), 1 otherwise.
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "cuda_driver.h"
#include "tavoren/common/json.h"
#include "tavoren/gpu_health.h"
#include "tavoren/host_probe.h"

namespace {

using tavoren::Json;
namespace host_probe = tavoren::host_probe;

std::string selection(std::int64_t mebibytes) {
  const Json details = {{"actionDetails", {{"expectedResources", {{"gpuMemory", mebibytes}}}}}};
  try {
    std::string shown;
    for (int gpu :
         host_probe::get_gpu_with_sufficient_memory_for_action(details["actionDetails"])) {
      shown += (shown.empty() ? "" : ",") + std::to_string(gpu);
    }
    return "[" + shown + "]";
  } catch (const host_probe::NoSuitableGpuError& e) {
    return std::string("no suitable GPU (") + e.what() + ")";
  } catch (const std::exception& e) {
    return std::string("failed: ") + e.what();
  }
}

// A signal as read: its value, or "not offered".
template <typename T>
std::string offered(const std::optional<T>& value) {
  if (!value) return "not offered";
  if constexpr (std::is_same_v<T, bool>) return *value ? "yes" : "no";
  return std::to_string(*value);
}

// The health readings as the monitor reads them, and the health it makes
// of them; the number of failures (0 on a host without GPU).
int print_health(bool gpu) {
  std::vector<host_probe::GpuReading> readings;
  try {
    readings = host_probe::read_gpu_readings(std::chrono::seconds(5));
  } catch (const std::exception& e) {
    std::printf("health readings:          %s\n", e.what());
    return gpu ? 1 : 0;
  }
  for (const host_probe::GpuReading& r : readings) {
    std::printf("GPU %d health reading:     %s %s bus %s%s\n", r.index, r.uuid.c_str(),
                r.name.c_str(), r.pci_bus_id.c_str(), r.lost ? " LOST" : "");
    std::printf("  memory %.0f/%.0f MiB used, %.0f %%, %.0f C, %.1f/%.1f W, ECC mode %s\n",
                r.memory_used_mib, r.memory_total_mib, r.utilisation, r.temperature_c,
                r.power_draw_w, r.power_limit_w, r.ecc_mode.empty() ? "-" : r.ecc_mode.c_str());
    std::printf("  uncorrectable ECC (volatile) %s, pages pending retirement %s\n",
                offered(r.ecc_uncorrected_volatile).c_str(),
                offered(r.pages_pending_retirement).c_str());
    std::printf("  rows pending remap %s, row remap failed %s\n",
                offered(r.rows_pending_remap).c_str(), offered(r.row_remap_failed).c_str());
    std::printf("  hardware slowdown %s, thermal slowdown %s\n", offered(r.hw_slowdown).c_str(),
                offered(r.thermal_slowdown).c_str());
  }
  tavoren::gpu_health::HealthBook book;
  book.observe(readings);
  for (const tavoren::gpu_health::GpuStatus& status : book.gpus()) {
    std::printf("GPU %d health:             %s%s%s\n", status.index,
                tavoren::gpu_health::gpu_state_name(status.state),
                status.reason.empty() ? "" : ": ", status.reason.c_str());
  }
  tavoren::gpu_health::KernelLogFeed kernel_log("/dev/kmsg");
  int xids = 0;
  if (kernel_log.is_open()) {
    for (const std::string& line : kernel_log.read_new()) {
      if (const auto event = tavoren::gpu_health::parse_xid_line(line)) {
        ++xids;
        std::printf("Xid %d at %s (%s): %s\n", event->xid, event->pci_bus_id.c_str(),
                    tavoren::gpu_health::fault_class_name(
                        tavoren::gpu_health::classify_xid(event->xid, event->text)),
                    event->text.c_str());
      }
    }
  }
  std::printf("kernel log:               %s, %d Xid events since boot\n",
              kernel_log.is_open() ? "readable" : "not readable", xids);
  return 0;
}

}  // namespace

int main() {
  int failures = 0;
  const bool gpu = host_probe::has_gpu();
  std::printf("nvidia-smi runs:          %s\n", gpu ? "yes" : "no GPU");
  for (const std::string& line : host_probe::get_gpu_info()) {
    std::printf("GPU:                      %s\n", line.c_str());
  }
  for (const auto& [position, gigabytes] : host_probe::gpu_total_memory_gb()) {
    std::printf("GPU %d total memory:       %.1f GB\n", position, gigabytes);
  }
  const host_probe::GpuFigures figures = host_probe::read_gpu_figures();
  std::printf("free GPU memory:          %.2f GB, mean utilisation %.1f %%\n", figures.free_gb,
              figures.utilisation);
  std::printf("GPU memory usage ratio:   %.3f\n", host_probe::get_gpu_memory_usage());
  std::printf("main memory usage ratio:  %.3f\n", host_probe::get_cpu_memory_usage());
  std::printf("admission ratio:          %.3f\n", host_probe::get_mem_usage());
  failures += print_health(gpu);
  std::printf("selection for 1 GiB:      %s\n", selection(1024).c_str());
  std::printf("selection for 4 TiB:      %s\n", selection(4ll << 20).c_str());

  try {
    auto driver = tavoren::prechecks::CudaDriver::load();
    std::printf("CUDA driver:              %s\n", driver->library().c_str());
    const bool available = driver->is_available();
    std::printf("CUDA devices:             %s\n", available ? "yes" : "none");
    if (available) {
      const auto product = driver->square_filled_matrix(1.0f);
      std::printf("matrix test (want 2 2 2 2): %g %g %g %g\n", product[0], product[1], product[2],
                  product[3]);
      for (float value : product) failures += value == 2.0f ? 0 : 1;
    } else if (gpu) {
      ++failures;
    }
  } catch (const std::exception& e) {
    std::printf("CUDA:                     %s\n", e.what());
    if (gpu) ++failures;
  }
  std::printf("%s\n", failures == 0 ? "GPU check passed" : "GPU check FAILED");
  return failures == 0 ? 0 : 1;
}
