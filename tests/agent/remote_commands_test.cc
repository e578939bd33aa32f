// The agent program against a backend server: the operator's commands and
// the service reach a loopback server of the protocol, every request
// signed with the key pair of the environment, and nothing secret shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent_testing.h"
#include "tavoren/common/files.h"
#include "test_support.h"
#include "wire_server.h"

namespace tavoren {
namespace {

using testing::AgentRun;
using ::testing::HasSubstr;
using testing::kInstanceKeys;
using testing::kOperatorKeys;
using ::testing::Not;
using testing::run_agent;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WireServer;

constexpr const char* kId = "0123456789abcdef01234567";

// Every request the server saw was verified, and none carried a secret.
void expect_signed_without_secrets(const WireServer& server) {
  for (const WireServer::Seen& seen : server.seen()) {
    EXPECT_TRUE(seen.verification.ok()) << seen.path;
    EXPECT_THAT(seen.body, Not(HasSubstr(kOperatorKeys.secret_key))) << seen.path;
    EXPECT_THAT(seen.body, Not(HasSubstr(kInstanceKeys.secret_key))) << seen.path;
    for (const auto& [name, value] : seen.headers) {
      EXPECT_THAT(value, Not(HasSubstr(kOperatorKeys.secret_key))) << name;
      EXPECT_THAT(value, Not(HasSubstr(kInstanceKeys.secret_key))) << name;
    }
  }
}

std::vector<std::string> paths_of(const WireServer& server) {
  std::vector<std::string> paths;
  for (const WireServer::Seen& seen : server.seen()) paths.push_back(seen.path);
  return paths;
}

TEST(RemoteBackendCommands, OperatorCommandsReachTheServerSignedWithTheOperatorsKeys) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    if (!request.verification.ok()) return WireServer::failure(401, "unauthenticated", "no");
    if (request.path == "/v1/operator/submit") return WireServer::answer(backend::Result::ok(kId));
    if (request.path == "/v1/operator/list") {
      return WireServer::answer(
          backend::Result::ok(Json::array({Json{{"_id", kId},
                                                {"action", "resource_clone"},
                                                {"status", "queued"},
                                                {"state", "queued"},
                                                {"assignedTo", nullptr},
                                                {"scaledDown", false},
                                                {"submittedAt", "2026-12-08T10:00:00.000Z"},
                                                {"exitStatus", nullptr}}})));
    }
    if (request.path == "/v1/operator/scale_down") {
      return WireServer::answer(backend::Result::ok(nullptr));
    }
    return WireServer::failure(404, "unknown_operation", "not here");
  });
  server.start();
  TempDir dir;
  ScopedEnv home("HOME", dir.path().string());
  ScopedEnv state("XDG_STATE_HOME", (dir.path() / "state").string());
  ScopedEnv access("TAVOREN_ACCESS_KEY", kOperatorKeys.access_key);
  ScopedEnv secret("TAVOREN_SECRET_KEY", kOperatorKeys.secret_key);

  AgentRun submitted = run_agent({"submit", "--backend", server.url(), "--type", "resource_clone",
                                  "--image", "registry.example/job:1"});
  EXPECT_EQ(submitted.exit_status, 0) << submitted.err;
  EXPECT_EQ(submitted.out, std::string(kId) + "\n");
  AgentRun listed = run_agent({"list", "--backend", server.url(), "--json"});
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_THAT(listed.out, HasSubstr(kId));
  ScopedEnv named("TAVOREN_BACKEND", server.url());
  AgentRun scaled = run_agent({"scale-down", kId});
  EXPECT_EQ(scaled.exit_status, 0) << scaled.err;

  EXPECT_EQ(paths_of(server), (std::vector<std::string>{"/v1/operator/submit", "/v1/operator/list",
                                                        "/v1/operator/scale_down"}));
  const Json record = Json::parse(server.seen().at(0).body).at("record");
  EXPECT_EQ(record.at("action"), "resource_clone");
  expect_signed_without_secrets(server);
  // A server is the backend: no embedded database appears on the side.
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "state" / "tavoren" / "agent.db"));

  // A refusal of the server is the command's refusal.
  AgentRun shown = run_agent({"show", "--backend", server.url(), kId});
  EXPECT_EQ(shown.exit_status, 1);
  EXPECT_THAT(shown.err, Not(HasSubstr(kOperatorKeys.secret_key)));
}

TEST(RemoteBackendCommands, TheServiceTakesItsWorkFromTheServerWithTheInstancesKeys) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    if (!request.verification.ok()) return WireServer::failure(401, "unauthenticated", "no");
    if (request.path == "/v1/get_downscaled_ids") {
      return WireServer::answer(backend::Result::ok(Json::array()));
    }
    return WireServer::answer(backend::Result::ok(Json::array()));
  });
  server.start();
  TempDir dir;
  testing::FakeTools tools;
  tools.add("docker", "", 1);
  tools.add("df", "Filesystem Size Used Avail Use% Mounted on\n", 0);
  ScopedEnv home("HOME", dir.path().string());
  ScopedEnv provider("SERVICE_PROVIDER", "local");
  ScopedEnv access("TAVOREN_ACCESS_KEY", kInstanceKeys.access_key);
  ScopedEnv secret("TAVOREN_SECRET_KEY", kInstanceKeys.secret_key);
  const std::string out = (dir.path() / "agent.out").string();
  process::Child agent =
      testing::spawn_agent({"run", "--backend", server.url(), "--skip-prechecks", "--poll-interval",
                            "1", "--reaper-interval", "1", "--work-dir", dir.path().string()},
                           out);
  auto polled = [&] {
    const std::vector<std::string> paths = paths_of(server);
    return std::count(paths.begin(), paths.end(), "/v1/assign_jobs") >= 2 &&
           std::count(paths.begin(), paths.end(), "/v1/get_downscaled_ids") >= 1;
  };
  EXPECT_TRUE(testing::wait_until(polled, std::chrono::seconds(20))) << read_file(out);
  agent.send_signal(SIGTERM);
  EXPECT_EQ(testing::returncode_of(agent.wait_for(std::chrono::seconds(20))), 0) << read_file(out);
  expect_signed_without_secrets(server);
  EXPECT_THAT(read_file(out), HasSubstr("using the backend server at " + server.url()));
  EXPECT_THAT(read_file(out), Not(HasSubstr(kInstanceKeys.secret_key)));
}

