// The agent program killed and started again while its actions run on the
// sandbox's engine: the actions go on, and the backend ends up with each
// log byte for byte, once, and each exit status.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "agent_program_fixture.h"
#include "agent_testing.h"
#include "e2e_support.h"
#include "tavoren/common/files.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"

namespace tavoren::testing::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The end of an agent's output, for failure messages.
std::string tail(const std::string& text) {
  return text.size() > 4000 ? "..." + text.substr(text.size() - 4000) : text;
}

class AgentRestart : public AgentProgram {
 protected:
  std::filesystem::path state_file() const { return dir_.path() / "kept-actions.state"; }

  // The kept record of `id` in the state file (null when none).
  Json kept(const std::string& id) const {
    const std::optional<std::string> content = read_file_if_present(state_file());
    if (!content) return Json();
    for (const std::string& line : split(*content, '\n')) {
      const Json record = Json::parse(line, nullptr, false);
      if (record.is_object() && record.value("action_id", "") == id) return record;
    }
    return Json();
  }

  void kill_agent() {
    agent_->send_signal(SIGKILL);
    agent_->wait();
  }

  // What systemd does to the processes left in the unit: the `docker run`
  // client of `id` is killed too.
  void kill_client(const std::string& id) {
    const Json record = kept(id);
    ASSERT_TRUE(record.is_object()) << "no kept record of " << id;
    const int pid = record.value("client_pid", 0);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0) << "the client " << pid << " is gone already";
    ASSERT_TRUE(eventually([&] { return ::kill(pid, 0) != 0; }, seconds(10)));
  }

  std::string container_of(const std::string& id) {
    std::vector<std::string> ids;
    EXPECT_TRUE(eventually(
        [&] {
          ids = containers_of(id, false);
          return !ids.empty();
        },
        seconds(60)))
        << tail(output());
    return ids.empty() ? "" : ids.front();
  }

  bool container_running(const std::string& container) {
    const process::RunResult inspected =
        docker({"inspect", "--format", "{{.State.Running}}", container});
    return trim(inspected.out) == "true";
  }

  // The job's whole output as the engine keeps it.
  std::string engine_log(const std::string& container) {
    const process::RunResult logs = docker({"logs", container});
    EXPECT_EQ(logs.exit_status.returncode(), 0) << logs.err;
    EXPECT_EQ(logs.err, "");  // the steady job writes to its standard output only
    return logs.out;
  }

  // The steady job's log, shipped once and whole, and its status recorded.
  void expect_whole_log_once_and_status(const std::string& id, const std::string& container) {
    ASSERT_TRUE(ended(id, seconds(90))) << tail(output("agent2.out"));
    const Json shown = show(id);
    EXPECT_EQ(shown["exitStatus"], 5) << tail(output("agent2.out"));
    // The file: the client's own lines (the pull, the engine's warnings),
    // then everything the container wrote.
    const std::string truth = engine_log(container);
    const std::string file = log_file("resource_clone", id);
    const std::string shipped = shipped_log(id);
    ASSERT_GE(file.size(), truth.size());
    EXPECT_EQ(file.substr(file.size() - truth.size()), truth);
    EXPECT_THAT(file.substr(0, file.size() - truth.size()), Not(HasSubstr("job line")));
    EXPECT_EQ(shipped, file) << tail(output()) << tail(output("agent2.out"));
    std::set<std::string> lines;
    int job_lines = 0;
    for (const std::string& line : split(shipped, '\n')) {
      if (line.rfind("job line ", 0) != 0) continue;
      ++job_lines;
      EXPECT_TRUE(lines.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(job_lines, 300);
    EXPECT_THAT(shipped, HasSubstr("job finished with status 5\n"));
    EXPECT_EQ(operations(shown).back(), "exit");
    // Once recorded, the action is no longer kept.
    EXPECT_TRUE(eventually([&] { return kept(id).is_null(); }, seconds(10)));
  }

  void stop_agent_cleanly() {
    agent_->send_signal(SIGTERM);
    EXPECT_EQ(returncode_of(agent_->wait_for(seconds(30))), 0) << tail(output("agent2.out"));
  }
};

enum class KillPoint { before_first_shipment, mid_shipment, final_flush };

struct KillCase {
  const char* name;
  KillPoint point;
  // The `docker run` client dies with the agent (systemd's stop of the
  // unit's processes) or outlives it (the agent alone was killed).
  bool client_killed;
};

class AgentKilled : public AgentRestart, public ::testing::WithParamInterface<KillCase> {};

TEST_P(AgentKilled, TheJobGoesOnAndItsLogAndStatusReachTheBackendWholeAndOnce) {
  const KillCase& c = GetParam();
  const std::string id = submit("resource_clone", Sandbox::get().image_steady());
  // Before the first shipment: the first agent ships nothing for a minute.
  start_agent({"--log-interval", c.point == KillPoint::before_first_shipment ? "60" : "1"});
  const std::string container = container_of(id);
  ASSERT_FALSE(container.empty());
  switch (c.point) {
    case KillPoint::before_first_shipment:
      ASSERT_TRUE(eventually(
          [&] { return log_file("resource_clone", id).find("job line 5 of") != std::string::npos; },
          seconds(60)))
          << tail(output());
      break;
    case KillPoint::mid_shipment:
      ASSERT_TRUE(
          eventually([&] { return shipped_log(id).find("job line 100 of") != std::string::npos; },
                     seconds(60)))
          << tail(output());
      break;
    case KillPoint::final_flush:
      // The job has ended: the agent flushes its log's tail (after a second).
      ASSERT_TRUE(eventually(
          [&] { return log_file("resource_clone", id).find("job finished") != std::string::npos; },
          seconds(60)))
          << tail(output());
      break;
  }
  kill_agent();
  if (c.point == KillPoint::before_first_shipment) {
    EXPECT_EQ(shipped_log(id), "");
  }
  if (c.point != KillPoint::final_flush) {
    ASSERT_TRUE(kept(id).is_object()) << "the running action is not kept";
    if (c.client_killed) kill_client(id);
    EXPECT_TRUE(container_running(container)) << "the job did not outlive the agent";
  }

  start_agent({"--log-interval", "1"}, "agent2.out");
  expect_whole_log_once_and_status(id, container);
  if (c.point != KillPoint::final_flush) {
    EXPECT_THAT(output("agent2.out"), HasSubstr("Taking over action " + id));
  }
  stop_agent_cleanly();
}

INSTANTIATE_TEST_SUITE_P(
    KillPoints, AgentKilled,
    ::testing::Values(KillCase{"BeforeTheFirstShipment", KillPoint::before_first_shipment, false},
                      KillCase{"MidShipment", KillPoint::mid_shipment, false},
                      KillCase{"MidShipmentWithItsClient", KillPoint::mid_shipment, true},
                      KillCase{"DuringTheFinalFlush", KillPoint::final_flush, true}),
    [](const ::testing::TestParamInfo<KillCase>& info) { return std::string(info.param.name); });

// The narrowest window: the backend has stored a piece, and the agent dies
// before it keeps the new offset (the agent built with its fault hooks
// kills itself there). The next agent sends that piece again, and the
// backend, which has it already, does not store it twice.
TEST_F(AgentRestart, APieceStoredJustBeforeTheAgentDiedIsNotStoredTwice) {
  const std::string id = submit("resource_clone", Sandbox::get().image_steady());
  {
    ScopedEnv kill_after("TAVOREN_FAULT_KILL_AFTER_PIECES", "4");
    start_agent({"--log-interval", "1"}, "agent.out", TAVOREN_FAULT_AGENT_PROGRAM);
  }
  const std::string container = container_of(id);
  ASSERT_FALSE(container.empty());
  EXPECT_EQ(returncode_of(agent_->wait_for(seconds(60))), -SIGKILL) << tail(output());
  // The kept offset is behind what the backend holds, by the piece that
  // was in flight, which the state file names.
  const Json record = kept(id);
  ASSERT_TRUE(record.is_object()) << "the running action is not kept";
  const std::uint64_t shipped = record.value("shipped", std::uint64_t{0});
  const std::uint64_t sending = record.value("sending", std::uint64_t{0});
  const std::string stored = shipped_log(id);
  EXPECT_GT(sending, shipped);
  EXPECT_EQ(stored.size(), sending);
  EXPECT_EQ(stored, log_file("resource_clone", id).substr(0, stored.size()));
  EXPECT_FALSE(record.value("log_stream", std::string()).empty());
  EXPECT_TRUE(container_running(container)) << "the job did not outlive the agent";

  start_agent({"--log-interval", "1"}, "agent2.out");
  expect_whole_log_once_and_status(id, container);
  EXPECT_THAT(output("agent2.out"), HasSubstr("Taking over action " + id));
  stop_agent_cleanly();
}

// SIGHUP: the agent leaves its actions running, kept for the next agent,
// and exits 75; the next agent takes them over.
TEST_F(AgentRestart, SighupLeavesTheJobRunningForTheNextAgentAndExits75) {
  const std::string id = submit("resource_clone", Sandbox::get().image_steady());
  start_agent({"--log-interval", "1"});
  const std::string container = container_of(id);
  ASSERT_FALSE(container.empty());
  ASSERT_TRUE(eventually(
      [&] { return shipped_log(id).find("job line 20 of") != std::string::npos; }, seconds(60)))
      << tail(output());
  agent_->send_signal(SIGHUP);
  EXPECT_EQ(returncode_of(agent_->wait_for(seconds(60))), 75) << tail(output());
  EXPECT_TRUE(container_running(container)) << "the job did not outlive the agent";
  ASSERT_TRUE(kept(id).is_object()) << "the running action is not kept";
  EXPECT_NE(show(id)["state"], "ended");
  EXPECT_THAT(operations(show(id)), Not(::testing::Contains("exit")));

  start_agent({"--log-interval", "1"}, "agent2.out");
  expect_whole_log_once_and_status(id, container);
  EXPECT_THAT(output("agent2.out"), HasSubstr("Taking over action " + id));
  stop_agent_cleanly();
}

TEST_F(AgentRestart, AJobThatEndsWhileNoAgentRunsHasItsWholeLogAndStatusRecordedAtStartUp) {
  const std::string id = submit("resource_clone", Sandbox::get().image_steady());
  start_agent({"--log-interval", "1"});
  const std::string container = container_of(id);
  ASSERT_TRUE(eventually(
      [&] { return shipped_log(id).find("job line 20 of") != std::string::npos; }, seconds(60)))
      << tail(output());
  kill_agent();
  kill_client(id);
  ASSERT_TRUE(eventually([&] { return !container_running(container); }, seconds(60)));
  EXPECT_NE(show(id)["state"], "ended");

  start_agent({"--log-interval", "1"}, "agent2.out");
  expect_whole_log_once_and_status(id, container);
  EXPECT_THAT(output("agent2.out"), HasSubstr("ended while no agent ran"));
  stop_agent_cleanly();
}

TEST_F(AgentRestart, AnActionScaledDownWhileNoAgentRunsIsStoppedAtStartUp) {
  const std::string id = submit("resource_clone", Sandbox::get().image_sleep());
  start_agent({"--log-interval", "1"});
  const std::string container = container_of(id);
  ASSERT_TRUE(eventually([&] { return shipped_log(id).find("job sleeping") != std::string::npos; },
                         seconds(60)))
      << tail(output());
  kill_agent();
  kill_client(id);
  AgentRun scale_down = run_agent({"scale-down", "--backend", db(), id});
  ASSERT_EQ(scale_down.exit_status, 0) << scale_down.err;
  ASSERT_TRUE(container_running(container));

  // No reaper pass for ten minutes: the start-up itself stops it.
  reaper_interval_ = "600";
  start_agent({"--log-interval", "1"}, "agent2.out");
  EXPECT_TRUE(eventually([&] { return !container_running(container); }, seconds(30)))
      << tail(output("agent2.out"));
  ASSERT_TRUE(ended(id, seconds(30))) << tail(output("agent2.out"));
  EXPECT_NE(show(id)["exitStatus"], 0);
  EXPECT_EQ(shipped_log(id), log_file("resource_clone", id));
  EXPECT_THAT(output("agent2.out"), HasSubstr("was scaled down while no agent ran"));
  EXPECT_TRUE(kept(id).is_null());
  stop_agent_cleanly();
}

TEST_F(AgentRestart, AContainerOfThisInstanceThatNothingKeepsIsStoppedAndOthersAreNot) {
  const std::string stray_action = new_action_id();
  const std::string image = Sandbox::get().image_sleep();
  auto run_labelled = [&](const std::string& instance) {
    const process::RunResult started =
        docker({"run", "-d", "--net=host", "--label", "tavoren.instance-id=" + instance, "--label",
                "tavoren.action-id=" + stray_action, image, "python3", "main.py"});
    EXPECT_EQ(started.exit_status.returncode(), 0) << started.err;
    return trim(started.out);
  };
  const std::string ours = run_labelled(instance_id_);
  const std::string theirs = run_labelled(instance_id_ + "-other");
  ASSERT_FALSE(ours.empty());
  ASSERT_FALSE(theirs.empty());

  start_agent();
  EXPECT_TRUE(eventually([&] { return !container_running(ours); }, seconds(30))) << tail(output());
  EXPECT_THAT(output(), HasSubstr("Container " + ours + " of action " + stray_action +
                                  " runs for this agent, but no kept action names it"));
  EXPECT_TRUE(container_running(theirs)) << "another instance's container was stopped";
  agent_->send_signal(SIGTERM);
  EXPECT_EQ(returncode_of(agent_->wait_for(seconds(30))), 0) << tail(output());
  docker({"rm", "--force", ours, theirs});
}

TEST_F(AgentRestart, AStateFileTornByAKillIsReadAsFarAsItGoesAndTheAgentServesOn) {
  // A write cut off before its renaming, and a file whose last line is
  // torn (as a disk may leave it).
  {
    std::ofstream(state_file().string() + ".partial-Ab12Cd") << "{\"format\":\"tavoren-kept";
    std::ofstream(state_file()) << "{\"format\":\"tavoren-kept-actions\",\"version\":1}\n"
                                << "{\"action_id\":\"" << new_action_id()
                                << "\",\"record\":{\"_id\":\"x";
  }
  const std::string id = submit("resource_clone", Sandbox::get().image());
  start_agent();
  ASSERT_TRUE(ended(id, seconds(90))) << tail(output());
  EXPECT_EQ(show(id)["exitStatus"], 0);
  const std::string out = output();
  EXPECT_THAT(out, HasSubstr("Could not recover a kept action: line 2 of " + state_file().string() +
                             " could not be recovered"));
  EXPECT_THAT(out, HasSubstr("that did not finish was discarded (kept-actions.state.partial-"));
  EXPECT_FALSE(std::filesystem::exists(state_file().string() + ".partial-Ab12Cd"));
  agent_->send_signal(SIGTERM);
  EXPECT_EQ(returncode_of(agent_->wait_for(seconds(30))), 0) << tail(output());
  // Rewritten whole: every line reads again.
  const std::string rewritten = read_file(state_file());
  EXPECT_THAT(rewritten, Not(HasSubstr("\"_id\":\"x")));
}

}  // namespace
}  // namespace tavoren::testing::e2e
