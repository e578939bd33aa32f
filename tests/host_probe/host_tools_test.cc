// Host tools under their time limits: a tool that never ends is killed with
// its whole process group at the limit and fails as any failure of its
// operation does; parsed output comes from the C locale.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::host_probe {
namespace {

using namespace std::chrono_literals;
using log::Level;
using log::LogCapture;
using testing::FakeTools;
using testing::ScopedEnv;
using testing::TempDir;

// Sets the process-wide limits for one test and restores them afterwards.
class ScopedToolLimits {
 public:
  explicit ScopedToolLimits(const ToolLimits& limits) : previous_(tool_limits()) {
    set_tool_limits(limits);
  }
  ~ScopedToolLimits() { set_tool_limits(previous_); }

 private:
  ToolLimits previous_;
};

class HostToolsTest : public ::testing::Test {
 protected:
  ScopedEnv gpus_{"GPUS", std::nullopt};
  FakeTools tools_;
  LogCapture log_;
};

TEST_F(HostToolsTest, DefaultLimitsAndTheirSetterAcrossThreads) {
  const ToolLimits defaults;
  EXPECT_EQ(tool_limits(), defaults);
  EXPECT_EQ(defaults.nvidia_smi, 30s);
  EXPECT_EQ(defaults.df, 30s);
  EXPECT_EQ(defaults.docker_info, 30s);
  EXPECT_EQ(defaults.docker_ps, 30s);
  EXPECT_EQ(defaults.docker_volume, 30s);
  EXPECT_EQ(defaults.docker_login, 120s);
  EXPECT_EQ(defaults.docker_image_prune, 10min);
  {
    ScopedToolLimits quick(ToolLimits::all(250ms));
    std::optional<ToolLimits> seen;
    std::thread([&] { seen = tool_limits(); }).join();
    EXPECT_EQ(seen, ToolLimits::all(250ms));
  }
  EXPECT_EQ(tool_limits(), defaults);
  EXPECT_EQ(format_limit(30s), "30 s");
  EXPECT_EQ(format_limit(10min), "600 s");
  EXPECT_EQ(format_limit(250ms), "250 ms");
}

// A hanging tool is stopped at its limit, with everything it started.
TEST_F(HostToolsTest, AHangingToolIsKilledWithItsGroupAtTheLimit) {
  constexpr auto kLimit = 1s;
  ScopedToolLimits limits(ToolLimits::all(kLimit));
  struct Case {
    std::string tool;    // the program faked
    std::string logged;  // its name in the time-out line
    std::function<void()> call_and_check;
  };
  const std::vector<Case> cases = {
      {"nvidia-smi", "nvidia-smi", [] { EXPECT_EQ(get_gpu_memory_usage(), 0.0); }},
      {"df", "df", [] { EXPECT_EQ(get_disk_space_usage(), std::nullopt); }},
      {"docker", "docker info", [] { EXPECT_EQ(get_docker_disk_space_usage(), std::nullopt); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool);
    tools_.add_hanging(c.tool);
    log_.clear();
    const auto start = std::chrono::steady_clock::now();
    c.call_and_check();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, kLimit - 50ms);
    EXPECT_LT(elapsed, kLimit + 3s);
    EXPECT_TRUE(log_.contains(Level::warning, c.logged + " did not finish within 1 s; killed"));
    EXPECT_EQ(log_.count(Level::warning), 1u);

    const auto pids = tools_.hanging_pids(c.tool);
    ASSERT_TRUE(pids.has_value()) << "the fake never started";
    EXPECT_TRUE(testing::process_ended(pids->first));
    EXPECT_TRUE(testing::process_ended(pids->second)) << "the grandchild survived";
  }
}

// Every operation that runs a tool falls back as on any failure of it.
TEST_F(HostToolsTest, ATimeOutFailsEachOperationAsItsOtherFailuresDo) {
  ScopedToolLimits limits(ToolLimits::all(100ms));
  tools_.add_hanging("nvidia-smi");
  tools_.add_hanging("df");
  tools_.add_hanging("docker");
  const std::string smi_line = "nvidia-smi did not finish within 100 ms; killed";

  // has_gpu stays silent but for the time-out line.
  EXPECT_FALSE(has_gpu());
  EXPECT_EQ(log_.lines(), (std::vector<LogCapture::Line>{{Level::warning, smi_line}}));

  log_.clear();
  EXPECT_EQ(get_gpu_info(), std::vector<std::string>{});
  EXPECT_TRUE(log_.contains(Level::error,
                            "Error in get_gpu_info: nvidia-smi did not finish within 100 ms"));
  EXPECT_EQ(get_gpu_memory_usage(), 0.0);
  EXPECT_TRUE(log_.contains(
      Level::error, "Error in get_gpu_memory_usage: nvidia-smi did not finish within 100 ms"));
  EXPECT_THROW(get_gpu_with_sufficient_memory_for_action(Json::object()), ToolTimeoutError);
  try {
    get_single_gpu_with_sufficient_memory_for_action(Json::object());
    ADD_FAILURE() << "a hanging nvidia-smi selected a GPU";
  } catch (const ToolTimeoutError& e) {
    EXPECT_EQ(e.tool(), "nvidia-smi");
    EXPECT_EQ(e.limit(), 100ms);
  }
  EXPECT_EQ(gpu_total_memory_gb(), (std::map<int, double>{}));
  EXPECT_EQ(read_gpu_figures(), GpuFigures{});
  EXPECT_EQ(log_.count(Level::warning, smi_line), 6u);

  log_.clear();
  EXPECT_EQ(get_max_file_system(), std::nullopt);
  EXPECT_TRUE(log_.contains(Level::warning, "df did not finish within 100 ms; killed"));
  EXPECT_TRUE(log_.contains(Level::warning, "No disk usage information available"));

  log_.clear();
  EXPECT_FALSE(is_docker_running());
  EXPECT_FALSE(check_docker());
  EXPECT_EQ(log_.lines(), (std::vector<LogCapture::Line>{
                              {Level::warning, "docker ps did not finish within 100 ms; killed"},
                              {Level::warning, "docker info did not finish within 100 ms; killed"},
                          }));

  log_.clear();
  cleanup_docker_storage();
  EXPECT_TRUE(
      log_.contains(Level::error, "Failed to get Docker disk space usage, skipping cleanup"));
  prune_docker_images();
  EXPECT_TRUE(
      log_.contains(Level::warning, "docker image prune did not finish within 100 ms; killed"));
  EXPECT_TRUE(log_.contains(
      Level::error,
      "Error in prune_docker_images: docker image prune did not finish within 100 ms"));
  EXPECT_EQ(log_.count(Level::info, "Docker images pruned successfully."), 0u);

  EXPECT_THROW(create_docker_volume("workspace"), ToolTimeoutError);
  try {
    login_to_registry("robot", "registry-password", "registry.example.com");
    ADD_FAILURE() << "a hanging login passed";
  } catch (const ToolError& e) {
    EXPECT_STREQ(e.what(), "docker login did not finish within 100 ms");
  }
  EXPECT_TRUE(log_.contains(Level::warning, "docker login did not finish within 100 ms; killed"));
  // The stand-in may be killed before it records its call on a loaded
  // machine; what it did record never holds the password.
  for (const std::string& call : tools_.calls("docker")) {
    EXPECT_EQ(call.find("registry-password"), std::string::npos) << call;
    if (call.starts_with("login ")) {
      EXPECT_EQ(call, "login --username robot --password-stdin registry.example.com");
    }
  }
}

TEST_F(HostToolsTest, EachToolHasItsOwnLimit) {
  // Only nvidia-smi is short: a df taking 300 ms still answers.
  ToolLimits limits;
  limits.nvidia_smi = 100ms;
  ScopedToolLimits scoped(limits);
  tools_.add_script("df",
                    "sleep 0.3; printf 'Filesystem Size Used Avail Use%% Mounted on\\n"
                    "/dev/sdb1 100G 10G 90G 10%% /data\\n'");
  tools_.add_hanging("nvidia-smi");
  EXPECT_EQ(get_gpu_memory_usage(), 0.0);
  const std::optional<std::vector<DiskUsage>> usage = get_disk_space_usage();
  ASSERT_TRUE(usage.has_value());
  ASSERT_EQ(usage->size(), 1u);
  EXPECT_EQ(usage->front().mounted_on, "/data");
}

TEST_F(HostToolsTest, ParsedOutputComesFromTheCLocaleInTheAgentsEnvironment) {
  ScopedEnv locale("LC_ALL", "de_DE.UTF-8");
  ScopedEnv marker("TAVOREN_TEST_MARKER", "kept");
  TempDir seen;
  auto recording = [&](const std::string& tool, const std::string& output) {
    tools_.add_script(tool, "echo \"$LC_ALL $TAVOREN_TEST_MARKER\" >> " +
                                shell_quote((seen.path() / tool).string()) + "; printf '" + output +
                                "'");
  };
  recording("df", "Filesystem Size Used Avail Use%% Mounted on\\n/dev/sdb1 10G 1G 9G 10%% /d\\n");
  recording("nvidia-smi", "10, 20\\n");
  recording("docker", " Docker Root Dir: /var/lib/docker\\n");

  EXPECT_TRUE(get_disk_space_usage().has_value());
  EXPECT_EQ(get_gpu_memory_usage(), 0.5);
  EXPECT_EQ(read_gpu_figures().utilisation, 20.0);
  EXPECT_TRUE(get_docker_disk_space_usage().has_value());
  EXPECT_TRUE(check_docker());
  EXPECT_EQ(testing::read_file(seen.path() / "df"), "C kept\nC kept\n");
  EXPECT_EQ(testing::read_file(seen.path() / "nvidia-smi"), "C kept\nC kept\n");
  EXPECT_EQ(testing::read_file(seen.path() / "docker"), "C kept\nC kept\n");

  // A tool whose output is not read sees the agent's environment as it is.
  EXPECT_TRUE(has_gpu());
  EXPECT_EQ(testing::read_file(seen.path() / "nvidia-smi"), "C kept\nC kept\nde_DE.UTF-8 kept\n");
}

// The engine tool's chatter reaches the agent's log, never its own
// streams: each warning once, the login's answer at debug level, and no
// password anywhere.
TEST_F(HostToolsTest, WhatAToolPrintsUnreadGoesToTheLogEachWarningOnce) {
  tools_.add_script("docker",
                    "cat > /dev/null\n"
                    "echo 'WARNING: IPv4 forwarding is disabled in the fake engine' >&2\n"
                    "case \"$1\" in\n"
                    "  login) echo 'WARNING! Your password will be stored unencrypted' >&2\n"
                    "         echo 'Login Succeeded' ;;\n"
                    "  info) echo ' Docker Root Dir: /var/lib/docker' ;;\n"
                    "esac\n");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  login_to_registry("robot", "registry-password-77", "registry.example.com");
  login_to_registry("robot", "registry-password-77", "registry.example.com");
  is_docker_running();  // the same warning from another tool
  get_docker_disk_space_usage();
  get_docker_disk_space_usage();
  // Only the logger's lines, never the tool's own, reach the agent's streams.
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  for (const std::string& line : split(::testing::internal::GetCapturedStderr(), '\n')) {
    EXPECT_FALSE(line.starts_with("WARNING") || line.starts_with("Login")) << line;
  }

  EXPECT_EQ(log_.count(Level::warning, "IPv4 forwarding is disabled"), 3u)
      << "once for each of the tools docker login, docker ps and docker info";
  EXPECT_TRUE(log_.contains(
      Level::warning, "docker login: WARNING: IPv4 forwarding is disabled in the fake engine"));
  EXPECT_TRUE(log_.contains(
      Level::warning, "docker info: WARNING: IPv4 forwarding is disabled in the fake engine"));
  EXPECT_EQ(log_.count(Level::warning, "password will be stored unencrypted"), 1u);
  EXPECT_GE(log_.count(Level::debug, "IPv4 forwarding is disabled"), 2u) << "the repeats";
  EXPECT_EQ(log_.count(Level::debug, "docker login: Login Succeeded"), 2u);
  for (const auto& line : log_.lines()) {
    EXPECT_EQ(line.message.find("registry-password-77"), std::string::npos) << line.message;
  }
}

TEST_F(HostToolsTest, ThePresenceProbeOfTheGpuToolDropsItsTable) {
  tools_.add_script("nvidia-smi", "echo '| NVIDIA-SMI 535.00 | Driver Version: 535.00 |'");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(has_gpu());
  const std::string own_out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(own_out, "");
  EXPECT_EQ(log_.count(Level::debug, "NVIDIA-SMI"), 0u);
}

}  // namespace
}  // namespace tavoren::host_probe
