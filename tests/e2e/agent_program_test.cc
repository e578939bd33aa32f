// The agent program end to end: `tavoren-agent run` on the embedded
// backend, driven by the operator's own commands, runs actions as real
// containers on the sandbox's engine.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent_testing.h"
#include "e2e_support.h"
#include "tavoren/common/text.h"
#include "tavoren/local_backend.h"

namespace tavoren::testing::e2e {
namespace {

using std::chrono::seconds;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kUser = "e2e-owner";
constexpr const char* kOwnerAccessKey = "AKE2EOWNERACCESSKEY";
constexpr const char* kOwnerSecretKey = "e2e-owner-secret-key-0123";
constexpr const char* kAgentAccessKey = "AKE2EAGENTACCESSKEY";
constexpr const char* kAgentSecretKey = "e2e-agent-secret-key-4567";

class AgentProgram : public ::testing::Test {
 protected:
  AgentProgram()
      : home_("HOME", dir_.path().string()),
        workspace_dir_("WORKSPACE_DIR", "fs"),
        provider_("SERVICE_PROVIDER", "local"),
        encryption_key_("TAVOREN_ENCRYPTION_KEY", "e2e-key-0123456789abcdef01234567"),
        access_key_("TAVOREN_ACCESS_KEY", kAgentAccessKey),
        secret_key_("TAVOREN_SECRET_KEY", kAgentSecretKey) {}

  void SetUp() override {
    const Sandbox& sandbox = Sandbox::get();
    // The operator's set-up, through the program's own commands.
    // Secrets on standard input, as an operator keeps them off command lines.
    struct Command {
      std::vector<std::string> args;
      std::optional<std::string> input;
    };
    for (const Command& command : std::vector<Command>{
             {{"config", "registry", sandbox.user(), "-", sandbox.registry()}, sandbox.password()},
             {{"config", "data-processing-image", sandbox.image()}, std::nullopt},
             {{"config", "key-pair", kUser, kOwnerAccessKey, "-"}, kOwnerSecretKey}}) {
      std::vector<std::string> args = command.args;
      args.insert(args.end(), {"--backend", db()});
      AgentRun run = run_agent(args, command.input);
      ASSERT_EQ(run.exit_status, 0) << command.args[1] << ": " << run.err;
    }
  }

  void TearDown() override {
    if (agent_ && !agent_->exit_status()) {
      agent_->send_signal(SIGKILL);
      agent_->wait();
    }
    for (const std::string& id : submitted_) remove_containers_of(id);
  }

  std::string db() const { return (dir_.path() / "agent.db").string(); }
  std::string output() const { return read_file(dir_.path() / "agent.out"); }

  std::string submit(const std::string& type, const std::string& image) {
    AgentRun run =
        run_agent({"submit", "--backend", db(), "--type", type, "--image", image, "--user", kUser});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::string id = trim(run.out);
    EXPECT_EQ(id.size(), 24u) << run.out;
    submitted_.push_back(id);
    return id;
  }

  void start_agent() {
    agent_.emplace(spawn_agent(
        {"run", "--backend", db(), "--skip-prechecks", "--work-dir", dir_.path().string(),
         "--poll-interval", "1", "--reaper-interval", "1", "--stop-grace", "2"},
        (dir_.path() / "agent.out").string()));
  }

  Json show(const std::string& id) {
    AgentRun run = run_agent({"show", "--backend", db(), id});
    if (run.exit_status != 0) return Json();
    return Json::parse(run.out, nullptr, false);
  }

  bool ended(const std::string& id, seconds limit) {
    return eventually([&] { return show(id).value("state", "") == "ended"; }, limit);
  }

  std::string shipped_log(const std::string& id) {
    AgentRun run = run_agent({"logs", "--backend", db(), id});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.out;
  }

  std::string log_file(const std::string& type, const std::string& id) const {
    return read_file(dir_.path() / "logs" / (type + "_" + id + ".txt"));
  }

  static std::vector<std::string> operations(const Json& shown) {
    std::vector<std::string> names;
    for (const Json& event : shown["history"]) names.push_back(event["operation"]);
    return names;
  }

  // No key, secret or password of this test in anything the agent logged.
  void expect_no_secret_logged() {
    const std::string out = output();
    for (const std::string& secret :
         {std::string(kOwnerAccessKey), std::string(kOwnerSecretKey), std::string(kAgentAccessKey),
          std::string(kAgentSecretKey), Sandbox::get().password()}) {
      EXPECT_THAT(out, Not(HasSubstr(secret)));
    }
  }

