// Writes answered once per caller and idempotency key, through the server.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "server_testing.h"

namespace tavoren::server_testing {
namespace {

class IdempotencyTest : public ServerTest {
 protected:
  // Runs SQL on the server's database behind its back.
  void exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message != nullptr ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }
  // From now on keeping an answer fails, as if the server stopped between
  // a write and its answer; undone by answers_work_again().
  void answers_fail() {
    exec(
        "CREATE TRIGGER fail_answers BEFORE INSERT ON write_answers "
        "BEGIN SELECT RAISE(ABORT, 'stopped before the answer was kept'); END");
  }
  void answers_work_again() { exec("DROP TRIGGER fail_answers"); }
};

TEST_F(IdempotencyTest, AWriteWhoseAnswerWasNotKeptIsNotDoneAndItsRetryDoesItOnce) {
  auto admin = operator_client();
  const Json record = Json{{"record", action_record()}};

  // A submission.
  answers_fail();
  EXPECT_EQ(call("operator/submit", record, operator_, "submit-1")->status, 500);
  EXPECT_TRUE(admin->list().empty());
  answers_work_again();
  const auto submitted = call("operator/submit", record, operator_, "submit-1");
  ASSERT_EQ(submitted->status, 200);
  EXPECT_EQ(call("operator/submit", record, operator_, "submit-1")->body, submitted->body);
  ASSERT_EQ(admin->list().size(), 1u);
  const std::string id = wire::read_answer(submitted->body).data.get<std::string>();

  // The agent's reports and the end of the action.
  ASSERT_EQ(agent(instance_a_)->assign_jobs(false).data.size(), 1u);
  const Json status = Json{{"service_provider", "local"},
                           {"action_record_id", id},
                           {"status", "started"},
                           {"action_duration", 2},
                           {"isRunning", true}};
  const Json end = Json{{"action_record_id", id}, {"exit_status", 0}};
  answers_fail();
  EXPECT_EQ(call("update_action_status", status, instance_a_, "status-1")->status, 500);
  EXPECT_EQ(call("record_exit", end, instance_a_, "end-1")->status, 500);
  EXPECT_EQ(admin->show(id)["history"].size(), 2u);
  EXPECT_EQ(admin->show(id)["state"], "assigned");
  answers_work_again();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(call("update_action_status", status, instance_a_, "status-1")->status, 200);
    EXPECT_EQ(call("record_exit", end, instance_a_, "end-1")->status, 200);
  }
  const Json shown = admin->show(id);
  EXPECT_EQ(shown["state"], "ended");
  std::size_t reports = 0;
  for (const Json& event : shown["history"]) {
    reports += event["operation"] == "update_action_status" ? 1 : 0;
  }
  EXPECT_EQ(reports, 1u);
}

TEST_F(IdempotencyTest, ARepeatedAssignmentGetsTheSameBatchAndAssignsNothingMore) {
  auto admin = operator_client();
  admin->submit(action_record());
  admin->submit(action_record());
  const Json arguments = Json{{"has_gpu", false}};
  const auto first = call("assign_jobs", arguments, instance_a_, "assign-key-1");
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->status, 200);
  const auto again = call("assign_jobs", arguments, instance_a_, "assign-key-1");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(again->body, first->body);
  EXPECT_EQ(wire::read_answer(first->body).data.size(), 1u);

  std::size_t assigned = 0;
  for (const Json& summary : admin->list()) assigned += summary["state"] == "assigned" ? 1 : 0;
  EXPECT_EQ(assigned, 1u);

  // The key belongs to its caller: another instance's same key is its own.
  const auto other = call("assign_jobs", arguments, instance_b_, "assign-key-1");
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(other->body, first->body);
}

