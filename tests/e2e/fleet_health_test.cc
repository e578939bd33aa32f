// Machine health across processes: a `tavoren-backend serve` and two
// `tavoren-agent run` programs, with stand-ins for what a machine's health
// comes from (a fake `nvidia-smi` and a kernel log file of each machine's
// own, and a loopback metadata service of each cloud). A job whose GPU is
// lost, and every job of a machine its cloud takes back, ends honestly and
// runs again on the other machine, long before the server would find the
// first one lost.
//
// A fake `docker` plays the containers: the first run of each action
// prints its lines and then holds until it is stopped; a later run prints
// them and exits 0.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent_testing.h"
#include "fleet_support.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/process.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using namespace fleet;
using std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kLines = 12;
// Far beyond every wait of these tests: an action that runs again did so
// because its machine said why it ended, not because the server lost it.
constexpr const char* kLostAfter = "300";

std::string expected_log(const std::string& id) {
  std::string text;
  for (int line = 1; line <= kLines; ++line) {
    text += "job " + id + " line " + std::to_string(line) + "\n";
  }
  return text;
}

// The fake `docker`: `run` prints the action's lines; at the action's first
// run (no mark yet in `marks`) it then holds until it is stopped.
std::string docker_script(const std::filesystem::path& marks) {
  return fake_docker_script(
      "  i=1\n"
      "  while [ $i -le " +
      std::to_string(kLines) +
      " ]; do echo \"job $id line $i\"; i=$((i + 1)); done\n"
      "  if [ ! -e " +
      marks.string() + "/$id ]; then touch " + marks.string() + "/$id; exec sleep 120; fi\n");
}

// What the tests share: the server, agents A and B, the operator's client.
class FleetHealth : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(marks_);
    tools_.add_script("docker", docker_script(marks_));
    server_.serve_options = {"--unresponsive-after", "2", "--lost-after", kLostAfter};
    a_.instance = "machine-a";
    a_.keys = server_.create_key({"--instance", a_.instance});
    b_.instance = "machine-b";
    b_.keys = server_.create_key({"--instance", b_.instance});
    const KeyPair operator_keys = server_.create_key({"--operator"});
    ASSERT_FALSE(HasFailure());
    server_.start();
    ASSERT_TRUE(configure_fleet(operator_keys, backend(), tls_.ca_file()));
    admin_.emplace(
        backend::RemoteOptions{.base_url = server_.url(),
                               .session = {operator_keys.access_key, operator_keys.secret_key},
                               .ca_file = tls_.ca_file()});
  }

  std::vector<std::string> backend() const { return {"--backend", server_.url()}; }

  void start(Agent& agent, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> options = {"--instance-id", agent.instance};
    options.insert(options.end(), extra.begin(), extra.end());
    agent.start(backend(), tls_.ca_file(), options);
  }

  // Waits until `id` is held by `agent` and every line its container wrote
  // (the first run then holds) reached the server.
  bool running_on(const std::string& id, const Agent& agent) {
    return wait_until(
        [&] {
          std::this_thread::sleep_for(200ms);
          return admin_->show(id).value("assignedTo", Json()) == Json(agent.instance) &&
                 shipped_log(*admin_, id) == expected_log(id);
        },
        30s);
  }

  bool ended(const std::string& id, std::chrono::seconds limit) {
    return wait_until(
        [&] {
          std::this_thread::sleep_for(200ms);
          return admin_->show(id).value("state", "") == "ended";
        },
        limit);
  }

  // The arguments of the action's end as `attempt`; empty when none.
  Json end_of_attempt(const std::string& id, int attempt) {
    const Json shown = admin_->show(id);
    for (const Json& event : shown.at("history")) {
      const Json arguments = event.value("arguments", Json());
      if (event.value("operation", "") == "exit" && arguments.is_object() &&
          arguments.value("attempt", 0) == attempt) {
        return arguments;
      }
    }
    return Json::object();
  }

  std::string attempt_log(const std::string& id, std::int64_t attempt) {
    std::string text;
    for (std::int64_t offset = 0;;) {
      const backend::RemoteLogChunk chunk = admin_->attempt_log(id, attempt, offset);
      text += chunk.content;
      if (chunk.content.empty()) return text;
      offset = chunk.next_offset;
    }
  }

  std::string said() {
    return "A:\n" + read_file(a_.output()) + "\nB:\n" + read_file(b_.output()) + "\nserver:\n" +
           read_file(server_.outputs().back());
  }

  // The first attempt ended on A with `cause`, its log whole; the second
  // ran on B to its end.
  void expect_run_again_on_b(const std::string& id, const std::string& cause) {
    const Json shown = admin_->show(id);
    EXPECT_EQ(shown["attempt"], 2) << shown.dump(2);
    EXPECT_EQ(shown["assignedTo"], b_.instance);
    EXPECT_EQ(shown["endCause"], "exited");
    EXPECT_EQ(shown["exitStatus"], 0);
    const Json first = end_of_attempt(id, 1);
    EXPECT_EQ(first.value("cause", ""), cause) << shown.dump(2);
    EXPECT_EQ(first.value("instance_id", ""), a_.instance);
    EXPECT_EQ(attempt_log(id, 1), expected_log(id));
    EXPECT_EQ(shipped_log(*admin_, id), expected_log(id));
  }

  TempDir dir_;
  TestTls tls_;
  FakeTools tools_;
  std::filesystem::path marks_ = dir_.path() / "marks";
  ScopedEnv encryption_{"TAVOREN_ENCRYPTION_KEY", kEncryptionKey};
  BackendServer server_{dir_, tls_, "sqlite:" + (dir_.path() / "backend.db").string(), free_port()};
  Agent a_;
  Agent b_;
  std::optional<backend::RemoteOperator> admin_;
};

