// What the fleet tests share: `tavoren-backend serve` processes on a store
// of the test's own, `tavoren-agent run` processes each in a work folder of
// its own, the operator's command, and a fake `docker` first on PATH that
// plays the containers (each prints numbered lines naming its action), so
// that no container engine is needed.
//
// Every program's standard output and error go to a file of the test's,
// for the checks that no secret shows in anything the programs wrote.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/backend_client.h"
#include "tavoren/common/process.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing::fleet {

// The fleet's secrets: none of them may show in a program's output.
inline constexpr const char* kEncryptionKey = "fleet-encryption-key-0123456789a";  // 32 bytes
// The servers' master key.
inline constexpr const char* kMasterKey =
    "f1ee7c0de5a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b";
inline constexpr const char* kOwner = "fleet-owner";
inline constexpr const char* kOwnerAccessKey = "AKFLEETOWNERACCESS01";
inline constexpr const char* kOwnerSecretKey = "fleet-owner-secret-key-0123456789";
inline constexpr const char* kRegistryUser = "fleet-robot";
inline constexpr const char* kRegistryPassword = "fleet-registry-password-0123456";
inline constexpr const char* kRegistry = "registry.fleet.invalid";
inline constexpr const char* kImage = "registry.fleet.invalid/clone:1";

// "TAVOREN_ENCRYPTION_KEY=..." for a child's environment.
std::string encryption_variable();

struct KeyPair {
  std::string access_key;
  std::string secret_key;
  // An instance key's transport key: its agent's TAVOREN_ENCRYPTION_KEY.
  std::string transport_key;
};

// A port on 127.0.0.1 that nothing listens on now (the kernel's pick).
int free_port();

// What the fake container prints: `lines` numbered lines naming the
// action. The fake pauses `pause` after every `burst` lines (none when
// burst is 0), so that the agent ships the log in several pieces while
// the container runs.
struct FakeContainer {
  int lines = 60;
  int burst = 20;
  double pause_seconds = 0.5;

  std::string expected_log(const std::string& action_id) const;
  // The body of the fake `docker` (FakeTools::add_script): `run` prints the
  // log of the action its label names and exits 0; every other command
  // prints nothing and exits 0.
  std::string docker_script() const;
};

// The body of a fake `docker` (FakeTools::add_script) whose `run` runs
// `run_body` (shell lines, with $id set to the action its label names) and
// exits 0; every other command prints nothing and exits 0.
std::string fake_docker_script(const std::string& run_body);

// The body of a fake `nvidia-smi` (FakeTools::add_script) of one 80 GB GPU
// (71,559 MiB free), healthy unless the file that the environment's
// FLEET_GPU_STATE names says "lost" (the GPU fell off the bus) or "none"
// (no GPU: nvidia-smi fails).
std::string fake_nvidia_smi_script();

// How many times the fake `docker` ran each action's container.
std::map<std::string, int> container_runs(const FakeTools& tools);

// `tavoren-backend serve` on a fixed port of 127.0.0.1, each run writing
// its standard output and error to a file of its own; without a metrics
// endpoint.
class BackendServer {
 public:
  // `store`: "sqlite:PATH" or a postgresql:// URL (libpq's environment,
  // inherited from the test, tells the rest). `name` names its output files.
  BackendServer(const TempDir& dir, const TestTls& tls, std::string store, int port,
                std::string name = "server", int assign_batch = 3);
  ~BackendServer();

  const std::string& store() const { return store_; }
  std::string url() const {
    return (plain_http ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_);
  }
  int port() const { return port_; }

  // The master key's file, written at the first call.
  std::string master_key_file() const;
  // `tavoren-backend ARGS...` on this server's store, 30 s at most.
  process::RunResult run(std::vector<std::string> args) const;
  // A new access key: `role` is {"--instance", ID} or {"--operator"}.
  KeyPair create_key(const std::vector<std::string>& role) const;

  // Starts the server and waits until it listens. A port just left by a
  // killed server may take a moment to be free again: tries for a while.
  void start();
  // SIGKILL.
  void kill();
  // SIGTERM; the exit status.
  std::optional<int> stop();
  bool running();
  const std::vector<std::filesystem::path>& outputs() const { return outputs_; }

  // More options of `serve`, for the next start().
  std::vector<std::string> serve_options;
  // Serve plain HTTP (on loopback), from the next start().
  bool plain_http = false;

 private:
  const TempDir& dir_;
  const TestTls& tls_;
  std::string store_;
  int port_;
  std::string name_;
  int assign_batch_;
  int runs_ = 0;
  std::optional<process::Child> child_;
  std::vector<std::filesystem::path> outputs_;
};

// One `tavoren-agent run` of an instance, in a work folder of its own,
// polling, shipping and reaping every second.
struct Agent {
  std::string instance;
  KeyPair keys;
  TempDir dir;
  std::optional<process::Child> child;
  // The engine the agent reaches ("unix://..."); empty: none answers.
  std::string docker_host;
  // More of the program's environment ("NAME=VALUE"), each replacing a
  // default of the same name (SERVICE_PROVIDER is "local" unless given).
  std::vector<std::string> environment;

  std::filesystem::path output() const { return dir.path() / "agent.out"; }
  std::filesystem::path log_file(const std::string& id) const {
    return dir.path() / "logs" / ("resource_clone_" + id + ".txt");
  }

  // `backend`: the options naming the servers ({"--backend", URL}, ...);
  // `extra`: more options of `run`, after the defaults.
  void start(const std::vector<std::string>& backend, const std::filesystem::path& ca,
             const std::vector<std::string>& extra = {});
  ~Agent();
};

// The operator's tool with the operator's key pair; `backend` names the
// servers as for Agent::start. 30 s at most.
process::RunResult operator_command(std::vector<std::string> args, const KeyPair& keys,
                                    const std::vector<std::string>& backend,
                                    const std::filesystem::path& ca,
                                    const std::optional<std::string>& input = std::nullopt);

// The operator's set-up through the program, secrets on standard input:
// the registry's credentials, the job image and the owner's key pair.
// Adds a test failure and answers false when a command fails.
bool configure_fleet(const KeyPair& operator_keys, const std::vector<std::string>& backend,
                     const std::filesystem::path& ca);

// The whole shipped log of an action.
std::string shipped_log(backend::RemoteOperator& admin, const std::string& id);

// The lines of the agents' outputs that name action `id` (from each
// agent's first mention to its last, at most 80 lines of each).
std::string what_the_agents_said(const std::string& id, const std::vector<const Agent*>& agents);

std::size_t count_of(const std::string& text, const std::string& needle);

// The secrets of the fleet: the constants above and the given key pairs'.
std::vector<std::string> fleet_secrets(const std::vector<KeyPair>& keys);

// Adds a test failure for each of `secrets` found in one of `files`;
// answers how many times the files say a backend call ran out of attempts.
std::size_t expect_no_secret_in(const std::vector<std::filesystem::path>& files,
                                const std::vector<std::string>& secrets);

inline double in_seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace tavoren::testing::fleet
