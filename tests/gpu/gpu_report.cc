// Prints what the agent sees of this host's GPUs: the probes against the
// real nvidia-smi, the GPU selections, and the start-up checks' GPU
// computation on the real CUDA driver. Exit status 0 when everything the
// host offers works (a host without GPU passes with "no GPU"), 1 otherwise.
#include <cstdio>
#include <exception>
#include <string>

#include "cuda_driver.h"
#include "tavoren/common/json.h"
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
