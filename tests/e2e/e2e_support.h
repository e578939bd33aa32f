// What the end-to-end tests share: the private engine's settings (written
// by `scripts/engine-sandbox.sh up`), a docker client pointed at it, and
// queries of the engine about an action's containers.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/process.h"
#include "test_support.h"

namespace tavoren::testing::e2e {

// The sandbox's settings, read once from $TAVOREN_SANDBOX_DIR/env
// (/tmp/tavoren-engine-sandbox/env by default).
class Sandbox {
 public:
  // Throws std::runtime_error when the sandbox is not up.
  static const Sandbox& get();

  // The named setting; throws std::runtime_error when the file lacks it.
  const std::string& value(const std::string& name) const;

  const std::string& docker_host() const { return value("DOCKER_HOST"); }
  // "127.0.0.1:<port>"
  const std::string& registry() const { return value("TAVOREN_SANDBOX_REGISTRY"); }
  const std::string& user() const { return value("TAVOREN_SANDBOX_USER"); }
  const std::string& password() const { return value("TAVOREN_SANDBOX_PASSWORD"); }
  // Job images: the stand-in interpreter prints 2000 numbered lines and
  // exits 0 (image), prints the GPU out-of-memory failure and exits 1
  // (image_oom), or runs for ten minutes (image_sleep).
  const std::string& image() const { return value("TAVOREN_SANDBOX_IMAGE"); }
  const std::string& image_oom() const { return value("TAVOREN_SANDBOX_IMAGE_OOM"); }
  const std::string& image_sleep() const { return value("TAVOREN_SANDBOX_IMAGE_SLEEP"); }
  // Prints three lines and exits 3; no action test runs it.
  const std::string& image_fail() const { return value("TAVOREN_SANDBOX_IMAGE_FAIL"); }
  // Prints 300 lines, one every 50 ms, and exits 5.
  const std::string& image_steady() const { return value("TAVOREN_SANDBOX_IMAGE_STEADY"); }
  // An image no job runs, for the background pull.
  const std::string& train_image() const { return value("TAVOREN_SANDBOX_TRAIN_IMAGE"); }

 private:
  std::map<std::string, std::string> values_;
};

// For its lifetime, the docker client on PATH talks to the sandbox's
// engine (DOCKER_HOST) and keeps its logins in a fresh folder of its own
// (DOCKER_CONFIG), so every test logs in anew and ~/.docker stays
// untouched. Settings that would send the client elsewhere are unset.
class SandboxClient {
 public:
  SandboxClient();
  ~SandboxClient();
  SandboxClient(const SandboxClient&) = delete;
  SandboxClient& operator=(const SandboxClient&) = delete;
  const std::filesystem::path& config_dir() const { return config_.path(); }

 private:
  TempDir config_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// Runs `docker <args>` (output and error captured), with `input` on its
// standard input when given; a minute at most.
process::RunResult docker(const std::vector<std::string>& args,
                          const std::optional<std::string>& input = std::nullopt);

// 24 random lowercase hexadecimal digits: an action identifier no other
// test uses.
std::string new_action_id();

// The engine's containers whose command line names `action_id` (full ids),
// all of them or the running ones only.
std::vector<std::string> containers_of(const std::string& action_id, bool running_only);
// Removes them, running or not: the containers of each of `action_ids`,
// found with one listing and removed with as few engine calls as can be.
void remove_containers_of(const std::vector<std::string>& action_ids);
inline void remove_containers_of(const std::string& action_id) {
  remove_containers_of(std::vector<std::string>{action_id});
}

// One of the agent's operator commands, with what it reads on standard
// input.
struct OperatorCommand {
  std::vector<std::string> args;
  std::optional<std::string> input;
};

// The operator's set-up of a fresh backend for the sandbox's jobs: the
// registry (its password on standard input), the default image, and the key
// pair of the owner `user` (the secret key on standard input), as an
// operator keeps secrets off command lines.
std::vector<OperatorCommand> sandbox_setup_commands(const std::string& user,
                                                    const std::string& access_key,
                                                    const std::string& secret_key);

// Polls `condition` until it holds; false when `limit` passed first. A
// check that runs a program (the agent's or the engine's command line)
// costs tens of milliseconds of CPU, and more in a sanitizer build, so the
// pause after a check is four times what the check took, from 50 ms up to
// a second: waiting takes at most a fifth of a core from the work awaited.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit);

}  // namespace tavoren::testing::e2e
