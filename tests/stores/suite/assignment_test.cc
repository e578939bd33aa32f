// Handing out queued actions: each exactly once, to one agent, whatever
// the number of agents, threads and processes asking at the same time.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "local_backend_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"

namespace tavoren::local_backend_testing {
namespace {

class AssignmentTest : public BackendTest {};

TEST_F(AssignmentTest, ConcurrentAgentsOnOneFileReceiveEveryActionExactlyOnce) {
  constexpr int kActions = 120;
  StoreUnderTest operator_backend(options());
  std::set<std::string> submitted;
  for (int i = 0; i < kActions; ++i) submitted.insert(operator_backend.submit(action_record()));

  // Each agent may hold the whole queue: the race is the point here.
  LocalBackendOptions a = options("instance-a");
  a.assign_batch = 3;
  a.fleet.default_max_actions = kActions;
  LocalBackendOptions b = options("instance-b");
  b.assign_batch = 2;
  b.fleet.default_max_actions = kActions;
  StoreUnderTest agent_a(std::move(a));
  StoreUnderTest agent_b(std::move(b));

  std::mutex mutex;
  std::map<std::string, std::vector<std::string>> receivers;  // id -> instances
  std::vector<std::string> failures;
  int answers = 0;
  auto drain = [&](StoreUnderTest& agent, const std::string& instance) {
    while (true) {
      backend::Result result;
      try {
        result = agent.assign_jobs(true);
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex);
        failures.push_back(e.what());
        return;
      }
      std::lock_guard lock(mutex);
      if (result.has_error_set()) {
        failures.push_back(*result.error);
        return;
      }
      if (!result.data.is_array()) {
        failures.push_back("not a list: " + result.data.dump());
        return;
      }
      // An empty answer means the queue is empty: nothing goes back into it.
      if (result.data.empty()) return;
      for (const Json& record : result.data) {
        receivers[record.at("_id").get<std::string>()].push_back(instance);
      }
      if (++answers > kActions) {
        failures.push_back("more answers than actions: the queue never empties");
        return;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back(drain, std::ref(agent_a), "instance-a");
    threads.emplace_back(drain, std::ref(agent_b), "instance-b");
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_TRUE(failures.empty()) << failures.front();
  ASSERT_EQ(receivers.size(), submitted.size());
  for (const auto& [id, instances] : receivers) {
    EXPECT_TRUE(submitted.count(id)) << id;
    ASSERT_EQ(instances.size(), 1u) << id << " handed out " << instances.size() << " times";
    const Json shown = operator_backend.show(id);
    EXPECT_EQ(shown["state"], "assigned");
    EXPECT_EQ(shown["assignedTo"], instances.front());
    EXPECT_EQ(shown["record"]["status"], "assigned");
  }
  EXPECT_EQ(rows("actions WHERE state = 'queued'"), 0);
}

TEST_F(AssignmentTest, ConcurrentProcessesOnOneFileReceiveEveryActionExactlyOnce) {
  SKIP_UNLESS_SQLITE("other processes open the file");
  constexpr int kActions = 80;
  std::set<std::string> submitted;
  {
    StoreUnderTest operator_backend(options());
    for (int i = 0; i < kActions; ++i) submitted.insert(operator_backend.submit(action_record()));
  }
  process::RunResult results[2];
  std::thread first([&] {
    results[0] =
        process::run_capture({LOCAL_BACKEND_ASSIGN_CLIENT, database().string(), "proc-a", "1"},
                             {.timeout = std::chrono::seconds(60), .capture_stderr = true});
  });
  results[1] =
      process::run_capture({LOCAL_BACKEND_ASSIGN_CLIENT, database().string(), "proc-b", "2"},
                           {.timeout = std::chrono::seconds(60), .capture_stderr = true});
  first.join();

  std::map<std::string, int> received;
  for (const process::RunResult& result : results) {
    ASSERT_TRUE(result.exit_status.success()) << result.err;
    for (const std::string& id : split_whitespace(result.out)) ++received[id];
  }
  ASSERT_EQ(received.size(), submitted.size());
  for (const auto& [id, count] : received) {
    EXPECT_TRUE(submitted.count(id)) << id;
    EXPECT_EQ(count, 1) << id;
  }
}

TEST_F(AssignmentTest, HandsOutOldestFirstInBatchesAndEmptyListWhenNothingIsQueued) {
  StoreUnderTest operator_backend(options());
  LocalBackendOptions o = options("instance-a");
  o.assign_batch = 2;
  StoreUnderTest agent(std::move(o));

  backend::Result empty = agent.assign_jobs(false);
  EXPECT_FALSE(empty.has_error_set());
  EXPECT_EQ(empty.data, Json::array());

  const std::string first = operator_backend.submit(action_record("model_train"));
  const std::string second = operator_backend.submit(action_record("data_prep"));
  const std::string third = operator_backend.submit(action_record("image_build"));

  backend::Result batch = agent.assign_jobs(false);
  ASSERT_FALSE(batch.has_error_set());
  ASSERT_EQ(batch.data.size(), 2u);
  EXPECT_EQ(batch.data[0]["_id"], first);
  EXPECT_EQ(batch.data[0]["action"], "model_train");
  EXPECT_EQ(batch.data[1]["_id"], second);
  // The whole record travels, keys in their order, "_id" first.
  std::vector<std::string> keys;
  for (const auto& [key, value] : batch.data[0].items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"_id", "action", "actionDetails", "jobParams",
                                            "_idUser", "status", "attempt"}));
  EXPECT_EQ(batch.data[0]["attempt"], 1);
  EXPECT_EQ(batch.data[0]["jobParams"], (Json{{"epochs", 3}}));

  backend::Result rest = agent.assign_jobs(false);
  ASSERT_EQ(rest.data.size(), 1u);
  EXPECT_EQ(rest.data[0]["_id"], third);
  EXPECT_EQ(agent.assign_jobs(false).data, Json::array());
}

// Entries written into the queue table by hand (or by a damaged tool) must
// neither stop the queue nor come back on every poll.
TEST_F(AssignmentTest, QueueEntriesThatAreNotRecordsAreSetAsideAndTheQueueGoesOn) {
  SKIP_UNLESS_SQLITE("writes into the file behind the store");
  StoreUnderTest operator_backend(options());
  const std::string before = operator_backend.submit(action_record("data_split"));
  {
    RawDatabase raw(database());
    raw.exec(
        "INSERT INTO actions (id, action_type, gpu_required, record, state, submitted_at) VALUES "
        "('aaaaaaaaaaaaaaaaaaaaaaaa', 'data_split', 0, '{\"action\": broken', 'queued', 'x'), "
        "('bbbbbbbbbbbbbbbbbbbbbbbb', 'data_split', 0, '[1, 2]', 'queued', 'x')");
  }
  const std::string after = operator_backend.submit(action_record("data_prep"));

  LocalBackendOptions o = options("instance-a");
  o.assign_batch = 2;
  StoreUnderTest agent(std::move(o));
  log::LogCapture capture;
  backend::Result first = agent.assign_jobs(false);
  ASSERT_FALSE(first.has_error_set());
  ASSERT_EQ(first.data.size(), 1u);  // the batch's other entry was set aside
  EXPECT_EQ(first.data[0]["_id"], before);
  backend::Result second = agent.assign_jobs(false);
  ASSERT_FALSE(second.has_error_set());
  ASSERT_EQ(second.data.size(), 1u);
  EXPECT_EQ(second.data[0]["_id"], after);
  EXPECT_EQ(agent.assign_jobs(false).data, Json::array());

  EXPECT_TRUE(capture.contains(log::Level::error,
                               "Queued action aaaaaaaaaaaaaaaaaaaaaaaa is not an action record "
                               "(its text is not JSON); it is set aside"));
  EXPECT_TRUE(capture.contains(log::Level::error,
                               "Queued action bbbbbbbbbbbbbbbbbbbbbbbb is not an action record "
                               "(it is JSON but not an object); it is set aside"));

  // The operator still sees the entry as it was stored, and why it is out.
  Json shown = operator_backend.show("aaaaaaaaaaaaaaaaaaaaaaaa");
  EXPECT_EQ(shown["state"], "rejected");
  EXPECT_EQ(shown["record"], "{\"action\": broken");
  ASSERT_EQ(shown["history"].size(), 1u);
  EXPECT_EQ(shown["history"][0]["operation"], "reject");
  EXPECT_EQ(shown["history"][0]["arguments"]["reason"], "its text is not JSON");
  EXPECT_TRUE(operator_backend.logs("aaaaaaaaaaaaaaaaaaaaaaaa").finished);
  Json listed = operator_backend.list();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[1]["state"], "rejected");
  EXPECT_EQ(listed[1]["status"], nullptr);
  EXPECT_EQ(listed[2]["state"], "rejected");
  EXPECT_EQ(listed[3]["state"], "assigned");
}

// A stored record nested deeper than the agent reads is set aside the same
// way, with the limit as the reason.
TEST_F(AssignmentTest, AQueuedRecordNestedTooDeeplyIsSetAside) {
  SKIP_UNLESS_SQLITE("writes into the file behind the store");
  StoreUnderTest operator_backend(options());
  {
    RawDatabase raw(database());
    raw.exec(
        "INSERT INTO actions (id, action_type, gpu_required, record, state, submitted_at) VALUES "
        "('cccccccccccccccccccccccc', 'data_split', 0, '{\"action\": \"data_split\", "
        "\"jobParams\": " +
        std::string(60000, '[') + std::string(60000, ']') + "}', 'queued', 'x')");
  }
  const std::string after = operator_backend.submit(action_record("data_prep"));

  LocalBackendOptions o = options("instance-a");
  o.assign_batch = 2;
  StoreUnderTest agent(std::move(o));
  log::LogCapture capture;
  const backend::Result assigned = agent.assign_jobs(false);
  ASSERT_FALSE(assigned.has_error_set());
  ASSERT_EQ(assigned.data.size(), 1u);
  EXPECT_EQ(assigned.data[0]["_id"], after);
  EXPECT_TRUE(capture.contains(log::Level::error,
                               "Queued action cccccccccccccccccccccccc is not an action record "
                               "(JSON nests deeper than 128 levels); it is set aside"));
  EXPECT_EQ(operator_backend.show("cccccccccccccccccccccccc")["state"], "rejected");
}

TEST_F(AssignmentTest, GpuActionsGoOnlyToAgentsWithAGpuAndScaledDownOnesToNobody) {
  StoreUnderTest operator_backend(options());
  StoreUnderTest cpu_agent(options("cpu-instance"));
  StoreUnderTest gpu_agent(options("gpu-instance"));

  const std::string gpu_action = operator_backend.submit(action_record("model_train", true));
  const std::string dropped = operator_backend.submit(action_record("data_add"));
  const std::string cpu_action = operator_backend.submit(action_record("data_add"));
  operator_backend.scale_down(dropped);

  backend::Result cpu = cpu_agent.assign_jobs(false);
  ASSERT_EQ(cpu.data.size(), 1u);
  EXPECT_EQ(cpu.data[0]["_id"], cpu_action);
  EXPECT_EQ(cpu_agent.assign_jobs(false).data, Json::array());

  backend::Result gpu = gpu_agent.assign_jobs(true);
  ASSERT_EQ(gpu.data.size(), 1u);
  EXPECT_EQ(gpu.data[0]["_id"], gpu_action);
  EXPECT_EQ(gpu_agent.assign_jobs(true).data, Json::array());
  EXPECT_EQ(operator_backend.show(dropped)["state"], "queued");
}

TEST_F(AssignmentTest, ABackendWithoutInstanceIdentifierIsRefusedAndTakesNothing) {
  SKIP_WHEN_SERVED("every instance key of a server names its instance");
  StoreUnderTest operator_backend(options());
  const std::string id = operator_backend.submit(action_record());
  backend::Result refused = operator_backend.assign_jobs(true);
  ASSERT_TRUE(refused.has_error());
  EXPECT_NE(refused.error->find("instance identifier"), std::string::npos);
  EXPECT_EQ(refused.kind, backend::refusal_kind::kFailed);
  EXPECT_EQ(operator_backend.show(id)["state"], "queued");
}

TEST_F(AssignmentTest, OptionsAreCheckedAndTheSessionIsAnsweredAsGiven) {
  SKIP_WHEN_SERVED("a client's session is the key pair the server made for it");
  LocalBackendOptions bad = options("i");
  bad.assign_batch = 0;
  EXPECT_THROW(StoreUnderTest{std::move(bad)}, ValueError);
  EXPECT_THROW(StoreUnderTest{LocalBackendOptions{}}, ValueError);

  LocalBackendOptions o = options("i");
  o.session = {.access_key = "AKIAEXAMPLE", .secret_key = "secret-example"};
  StoreUnderTest agent(std::move(o));
  EXPECT_EQ(agent.session().access_key, "AKIAEXAMPLE");
  EXPECT_EQ(agent.session().secret_key, "secret-example");
}

}  // namespace
}  // namespace tavoren::local_backend_testing
