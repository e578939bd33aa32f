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
#include "fleet_support.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using namespace fleet;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr int kActions = 200;
// 60 numbered lines in three bursts half a second apart, so that the agent
// ships each log in several pieces while the container runs.
constexpr FakeContainer kContainer{.lines = 60, .burst = 20, .pause_seconds = 0.5};

TEST(FleetFaults,
     TwoAgentsThroughAFaultyNetworkAndAServerRestartRunEveryActionOnceWithEveryLogByte) {
  const auto began = steady_clock::now();
  TempDir dir;
  TestTls tls;
  FakeTools tools;
  tools.add_script("docker", kContainer.docker_script());
  ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);

  BackendServer server(dir, tls, "sqlite:" + (dir.path() / "backend.db").string(), free_port());
  Agent a{.instance = "agent-a", .keys = server.create_key({"--instance", "agent-a"})};
  Agent b{.instance = "agent-b", .keys = server.create_key({"--instance", "agent-b"})};
  const KeyPair operator_keys = server.create_key({"--operator"});
  ASSERT_FALSE(::testing::Test::HasFailure());
  server.start();
  ASSERT_TRUE(server.running());

  // The operator's set-up through the program, secrets on standard input.
  ASSERT_TRUE(configure_fleet(operator_keys, {"--backend", server.url()}, tls.ca_file()));
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
  a.start({"--backend", proxied}, tls.ca_file());
  b.start({"--backend", proxied}, tls.ca_file());

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
  std::map<std::string, int> runs = container_runs(tools);
  std::size_t log_bytes = 0;
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    const Json shown = admin.show(id);
    EXPECT_EQ(shown.value("state", ""), "ended") << what_the_agents_said(id, {&a, &b});
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
    EXPECT_EQ(local, kContainer.expected_log(id));
    const std::string stored = shipped_log(admin, id);
    EXPECT_EQ(stored.size(), local.size());
    EXPECT_TRUE(stored == local) << "the stored log differs from the agent's file";
    log_bytes += stored.size();
  }
  EXPECT_GT(per_instance[a.instance], 0);
  EXPECT_GT(per_instance[b.instance], 0);

  // The operator's own command shows the same log, byte for byte.
  const process::RunResult logs = operator_command({"logs", ids.front()}, operator_keys,
                                                   {"--backend", server.url()}, tls.ca_file());
  EXPECT_EQ(logs.exit_status, process::ExitStatus::exited(0)) << logs.err;
  EXPECT_EQ(logs.out, kContainer.expected_log(ids.front()));

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
  const std::size_t failed_calls =
      expect_no_secret_in(outputs, fleet_secrets({a.keys, b.keys, operator_keys}));

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
