// A small fleet under a faulty network: two `tavoren-agent run` processes
// reach a `tavoren-backend serve` through a loopback proxy that delays,
// resets, drops and black-holes their connections, and the server is
// killed with SIGKILL and started again on the same port while they work.
// Afterwards every action must have ended well, been assigned exactly once
// and run exactly once, and its log must be in the store byte for byte as
// the agent wrote it; both agents must still run and stop cleanly, and no
// secret may show in anything either program wrote.
//
// No container engine is needed: a fake `docker` first on PATH plays the
// containers, each printing numbered lines that name its action.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent_testing.h"
#include "fault_proxy.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "tavoren/remote_backend.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kActions = 200;
constexpr int kLinesPerAction = 60;
constexpr const char* kBackendProgram = TAVOREN_BACKEND_PROGRAM;
constexpr const char* kEncryptionKey = "fleet-encryption-key-0123456789a";  // 32 bytes
constexpr const char* kOwner = "fleet-owner";
constexpr const char* kOwnerAccessKey = "AKFLEETOWNERACCESS01";
constexpr const char* kOwnerSecretKey = "fleet-owner-secret-key-0123456789";
constexpr const char* kRegistryUser = "fleet-robot";
constexpr const char* kRegistryPassword = "fleet-registry-password-0123456";
constexpr const char* kRegistry = "registry.fleet.invalid";
constexpr const char* kImage = "registry.fleet.invalid/clone:1";

std::string encryption_variable() {
  return std::string("TAVOREN_ENCRYPTION_KEY=") + kEncryptionKey;
}

struct KeyPair {
  std::string access_key;
  std::string secret_key;
};

// The line of `out` that starts with `label`, without the label.
std::string labelled(const std::string& out, const std::string& label) {
  for (const std::string& line : split(out, '\n')) {
    if (line.starts_with(label)) return line.substr(label.size());
  }
  return "";
}

// A port on 127.0.0.1 that nothing listens on now (the kernel's pick).
int free_port() {
  int port = 0;
  ::close(listen_on_loopback(port));
  return port;
}

// The fake container: 60 numbered lines naming the action, in three
// bursts a little apart, so that the agent ships each log in several
// pieces while the container runs.
std::string expected_log(const std::string& id) {
  std::string text;
  for (int line = 1; line <= kLinesPerAction; ++line) {
    text += "clone " + id + " line " + std::to_string(line) +
            " the quick brown fox jumps over the lazy dog\n";
  }
  return text;
}

constexpr const char* kFakeDocker = R"(if [ "$1" = run ]; then
  id=
  for word in "$@"; do
    case "$word" in tavoren.action-id=*) id="${word#tavoren.action-id=}" ;; esac
  done
  i=1
  while [ $i -le 60 ]; do
    echo "clone $id line $i the quick brown fox jumps over the lazy dog"
    if [ $((i % 20)) -eq 0 ] && [ $i -lt 60 ]; then sleep 0.5; fi
    i=$((i + 1))
  done
  exit 0
fi
exit 0
)";

// `tavoren-backend serve` on a fixed port of 127.0.0.1, each run writing
// its standard output and error to a file of its own.
class BackendServer {
 public:
  BackendServer(const TempDir& dir, const TestTls& tls, int port)
      : dir_(dir), tls_(tls), port_(port) {}

  ~BackendServer() {
    if (child_ && !child_->exit_status()) {
      child_->send_signal(SIGKILL);
      child_->wait();
    }
  }

  std::string store() const { return "sqlite:" + (dir_.path() / "backend.db").string(); }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

  process::RunResult run(std::vector<std::string> args) const {
    args.insert(args.begin(), kBackendProgram);
    process::RunOptions options{.timeout = 30s, .capture_stderr = true};
    options.environment = {encryption_variable()};
    return process::run_capture(args, options);
  }

  KeyPair create_key(const std::vector<std::string>& role) const {
    std::vector<std::string> args = {"keys", "create", "--store", store()};
    args.insert(args.end(), role.begin(), role.end());
    const process::RunResult made = run(args);
    EXPECT_EQ(made.exit_status, process::ExitStatus::exited(0)) << made.err;
    KeyPair pair{labelled(made.out, "access-key: "), labelled(made.out, "secret-key: ")};
    EXPECT_FALSE(pair.access_key.empty() || pair.secret_key.empty()) << made.out;
    return pair;
  }

