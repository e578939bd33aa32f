// The server answers as the embedded backend does: one scenario of an
// agent and an operator, played on the embedded backend directly and
// through the network clients, the server and its store, gives the same
// transcript (identifiers and times aside).

#include <gtest/gtest.h>

#include <string>

#include "server_testing.h"

namespace tavoren::server_testing {
namespace {

Json as_json(const backend::Result& result) {
  return Json{{"data", result.data},
              {"error", result.error ? Json(*result.error) : Json()},
              {"message", result.message}};
}

// Texts with the run's own identifiers replaced by names.
Json normalised(const Json& transcript, const std::vector<std::string>& ids) {
  std::string text = transcript.dump();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string name = "<action " + std::to_string(i) + ">";
    for (std::size_t at = text.find(ids[i]); at != std::string::npos;
         at = text.find(ids[i], at + name.size())) {
      text.replace(at, ids[i].size(), name);
    }
  }
  return Json::parse(text);
}

void drop_times(Json& value) {
  if (value.is_object()) {
    for (const char* key : {"recordedAt", "submittedAt", "assignedAt", "scaledDownAt", "endedAt"}) {
      if (value.contains(key)) value[key] = value[key].is_null() ? "null" : "time";
    }
    for (auto& [key, member] : value.items()) drop_times(member);
  } else if (value.is_array()) {
    for (Json& member : value) drop_times(member);
  }
}

template <typename Agent, typename Operator>
Json play(Agent& agent, Operator& op) {
  Json t = Json::array();
  const std::string id = op.submit(action_record());
  Json gpu_record = action_record();
  gpu_record["actionDetails"]["gpuRequired"] = true;
  const std::string gpu_id = op.submit(gpu_record);

  t.push_back(as_json(agent.assign_jobs(false)));
  t.push_back(as_json(agent.update_action_status(Json{{"service_provider", "local"},
                                                      {"action_record_id", id},
                                                      {"status", "started"},
                                                      {"action_duration", 2},
                                                      {"isRunning", true}})));
  t.push_back(as_json(agent.update_status(id, "data_split", "svc", "S1", "OK", "prepared")));
  t.push_back(as_json(agent.update_action(Json{{"id", id},
                                               {"step_code", "S2"},
                                               {"action_type", "data_split"},
                                               {"status", "running"},
                                               {"status_description", "half way"},
                                               {"service", "svc"},
                                               {"job_params", Json{{"split", 0.2}}}})));
  for (const char* piece : {"alpha\n", "\xce\xb2\x65ta \t tabs\n", "", "{\"json\": 1}\n"}) {
    t.push_back(as_json(
        agent.update_action_docker_logs(Json{{"action_record_id", id}, {"log_content", piece}})));
  }
  t.push_back(as_json(agent.get_action_details(id)));

  op.set_codebase("family", "https://code.example/family.zip");
  t.push_back(as_json(agent.get_model_codebase("family")));
  t.push_back(as_json(agent.get_model_codebase_requirements("family")));
  t.push_back(as_json(agent.get_model_codebase("unknown-family")));
  t.push_back(as_json(agent.get_docker_hub_credentials()));
  op.set_shutdown_details(1.5, 2, "cloud");
  t.push_back(agent.get_shutdown_details());
  op.set_registry_credentials("robot", "registry-password-1");
  t.push_back(as_json(agent.get_docker_hub_credentials()));

  op.scale_down(id);
  t.push_back(as_json(agent.get_downscaled_ids()));
  agent.record_exit(id, 3);
  Json shown = op.show(id);
  shown.erase("logLimit");
  t.push_back(shown);
  const auto chunk = op.logs(id, 3);
  t.push_back(
      Json{{"content", chunk.content}, {"next", chunk.next_offset}, {"end", chunk.finished}});
  t.push_back(op.list());
  t.push_back(op.configuration());
  drop_times(t);
  return normalised(t, {id, gpu_id});
}

class ConformanceTest : public ServerTest {};

TEST_F(ConformanceTest, TheServerAnswersAsTheEmbeddedBackend) {
  testing::TempDir other;
  LocalBackendOptions options;
  options.database = other.path() / "embedded.db";
  options.instance_id = "instance-a";
  LocalScaling embedded(options);
  const Json direct = play(embedded, embedded);

  auto remote_agent = agent(instance_a_);
  auto remote_operator = operator_client();
  const Json served = play(*remote_agent, *remote_operator);

  ASSERT_EQ(direct.size(), served.size());
  for (std::size_t i = 0; i < direct.size(); ++i) {
    EXPECT_EQ(served[i], direct[i]) << "step " << i;
  }
  // The log arrived byte for byte.
  const Json& log = served[served.size() - 3];
  EXPECT_EQ(log["content"], "ha\n\xce\xb2\x65ta \t tabs\n{\"json\": 1}\n");
}

class LimitsTest : public ServerTest {
 protected:
  LimitsTest() : ServerTest(ServerSettings{.log_limit_bytes = 16, .port_range = {31000, 31001}}) {}
};

TEST_F(LimitsTest, ALogBeyondTheLimitIsAcknowledgedAndNotStored) {
  auto admin = operator_client();
  const std::string id = admin->submit(action_record());
  auto agent_a = agent(instance_a_);
  ASSERT_EQ(agent_a->assign_jobs(false).data.size(), 1u);
  for (const char* piece : {"0123456789\n", "beyond the limit\n", "and more\n"}) {
    const auto result =
        agent_a->update_action_docker_logs(Json{{"action_record_id", id}, {"log_content", piece}});
    EXPECT_FALSE(result.has_error_set()) << piece;
  }
  EXPECT_EQ(admin->logs(id).content, "0123456789\n" + backend::log_limit_notice(16));
  const Json shown = admin->show(id);
  EXPECT_EQ(shown["logLimit"], 16);
  EXPECT_TRUE(shown["logLimitReachedAt"].is_string());
}

// A repeat stores nothing, so it brings the log no nearer to the limit;
// the bytes beyond the limit are acknowledged as before.
TEST_F(LimitsTest, RepeatedPlacedPiecesDoNotCountTowardsTheLimit) {
  auto admin = operator_client();
  const std::string id = admin->submit(action_record());
  auto agent_a = agent(instance_a_);
  ASSERT_EQ(agent_a->assign_jobs(false).data.size(), 1u);
  auto piece = [&](const std::string& content, std::int64_t start) {
    const auto result = agent_a->update_action_docker_logs(
        Json{{"action_record_id", id},
             {"log_content", content},
             {"log_stream", "s"},
             {"log_start_offset", start},
             {"log_end_offset", start + static_cast<std::int64_t>(content.size())}});
    EXPECT_FALSE(result.has_error_set()) << content;
  };
  for (int i = 0; i < 5; ++i) piece("0123456789\n", 0);
  EXPECT_EQ(admin->logs(id).content, "0123456789\n");
  EXPECT_FALSE(admin->show(id)["logLimitReachedAt"].is_string());
  piece("0123456789\nbeyond\n", 0);  // 7 new bytes: past the limit
  EXPECT_EQ(admin->logs(id).content, "0123456789\n" + backend::log_limit_notice(16));
  EXPECT_TRUE(admin->show(id)["logLimitReachedAt"].is_string());
}

TEST_F(LimitsTest, PortsComeFromTheRangeAndAreNotHandedTwiceWhileHeld) {
  auto admin = operator_client();
  const std::string id = admin->submit(action_record());
  auto agent_a = agent(instance_a_);
  ASSERT_EQ(agent_a->assign_jobs(false).data.size(), 1u);
  EXPECT_EQ(agent_a->get_open_port(), 31000);
  EXPECT_EQ(agent_a->get_open_port(), 31001);
  EXPECT_THROW(agent_a->get_open_port(), std::runtime_error);
  // Another instance is another host.
  EXPECT_EQ(agent(instance_b_)->get_open_port(), 31000);
  agent_a->record_exit(id, 0);
  EXPECT_EQ(agent_a->get_open_port(), 31000);
}

}  // namespace
}  // namespace tavoren::server_testing
