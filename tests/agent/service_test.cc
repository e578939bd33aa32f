// The agent service itself (run), with a fake container engine command
// first on PATH and the embedded backend on a temporary database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <sstream>

#include "agent_testing.h"
#include "tavoren/common/text.h"
#include "tavoren/local_backend.h"
#include "test_support.h"

namespace tavoren {
namespace {

using namespace std::chrono_literals;
using testing::AgentRun;
using testing::FakeTools;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::read_file;
using testing::returncode_of;
using testing::run_agent;
using testing::ScopedEnv;
using testing::TempDir;
using testing::wait_until;

class AgentService : public ::testing::Test {
 protected:
  AgentService()
      : provider_("SERVICE_PROVIDER", "local"),
        // No engine answers here: reaper passes fail and are logged.
        engine_("DOCKER_HOST", "unix://" + (dir_.path() / "no-engine.sock").string()),
        encryption_("TAVOREN_ENCRYPTION_KEY", std::nullopt) {
    backend::LocalScaling scaling({.database = db()});
    scaling.set_data_processing_image("dp:1");
    scaling.set_registry_credentials("robot", "registry-pass");
    scaling.set_key_pair("u1", "AKEXAMPLEACCESS", "example-secret-key");
  }

  std::string db() const { return (dir_.path() / "agent.db").string(); }

  // A fake "docker": "run" runs `container` (a /bin/sh script body) after
  // writing its process id to container.pid; every other call succeeds.
  void fake_docker(const std::string& container) {
    std::string pid_file = (dir_.path() / "container.pid").string();
    tools_.add_script("docker", "if [ \"$1\" = run ]; then echo $$ > " + pid_file + "; " +
                                    container + "; exit 0; fi\nexit 0\n");
  }

  std::optional<pid_t> container_pid() const {
    std::filesystem::path file = dir_.path() / "container.pid";
    if (!std::filesystem::exists(file)) return std::nullopt;
    std::string text = trim(read_file(file));
    if (text.empty()) return std::nullopt;
    return static_cast<pid_t>(parse_int(text));
  }

  std::string submit() {
    backend::LocalScaling scaling({.database = db()});
    return scaling.submit(Json{
        {"action", "resource_clone"}, {"_idUser", "u1"}, {"actionDetails", {{"docker", "job:1"}}}});
  }

  process::Child start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"run",
                                     "--backend",
                                     db(),
                                     "--skip-prechecks",
                                     "--work-dir",
                                     dir_.path().string(),
                                     "--poll-interval",
                                     "1",
                                     "--reaper-interval",
                                     "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::spawn_agent(args, output_path());
  }

  std::string output_path() const { return (dir_.path() / "agent.out").string(); }
  std::string output() const { return read_file(output_path()); }

