// Writes answered once per caller and idempotency key, through the server.

#include <gtest/gtest.h>

#include <string>

#include "server_testing.h"

namespace tavoren::backend_server_testing {
namespace {

class IdempotencyTest : public ServerTest {};

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
}  // namespace tavoren::backend_server_testing