  // Starts the server and waits until it listens. A port just left by a
  // killed server may take a moment to be free again: tries for a while.
  void start() {
    const auto deadline = steady_clock::now() + 20s;
    for (;;) {
      const std::filesystem::path out =
          dir_.path() / ("server-" + std::to_string(runs_++) + ".out");
      outputs_.push_back(out);
      process::SpawnRequest request;
      request.argv = {kBackendProgram,  "serve",
                      "--store",        store(),
                      "--listen",       "127.0.0.1:" + std::to_string(port_),
                      "--tls-cert",     tls_.server_chain_file().string(),
                      "--tls-key",      tls_.server_key_file().string(),
                      "--assign-batch", "3"};
      request.stdin_stream = process::Stream::null;
      request.stdout_stream = process::Stream::file;
      request.stderr_stream = process::Stream::stdout;
      request.output_path = out.string();
      request.environment = process::environment_with({encryption_variable()});
      child_.emplace(process::Child::spawn(request));
      const std::string ready = "listening on 127.0.0.1:" + std::to_string(port_);
      const bool listening = wait_until(
          [&] {
            return read_file(out).find(ready) != std::string::npos || child_->poll().has_value();
          },
          20s);
      if (listening && !child_->exit_status()) return;
      if (!child_->exit_status()) child_->send_signal(SIGKILL);
      child_->wait();
      ASSERT_LT(steady_clock::now(), deadline) << "the server does not start:\n" << read_file(out);
      std::this_thread::sleep_for(200ms);
    }
  }

  void kill() {
    child_->send_signal(SIGKILL);
    child_->wait();
  }

  // SIGTERM; the exit status.
  std::optional<int> stop() {
    child_->send_signal(SIGTERM);
    return returncode_of(child_->wait_for(30s));
  }

  bool running() { return child_ && !child_->poll().has_value(); }
  const std::vector<std::filesystem::path>& outputs() const { return outputs_; }

 private:
  const TempDir& dir_;
  const TestTls& tls_;
  int port_;
  int runs_ = 0;
  std::optional<process::Child> child_;
  std::vector<std::filesystem::path> outputs_;
};

// One `tavoren-agent run` of an instance, in a work folder of its own.
struct Agent {
  std::string instance;
  KeyPair keys;
  TempDir dir;
  std::optional<process::Child> child;

  std::filesystem::path output() const { return dir.path() / "agent.out"; }
  std::filesystem::path log_file(const std::string& id) const {
    return dir.path() / "logs" / ("resource_clone_" + id + ".txt");
  }

  void start(const std::string& backend_url, const std::filesystem::path& ca) {
    process::SpawnRequest request;
    request.argv = {agent_program(),
                    "run",
                    "--backend",
                    backend_url,
                    "--backend-ca",
                    ca.string(),
                    "--skip-prechecks",
                    "--work-dir",
                    dir.path().string(),
                    "--poll-interval",
                    "1",
                    "--reaper-interval",
                    "1",
                    "--log-interval",
                    "1",
                    "--stop-grace",
                    "2"};
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.stderr_stream = process::Stream::stdout;
    request.output_path = output().string();
    request.environment = process::environment_with(
        {"TAVOREN_ACCESS_KEY=" + keys.access_key, "TAVOREN_SECRET_KEY=" + keys.secret_key,
         "HOME=" + dir.path().string(), "SERVICE_PROVIDER=local",
         // No engine answers: the reaper's passes fail quickly and are logged.
         "DOCKER_HOST=unix://" + (dir.path() / "no-engine.sock").string(), encryption_variable()});
    child.emplace(process::Child::spawn(request));
  }

  ~Agent() {
    if (child && !child->exit_status()) {
      child->send_signal(SIGKILL);
      child->wait();
    }
  }
};

// The operator's tool against the server, with the operator's key pair.
process::RunResult operator_command(std::vector<std::string> args, const KeyPair& keys,
                                    const std::string& url, const std::filesystem::path& ca,
                                    const std::optional<std::string>& input = std::nullopt) {
  args.insert(args.begin(), agent_program());
  args.insert(args.end(), {"--backend", url, "--backend-ca", ca.string()});
  process::RunOptions options{.timeout = 30s, .input = input, .capture_stderr = true};
  options.environment = {"TAVOREN_ACCESS_KEY=" + keys.access_key,
                         "TAVOREN_SECRET_KEY=" + keys.secret_key};
  return process::run_capture(args, options);
}

// The whole shipped log of an action.
std::string shipped_log(backend::RemoteOperator& admin, const std::string& id) {
  std::string log;
  for (int pieces = 0; pieces < 1000; ++pieces) {
    backend::RemoteLogChunk chunk = admin.logs(id, static_cast<std::int64_t>(log.size()));
    if (chunk.content.empty()) break;
    log += chunk.content;
  }
  return log;
}