  TempDir dir_;
  FakeTools tools_;
  ScopedEnv provider_;
  ScopedEnv engine_;
  ScopedEnv encryption_;
};

bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

TEST_F(AgentService, TakesASubmittedActionAndStopsItOnSigterm) {
  fake_docker("echo container says hello; exec sleep 30");
  std::string id = submit();
  process::Child agent = start({"--log-format", "json"});

  // The action is assigned, its container started and writing.
  ASSERT_TRUE(wait_until([&] { return container_pid().has_value(); }))
      << output() << returncode_of(agent.poll()).value_or(999);
  pid_t container = *container_pid();
  std::filesystem::path log_file = dir_.path() / "logs" / ("resource_clone_" + id + ".txt");
  ASSERT_TRUE(wait_until([&] {
    return std::filesystem::exists(log_file) &&
           read_file(log_file).find("container says hello") != std::string::npos;
  }));

  agent.send_signal(SIGTERM);
  std::optional<int> status = returncode_of(agent.wait_for(10s));
  ASSERT_TRUE(status.has_value()) << "still running after SIGTERM:\n" << output();
  EXPECT_EQ(*status, 0) << output();

  // The container was stopped and its log shipped whole.
  EXPECT_TRUE(wait_until([&] { return process_gone(container); }, 2s));
  backend::LocalScaling scaling({.database = db()});
  EXPECT_EQ(scaling.logs(id).content, read_file(log_file));
  Json shown = scaling.show(id);
  // Its end was recorded once the log was in: ended by the stop's SIGTERM.
  EXPECT_EQ(shown["state"], "ended");
  EXPECT_EQ(shown["exitStatus"], 128 + SIGTERM);
  EXPECT_EQ(shown["history"].back()["operation"], "exit");
  std::vector<std::string> operations;
  for (const Json& event : shown["history"]) operations.push_back(event["operation"]);
  EXPECT_THAT(operations, ::testing::Contains("update_action_status"));

  // One JSON object per line; the skipped checks said so at warning level.
  std::istringstream lines(output());
  std::string line;
  bool warned = false;
  int count = 0;
  while (std::getline(lines, line)) {
    Json entry = Json::parse(line, nullptr, false);
    ASSERT_TRUE(entry.is_object()) << line;
    ASSERT_TRUE(entry.contains("message") && entry.contains("level") && entry.contains("time"))
        << line;
    ++count;
    if (entry["level"] == "warning" &&
        entry["message"].get<std::string>().find("--skip-prechecks") != std::string::npos) {
      warned = true;
    }
  }
  EXPECT_GT(count, 3);
  EXPECT_TRUE(warned);
}

TEST_F(AgentService, DrainLetsRunningActionsEnd) {
  std::string marker = (dir_.path() / "finished").string();
  fake_docker("sleep 1; echo done > " + marker);
  submit();
  process::Child agent = start({"--drain", "--drain-timeout", "20"});
  ASSERT_TRUE(wait_until([&] { return container_pid().has_value(); })) << output();

  agent.send_signal(SIGTERM);
  std::optional<int> status = returncode_of(agent.wait_for(15s));
  ASSERT_TRUE(status.has_value()) << output();
  EXPECT_EQ(*status, 0) << output();
  // The container ran to its end rather than being stopped.
  EXPECT_TRUE(std::filesystem::exists(marker)) << output();
}

TEST_F(AgentService, DrainTimeoutStopsWhatIsStillRunning) {
  fake_docker("exec sleep 30");
  submit();
  process::Child agent = start({"--drain", "--drain-timeout", "0.5"});
  ASSERT_TRUE(wait_until([&] { return container_pid().has_value(); })) << output();
  pid_t container = *container_pid();

  agent.send_signal(SIGTERM);
  std::optional<int> status = returncode_of(agent.wait_for(10s));
  ASSERT_TRUE(status.has_value()) << output();
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(wait_until([&] { return process_gone(container); }, 2s));
  EXPECT_THAT(output(), HasSubstr("Drain timed out"));
}

TEST_F(AgentService, ASecondSignalExitsAtOnce) {
  // A container that ignores SIGTERM holds the orderly stop up.
  fake_docker("trap '' TERM; exec sleep 30");
  submit();
  process::Child agent = start();
  ASSERT_TRUE(wait_until([&] { return container_pid().has_value(); })) << output();
  pid_t container = *container_pid();

  agent.send_signal(SIGTERM);
  ASSERT_TRUE(wait_until([&] { return output().find("Received") != std::string::npos; }));
  EXPECT_FALSE(agent.wait_for(200ms).has_value()) << "the orderly stop should still be waiting";
  agent.send_signal(SIGINT);
  std::optional<int> status = returncode_of(agent.wait_for(2s));
  ASSERT_TRUE(status.has_value()) << output();
  EXPECT_EQ(*status, 130);
  ::kill(container, SIGKILL);
}

TEST_F(AgentService, SigtermStopsTheAgentWhileAHostToolHangs) {
  fake_docker("exit 0");
  tools_.add_hanging("nvidia-smi");
  ScopedEnv limit("TAVOREN_HOST_TOOL_TIMEOUT", "1");
  process::Child agent = start();
  ASSERT_TRUE(wait_until([&] { return tools_.hanging_pids("nvidia-smi").has_value(); }))
      << output();
  const std::pair<pid_t, pid_t> first = *tools_.hanging_pids("nvidia-smi");

  // The dispatcher is inside nvidia-smi's call when the signal comes.
  agent.send_signal(SIGTERM);
  std::optional<int> status = returncode_of(agent.wait_for(10s));
  ASSERT_TRUE(status.has_value()) << "still running after SIGTERM:\n" << output();
  EXPECT_EQ(*status, 0) << output();
  EXPECT_THAT(output(), HasSubstr("nvidia-smi did not finish within 1 s; killed"));
  EXPECT_TRUE(testing::process_ended(first.first));
  EXPECT_TRUE(testing::process_ended(first.second));
  const std::pair<pid_t, pid_t> last = *tools_.hanging_pids("nvidia-smi");
  EXPECT_TRUE(testing::process_ended(last.first));
  EXPECT_TRUE(testing::process_ended(last.second));
}

TEST_F(AgentService, BadRunOptionsAreUsageErrors) {
  std::filesystem::path fresh = dir_.path() / "fresh.db";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--log-level", "loud"},
                                             {"--log-format", "xml"},
                                             {"--reaper-interval", "0"},
                                             {"--drain-timeout", "soon"},
                                             {"--poll-interval", "-1"},
                                             {"--poll-interval", "0.5"},
                                             {"--stop-grace", "0"},
                                             {"--log-interval", "often"},
                                             {"--assign-batch", "0"},
                                             {"--assign-batch", "1001"},
                                             {"--assign-batch", "2x"},
                                             {"--assign-batch", "-3"},
                                             {"extra"}}) {
    std::vector<std::string> argv = {"run", "--backend", fresh.string(), "--skip-prechecks"};
    argv.insert(argv.end(), args.begin(), args.end());
    AgentRun run = run_agent(argv);
    EXPECT_EQ(run.exit_status, 2) << args[0];
    EXPECT_THAT(run.err, HasSubstr("usage:")) << args[0];
  }
  {
    ScopedEnv limit("TAVOREN_HOST_TOOL_TIMEOUT", "soon");
    AgentRun run = run_agent({"run", "--backend", fresh.string(), "--skip-prechecks"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_THAT(
        run.err,
        HasSubstr("TAVOREN_HOST_TOOL_TIMEOUT needs a positive number of seconds, not \"soon\""));
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

}  // namespace
}  // namespace tavoren
