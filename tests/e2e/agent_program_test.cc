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

#include "agent_program_fixture.h"
#include "agent_testing.h"
#include "e2e_support.h"
#include "tavoren/common/text.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::testing::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

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
