// The agent's metrics and health as its service reports events, on a clock
// of the test, and the counting wrapper of the backend client.
#include "operator_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_scaling.h"
#include "tavoren/work_unit.h"

namespace tavoren::agent {
namespace {

using namespace std::chrono_literals;
using testing::FakeScaling;
using ::testing::HasSubstr;
using ::testing::Not;

class OperatorViewTest : public ::testing::Test {
 protected:
  OperatorViewTest() : view_(registry_, [this] { return now_; }) {}

  // The value of one series in the rendering; -1 when it is absent.
  double sample(const std::string& series) {
    const std::string text = "\n" + registry_.render();
    const auto at = text.find("\n" + series + " ");
    if (at == std::string::npos) return -1;
    return std::stod(text.substr(at + series.size() + 2));
  }

  metrics::Registry registry_;
  std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
  OperatorView view_;
};

TEST_F(OperatorViewTest, AliveWhileTheLoopCompletesCyclesWithinThreeWaits) {
  // Start-up checks run: alive, not ready.
  metrics_endpoint::HealthReport report = view_.health();
  EXPECT_TRUE(report.alive);
  EXPECT_FALSE(report.ready);

  view_.checks_passed();
  view_.loop_started(10s);
  now_ += 29s;  // no cycle yet, within three poll intervals
  EXPECT_TRUE(view_.health().alive);
  now_ += 2s;
  EXPECT_FALSE(view_.health().alive);

  view_.cycle_completed({.memory_usage = 0.5, .waiting_seconds = 20});
  now_ += 60s;
  EXPECT_TRUE(view_.health().alive);
  now_ += 1s;
  report = view_.health();
  EXPECT_FALSE(report.alive);
  EXPECT_EQ(report.checks.front().first, "loop");
  EXPECT_THAT(report.checks.front().second, HasSubstr("61.0 s ago (limit 60 s)"));
}

TEST_F(OperatorViewTest, ReadyOnceChecksPassedAndWhileTheBackendAnswers) {
  view_.loop_started(10s);
  view_.backend_call("assign_jobs", OperatorView::Outcome::kRefused, 0.01);
  EXPECT_FALSE(view_.health().ready) << "the start-up checks have not passed";
  view_.checks_passed();
  EXPECT_TRUE(view_.health().ready) << "a refusal is an answer";

  now_ += 31s;
  EXPECT_FALSE(view_.health().ready);
  view_.backend_call("assign_jobs", OperatorView::Outcome::kFailed, 5);
  EXPECT_FALSE(view_.health().ready) << "a call without an answer";
  view_.backend_call("get_downscaled_ids", OperatorView::Outcome::kOk, 0.02);
  EXPECT_TRUE(view_.health().ready);

  view_.stopping();
  EXPECT_FALSE(view_.health().ready);
}

// What /healthz says of the start-up checks.
std::string checks_word(const OperatorView& view) {
  for (const auto& [name, word] : view.health().checks) {
    if (name == "start-up checks") return word;
  }
  return "(none)";
}

TEST_F(OperatorViewTest, HealthSaysWhetherTheStartUpChecksPassedOrWereSkipped) {
  view_.loop_started(10s);
  view_.backend_call("assign_jobs", OperatorView::Outcome::kOk, 0.01);
  EXPECT_EQ(checks_word(view_), "not passed yet");
  view_.checks_skipped();
  EXPECT_EQ(checks_word(view_), "skipped");
  EXPECT_TRUE(view_.health().ready) << "skipping them on purpose makes the agent ready too";

  metrics::Registry registry;
  OperatorView checked(registry);
  checked.checks_passed();
  EXPECT_EQ(checks_word(checked), "passed");
}

TEST_F(OperatorViewTest, TheRecordOfAnActionsEndIsCountedAsABackendCall) {
  int recorded = 0;
  RecordExit record = metered_record_exit(
      [&](const std::string& id, int status, std::string_view cause) {
        EXPECT_EQ(id, "a1");
        EXPECT_EQ(status, 137);
        EXPECT_EQ(cause, "exited");
        if (++recorded == 2) throw backend::NotCurrentError("attempt 2 of a1 is not current");
        if (recorded == 3) throw backend::CallFailure("no connection", true);
      },
      view_);
  record("a1", 137, "exited");
  EXPECT_THROW(record("a1", 137, "exited"), backend::NotCurrentError);
  EXPECT_THROW(record("a1", 137, "exited"), backend::CallFailure);
  EXPECT_EQ(recorded, 3);
  for (const char* outcome : {"ok", "refused", "failed"}) {
    EXPECT_EQ(sample(std::string("tavoren_agent_backend_calls_total{operation=\"record_exit\","
                                 "outcome=\"") +
                     outcome + "\"}"),
              1)
        << outcome;
  }
  EXPECT_EQ(sample("tavoren_agent_backend_call_duration_seconds_count{operation=\"record_exit\"}"),
            3);
}

TEST_F(OperatorViewTest, CountsActionsAndCyclesAsTheyHappen) {
  view_.action_started("a1", "resource_clone");
  view_.action_started("a2", "model_train");
  EXPECT_EQ(sample("tavoren_agent_actions_running"), 2);
  view_.action_ended("a1", 0);
  view_.action_ended("a1", 0);  // reported again: counted once
  view_.action_ended("a2", 137);
  view_.action_ended("unknown", 1);  // never started here
  EXPECT_EQ(sample("tavoren_agent_actions_started_total{type=\"resource_clone\"}"), 1);
  EXPECT_EQ(sample("tavoren_agent_actions_ended_total{type=\"resource_clone\",exit_status=\"0\"}"),
            1);
  EXPECT_EQ(sample("tavoren_agent_actions_ended_total{type=\"model_train\",exit_status=\"137\"}"),
            1);
  EXPECT_THAT(registry_.render(), Not(HasSubstr("exit_status=\"1\"")));
  EXPECT_EQ(sample("tavoren_agent_actions_running"), 0);

  view_.cycle_completed({.memory_usage = std::nullopt, .waiting_seconds = 11});
  view_.cycle_completed({.memory_usage = 0.42, .waiting_seconds = 12});
  EXPECT_EQ(sample("tavoren_agent_poll_cycles_total"), 2);
  EXPECT_EQ(sample("tavoren_agent_poll_wait_seconds"), 12);
  EXPECT_EQ(sample("tavoren_agent_memory_usage_ratio"), 0.42);

  now_ += 5s;
  EXPECT_EQ(sample("tavoren_agent_seconds_since_last_successful_poll"), 5);
  view_.poll_succeeded();
  now_ += 2s;
  EXPECT_EQ(sample("tavoren_agent_seconds_since_last_successful_poll"), 2);
  EXPECT_THAT(view_.status_line(), HasSubstr("0 actions running"));
}

TEST_F(OperatorViewTest, MeteredClientCountsOutcomesLogBytesAndOutOfMemoryReports) {
  auto fake_owned = std::make_unique<FakeScaling>();
  FakeScaling& fake = *fake_owned;
  MeteredScaling client(std::move(fake_owned), view_);

  fake.push("assign_jobs", backend::Result::ok(Json::array()));
  fake.push("assign_jobs", backend::Result::failure("busy"));
  fake.set_handler("get_downscaled_ids", [](const Json&) -> backend::Result {
    throw backend::CallFailure("no connection", true);
  });
  EXPECT_FALSE(client.assign_jobs(false).has_error());
  EXPECT_TRUE(client.assign_jobs(false).has_error());
  EXPECT_THROW(client.get_downscaled_ids(), backend::CallFailure);
  EXPECT_EQ(sample("tavoren_agent_backend_calls_total{operation=\"assign_jobs\",outcome=\"ok\"}"),
            1);
  EXPECT_EQ(
      sample("tavoren_agent_backend_calls_total{operation=\"assign_jobs\",outcome=\"refused\"}"),
      1);
  EXPECT_EQ(
      sample(
          "tavoren_agent_backend_calls_total{operation=\"get_downscaled_ids\",outcome=\"failed\"}"),
      1);
  EXPECT_EQ(sample("tavoren_agent_backend_call_duration_seconds_count{operation=\"assign_jobs\"}"),
            2);

  fake.push("update_action_docker_logs", backend::Result::ok(nullptr));
  fake.push("update_action_docker_logs", backend::Result::failure("too much"));
  fake.push_throw("update_action_docker_logs", "reset");
  const Json piece{{"action_record_id", "a1"}, {"log_content", std::string(100, 'x')}};
  client.update_action_docker_logs(piece);
  client.update_action_docker_logs(piece);
  EXPECT_THROW(client.update_action_docker_logs(piece), std::runtime_error);
  EXPECT_EQ(sample("tavoren_agent_log_shipped_bytes_total"), 100);
  EXPECT_EQ(sample("tavoren_agent_log_refused_bytes_total"), 200);
  // The wrapped client saw the very arguments.
  EXPECT_EQ(fake.calls("update_action_docker_logs").at(0).arguments, piece);

  client.update_action(Json{{"id", "a1"}, {"status_description", std::string(kCudaOutOfMemory)}});
  client.update_action(Json{{"id", "a1"}, {"status_description", "fine"}});
  EXPECT_EQ(sample("tavoren_agent_oom_reports_total"), 1);
}

}  // namespace
}  // namespace tavoren::agent
