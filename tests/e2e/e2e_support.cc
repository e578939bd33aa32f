#include "e2e_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "tavoren/common/text.h"

namespace tavoren::testing::e2e {

const Sandbox& Sandbox::get() {
  static const Sandbox sandbox = [] {
    const std::string dir = get_env("TAVOREN_SANDBOX_DIR").value_or("/tmp/tavoren-engine-sandbox");
    const std::string path = dir + "/env";
    std::ifstream in(path);
    if (!in) {
      throw std::runtime_error("the engine sandbox is not up (no " + path +
                               "): run scripts/engine-sandbox.sh up");
    }
    Sandbox read;
    std::string line;
    while (std::getline(in, line)) {
      const auto equals = line.find('=');
      if (equals == std::string::npos) continue;
      read.values_[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return read;
  }();
  return sandbox;
}

const std::string& Sandbox::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) {
    throw std::runtime_error("the engine sandbox's env file has no " + name);
  }
  return found->second;
}

SandboxClient::SandboxClient() {
  const Sandbox& sandbox = Sandbox::get();
  env_.push_back(std::make_unique<ScopedEnv>("DOCKER_HOST", sandbox.docker_host()));
  env_.push_back(std::make_unique<ScopedEnv>("DOCKER_CONFIG", config_.path().string()));
  for (const char* name : {"DOCKER_CONTEXT", "DOCKER_TLS_VERIFY", "DOCKER_CERT_PATH"}) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
  }
}

SandboxClient::~SandboxClient() = default;

process::RunResult docker(const std::vector<std::string>& args,
                          const std::optional<std::string>& input) {
  std::vector<std::string> argv = {"docker"};
  argv.insert(argv.end(), args.begin(), args.end());
  return process::run_capture(
      argv, {.timeout = std::chrono::minutes(1), .input = input, .capture_stderr = true});
}

std::string new_action_id() {
  static const char* digits = "0123456789abcdef";
  std::random_device device;
  std::string id;
  for (int i = 0; i < 24; ++i) id += digits[device() % 16];
  return id;
}

namespace {

// The engine's containers whose command line names any of `action_ids`.
std::vector<std::string> containers_naming(const std::vector<std::string>& action_ids,
                                           bool running_only) {
  std::vector<std::string> args = {"ps", "--no-trunc", "--format", "{{.ID}} {{.Command}}"};
  if (!running_only) args.push_back("--all");
  const process::RunResult listed = docker(args);
  if (listed.exit_status.returncode() != 0) {
    throw std::runtime_error("docker ps failed: " + listed.err);
  }
  std::vector<std::string> ids;
  for (const std::string& line : split(listed.out, '\n')) {
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    for (const std::string& action_id : action_ids) {
      if (line.find(action_id, space) != std::string::npos) {
        ids.push_back(line.substr(0, space));
        break;
      }
    }
  }
  return ids;
}

}  // namespace

std::vector<std::string> containers_of(const std::string& action_id, bool running_only) {
  return containers_naming({action_id}, running_only);
}

void remove_containers_of(const std::vector<std::string>& action_ids) {
  if (action_ids.empty()) return;
  const std::vector<std::string> ids = containers_naming(action_ids, false);
  constexpr std::size_t kPerCall = 100;
  for (std::size_t first = 0; first < ids.size(); first += kPerCall) {
    std::vector<std::string> args = {"rm", "--force"};
    args.insert(args.end(), ids.begin() + first,
                ids.begin() + std::min(ids.size(), first + kPerCall));
    docker(args);
  }
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kShortest(50);
  constexpr std::chrono::milliseconds kLongest(1000);
  const auto deadline = Clock::now() + limit;
  while (true) {
    const auto checked_at = Clock::now();
    if (condition()) return true;
    const auto now = Clock::now();
    if (now > deadline) return false;
    const auto pause =
        std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(4 * (now - checked_at)),
                   kShortest, kLongest);
    // The last check comes at the deadline, not a whole pause after it.
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now + kShortest));
  }
}

std::vector<OperatorCommand> sandbox_setup_commands(const std::string& user,
                                                    const std::string& access_key,
                                                    const std::string& secret_key) {
  const Sandbox& sandbox = Sandbox::get();
  return {{{"config", "registry", sandbox.user(), "-", sandbox.registry()}, sandbox.password()},
          {{"config", "data-processing-image", sandbox.image()}, std::nullopt},
          {{"config", "key-pair", user, access_key, "-"}, secret_key}};
}

}  // namespace tavoren::testing::e2e
