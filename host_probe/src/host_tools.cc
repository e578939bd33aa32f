// Running the host tools: their time limits, and the calls that the
// start-up checks and work units make of the container engine's tool and of
// nvidia-smi.

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host_tools_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"
#include "tavoren/metrics.h"

namespace tavoren::host_probe {
namespace {

using detail::kNvidiaSmi;

struct LimitsStore {
  std::mutex mutex;
  ToolLimits limits;
};

LimitsStore& limits_store() {
  static LimitsStore store;
  return store;
}

// A field of nvidia-smi: a number, or 0 for what it cannot measure.
double gpu_field(const std::string& field) {
  const std::string text = trim(field);
  if (text.starts_with("[")) return 0;  // "[N/A]", "[Not Supported]"
  return parse_double(text);
}

// The standard output of an nvidia-smi query whose failure means "no GPU":
// nullopt when it cannot be started, exits non-zero or times out.
std::optional<std::string> optional_nvidia_smi_query(const std::vector<std::string>& argv) {
  try {
    const process::RunResult result =
        detail::run_tool(argv, kNvidiaSmi, tool_limits().nvidia_smi, {.capture_stderr = true});
    if (!result.exit_status.success()) return std::nullopt;
    return result.out;
  } catch (const process::SpawnError&) {
    return std::nullopt;
  } catch (const ToolTimeoutError&) {
    return std::nullopt;
  }
}

}  // namespace

ToolLimits ToolLimits::all(std::chrono::milliseconds limit) {
  return ToolLimits{.nvidia_smi = limit,
                    .df = limit,
                    .docker_info = limit,
                    .docker_ps = limit,
                    .docker_volume = limit,
                    .docker_login = limit,
                    .docker_image_prune = limit};
}

ToolLimits tool_limits() {
  LimitsStore& store = limits_store();
  std::lock_guard lock(store.mutex);
  return store.limits;
}

void set_tool_limits(const ToolLimits& limits) {
  LimitsStore& store = limits_store();
  std::lock_guard lock(store.mutex);
  store.limits = limits;
}

std::string format_limit(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

namespace {

// The distinct tool warnings logged so far.
struct SeenWarnings {
  std::mutex mutex;
  std::set<std::string> lines;
};

SeenWarnings& seen_warnings() {
  static SeenWarnings seen;
  return seen;
}

// Whether `line` is new to this process (and now remembered).
bool first_sighting(const std::string& line) {
  SeenWarnings& seen = seen_warnings();
  std::lock_guard lock(seen.mutex);
  if (seen.lines.contains(line)) return false;
  if (seen.lines.size() >= kRememberedToolWarnings) return false;
  seen.lines.insert(line);
  return true;
}

}  // namespace

void log_tool_output(std::string_view tool, std::string_view out, std::string_view err) {
  for (const std::string& line : split(err, '\n')) {
    const std::string text = trim(line);
    if (text.empty()) continue;
    if (first_sighting(std::string(tool) + ": " + text)) {
      log::warning("%s: %s", tool, text);
    } else {
      log::debug("%s: %s", tool, text);
    }
  }
  for (const std::string& line : split(out, '\n')) {
    const std::string text = trim(line);
    if (!text.empty()) log::debug("%s: %s", tool, text);
  }
}

ToolTimeoutError::ToolTimeoutError(std::string tool, std::chrono::milliseconds limit)
    : ToolError(tool + " did not finish within " + format_limit(limit)),
      tool_(std::move(tool)),
      limit_(limit) {}

namespace detail {

process::RunResult run_tool(const std::vector<std::string>& argv, std::string_view tool,
                            std::chrono::milliseconds limit, const ToolOptions& options) {
  process::RunOptions run{.timeout = limit, .input = options.input, .capture_stderr = true};
  // Parsed output must not depend on the host's language settings.
  if (options.stdout_use == ToolOptions::Output::parsed) run.environment = {"LC_ALL=C"};
  process::RunResult result = process::run_capture(argv, run);
  std::string unread_out, unread_err;
  if (options.stdout_use == ToolOptions::Output::logged) unread_out = std::exchange(result.out, {});
  if (options.stdout_use == ToolOptions::Output::dropped) result.out.clear();
  if (!options.capture_stderr) unread_err = std::exchange(result.err, {});
  log_tool_output(tool, unread_out, unread_err);
  if (result.timed_out) {
    static metrics::Family<metrics::Counter>& timeouts = metrics::Registry::process_wide().counter(
        "tavoren_agent_host_tool_timeouts_total",
        "Host tool runs killed at their time limit, by tool", {"tool"});
    timeouts.with({tool}).inc();
    const ToolTimeoutError timeout{std::string(tool), limit};
    log::warning("%s; killed", timeout.what());
    throw timeout;
  }
  return result;
}

std::string tool_output(const std::vector<std::string>& argv, std::string_view tool,
                        std::chrono::milliseconds limit) {
  process::RunResult result = run_tool(argv, tool, limit);
  if (!result.exit_status.success()) {
    throw process::ExitError(argv.at(0), result.exit_status, std::move(result.out));
  }
  return std::move(result.out);
}

}  // namespace detail

bool check_docker() {
  try {
    const process::RunResult result = detail::run_tool(
        {"docker", "info"}, "docker info", tool_limits().docker_info, {.capture_stderr = true});
    return result.exit_status.success();
  } catch (const process::SpawnError&) {
    return false;
  } catch (const ToolTimeoutError&) {
    return false;
  }
}

void login_to_registry(const std::string& username, const std::string& password,
                       const std::optional<std::string>& registry) {
  // Masked while the login runs; whoever keeps the password keeps it masked.
  const log::SecretRegistration masked(password);
  std::vector<std::string> argv = {"docker", "login", "--username", username, "--password-stdin"};
  if (registry && !registry->empty()) {
    // A leading "-" would be read as an option of the login.
    if (registry->starts_with("-")) throw ValueError("Invalid registry name: " + *registry);
    argv.push_back(*registry);
  }
  const process::RunResult result =
      detail::run_tool(argv, "docker login", tool_limits().docker_login,
                       {.stdout_use = detail::ToolOptions::Output::logged, .input = password});
  if (!result.exit_status.success()) {
    throw ToolError("docker login exited with status " +
                    std::to_string(result.exit_status.returncode()));
  }
}

void create_docker_volume(const std::string& name) {
  const process::RunResult result =
      detail::run_tool({"docker", "volume", "create", name}, "docker volume create",
                       tool_limits().docker_volume, {.capture_stderr = true});
  if (!result.exit_status.success()) {
    std::string failure = "docker volume create exited with status " +
                          std::to_string(result.exit_status.returncode());
    if (const std::string said = trim(result.err); !said.empty()) failure += ": " + said;
    throw ToolError(failure);
  }
}

std::map<int, double> gpu_total_memory_gb() {
  const std::optional<std::string> output = optional_nvidia_smi_query(
      {kNvidiaSmi, "--query-gpu=memory.total", "--format=csv,noheader,nounits"});
  if (!output) return {};

  std::map<int, double> memory;
  int position = 0;
  for (const std::string& line : split(trim(*output), '\n')) {
    if (trim(line).empty()) continue;
    memory[position++] = parse_double(line) / 1024.0;
  }
  return memory;
}

GpuFigures read_gpu_figures() {
  const std::optional<std::string> output = optional_nvidia_smi_query(
      {kNvidiaSmi, "--query-gpu=memory.free,utilization.gpu", "--format=csv,noheader,nounits"});
  if (!output) return {};

  GpuFigures figures;
  int gpus = 0;
  double utilisation = 0;
  for (const std::string& line : split(trim(*output), '\n')) {
    if (trim(line).empty()) continue;
    const std::vector<std::string> fields = split(line, ',');
    if (fields.size() != 2) {
      throw ValueError("Expected free memory and utilisation in nvidia-smi line: " + line);
    }
    figures.free_gb += gpu_field(fields[0]) / 1024.0;
    utilisation += gpu_field(fields[1]);
    ++gpus;
  }
  if (gpus > 0) figures.utilisation = utilisation / gpus;
  return figures;
}

}  // namespace tavoren::host_probe
