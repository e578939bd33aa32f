// The host tools the start-up checks drive: the container engine's
// command-line tool and nvidia-smi. Every command runs as an argument vector
// without a shell, the program found through PATH.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace tavoren::prechecks {

// Whether "docker info" runs and exits 0 within `limit` (its output is
// discarded). False, silently, when docker cannot be started.
bool check_docker(std::chrono::milliseconds limit = std::chrono::seconds(60));

// Logs the container engine in to an image registry:
//   docker login --username <username> --password-stdin [<registry>]
// with the password on the login's standard input, never on a command line,
// and registered as a secret so that no log line shows it. The login's own
// output goes to the agent's streams. An empty or absent registry means the
// engine's default one. Throws ValueError for a registry that starts with
// "-" (it would be read as an option), process::SpawnError when docker
// cannot be started, and std::runtime_error on a non-zero exit.
void login_to_registry(const std::string& username, const std::string& password,
                       const std::optional<std::string>& registry = std::nullopt);

// Each GPU's total memory in gigabytes (MiB / 1024), keyed by its position,
// from "nvidia-smi --query-gpu=memory.total --format=csv,noheader,nounits".
// Empty when nvidia-smi cannot be started or exits non-zero (no GPU);
// throws ValueError when it prints a line that is not a number.
std::map<int, double> gpu_total_memory_gb();

}  // namespace tavoren::prechecks
