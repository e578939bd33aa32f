// The agent service itself (run), with a fake container engine command
// first on PATH and the embedded backend on a temporary database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "agent_testing.h"
#include "fake_engine.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"
#include "tavoren/sqlite_store.h"
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
  // Waits until the agent's output holds `text`.
  bool logged(const std::string& text) const {
    return wait_until([&] { return output().find(text) != std::string::npos; });
  }

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

// On a spot machine the agent polls its cloud's notice; a notice mid-job
// stops the job at once, ships its log whole, records its end as preempted
// (queued again by its retry budget) and ends the agent.
TEST_F(AgentService, ACloudsNoticeEndsEveryJobAsPreemptedAndTheAgentExits) {
  std::atomic<bool> notice{false};
  testing::LoopbackServer metadata;
  metadata.server().Get("/computeMetadata/v1/instance/scheduling/preemptible",
                        [](const httplib::Request&, httplib::Response& response) {
                          response.set_content("TRUE", "text/plain");
                        });
  metadata.server().Get("/computeMetadata/v1/instance/preempted",
                        [&](const httplib::Request&, httplib::Response& response) {
                          response.set_content(notice ? "TRUE" : "FALSE", "text/plain");
                        });
  metadata.start();
  ScopedEnv gcp("SERVICE_PROVIDER", "GCP");
  ScopedEnv host("TAVOREN_GCP_METADATA_HOST", metadata.host());
  fake_docker("echo working before the notice; exec sleep 30");
  const std::string id = submit();
  process::Child agent = start();
  ASSERT_TRUE(wait_until([&] { return container_pid().has_value(); })) << output();
  const pid_t container = *container_pid();
  const std::filesystem::path log_file = dir_.path() / "logs" / ("resource_clone_" + id + ".txt");
  ASSERT_TRUE(wait_until([&] {
    return std::filesystem::exists(log_file) &&
           read_file(log_file).find("working before the notice") != std::string::npos;
  }));

  notice = true;
  const auto noticed = std::chrono::steady_clock::now();
  const std::optional<int> status = returncode_of(agent.wait_for(15s));
  ASSERT_TRUE(status.has_value()) << "still running after the notice:\n" << output();
  EXPECT_EQ(*status, 0) << output();
  EXPECT_LT(std::chrono::steady_clock::now() - noticed, 10s);
  EXPECT_TRUE(process_gone(container));
  EXPECT_THAT(output(), HasSubstr("GCP takes this machine back (preempt): stopping every job"));

  backend::LocalScaling scaling({.database = db()});
  EXPECT_EQ(scaling.logs(id).content, read_file(log_file));
  const Json shown = scaling.show(id);
  std::string cause;
  for (const Json& event : shown["history"]) {
    if (event["operation"] == "exit") cause = event["arguments"].value("cause", "");
  }
  EXPECT_EQ(cause, "preempted") << shown.dump();
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
  ASSERT_TRUE(logged("Received"));
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

// A stand-in service manager: a unix datagram socket that keeps every
// notification it receives, with the time it came.
class NotifySocket {
 public:
  struct Message {
    std::chrono::steady_clock::time_point at;
    std::string text;
  };

  explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    reader_ = std::thread([this] { read(); });
  }
  ~NotifySocket() {
    done_ = true;
    reader_.join();
    ::close(fd_);
  }

  std::vector<Message> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // How many messages held `text` as one of their lines, in [from, to).
  std::size_t count(const std::string& text, std::chrono::steady_clock::time_point from = {},
                    std::chrono::steady_clock::time_point to =
                        std::chrono::steady_clock::time_point::max()) const {
    std::size_t n = 0;
    for (const Message& message : messages()) {
      if (message.at < from || message.at >= to) continue;
      if (("\n" + message.text + "\n").find("\n" + text) != std::string::npos) ++n;
    }
    return n;
  }

 private:
  void read() {
    while (!done_) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) continue;
      std::lock_guard lock(mutex_);
      messages_.push_back(
          {std::chrono::steady_clock::now(), std::string(buffer, static_cast<std::size_t>(got))});
    }
  }

  std::filesystem::path path_;
  int fd_ = -1;
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::thread reader_;
};

TEST_F(AgentService, TellsTheServiceManagerItIsReadyAndAliveUntilTheLoopStalls) {
  fake_docker("exit 0");
  // nvidia-smi, which each cycle runs, hangs while the file "stall" exists.
  const std::filesystem::path stall = dir_.path() / "stall";
  const std::filesystem::path stalled = dir_.path() / "stalled";
  tools_.add_script("nvidia-smi", "if [ -e " + stall.string() + " ]; then touch " +
                                      stalled.string() + "; exec sleep 30; fi\nexit 1\n");
  NotifySocket manager(dir_.path() / "notify.sock");
  ScopedEnv socket("NOTIFY_SOCKET", (dir_.path() / "notify.sock").string());
  ScopedEnv watchdog("WATCHDOG_USEC", "400000");
  ScopedEnv limit("TAVOREN_HOST_TOOL_TIMEOUT", "4");
  process::Child agent = start({"--metrics-listen", ""});

  ASSERT_TRUE(wait_until([&] { return manager.count("READY=1") == 1; })) << output();
  ASSERT_TRUE(wait_until([&] { return manager.count("WATCHDOG=1") >= 5; })) << output();
  EXPECT_GE(manager.count("STATUS=0 actions running"), 1u);

  // The loop stalls: pings stop within the grace (200 ms here) after the
  // cycle's start, and come back once the tool is killed at its limit.
  std::ofstream(stall).put('\n');
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(stalled); }, 20s)) << output();
  const auto hung_at = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(manager.count("WATCHDOG=1", hung_at + 1s, hung_at + 3s), 0u);
  std::filesystem::remove(stall);
  EXPECT_TRUE(wait_until([&] { return manager.count("WATCHDOG=1", hung_at + 3s) > 0; }, 20s))
      << output();

  agent.send_signal(SIGTERM);
  std::optional<int> status = returncode_of(agent.wait_for(15s));
  ASSERT_TRUE(status.has_value()) << output();
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(manager.count("STOPPING=1"), 1u);
}