  SandboxClient client_;
  TempDir dir_;
  ScopedEnv home_;
  ScopedEnv workspace_dir_;
  ScopedEnv provider_;
  ScopedEnv encryption_key_;
  ScopedEnv access_key_;
  ScopedEnv secret_key_;
  std::optional<process::Child> agent_;
  std::vector<std::string> submitted_;
};

TEST_F(AgentProgram, RunsAnActionToItsEndThenStopsOneThatIsScaledDown) {
  const Sandbox& sandbox = Sandbox::get();
  const std::string finished = submit("resource_clone", sandbox.image());
  start_agent();

  ASSERT_TRUE(ended(finished, seconds(90))) << output();
  Json shown = show(finished);
  EXPECT_EQ(shown["exitStatus"], 0);
  // The log is in the database whole, exactly as the container wrote it.
  const std::string log = log_file("resource_clone", finished);
  EXPECT_THAT(log, HasSubstr("job line 2000 of 2000\n"));
  EXPECT_EQ(shipped_log(finished), log);
  EXPECT_EQ(shown["logBytes"], log.size());
  EXPECT_EQ(operations(shown).front(), "submit");
  EXPECT_EQ(operations(shown)[1], "assign_jobs");
  EXPECT_EQ(operations(shown).back(), "exit");

  // A long job, scaled down while its container runs.
  const std::string stopped = submit("resource_clone", sandbox.image_sleep());
  ASSERT_TRUE(eventually([&] { return !containers_of(stopped, true).empty(); }, seconds(60)))
      << output();
  ASSERT_TRUE(eventually(
      [&] { return shipped_log(stopped).find("job sleeping") != std::string::npos; }, seconds(30)))
      << output();
  AgentRun scale_down = run_agent({"scale-down", "--backend", db(), stopped});
  ASSERT_EQ(scale_down.exit_status, 0) << scale_down.err;

  // The reaper stops the container; the agent notices the end.
  EXPECT_TRUE(eventually([&] { return containers_of(stopped, true).empty(); }, seconds(60)))
      << output();
  ASSERT_TRUE(ended(stopped, seconds(60))) << output();
  shown = show(stopped);
  EXPECT_NE(shown["exitStatus"], 0);
  EXPECT_TRUE(shown["scaledDownAt"].is_string());
  EXPECT_EQ(shipped_log(stopped), log_file("resource_clone", stopped));
  // Every step, in order.
  std::vector<std::string> steps = operations(shown);
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ(steps[0], "submit");
  EXPECT_EQ(steps[1], "assign_jobs");
  EXPECT_EQ(steps.back(), "exit");
  EXPECT_EQ(steps[steps.size() - 2], "scale_down");
  EXPECT_THAT(output(), HasSubstr("stopped."));

  // `logs --follow` of an ended action prints the log and ends.
  AgentRun follow = run_agent({"logs", "--backend", db(), "--follow", finished});
  EXPECT_EQ(follow.exit_status, 0);
  EXPECT_EQ(follow.out, log);
  EXPECT_THAT(follow.err, HasSubstr("ended with exit status 0"));

  agent_->send_signal(SIGTERM);
  ASSERT_EQ(returncode_of(agent_->wait_for(seconds(20))), 0) << output();
  expect_no_secret_logged();
}

TEST_F(AgentProgram, SigtermWhileAnActionRunsStopsItAndExitsZeroWithTheLogComplete) {
  const std::string id = submit("resource_clone", Sandbox::get().image_sleep());
  start_agent();
  ASSERT_TRUE(eventually([&] { return !containers_of(id, true).empty(); }, seconds(60)))
      << output();
  ASSERT_TRUE(eventually(
      [&] { return log_file("resource_clone", id).find("job sleeping") != std::string::npos; },
      seconds(30)))
      << output();

  const auto begin = std::chrono::steady_clock::now();
  agent_->send_signal(SIGTERM);
  // The stop grace is 2 s; the engine's client and the shutdown add a few.
  std::optional<int> status = returncode_of(agent_->wait_for(seconds(30)));
  ASSERT_TRUE(status.has_value()) << "still running 30 s after SIGTERM\n" << output();
  EXPECT_EQ(*status, 0) << output();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, seconds(15)) << output();

  EXPECT_TRUE(containers_of(id, true).empty());
  const std::string log = log_file("resource_clone", id);
  EXPECT_THAT(log, HasSubstr("job sleeping"));
  EXPECT_EQ(shipped_log(id), log);
  Json shown = show(id);
  EXPECT_EQ(shown["state"], "ended");
  EXPECT_EQ(operations(shown).back(), "exit");
  EXPECT_THAT(output(), HasSubstr("Agent stopped"));
  expect_no_secret_logged();
}

TEST_F(AgentProgram, MalformedQueueEntriesAreReportedAndTheNextActionIsServed) {
  const std::string not_json = new_action_id();
  const std::string unknown_type = new_action_id();
  {
    // Written behind the operator's commands, as a damaged tool might.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 5000);
    const std::string sql =
        "INSERT INTO actions (id, action_type, gpu_required, record, state, submitted_at) VALUES "
        "('" +
        not_json +
        "', 'resource_clone', 0, '{\"action\": ', 'queued', 'now'), "
        "('" +
        unknown_type + "', 'no_such_action', 0, '{\"_id\": \"" + unknown_type +
        "\", \"action\": \"no_such_action\", \"actionDetails\": {}}', 'queued', 'now')";
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(raw);
  }
  const std::string good = submit("resource_clone", Sandbox::get().image());
  start_agent();

  ASSERT_TRUE(ended(good, seconds(90))) << output();
  EXPECT_EQ(show(good)["exitStatus"], 0);
  EXPECT_THAT(shipped_log(good), HasSubstr("job line 2000 of 2000\n"));

  const std::string out = output();
  EXPECT_THAT(out, HasSubstr("Queued action " + not_json +
                             " is not an action record (its text is not JSON); it is set aside"));
  EXPECT_THAT(out, HasSubstr("Unknown action type: no_such_action"));
  EXPECT_EQ(show(not_json)["state"], "rejected");
  EXPECT_TRUE(containers_of(unknown_type, false).empty());

  agent_->send_signal(SIGTERM);
  ASSERT_EQ(returncode_of(agent_->wait_for(seconds(20))), 0) << output();
}

}  // namespace
}  // namespace tavoren::testing::e2e