// The lines of both agents' output that name action `id`.
std::string what_the_agents_said(const std::string& id, const Agent& a, const Agent& b) {
  std::string said;
  // From its first mention to its last, at most 80 lines of each agent.
  for (const Agent* agent : {&a, &b}) {
    const std::vector<std::string> lines = split(read_file(agent->output()), '\n');
    std::size_t first = lines.size(), last = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(id) == std::string::npos) continue;
      first = std::min(first, i);
      last = i;
    }
    for (std::size_t i = first; i <= last && i < first + 80 && i < lines.size(); ++i) {
      said += agent->instance + ": " + lines[i] + "\n";
    }
  }
  return said;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

TEST(FleetFaults,
     TwoAgentsThroughAFaultyNetworkAndAServerRestartRunEveryActionOnceWithEveryLogByte) {
  const auto began = steady_clock::now();
  TempDir dir;
  TestTls tls;
  FakeTools tools;
  tools.add_script("docker", kFakeDocker);
  ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);

  BackendServer server(dir, tls, free_port());
  Agent a{.instance = "agent-a", .keys = server.create_key({"--instance", "agent-a"})};
  Agent b{.instance = "agent-b", .keys = server.create_key({"--instance", "agent-b"})};
  const KeyPair operator_keys = server.create_key({"--operator"});
  ASSERT_FALSE(::testing::Test::HasFailure());
  server.start();
  ASSERT_TRUE(server.running());

  // The operator's set-up through the program, secrets on standard input.
  struct Setting {
    std::vector<std::string> args;
    std::optional<std::string> input;
  };
  for (const Setting& setting : std::vector<Setting>{
           {{"config", "registry", kRegistryUser, "-", kRegistry}, kRegistryPassword},
           {{"config", "data-processing-image", kImage}, std::nullopt},
           {{"config", "key-pair", kOwner, kOwnerAccessKey, "-"}, kOwnerSecretKey}}) {
    const process::RunResult run =
        operator_command(setting.args, operator_keys, server.url(), tls.ca_file(), setting.input);
    ASSERT_EQ(run.exit_status, process::ExitStatus::exited(0))
        << setting.args[1] << ": " << run.err;
  }
  backend::RemoteOperator admin(backend::RemoteOptions{
      .base_url = server.url(),
      .session = backend::Session{operator_keys.access_key, operator_keys.secret_key},
      .ca_file = tls.ca_file()});
  std::vector<std::string> ids;
  for (int i = 0; i < kActions; ++i) {
    ids.push_back(admin.submit(Json{{"action", "resource_clone"},
                                    {"_idUser", kOwner},
                                    {"actionDetails", {{"docker", kImage}}}}));
  }
  ASSERT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());

  FaultProxy proxy(/*target_port=*/std::stoi(split(server.url(), ':').back()));
  const std::string proxied = "https://127.0.0.1:" + std::to_string(proxy.port());
  a.start(proxied, tls.ca_file());
  b.start(proxied, tls.ca_file());

  auto ended_count = [&] {
    std::size_t ended = 0;
    try {
      for (const Json& action : admin.list()) {
        if (action.value("state", "") == "ended") ++ended;
      }
    } catch (const std::exception&) {
      return std::size_t{0};  // the server is away
    }
    return ended;
  };
  // The agents get going before the network turns bad.
  ASSERT_TRUE(wait_until([&] { return ended_count() >= 10; }, 90s))
      << read_file(a.output()) << read_file(b.output());

  // The faults, one phase after another.
  std::vector<std::string> phases;
  auto phase = [&](const std::string& name, milliseconds length, const std::function<void()>& set) {
    set();
    phases.push_back(name);
    std::this_thread::sleep_for(length);
  };
  phase("delay 50 ms", 3s, [&] { proxy.delay(50ms); });
  phase("delay 200 ms", 3s, [&] { proxy.delay(200ms); });
  // Answers cut off after a few kilobytes: the requests reach the server,
  // the answers are lost on the way, and the clients retry.
  for (const std::size_t bytes : {6000u, 2500u, 4000u, 3000u, 8000u, 2000u}) {
    phase("reset after " + std::to_string(bytes) + " bytes", 1s, [&] { proxy.reset_after(bytes); });
  }
  // Answers cut off early, so that a call may run out of attempts after
  // its first request was handled.
  phase("reset after 200 bytes", 2s, [&] { proxy.reset_after(200); });
  phase("pass", 2s, [&] { proxy.pass(); });
  phase("drop new connections", 2s, [&] { proxy.drop(); });
  phase("pass", 2s, [&] { proxy.pass(); });
  phase("black hole", 3s, [&] { proxy.black_hole(); });
  phase("pass", 2s, [&] { proxy.pass(); });
  phase("server killed", 3s, [&] {
    server.kill();
    proxy.reset_open_connections();
  });
  server.start();
  ASSERT_TRUE(server.running());
  phases.push_back("server restarted");
  proxy.pass();
  const auto faults_ended = steady_clock::now();

  const bool all_ended = wait_until(
      [&] {
        std::this_thread::sleep_for(500ms);
        return ended_count() == kActions;
      },
      150s);
  const auto finished = steady_clock::now();
  EXPECT_TRUE(all_ended) << "ended: " << ended_count() << " of " << kActions;

  // Each action: ended well, assigned once to one of the two, run once.
  std::map<std::string, int> per_instance;
  std::map<std::string, int> runs;
  for (const std::string& call : tools.calls("docker")) {
    if (!call.starts_with("run ")) continue;
    const std::size_t at = call.find("tavoren.action-id=");
    if (at != std::string::npos) ++runs[call.substr(at + 18, 24)];
  }
  std::size_t log_bytes = 0;
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    const Json shown = admin.show(id);
    EXPECT_EQ(shown.value("state", ""), "ended") << what_the_agents_said(id, a, b);
    EXPECT_EQ(shown.value("exitStatus", Json()), Json(0));
    int assigned = 0;
    for (const Json& event : shown.at("history")) {
      if (event.value("operation", "") == "assign_jobs") ++assigned;
    }
    EXPECT_EQ(assigned, 1);
    EXPECT_EQ(runs[id], 1);
    const std::string instance = shown.value("assignedTo", Json()).is_string()
                                     ? shown.at("assignedTo").get<std::string>()
                                     : std::string();
    ASSERT_TRUE(instance == a.instance || instance == b.instance) << instance;
    ++per_instance[instance];
    // The log as the agent wrote it, and as the store holds it.
    const Agent& ran = instance == a.instance ? a : b;
    const std::string local = read_file(ran.log_file(id));
    EXPECT_EQ(local, expected_log(id));
    const std::string stored = shipped_log(admin, id);
    EXPECT_EQ(stored.size(), local.size());
    EXPECT_TRUE(stored == local) << "the stored log differs from the agent's file";
    log_bytes += stored.size();
  }
  EXPECT_GT(per_instance[a.instance], 0);
  EXPECT_GT(per_instance[b.instance], 0);

  // The operator's own command shows the same log, byte for byte.
  const process::RunResult logs =
      operator_command({"logs", ids.front()}, operator_keys, server.url(), tls.ca_file());
  EXPECT_EQ(logs.exit_status, process::ExitStatus::exited(0)) << logs.err;
  EXPECT_EQ(logs.out, expected_log(ids.front()));

  // Both agents outlived it all and stop cleanly; so does the server.
  for (Agent* agent : {&a, &b}) {
    SCOPED_TRACE(agent->instance);
    ASSERT_FALSE(agent->child->poll().has_value()) << read_file(agent->output());
    agent->child->send_signal(SIGTERM);
    EXPECT_EQ(returncode_of(agent->child->wait_for(30s)), 0) << read_file(agent->output());
  }
  EXPECT_EQ(server.stop(), 0);

  // No secret in anything either program wrote.
  std::vector<std::filesystem::path> outputs = server.outputs();
  outputs.push_back(a.output());
  outputs.push_back(b.output());
  std::size_t failed_calls = 0;
  for (const std::filesystem::path& output : outputs) {
    const std::string text = read_file(output);
    for (const std::string& secret :
         {a.keys.secret_key, b.keys.secret_key, operator_keys.secret_key,
          std::string(kOwnerSecretKey), std::string(kOwnerAccessKey),
          std::string(kRegistryPassword), std::string(kEncryptionKey)}) {
      EXPECT_THAT(text, Not(HasSubstr(secret))) << output;
    }
    failed_calls += count_of(text, "no answer after");
  }

  const auto in_seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
  std::printf("fleet under faults: %d actions, %d + %d per agent, %zu log bytes\n", kActions,
              per_instance[a.instance], per_instance[b.instance], log_bytes);
  std::string named;
  for (const std::string& name : phases) named += (named.empty() ? "" : ", ") + name;
  std::printf("  faults: %s\n", named.c_str());
  std::printf("  %.1f s in all; faults for %.1f s; all ended %.1f s after the last fault\n",
              in_seconds(finished - began), in_seconds(faults_ended - began),
              in_seconds(finished - faults_ended));
  std::printf("  proxy connections: %zu; calls that ran out of attempts: %zu\n", proxy.accepted(),
              failed_calls);
}

}  // namespace
}  // namespace tavoren::testing
