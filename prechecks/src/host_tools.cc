// The container engine's command-line tool and nvidia-smi, as the start-up
// checks use them.

#include "host_tools.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"

namespace tavoren::prechecks {

bool check_docker(std::chrono::milliseconds limit) {
  try {
    const process::RunResult result =
        process::run_capture({"docker", "info"}, {.timeout = limit, .capture_stderr = true});
    return !result.timed_out && result.exit_status == 0;
  } catch (const process::SpawnError&) {
    return false;
  }
}

void login_to_registry(const std::string& username, const std::string& password,
                       const std::optional<std::string>& registry) {
  log::register_secret(password);
  std::vector<std::string> argv = {"docker", "login", "--username", username, "--password-stdin"};
  if (registry && !registry->empty()) {
    // A leading "-" would be read as an option of the login.
    if (registry->starts_with("-")) throw ValueError("Invalid registry name: " + *registry);
    argv.push_back(*registry);
  }
  const int status = process::run_inherit(argv, {.input = password});
  if (status != 0) {
    throw std::runtime_error("docker login exited with status " + std::to_string(status));
  }
}

std::map<int, double> gpu_total_memory_gb() {
  process::RunResult result;
  try {
    result = process::run_capture(
        {"nvidia-smi", "--query-gpu=memory.total", "--format=csv,noheader,nounits"},
        {.timeout = std::chrono::seconds(60), .capture_stderr = true});
  } catch (const process::SpawnError&) {
    return {};
  }
  if (result.timed_out || result.exit_status != 0) return {};

  std::map<int, double> memory;
  int position = 0;
  for (const std::string& line : split(trim(result.out), '\n')) {
    if (trim(line).empty()) continue;
    memory[position++] = parse_double(line) / 1024.0;
  }
  return memory;
}

}  // namespace tavoren::prechecks