// A loopback stand-in of one cloud's metadata service: a spot machine,
// whose notice is posted when `notice` turns true.
struct CloudCase {
  const char* provider;
  // Installs the service's answers.
  void (*install)(httplib::Server& server, const std::atomic<bool>& notice);
  // The environment that points the agent at the stand-in.
  const char* address_variable;
};

void install_aws(httplib::Server& server, const std::atomic<bool>& notice) {
  server.Put("/latest/api/token", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("imds-session-token", "text/plain");
  });
  server.Get("/latest/meta-data/instance-life-cycle",
             [](const httplib::Request& request, httplib::Response& response) {
               if (request.get_header_value("X-aws-ec2-metadata-token") != "imds-session-token") {
                 response.status = 401;
                 return;
               }
               response.set_content("spot", "text/plain");
             });
  server.Get("/latest/meta-data/spot/instance-action",
             [&notice](const httplib::Request&, httplib::Response& response) {
               if (!notice) {
                 response.status = 404;
                 return;
               }
               response.set_content(R"({"action": "terminate", "time": "2026-12-10T12:00:00Z"})",
                                    "application/json");
             });
  server.Get("/latest/meta-data/events/recommendations/rebalance",
             [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
}

void install_gcp(httplib::Server& server, const std::atomic<bool>& notice) {
  server.Get("/computeMetadata/v1/instance/scheduling/preemptible",
             [](const httplib::Request&, httplib::Response& response) {
               response.set_content("TRUE", "text/plain");
             });
  server.Get("/computeMetadata/v1/instance/preempted",
             [&notice](const httplib::Request&, httplib::Response& response) {
               response.set_content(notice ? "TRUE" : "FALSE", "text/plain");
             });
}

void install_azure(httplib::Server& server, const std::atomic<bool>& notice) {
  server.Get("/metadata/instance/compute/priority",
             [](const httplib::Request&, httplib::Response& response) {
               response.set_content("Spot", "text/plain");
             });
  server.Get("/metadata/scheduledevents", [&notice](const httplib::Request&,
                                                    httplib::Response& response) {
    Json events = Json::array();
    if (notice) {
      events.push_back(Json{{"EventId", "5E4B0F4D-preempt"},
                            {"EventType", "Preempt"},
                            {"ResourceType", "VirtualMachine"},
                            {"EventStatus", "Scheduled"},
                            {"NotBefore", "Thu, 10 Dec 2026 12:00:30 GMT"}});
    }
    response.set_content(Json{{"DocumentIncarnation", notice ? 2 : 1}, {"Events", events}}.dump(),
                         "application/json");
  });
}

class CloudNotice : public FleetHealth, public ::testing::WithParamInterface<CloudCase> {};

// A notice mid-job: the machine stops taking work and says so, its job is
// stopped within its grace, the log shipped to its last byte, the end
// recorded as preempted, and the action runs again on the other machine
// within 30 s of the notice.
TEST_P(CloudNotice, ANoticeMidJobEndsItAsPreemptedAndItRunsAgainElsewhereAtOnce) {
  const CloudCase& cloud = GetParam();
  std::atomic<bool> notice{false};
  LoopbackServer metadata;
  cloud.install(metadata.server(), notice);
  metadata.start();
  a_.environment = {std::string("SERVICE_PROVIDER=") + cloud.provider,
                    std::string(cloud.address_variable) + "=" + metadata.host()};

  const std::string id = admin_->submit(Json{
      {"action", "resource_clone"}, {"_idUser", kOwner}, {"actionDetails", {{"docker", kImage}}}});
  start(a_);
  ASSERT_TRUE(running_on(id, a_)) << said();
  EXPECT_THAT(read_file(a_.output()),
              HasSubstr("This is a spot machine of " + std::string(cloud.provider)));
  start(b_);

  notice = true;
  const auto noticed = steady_clock::now();
  // A stops its job (its grace is 2 s), ships the log and exits.
  const std::optional<int> status = returncode_of(a_.child->wait_for(15s));
  ASSERT_TRUE(status.has_value()) << "A still runs after the notice:\n" << said();
  EXPECT_EQ(*status, 0) << said();
  const auto stopped = steady_clock::now();
  EXPECT_LT(stopped - noticed, 10s);
  EXPECT_THAT(read_file(a_.output()), HasSubstr("takes this machine back"));
  EXPECT_EQ(admin_->machine(a_.instance).value("mode", ""), "preempting");

  ASSERT_TRUE(ended(id, 30s)) << said();
  EXPECT_LT(steady_clock::now() - noticed, 30s);
  std::printf("  %s: A stopped %.1f s after the notice; the action ended on B %.1f s after it\n",
              cloud.provider, in_seconds(stopped - noticed),
              in_seconds(steady_clock::now() - noticed));
  expect_run_again_on_b(id, "preempted");
}

INSTANTIATE_TEST_SUITE_P(
    EachCloud, CloudNotice,
    ::testing::Values(CloudCase{"AWS", install_aws, "TAVOREN_METADATA_ADDRESS"},
                      CloudCase{"GCP", install_gcp, "TAVOREN_GCP_METADATA_HOST"},
                      CloudCase{"AZURE", install_azure, "TAVOREN_METADATA_ADDRESS"}),
    [](const ::testing::TestParamInfo<CloudCase>& info) { return info.param.provider; });

// The application's own Xid leaves the GPU and its job alone; a GPU that
// is lost is quarantined within 10 s, its job ends as gpu_fault and runs
// again on the machine whose GPU is healthy, and the server's view of the
// first machine shows the GPU out of use.
TEST_F(FleetHealth, AJobOnALostGpuEndsAsGpuFaultAndRunsAgainOnAHealthyMachine) {
  tools_.add_script("nvidia-smi", fake_nvidia_smi_script());
  const std::filesystem::path state_a = dir_.path() / "gpu-a";
  const std::filesystem::path kernel_a = dir_.path() / "kmsg-a";
  std::ofstream(kernel_a) << "6,1,100,-;NVRM: loading NVIDIA UNIX x86_64 Kernel Module\n";
  a_.environment = {"FLEET_GPU_STATE=" + state_a.string()};
  b_.environment = {"FLEET_GPU_STATE=" + (dir_.path() / "gpu-b").string()};
  const std::filesystem::path work = dir_.path() / "work";
  std::filesystem::create_directories(work);

  const std::string id = admin_->submit(Json{{"action", "model_train"},
                                             {"_idUser", kOwner},
                                             {"actionDetails",
                                              {{"docker", kImage},
                                               {"gpuRequired", true},
                                               {"expectedResources", {{"gpuMemory", 40000}}},
                                               {"modelFamily", ""},
                                               {"modelKey", "resnet"}}},
                                             {"jobParams", {{"host_file_system", work.string()}}}});
  start(a_, {"--kernel-log", kernel_a.string()});
  ASSERT_TRUE(running_on(id, a_)) << said();
  start(b_, {"--kernel-log", (dir_.path() / "kmsg-b").string()});
  ASSERT_TRUE(wait_until(
      [&] {
        std::this_thread::sleep_for(200ms);
        return admin_->machine(b_.instance).value("gpuHealth", Json()) ==
               Json{{"total", 1}, {"healthy", 1}};
      },
      30s))
      << said();

  // The job's own fault: logged, and nothing more.
  std::ofstream(kernel_a, std::ios::app)
      << "4,2,150,-;NVRM: Xid (PCI:0000:10:00): 13, pid=4242, Graphics Exception\n";
  ASSERT_TRUE(wait_until(
      [&] { return read_file(a_.output()).find("reported Xid 13") != std::string::npos; }, 15s))
      << said();
  EXPECT_THAT(read_file(a_.output()), Not(HasSubstr("quarantined")));
  EXPECT_EQ(admin_->show(id).value("state", ""), "assigned");
  EXPECT_EQ(admin_->machine(a_.instance).value("gpuHealth", Json()),
            (Json{{"total", 1}, {"healthy", 1}}));

  // The GPU falls off the bus.
  std::ofstream(state_a) << "lost\n";
  std::ofstream(kernel_a, std::ios::app)
      << "3,3,200,-;NVRM: Xid (PCI:0000:10:00): 79, pid=4242, GPU has fallen off the bus.\n";
  const auto failed = steady_clock::now();
  ASSERT_TRUE(wait_until(
      [&] { return read_file(a_.output()).find("is quarantined") != std::string::npos; }, 15s))
      << said();
  const auto quarantined = steady_clock::now();
  EXPECT_LT(quarantined - failed, 10s);
  ASSERT_TRUE(ended(id, 60s)) << said();
  std::printf(
      "  the GPU was quarantined %.1f s after it was lost; the action ended on B %.1f s "
      "after\n",
      in_seconds(quarantined - failed), in_seconds(steady_clock::now() - failed));
  expect_run_again_on_b(id, "gpu_fault");
  // The server heard of the quarantine at once, not a minute later.
  EXPECT_EQ(admin_->machine(a_.instance).value("gpuHealth", Json()),
            (Json{{"total", 1}, {"healthy", 0}}));
  EXPECT_FALSE(a_.child->poll().has_value()) << "a lost GPU does not end the agent";
}

}  // namespace
}  // namespace tavoren::testing