TEST_F(IdempotencyTest, ARepeatedLogPieceIsStoredOnce) {
  auto admin = operator_client();
  const std::string id = admin->submit(action_record());
  ASSERT_EQ(agent(instance_a_)->assign_jobs(false).data.size(), 1u);
  const Json piece = Json{{"action_record_id", id}, {"log_content", "line one\n"}};
  EXPECT_EQ(call("update_action_docker_logs", piece, instance_a_, "log-1")->status, 200);
  EXPECT_EQ(call("update_action_docker_logs", piece, instance_a_, "log-1")->status, 200);
  EXPECT_EQ(call("update_action_docker_logs", piece, instance_a_, "log-2")->status, 200);
  EXPECT_EQ(admin->logs(id).content, "line one\nline one\n");
}

// A restarted agent draws new keys: its placed piece is a repeat the store
// recognises, while a repeated key still gets its first answer.
TEST_F(IdempotencyTest, APlacedPieceUnderANewKeyIsStoredOnceAndAMalformedPlaceIs400) {
  auto admin = operator_client();
  const std::string id = admin->submit(action_record());
  ASSERT_EQ(agent(instance_a_)->assign_jobs(false).data.size(), 1u);
  const Json piece = Json{{"action_record_id", id},
                          {"log_content", "line one\n"},
                          {"log_stream", "f00d"},
                          {"log_start_offset", 0},
                          {"log_end_offset", 9}};
  const auto first = call("update_action_docker_logs", piece, instance_a_, "log-1");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->status, 200);
  const auto again = call("update_action_docker_logs", piece, instance_a_, "log-1");
  EXPECT_EQ(again->body, first->body);
  const auto restarted = call("update_action_docker_logs", piece, instance_a_, "log-2");
  EXPECT_EQ(restarted->status, 200);
  EXPECT_FALSE(wire::read_answer(restarted->body).has_error_set());
  EXPECT_EQ(admin->logs(id).content, "line one\n");

  Json backwards = piece;
  backwards["log_start_offset"] = 10;
  const auto refused = call("update_action_docker_logs", backwards, instance_a_, "log-3");
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->status, 400);
  EXPECT_EQ(wire::read_failure(refused->body)->error, wire::failure::kMalformed);
  EXPECT_EQ(admin->logs(id).content, "line one\n");
}

TEST_F(IdempotencyTest, AKeyReusedForAnotherRequestIsRefused) {
  auto admin = operator_client();
  const Json first = Json{{"image", "registry.example/prep:1"}};
  const auto answered = call("operator/set_data_processing_image", first, operator_, "k");
  ASSERT_EQ(answered->status, 200);
  const auto changed = call("operator/set_data_processing_image",
                            Json{{"image", "registry.example/prep:2"}}, operator_, "k");
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(changed->status, 400);
  EXPECT_EQ(wire::read_failure(changed->body)->error, wire::failure::kMalformed);
  EXPECT_EQ(admin->configuration()["dataProcessingImage"], "registry.example/prep:1");
  // The same key for another operation is another request too.
  EXPECT_EQ(call("operator/scale_down", Json{{"action_record_id", "x"}}, operator_, "k")->status,
            400);
}

TEST_F(IdempotencyTest, AWriteWithoutAnIdempotencyKeyIsRefused) {
  const auto refused = call("assign_jobs", Json{{"has_gpu", false}}, instance_a_);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->status, 400);
}

TEST_F(IdempotencyTest, ARepeatedPortRequestGetsTheSamePort) {
  auto admin = operator_client();
  admin->submit(action_record());
  ASSERT_EQ(agent(instance_a_)->assign_jobs(false).data.size(), 1u);
  const auto first = call("get_open_port", Json::object(), instance_a_, "port-1");
  const auto again = call("get_open_port", Json::object(), instance_a_, "port-1");
  EXPECT_EQ(wire::read_answer(first->body).data, 30000);
  EXPECT_EQ(again->body, first->body);
  EXPECT_EQ(agent(instance_a_)->get_open_port(), 30001);
}

}  // namespace
}  // namespace tavoren::server_testing
