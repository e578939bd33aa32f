// Resource readings from a /proc of files and a fake nvidia-smi, and their
// reports to the recording backend.

#include "tavoren/resources_tracker.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "prechecks_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"

namespace tavoren::testing {
namespace {

using std::chrono::milliseconds;

class ResourcesTrackerTest : public ::testing::Test {
 protected:
  // A tracker reading `before` from /proc/stat, then `after` once the
  // sampling interval has passed.
  ResourcesTracker tracker(const std::string& meminfo, const std::string& before,
                           const std::string& after) {
    files_.write("meminfo", meminfo);
    files_.write("stat", before);
    return ResourcesTracker({.meminfo_path = files_.path() / "meminfo",
                             .stat_path = files_.path() / "stat",
                             .cpu_sample_interval = milliseconds(250),
                             .sleep = [this, after](milliseconds interval) {
                               slept_.push_back(interval);
                               files_.write("stat", after);
                             }});
  }

  TempDir files_;
  FakeTools tools_;
  std::vector<milliseconds> slept_;
};

const char kMeminfo[] =
    "MemTotal:       16000000 kB\n"
    "MemFree:         1000000 kB\n"
    "MemAvailable:    4000000 kB\n"
    "Buffers:          100000 kB\n";
// user nice system idle iowait irq softirq steal guest guest_nice
const char kStatBefore[] = "cpu  1000 0 500 8000 500 0 0 0 0 0\ncpu0 1000 0 500 8000 500 0 0 0\n";
// +50 user, +50 system, +350 idle, +50 iowait, and 50 guest (already in user).
const char kStatAfter[] = "cpu  1050 0 550 8350 550 0 0 0 50 0\ncpu0 1050 0 550 8350 550 0 0 0\n";

TEST_F(ResourcesTrackerTest, FiguresFromProcAndNvidiaSmi) {
  tools_.add("nvidia-smi", "40960, 30\n8192, [N/A]\n");
  const AvailableResources figures =
      tracker(kMeminfo, kStatBefore, kStatAfter).get_available_resources();
  // Guest time is not counted twice: 400 of 500 ticks idle.
  EXPECT_EQ(figures,
            (AvailableResources{
                .memory = 25.0, .cpu = 80.0, .gpu_memory = 48.0, .gpu_utilisation = 15.0}));
  EXPECT_EQ(slept_, std::vector<milliseconds>{milliseconds(250)});
  EXPECT_EQ(tools_.calls("nvidia-smi"),
            std::vector<std::string>{
                "--query-gpu=memory.free,utilization.gpu --format=csv,noheader,nounits"});
}

TEST_F(ResourcesTrackerTest, UnreadableSourcesThrow) {
  tools_.add("nvidia-smi", "40960, 30\n");
  EXPECT_THROW(tracker("MemTotal: 100 kB\n", kStatBefore, kStatAfter).get_available_resources(),
               std::runtime_error);
  EXPECT_THROW(tracker(kMeminfo, "intr 1 2 3\n", "intr 1 2 3\n").get_available_resources(),
               std::runtime_error);
  // No time passed between the readings.
  EXPECT_THROW(tracker(kMeminfo, kStatBefore, kStatBefore).get_available_resources(),
               std::runtime_error);
  EXPECT_THROW(
      ResourcesTracker({.meminfo_path = files_.path() / "missing"}).get_available_resources(),
      std::runtime_error);

  tools_.add("nvidia-smi", "40960 MiB\n");
  EXPECT_THROW(tracker(kMeminfo, kStatBefore, kStatAfter).get_available_resources(), ValueError);
}

TEST_F(ResourcesTrackerTest, AHangingNvidiaSmiMeansNoGpuFigures) {
  const host_probe::ToolLimits previous = host_probe::tool_limits();
  host_probe::ToolLimits limits;
  limits.nvidia_smi = milliseconds(100);
  host_probe::set_tool_limits(limits);
  tools_.add_hanging("nvidia-smi");
  log::LogCapture capture;
  const AvailableResources figures =
      tracker(kMeminfo, kStatBefore, kStatAfter).get_available_resources();
  host_probe::set_tool_limits(previous);
  EXPECT_EQ(figures, (AvailableResources{
                         .memory = 25.0, .cpu = 80.0, .gpu_memory = 0.0, .gpu_utilisation = 0.0}));
  EXPECT_TRUE(
      capture.contains(log::Level::warning, "nvidia-smi did not finish within 100 ms; killed"));
}

TEST_F(ResourcesTrackerTest, MachineReportGoesToTheBackend) {
  tools_.add("nvidia-smi", "", 9);
  files_.write("meminfo", kMeminfo);
  files_.write("stat", kStatBefore);
  FakeScaling scaling;
  MachineResourcesTracker machine(
      scaling, {.meminfo_path = files_.path() / "meminfo",
                .stat_path = files_.path() / "stat",
                .sleep = [this](milliseconds) { files_.write("stat", kStatAfter); }});
  machine.update_available_resources();
  ASSERT_EQ(scaling.count("update_available_resources"), 1u);
  EXPECT_EQ(scaling.calls("update_available_resources")[0].arguments.dump(),
            R"({"available_memory":25.0,"available_cpu":80.0,"available_gpu_memory":0.0,)"
            R"("gpu_utilisation":0.0})");

  // An empty error is none; any other is a refusal.
  files_.write("stat", kStatBefore);
  scaling.push("update_available_resources", backend::Result{Json(), std::string(), ""});
  EXPECT_NO_THROW(machine.update_available_resources());
  files_.write("stat", kStatBefore);
  scaling.push("update_available_resources", backend::Result::failure("quota"));
  EXPECT_THROW(
      {
        try {
          machine.update_available_resources();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "The backend refused the machine's resources: quota");
          throw;
        }
      },
      std::runtime_error);
}

// With an inventory, the report carries it, and its GPUs' figures stand
// for a second reading of nvidia-smi.
TEST_F(ResourcesTrackerTest, AMachineReportWithAnInventoryTakesItsGpuFigures) {
  tools_.add("nvidia-smi", "40960, 30\n");
  files_.write("meminfo", kMeminfo);
  files_.write("stat", kStatBefore);
  FakeScaling scaling;
  const Json inventory = {
      {"gpus", Json::array({Json{{"memoryFreeMiB", 2048}, {"utilisation", 10}},
                            Json{{"memoryFreeMiB", 1024}, {"utilisation", 30}}})}};
  MachineResourcesTracker machine(
      scaling, {.meminfo_path = files_.path() / "meminfo",
                .stat_path = files_.path() / "stat",
                .sleep = [this](milliseconds) { files_.write("stat", kStatAfter); },
                .inventory = [&] { return inventory; }});
  machine.update_available_resources();
  ASSERT_EQ(scaling.count("update_available_resources"), 1u);
  const Json sent = scaling.calls("update_available_resources")[0].arguments;
  EXPECT_EQ(sent["available_gpu_memory"], 3.0);
  EXPECT_EQ(sent["gpu_utilisation"], 20.0);
  EXPECT_EQ(sent["inventory"], inventory);
  EXPECT_TRUE(tools_.calls("nvidia-smi").empty());
}

// The agent's own containers run a shell script that holds the identifier
// inside one long argument; their action label names the action.
TEST(ActionsResourcesTrackerTest, ReportsTheAgentsLabelledContainers) {
  const std::string kLabelled = "65f1c0ffee0123456789abcd";
  const std::string kArgument = "65f1c0ffee0123456789abce";
  FakeEngine engine;
  engine.add({.id = "c-script",
              .args = {"-c", "cd /usr/src/" + kLabelled + " && python3 main.py " + kLabelled},
              .labels = {{"tavoren.action-id", kLabelled}},
              .stats = engine_stats(20, 30)});
  // The label wins over an argument that looks like another action.
  engine.add({.id = "c-both",
              .args = {kArgument},
              .labels = {{"tavoren.action-id", kLabelled}},
              .stats = engine_stats(20, 30)});
  engine.add({.id = "c-other-label",
              .args = {"-c", "sleep 600"},
              .labels = {{"team", kLabelled}},
              .stats = engine_stats(20, 30)});
  ScopedEnv host("DOCKER_HOST", engine.docker_host());
  ScopedEnv provider("SERVICE_PROVIDER", "LOCAL");
  FakeScaling scaling;
  ActionsResourcesTracker(scaling).update_actions_resources();

  const auto calls = scaling.calls("update_action_status");
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.arguments["action_record_id"], kLabelled);
    EXPECT_EQ(call.arguments["cpuUtilisation"], 20.0);
    EXPECT_EQ(call.arguments["memoryUtilisation"], 30.0);
  }
  const std::vector<std::string> paths = engine.paths();
  EXPECT_EQ(std::count_if(paths.begin(), paths.end(),
                          [](const std::string& path) {
                            return path.find("c-other-label/stats") != std::string::npos;
                          }),
            0);
}