TEST_F(AgentService, RemovesTheFilesOfActionsEndedLongerAgoThanItKeepsThem) {
  fake_docker("exit 0");
  const std::filesystem::path logs = dir_.path() / "logs";
  std::filesystem::create_directories(logs);
  const std::filesystem::path old_log = logs / "model_train_0123456789abcdef01234567.txt";
  const std::filesystem::path recent_log = logs / "model_train_89abcdef0123456789abcdef.txt";
  std::ofstream(old_log) << "an old log\n";
  std::ofstream(recent_log) << "a recent log\n";
  const auto now = std::filesystem::file_time_type::clock::now();
  std::filesystem::last_write_time(old_log, now - std::chrono::hours(24 * 3));
  std::filesystem::last_write_time(recent_log, now - std::chrono::hours(12));
  process::Child agent = start({"--retain", "1d", "--metrics-listen", ""});

  // The line comes once the file is gone.
  const std::string removed =
      "Removed " + old_log.string() + " of action 0123456789abcdef01234567, ended 3 days ago";
  EXPECT_TRUE(logged(removed)) << output();
  EXPECT_FALSE(std::filesystem::exists(old_log));
  EXPECT_TRUE(std::filesystem::exists(recent_log));
  agent.send_signal(SIGTERM);
  EXPECT_EQ(returncode_of(agent.wait_for(15s)), 0) << output();
}

// The containers of ended actions, on a stand-in engine: "docker run"
// records its container's id where the agent asks (after --cidfile), then
// waits for the test to let it end.
class AgentContainers : public AgentService {
 protected:
  AgentContainers() {
    tools_.add_script("docker",
                      "if [ \"$1\" = run ]; then printf 'c-new\\n' > \"$3\"; while [ ! -e " +
                          (dir_.path() / "go").string() +
                          " ]; do sleep 0.02; done; echo ran; fi\nexit 0\n");
  }
  Json labels(const std::string& action) const {
    return {{std::string(engine::kInstanceLabel), "agent-7"},
            {std::string(engine::kActionIdLabel), action}};
  }
  // Lets the action's container end now.
  void end_container(const std::string& id) {
    ASSERT_TRUE(logged("action " + id + " started.")) << output();
    engine_api_.add({.id = "c-new", .labels = labels(id), .running = false});
    engine_api_.end("c-new", 0);
    std::ofstream(dir_.path() / "go").put('\n');
  }
  bool ended(const std::string& id) const {
    backend::LocalScaling scaling({.database = db()});
    return scaling.show(id)["state"] == "ended";
  }
  void stop(process::Child& agent) {
    agent.send_signal(SIGTERM);
    EXPECT_EQ(returncode_of(agent.wait_for(15s)), 0) << output();
  }

  testing::FakeEngine engine_api_;
  ScopedEnv engine_host_{"DOCKER_HOST", engine_api_.docker_host()};
};

TEST_F(AgentContainers, AnEndedContainerStaysItsTimeAndOneEndedLongAgoGoes) {
  const std::string id = submit();
  // Left by an earlier agent, its action's end recorded then.
  engine_api_.add({.id = "c-old",
                   .labels = labels("0123456789abcdef01234567"),
                   .running = false,
                   .finished_at = "2020-01-01T00:00:00Z"});
  process::Child agent =
      start({"--instance-id", "agent-7", "--keep-ended-containers", "1h", "--metrics-listen", ""});
  ASSERT_TRUE(wait_until([&] { return !engine_api_.has("c-old"); })) << output();
  end_container(id);
  ASSERT_TRUE(wait_until([&] { return ended(id); })) << output();
  std::this_thread::sleep_for(2500ms);  // more passes of the housekeeping
  EXPECT_TRUE(engine_api_.has("c-new")) << output();
  EXPECT_THAT(output(), Not(HasSubstr("Stopping container")));
  stop(agent);
}

TEST_F(AgentContainers, WithoutDelayAContainerGoesOnceItsActionsEndIsRecorded) {
  const std::string id = submit();
  process::Child agent =
      start({"--instance-id", "agent-7", "--keep-ended-containers", "0", "--metrics-listen", ""});
  end_container(id);
  ASSERT_TRUE(wait_until([&] { return !engine_api_.has("c-new"); })) << output();
  EXPECT_TRUE(ended(id));
  // The agent says so once the engine has answered the removal.
  const std::string removed = "Removed the ended container c-new of action " + id;
  EXPECT_TRUE(logged(removed)) << output();
  stop(agent);
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
                                             {"--metrics-listen", "localhost:9464"},
                                             {"--metrics-listen", "127.0.0.1:99999"},
                                             {"--retain", "7w"},
                                             {"--min-free", "100"},
                                             {"--min-free", "lots"},
                                             {"--keep-ended-containers", "-1"},
                                             {"--keep-ended-containers", "10 minutes"},
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