// Servers of one store named together: the commands and the service go on
// to the next server of the list when the first does not answer.
TEST(RemoteBackendCommands, WithSeveralServersTheNextAnswersWhenTheFirstDoesNot) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    if (!request.verification.ok()) return WireServer::failure(401, "unauthenticated", "no");
    if (request.path == "/v1/operator/list") {
      return WireServer::answer(backend::Result::ok(Json::array({Json{{"_id", kId},
                                                                      {"action", "resource_clone"},
                                                                      {"status", "queued"},
                                                                      {"state", "queued"}}})));
    }
    return WireServer::answer(backend::Result::ok(Json::array()));
  });
  server.start();
  int port = 0;
  ::close(testing::listen_on_loopback(port));  // nothing listens there now
  const std::string dead = "http://127.0.0.1:" + std::to_string(port);
  TempDir dir;
  ScopedEnv home("HOME", dir.path().string());
  testing::FakeTools tools;
  tools.add("docker", "", 1);
  tools.add("df", "Filesystem Size Used Avail Use% Mounted on\n", 0);
  ScopedEnv provider("SERVICE_PROVIDER", "local");

  {
    ScopedEnv access("TAVOREN_ACCESS_KEY", kOperatorKeys.access_key);
    ScopedEnv secret("TAVOREN_SECRET_KEY", kOperatorKeys.secret_key);
    AgentRun listed = run_agent({"list", "--backend", dead + "," + server.url(), "--json"});
    EXPECT_EQ(listed.exit_status, 0) << listed.err;
    EXPECT_THAT(listed.out, HasSubstr(kId));
    ScopedEnv named("TAVOREN_BACKEND", dead + "," + server.url());
    AgentRun from_env = run_agent({"list"});
    EXPECT_EQ(from_env.exit_status, 0) << from_env.err;
    EXPECT_THAT(from_env.out, HasSubstr(kId));
    // With the dead server alone nothing answers.
    AgentRun alone = run_agent({"list", "--backend", dead});
    EXPECT_EQ(alone.exit_status, 1);
  }
  ASSERT_EQ(paths_of(server).size(), 2u);

  ScopedEnv access("TAVOREN_ACCESS_KEY", kInstanceKeys.access_key);
  ScopedEnv secret("TAVOREN_SECRET_KEY", kInstanceKeys.secret_key);
  const std::string out = (dir.path() / "agent.out").string();
  process::Child agent = testing::spawn_agent(
      {"run", "--backend", dead, "--backend", server.url(), "--skip-prechecks", "--poll-interval",
       "1", "--reaper-interval", "1", "--metrics-listen", "", "--work-dir", dir.path().string()},
      out);
  auto polled = [&] {
    const std::vector<std::string> paths = paths_of(server);
    return std::count(paths.begin(), paths.end(), "/v1/assign_jobs") >= 2;
  };
  EXPECT_TRUE(testing::wait_until(polled, std::chrono::seconds(20))) << read_file(out);
  agent.send_signal(SIGTERM);
  EXPECT_EQ(testing::returncode_of(agent.wait_for(std::chrono::seconds(20))), 0) << read_file(out);
  EXPECT_THAT(read_file(out),
              HasSubstr("using the backend servers at " + dead + ", then " + server.url()));
  expect_signed_without_secrets(server);
}

TEST(RemoteBackendCommands, ABackendThatCannotBeReachedSafelyIsRefusedBeforeAnythingRuns) {
  TempDir dir;
  ScopedEnv home("HOME", dir.path().string());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  ScopedEnv access("TAVOREN_ACCESS_KEY", kOperatorKeys.access_key);
  for (const Case& c : std::vector<Case>{
           // Signed requests and their answers never cross a network in clear.
           {{"list", "--backend", "http://192.0.2.10:8080"}, 2, "https://"},
           {{"run", "--backend", "http://backend.example:80", "--skip-prechecks"}, 2, "https://"},
           {{"list", "--backend", (dir.path() / "a.db").string(), "--backend-ca", "ca.pem"},
            2,
            "--backend-ca needs a backend server"},
           // The key pair comes from the environment, and is named when missing.
           {{"list", "--backend", "https://127.0.0.1:9"}, 1, "TAVOREN_SECRET_KEY is not set"},
           {{"run", "--backend", "https://127.0.0.1:9", "--skip-prechecks"},
            1,
            "TAVOREN_SECRET_KEY is not set"}}) {
    AgentRun run = run_agent(c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args[0] << " " << c.args[2];
    EXPECT_THAT(run.err + run.out, HasSubstr(c.says)) << c.args[0] << " " << c.args[2];
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace tavoren