TEST(ActionsResourcesTrackerTest, EngineFailuresOtherThanAGoneContainerThrow) {
  FakeEngine engine;
  engine.add({.id = "c-broken", .args = {"65f1c0ffee0123456789abcd"}, .stats_status = 500});
  ScopedEnv host("DOCKER_HOST", engine.docker_host());
  FakeScaling scaling;
  ActionsResourcesTracker actions(scaling);
  EXPECT_THROW(actions.update_actions_resources(), engine::ApiError);
  EXPECT_EQ(scaling.count("update_action_status"), 0u);
}

TEST(ActionsResourcesTrackerTest, ReportsNeedTheServiceProvider) {
  FakeEngine engine;
  ScopedEnv host("DOCKER_HOST", engine.docker_host());
  ScopedEnv provider("SERVICE_PROVIDER", std::nullopt);
  FakeScaling scaling;
  ActionsResourcesTracker actions(scaling);
  // Without action containers nothing is reported, so nothing is needed.
  EXPECT_NO_THROW(actions.update_actions_resources());

  engine.add({.id = "c-1", .args = {"65f1c0ffee0123456789abcd"}, .stats = engine_stats(1, 1)});
  EXPECT_THROW(actions.update_actions_resources(), std::runtime_error);
  EXPECT_EQ(scaling.count("update_action_status"), 0u);
}

}  // namespace
}  // namespace tavoren::testing
