// GPU and memory probes: GPU presence and memory use through nvidia-smi,
// main-memory use from /proc/meminfo, and the choice of GPUs for an action.
//
// A GPU is identified by its position: the 0-based index of its line in
// nvidia-smi's output. Nothing is cached; every call asks the host anew.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "gpu_memory_internal.h"
#include "host_tools_internal.h"
#include "tavoren/backend.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"
#include "tavoren/metrics.h"

namespace tavoren::host_probe {
namespace {

using detail::kNvidiaSmi;

constexpr const char* kMeminfoPath = "/proc/meminfo";
// Requirements of this size (MiB) or more skip the single-GPU best fit.
constexpr double kLargeRequirementMib = backend::kLargeGpuRequirementMib;

std::string require_ascii(std::string text, const char* what) {
  if (!is_ascii(text)) throw ValueError(std::string(what) + " printed text that is not ASCII");
  return text;
}

std::vector<long long> query_free_memory() {
  return detail::parse_free_memory(
      require_ascii(detail::tool_output({kNvidiaSmi, "--query-gpu=memory.free", "--format=csv"},
                                        kNvidiaSmi, tool_limits().nvidia_smi),
                    kNvidiaSmi));
}

// The GPU positions listed in GPUS; nullopt when every GPU is allowed.
std::optional<std::vector<long long>> allowed_gpu_positions() {
  const std::optional<std::string> gpus = get_env("GPUS");
  if (!gpus || gpus->empty()) return std::nullopt;
  std::vector<long long> allowed;
  for (const std::string& piece : split(*gpus, ',')) {
    const std::string position = trim(piece);
    if (!position.empty()) allowed.push_back(parse_int(position));
  }
  return allowed;
}

bool contains(const std::vector<long long>& values, long long value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// The requirement the selections work with: get_required_gpu_memory, but a
// gpuMemory that is neither null, a number nor a numeric text fails the
// selection instead of counting as 0.
Json selection_requirement(const Json& action_details) {
  const Json* stored = nullptr;
  try {
    stored = backend::stored_gpu_memory(action_details);
  } catch (const TypeError&) {
    // A level that is not a map: get_required_gpu_memory's 0 applies.
  }
  // null is no requirement given, as before.
  if (stored != nullptr && !stored->is_null() && !backend::gpu_memory_number(*stored)) {
    throw NoSuitableGpuError("The required GPU memory is not a number: " + stored->dump());
  }
  return get_required_gpu_memory(action_details);
}

}  // namespace

MemoryInfo read_meminfo(const std::filesystem::path& path) {
  const std::optional<std::string> content = read_file_if_present(path);
  if (!content) throw std::runtime_error("Cannot read " + path.string());
  std::optional<long long> total;
  std::optional<long long> available;
  for (const std::string& line : split(*content, '\n')) {
    const std::vector<std::string> tokens = split_whitespace(line);
    if (tokens.size() < 2) continue;
    if (tokens[0] == "MemTotal:") total = parse_int(tokens[1]);
    if (tokens[0] == "MemAvailable:") available = parse_int(tokens[1]);
  }
  if (!total || !available) {
    throw std::runtime_error(path.string() + " lacks MemTotal or MemAvailable");
  }
  if (*total <= 0) throw std::runtime_error(path.string() + " reports no memory");
  return MemoryInfo{.total_kb = *total, .available_kb = *available};
}

namespace detail {

std::vector<long long> parse_free_memory(const std::string& output) {
  const std::vector<std::string> pieces = split(output, '\n');
  if (pieces.size() < 2) throw NoSuitableGpuError("No GPU information available from nvidia-smi");

  std::vector<long long> free_mib;
  // Skip the header line and the empty piece after the final newline.
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
    const std::vector<std::string> tokens = split_whitespace(pieces[i]);
    if (tokens.empty()) throw std::runtime_error("Empty GPU line in nvidia-smi output");
    free_mib.push_back(parse_int(tokens.front()));
  }
  return free_mib;
}

double parse_memory_usage(const std::string& output) {
  double least = std::numeric_limits<double>::infinity();
  for (const std::string& line : split(trim(output), '\n')) {
    const std::vector<std::string> fields = split(line, ',');
    if (fields.size() != 2) {
      throw ValueError("Expected used and total memory in nvidia-smi line: " + line);
    }
    const long long used = parse_int(fields[0]);
    const long long total = parse_int(fields[1]);
    if (total == 0) throw ValueError("GPU with no memory in nvidia-smi line: " + line);
    least = std::min(least, static_cast<double>(used) / static_cast<double>(total));
  }
  return least;
}

double memory_usage_from_meminfo(const std::filesystem::path& meminfo) {
  const MemoryInfo memory = read_meminfo(meminfo);
  const double percent = static_cast<double>(memory.total_kb - memory.available_kb) /
                         static_cast<double>(memory.total_kb) * 100.0;
  return std::round(percent * 10.0) / 10.0 / 100.0;
}

}  // namespace detail

bool has_gpu() {
  return log_errors("has_gpu", {.default_return = false, .log_error = false}, [&] {
    // Only its status counts: its table is dropped.
    return detail::run_tool({kNvidiaSmi}, kNvidiaSmi, tool_limits().nvidia_smi,
                            {.stdout_use = detail::ToolOptions::Output::dropped})
        .exit_status.success();
  });
}

std::vector<std::string> get_gpu_info() {
  return log_errors("get_gpu_info", {.default_return = {}}, [&] {
    // The exit status is not examined: whatever lines were printed count.
    const process::RunResult result = detail::run_tool(
        {kNvidiaSmi,
         "--query-gpu=index,uuid,utilization.gpu,memory.total,memory.used,memory.free,"
         "driver_version,name,gpu_serial,display_active,display_mode,temperature.gpu",
         "--format=csv,noheader,nounits"},
        kNvidiaSmi, tool_limits().nvidia_smi);
    if (!is_valid_utf8(result.out)) throw ValueError("nvidia-smi printed invalid UTF-8");
    std::vector<std::string> lines = split(result.out, '\n');
    lines.pop_back();  // the empty text after the final newline
    return lines;
  });
}

double get_gpu_memory_usage() {
  return log_errors("get_gpu_memory_usage", {.default_return = 0.0}, [&] {
    return detail::parse_memory_usage(require_ascii(
        detail::tool_output(
            {kNvidiaSmi, "--query-gpu=memory.used,memory.total", "--format=csv,nounits,noheader"},
            kNvidiaSmi, tool_limits().nvidia_smi),
        kNvidiaSmi));
  });
}

double get_cpu_memory_usage() {
  return log_errors("get_cpu_memory_usage", {.default_return = 0.0},
                    [&] { return detail::memory_usage_from_meminfo(kMeminfoPath); });
}

double get_mem_usage() {
  return log_errors("get_mem_usage", {.default_return = 0.0}, [&] {
    if (!has_gpu()) return get_cpu_memory_usage();
    try {
      return get_gpu_memory_usage();
    } catch (const std::exception& e) {
      // get_gpu_memory_usage reports its own failures as 0; this covers
      // anything that still escapes it.
      log::error("Error getting GPU memory usage: %s", e.what());
      return get_cpu_memory_usage();
    }
  });
}

Json get_required_gpu_memory(const Json& action_details) {
  return log_errors("get_required_gpu_memory", {.default_return = Json(0)}, [&]() -> Json {
    const Json* stored = backend::stored_gpu_memory(action_details);
    if (stored == nullptr) return Json(0);
    std::optional<Json> number = backend::gpu_memory_number(*stored);
    if (!number) {
      throw TypeError(std::string("gpuMemory is not a number but a ") + stored->type_name());
    }
    return *std::move(number);
  });
}

bool is_allowed_gpu_device(int gpu_index) {
  return log_errors("is_allowed_gpu_device", {.default_return = true}, [&] {
    const std::optional<std::vector<long long>> allowed = allowed_gpu_positions();
    return !allowed || contains(*allowed, gpu_index);
  });
}

bool is_allowed_gpu_device(const std::string& gpu_index) {
  return log_errors("is_allowed_gpu_device", {.default_return = true}, [&] {
    const std::optional<std::vector<long long>> allowed = allowed_gpu_positions();
    return !allowed || contains(*allowed, parse_int(gpu_index));
  });
}

std::vector<int> get_single_gpu_with_sufficient_memory_for_action(const Json& action_details) {
  return log_errors(
      "get_single_gpu_with_sufficient_memory_for_action", {.raise_exception = true}, [&] {
        const Json required = selection_requirement(action_details);
        const double required_mib = required.get<double>();
        const std::vector<long long> free_mib = query_free_memory();

        // The allowed GPU with the least free memory that still fits; the
        // lowest position among equals.
        std::optional<int> chosen;
        double best_free = std::numeric_limits<double>::infinity();
        for (int position = 0; position < static_cast<int>(free_mib.size()); ++position) {
          const double free = static_cast<double>(free_mib[position]);
          if (is_allowed_gpu_device(position) && !is_gpu_out_of_use(position) &&
              free >= required_mib && free < best_free) {
            chosen = position;
            best_free = free;
          }
        }
        if (!chosen) {
          throw NoSuitableGpuError("No single GPU with sufficient memory (" + required.dump() +
                                   "MB) available");
        }
        return std::vector<int>{*chosen};
      });
}

namespace {

std::vector<int> select_gpus_for_action(const Json& action_details) {
  return log_errors("get_gpu_with_sufficient_memory_for_action", {.raise_exception = true}, [&] {
    const Json required = selection_requirement(action_details);
    const double required_mib = required.get<double>();
    const std::vector<long long> free_mib = query_free_memory();

    if (required_mib < kLargeRequirementMib) {
      try {
        return get_single_gpu_with_sufficient_memory_for_action(action_details);
      } catch (const NoSuitableGpuError&) {
        // No single GPU fits: fall through to combining several.
      }
    }

    // Allowed GPUs in position order until their free memory suffices.
    std::vector<int> selection;
    long long total = 0;
    for (int position = 0; position < static_cast<int>(free_mib.size()); ++position) {
      if (!is_allowed_gpu_device(position) || is_gpu_out_of_use(position)) continue;
      if (static_cast<double>(total) >= required_mib) break;
      selection.push_back(position);
      total += free_mib[position];
    }
    if (static_cast<double>(total) < required_mib) {
      throw NoSuitableGpuError("Insufficient GPU memory available. Required: " + required.dump() +
                               ", Available: " + std::to_string(total));
    }
    return selection;
  });
}

}  // namespace

std::vector<int> get_gpu_with_sufficient_memory_for_action(const Json& action_details) {
  static metrics::Counter& without_gpu =
      metrics::Registry::process_wide()
          .counter("tavoren_agent_gpu_selections_without_gpu_total",
                   "GPU selections for an action that found no GPU with enough free memory")
          .get();
  try {
    return select_gpus_for_action(action_details);
  } catch (const NoSuitableGpuError&) {
    without_gpu.inc();
    throw;
  }
}

}  // namespace tavoren::host_probe
