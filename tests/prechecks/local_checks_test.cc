// The start-up checks of the local host, on a host made of fakes.

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "prechecks_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"

namespace tavoren::testing {
namespace {

using log::Level;
using ::testing::ElementsAre;
using ::testing::ExitedWithCode;

using LocalChecksTest = PrechecksHarness;
using LocalChecksDeathTest = PrechecksHarness;

// ---------------------------------------------------------------------------
// The object

TEST_F(LocalChecksTest, ConstructorBuildsTheBackendClientFromSessionAndInstance) {
  auto prechecks = make();
  ASSERT_TRUE(factory_session_.has_value());
  EXPECT_EQ(factory_session_->access_key, "AKIAEXAMPLE");
  EXPECT_EQ(*factory_instance_id_, std::optional<std::string>("i-0123456789abcdef"));
  EXPECT_EQ(&prechecks->scaling(), scaling_);
  EXPECT_EQ(prechecks->session.secret_key, "secret-example");
  EXPECT_EQ(prechecks->instance_id, "i-0123456789abcdef");
  EXPECT_FALSE(prechecks->docker_username || prechecks->docker_password || prechecks->access_key ||
               prechecks->secret_key);
  EXPECT_TRUE(prechecks->shutdown_threshold.is_null());

  EXPECT_THROW(Prechecks({}, std::nullopt, Prechecks::ScalingFactory()), std::invalid_argument);
  EXPECT_THROW(Prechecks({}, std::nullopt, [](const auto&, const auto&) { return nullptr; }),
               std::invalid_argument);
}

// ---------------------------------------------------------------------------
// check_credentials, check_instance_id

TEST_F(LocalChecksDeathTest, CredentialsNeedBothKeys) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_credentials("AKIA", "secret"));
  EXPECT_TRUE(capture_.contains(Level::info, "Credentials check passed"));
  EXPECT_FALSE(prechecks->access_key.has_value());

  using Keys = std::pair<std::optional<std::string>, std::optional<std::string>>;
  for (const Keys& keys : {Keys{"AKIA", ""}, Keys{"", "secret"}, Keys{std::nullopt, "secret"},
                           Keys{"AKIA", std::nullopt}}) {
    EXPECT_EXIT(prechecks->check_credentials(keys.first, keys.second), ExitedWithCode(1),
                "Missing access key or secret key");
  }
}

TEST_F(LocalChecksDeathTest, InstanceIdFormatIsCheckedBeforeItIsStored) {
  auto prechecks = make();
  EXPECT_EXIT(prechecks->check_instance_id(std::nullopt), ExitedWithCode(1), "Missing instance ID");
  EXPECT_EXIT(prechecks->check_instance_id(""), ExitedWithCode(1), "Missing instance ID");
  EXPECT_EXIT(prechecks->check_instance_id("i-12345"), ExitedWithCode(1),
              "Invalid instance ID format");
  // Seven characters of two bytes each: characters count, not bytes.
  EXPECT_EXIT(prechecks->check_instance_id("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"),
              ExitedWithCode(1), "Invalid instance ID format");

  EXPECT_TRUE(prechecks->check_instance_id("i-123456"));
  EXPECT_EQ(prechecks->instance_id, "i-123456");
  EXPECT_TRUE(capture_.contains(Level::info, "Instance ID i-123456 validated"));
}

TEST_F(LocalChecksDeathTest, InstanceIdIsRejectedOnlyWhenTheIdentityProbeFails) {
  // A metadata service answering with text that is not UTF-8 fails the
  // identity probe.
  LoopbackServer metadata;
  metadata.server().Get(".*", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string("\xff\xfe", 2), "text/plain");
  });
  metadata.start();
  auto prechecks = make();
  ScopedEnv link_local("TAVOREN_METADATA_ADDRESS", metadata.host());
  EXPECT_EXIT(prechecks->check_instance_id("i-0123456789"), ExitedWithCode(1),
              "Invalid instance ID i-0123456789");
}

// ---------------------------------------------------------------------------
// setup_docker

TEST_F(LocalChecksTest, RegistryLoginPassesThePasswordOnStandardInput) {
  auto prechecks = make();
  scaling().set_default("get_docker_hub_credentials",
                        backend::Result::ok({{"username", "agent; touch pwned"},
                                             {"password", kPassword},
                                             {"registry", "registry.example.com:5000"}}));
  EXPECT_TRUE(prechecks->setup_docker());
  EXPECT_THAT(tools_.calls("docker"),
              ElementsAre("login --username 'agent; touch pwned' --password-stdin "
                          "registry.example.com:5000"));
  EXPECT_EQ(read_file(tools_.dir() / "login.stdin"), kPassword);
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_EQ(prechecks->docker_username, "agent; touch pwned");
  EXPECT_EQ(prechecks->docker_password, kPassword);
  EXPECT_TRUE(capture_.contains(Level::info, "Successfully logged into Docker"));
  for (const auto& line : capture_.lines()) {
    EXPECT_EQ(line.message.find(kPassword), std::string::npos) << line.message;
  }

  // Without a registry the engine's default one is used.
  scaling().set_default("get_docker_hub_credentials",
                        backend::Result::ok({{"username", "agent"}, {"password", kPassword}}));
  EXPECT_TRUE(prechecks->setup_docker());
  EXPECT_EQ(tools_.calls("docker").back(), "login --username agent --password-stdin");
}

TEST_F(LocalChecksTest, RegistryLoginFailuresReturnFalse) {
  auto prechecks = make();
  // Any error set, even an empty one, stops before the login.
  scaling().push("get_docker_hub_credentials", backend::Result::failure(""));
  EXPECT_FALSE(prechecks->setup_docker());
  EXPECT_TRUE(capture_.contains(Level::error, "Error getting docker credentials: "));
  EXPECT_TRUE(tools_.calls("docker").empty());

  install_docker({.login_status = 1});
  EXPECT_FALSE(prechecks->setup_docker());
  EXPECT_TRUE(capture_.contains(Level::error,
                                "Failed to login to Docker: docker login exited with status 1"));

  scaling().push("get_docker_hub_credentials", backend::Result::ok({{"username", "agent"}}));
  EXPECT_FALSE(prechecks->setup_docker());
  EXPECT_EQ(prechecks->docker_username, "agent");
  EXPECT_FALSE(prechecks->docker_password.has_value());
  EXPECT_TRUE(capture_.contains(
      Level::error,
      "Failed to login to Docker: the registry credentials lack a username or password"));

  scaling().push("get_docker_hub_credentials",
                 backend::Result::ok(
                     {{"username", "agent"}, {"password", kPassword}, {"registry", "-H evil"}}));
  EXPECT_FALSE(prechecks->setup_docker());
  EXPECT_TRUE(
      capture_.contains(Level::error, "Failed to login to Docker: Invalid registry name: -H evil"));
  EXPECT_EQ(tools_.calls("docker").size(), 1u);  // only the login that exited 1

  scaling().push("get_docker_hub_credentials", backend::Result::ok(nullptr));
  EXPECT_THROW(prechecks->setup_docker(), TypeError);
}

// ---------------------------------------------------------------------------
// create_docker_volume

TEST_F(LocalChecksTest, DockerVolumeIsCreatedWithoutAShell) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->create_docker_volume());
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("volume create workspace"));

  install_docker({.volume_status = 1});
  EXPECT_FALSE(prechecks->create_docker_volume());
  EXPECT_TRUE(capture_.contains(
      Level::error,
      "Failed to create docker volume: docker volume create exited with status 1: volume refused"));

  tools_.remove("docker");
  ScopedEnv only_fakes("PATH", tools_.dir().string());
  EXPECT_THROW(prechecks->create_docker_volume(), process::SpawnError);
}

// ---------------------------------------------------------------------------
// check_docker

TEST_F(LocalChecksDeathTest, DockerMustRunAndAnswerOnItsApi) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_docker());
  EXPECT_TRUE(capture_.contains(Level::info, "Docker check passed"));
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("info"));
  EXPECT_THAT(engine_.paths(), ElementsAre("/_ping"));

  install_docker({.info_status = 1});
  EXPECT_EXIT(prechecks->check_docker(), ExitedWithCode(1), "Docker not installed or not running");

  install_docker({});
  {
    ScopedEnv unreachable("DOCKER_HOST", "unix:///nonexistent/docker.sock");
    EXPECT_EXIT(prechecks->check_docker(), ExitedWithCode(1), "Docker API check failed: .+");
  }
  {
    ScopedEnv malformed("DOCKER_HOST", "ftp://engine");
    EXPECT_EXIT(prechecks->check_docker(), ExitedWithCode(1), "Docker API check failed: .+");
  }
}

// ---------------------------------------------------------------------------
// Host tools that never answer

TEST_F(LocalChecksDeathTest, HangingHostToolsFailTheirChecksAtTheirLimits) {
  const host_probe::ToolLimits previous = host_probe::tool_limits();
  host_probe::set_tool_limits(host_probe::ToolLimits::all(std::chrono::milliseconds(100)));
  auto prechecks = make();
  tools_.add_hanging("docker");
  tools_.add_hanging("nvidia-smi");

  EXPECT_FALSE(prechecks->setup_docker());
  EXPECT_TRUE(
      capture_.contains(Level::warning, "docker login did not finish within 100 ms; killed"));
  EXPECT_TRUE(capture_.contains(
      Level::error, "Failed to login to Docker: docker login did not finish within 100 ms"));
  EXPECT_FALSE(prechecks->create_docker_volume());
  EXPECT_TRUE(capture_.contains(
      Level::error,
      "Failed to create docker volume: docker volume create did not finish within 100 ms"));
  EXPECT_EXIT(prechecks->check_docker(), ExitedWithCode(1), "Docker not installed or not running");
  EXPECT_EXIT(prechecks->check_gpu(), ExitedWithCode(1), "No GPU detected on this machine");
  host_probe::set_tool_limits(previous);
}

// ---------------------------------------------------------------------------
// get_available_resources

TEST_F(LocalChecksDeathTest, AvailableResourcesMustBeInRange) {
  install_gpus({FakeGpu{.total_mib = 262144, .used_mib = 0, .utilisation = "100"}});
  auto prechecks = make();
  EXPECT_TRUE(prechecks->get_available_resources());  // 256 GB and 100% are within the limits
  EXPECT_TRUE(capture_.contains(Level::info, "Resource availability check passed"));

  install_gpus({FakeGpu{.total_mib = 262656}});
  EXPECT_EXIT(prechecks->get_available_resources(), ExitedWithCode(1),
              literally("GPU memory exceeds 256GB limit: 256.5GB"));

  install_gpus({FakeGpu{.total_mib = 8192, .utilisation = "150"}});
  EXPECT_EXIT(prechecks->get_available_resources(), ExitedWithCode(1),
              literally("GPU utilization exceeds 100%: 150.0%"));

  write_proc(1250, "cpu  100 0 100 700 100 0 0 0 0 0", "cpu  150 0 150 1000 100 0 0 0 0 0");
  EXPECT_EXIT(prechecks->get_available_resources(), ExitedWithCode(1),
              literally("Resource usage exceeds 100%: Memory 125.0%, CPU 75.0%"));

  // Idle time that goes backwards gives a negative CPU figure.
  write_proc(500, "cpu  100 0 100 700 100 0 0 0 0 0", "cpu  300 0 100 650 100 0 0 0 0 0");
  EXPECT_EXIT(prechecks->get_available_resources(), ExitedWithCode(1),
              literally("Resource usage cannot be negative: Memory 50.0%, CPU -33.33%, "
                        "GPU Memory 8.0GB"));
}

// ---------------------------------------------------------------------------
// check_resources

TEST_F(LocalChecksTest, ResourceReadingsAreComparedAsPercentages) {
  auto at_90 = make(readings(0.90, 0.90));
  EXPECT_TRUE(at_90->check_resources());
  EXPECT_EQ(capture_.count(Level::warning), 0u);
  EXPECT_TRUE(capture_.contains(Level::info, "Resource limits check passed"));

  auto above_90 = make(readings(0.905, 0.92));
  EXPECT_TRUE(above_90->check_resources());
  EXPECT_TRUE(capture_.contains(Level::warning, "High CPU usage: 90.5%"));
  EXPECT_TRUE(capture_.contains(Level::warning, "High memory usage: 92.0%"));

  // 0.91 x 100 is 91.00000000000001 in floating point; the reading is shown
  // rounded.
  capture_.clear();
  auto rounded = make(readings(0.91, 0.95));
  EXPECT_TRUE(rounded->check_resources());
  EXPECT_TRUE(capture_.contains(Level::warning, "High CPU usage: 91.0%"));
  EXPECT_TRUE(capture_.contains(Level::warning, "High memory usage: 95.0%"));
}

TEST_F(LocalChecksDeathTest, ResourceReadingsOutOfRangeAreFatal) {
  EXPECT_EXIT(make(readings(0.955, 0.5))->check_resources(), ExitedWithCode(1),
              "Insufficient available resources");
  EXPECT_EXIT(make(readings(0.5, 0.96))->check_resources(), ExitedWithCode(1),
              "Insufficient available resources");
  EXPECT_EXIT(make(readings(1.01, 0.5))->check_resources(), ExitedWithCode(1),
              literally("CPU usage exceeds 100%: 101.0%"));
  EXPECT_EXIT(make(readings(0.5, 1.005))->check_resources(), ExitedWithCode(1),
              literally("Memory usage exceeds 100%: 100.5%"));

  install_gpus({FakeGpu{.total_mib = 262656}});
  EXPECT_EXIT(make(readings(0.5, 0.5))->check_resources(), ExitedWithCode(1),
              "GPU memory exceeds 256GB limit");
}

TEST_F(LocalChecksDeathTest, MemoryReadingComesFromTheGpuOnGpuHosts) {
  // Only the CPU reading is replaced: the memory reading is the host
  // probe's, the least-loaded GPU's usage (80000 of 81920 MiB: 97.66%).
  install_gpus({FakeGpu{.total_mib = 81920, .used_mib = 80000}});
  PrecheckProbes probes;
  probes.get_cpu_memory_usage = [] { return 0.2; };
  EXPECT_EXIT(make(probes)->check_resources(), ExitedWithCode(1),
              "Insufficient available resources");
}

// ---------------------------------------------------------------------------
// check_gpu

TEST_F(LocalChecksTest, GpuCheckUsesTheCudaDriverWhenPresent) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_gpu());
  EXPECT_TRUE(capture_.contains(Level::info, "GPU check passed"));
  EXPECT_THAT(cuda_calls(), ElementsAre("load", "cuInit", "cuDeviceGetCount"));

  // Exactly 4 GB is enough.
  install_gpus({FakeGpu{.total_mib = 4096}, FakeGpu{.total_mib = 8192}});
  EXPECT_TRUE(prechecks->check_gpu());
  EXPECT_EQ(prechecks->gpu_memory_map(), (std::map<int, double>{{0, 4.0}, {1, 8.0}}));

  ScopedEnv missing("TAVOREN_CUDA_LIBRARY", "/nonexistent/libcuda.so.1");
  EXPECT_TRUE(prechecks->check_gpu());
  EXPECT_TRUE(capture_.contains(
      Level::warning,
      "CUDA driver library /nonexistent/libcuda.so.1 not installed - skipping CUDA check"));

  tools_.add("nvidia-smi", "n/a\n");
  EXPECT_THROW(prechecks->check_gpu(), ValueError);
}

TEST_F(LocalChecksDeathTest, GpuCheckFailures) {
  auto prechecks = make();
  {
    ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "init");
    EXPECT_EXIT(prechecks->check_gpu(), ExitedWithCode(1), "CUDA not available");
  }
  {
    ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "no_device");
    EXPECT_EXIT(prechecks->check_gpu(), ExitedWithCode(1), "CUDA not available");
  }
  install_gpus({FakeGpu{.total_mib = 81920}, FakeGpu{.total_mib = 3072}});
  EXPECT_EXIT(prechecks->check_gpu(), ExitedWithCode(1),
              literally("GPU has insufficient memory (min 4GB required)"));
  install_gpus({});
  EXPECT_EXIT(prechecks->check_gpu(), ExitedWithCode(1), "No GPU detected on this machine");
}

// ---------------------------------------------------------------------------
// test_gpu, check_get_gpu_indices

PrecheckProbes selecting(std::vector<int> gpus, std::vector<Json>* asked = nullptr) {
  PrecheckProbes probes = readings(0.5, 0.5);
  probes.get_gpu_with_sufficient_memory_for_action = [gpus, asked](const Json& details) {
    if (asked != nullptr) asked->push_back(details);
    return gpus;
  };
  return probes;
}

PrecheckProbes selecting_none() {
  PrecheckProbes probes = readings(0.5, 0.5);
  probes.get_gpu_with_sufficient_memory_for_action = [](const Json&) -> std::vector<int> {
    throw host_probe::NoSuitableGpuError("No single GPU with sufficient memory");
  };
  return probes;
}

TEST_F(LocalChecksTest, GpuComputationRunsOnTheDriverAndReleasesEverything) {
  std::vector<Json> asked;
  auto prechecks = make(selecting({0}, &asked));
  EXPECT_TRUE(prechecks->test_gpu());
  EXPECT_THAT(asked, ElementsAre(Json{{"memory_required", 4}}));
  EXPECT_THAT(
      cuda_calls(),
      ElementsAre("load", "cuInit", "cuDeviceGet", "cuCtxCreate_v2", "cuModuleLoadData",
                  "cuModuleGetFunction", "cuModuleGetFunction", "cuMemAlloc_v2", "cuMemAlloc_v2",
                  "cuLaunchKernel", "cuLaunchKernel", "cuCtxSynchronize", "cuMemcpyDtoH_v2",
                  "cuMemFree_v2", "cuMemFree_v2", "cuModuleUnload", "cuCtxDestroy_v2"));
}

TEST_F(LocalChecksTest, GpuComputationIsSkippedWithoutAGpu) {
  install_gpus({});
  auto prechecks = make(selecting_none());
  EXPECT_TRUE(prechecks->test_gpu());
  EXPECT_TRUE(cuda_calls().empty());  // not even loaded
}

TEST_F(LocalChecksDeathTest, GpuComputationFailures) {
  EXPECT_EXIT(make(selecting({}))->test_gpu(), ExitedWithCode(1), "No GPU with sufficient memory");
  EXPECT_EXIT(make(selecting_none())->test_gpu(), ExitedWithCode(1),
              "No GPU with sufficient memory");

  auto prechecks = make(selecting({0}));
  {
    ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "wrong_product");
    // The message without a reason: the product was computed, but wrong.
    EXPECT_EXIT(prechecks->test_gpu(), ExitedWithCode(1), "GPU computation test failed\n");
  }
  {
    ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "launch");
    EXPECT_EXIT(prechecks->test_gpu(), ExitedWithCode(1),
                literally("GPU computation test failed: cuLaunchKernel failed: "
                          "CUDA_ERROR_LAUNCH_FAILED (error 719)"));
  }
  {
    ScopedEnv missing("TAVOREN_CUDA_LIBRARY", "/nonexistent/libcuda.so.1");
    EXPECT_EXIT(prechecks->test_gpu(), ExitedWithCode(1),
                literally("GPU computation test failed: Cannot load the CUDA driver library "
                          "/nonexistent/libcuda.so.1"));
  }
}

TEST_F(LocalChecksTest, GpuIndicesFromTheHostProbe) {
  // The host probe picks the best fit among two GPUs.
  install_gpus({FakeGpu{.total_mib = 81920}, FakeGpu{.total_mib = 24576}});
  PrecheckProbes probes = readings(0.5, 0.5);
  EXPECT_TRUE(make(probes)->check_get_gpu_indices());
  EXPECT_TRUE(make(selecting({1, 0}))->check_get_gpu_indices());
}

TEST_F(LocalChecksDeathTest, GpuIndicesMustBeDistinctAndNotNegative) {
  EXPECT_EXIT(make(selecting({}))->check_get_gpu_indices(), ExitedWithCode(1),
              "Failed to get GPU indices");
  EXPECT_EXIT(make(selecting_none())->check_get_gpu_indices(), ExitedWithCode(1),
              "Failed to get GPU indices");
  EXPECT_EXIT(make(selecting({0, -1}))->check_get_gpu_indices(), ExitedWithCode(1),
              "Invalid GPU indices returned");
  EXPECT_EXIT(make(selecting({0, 0}))->check_get_gpu_indices(), ExitedWithCode(1),
              "Duplicate GPU indices returned");
  // A negative index is reported before a repeated one.
  EXPECT_EXIT(make(selecting({-1, -1}))->check_get_gpu_indices(), ExitedWithCode(1),
              "Invalid GPU indices returned");
}

// ---------------------------------------------------------------------------
// cleanup_docker_storage

const char kDataTable[] =
    "Filesystem      Size  Used Avail Use% Mounted on\n"
    "/dev/sda1       100G   40G   60G  40% /data\n";
const char kScratchTable[] =
    "Filesystem      Size  Used Avail Use% Mounted on\n"
    "/dev/sdb1       100G   10G   90G  10% /scratch\n";

TEST_F(LocalChecksTest, StorageCleanupComparesTheFileSystemBeforeAndAfter) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->cleanup_docker_storage());
  EXPECT_TRUE(capture_.contains(Level::warning, "Docker cleanup did not free any space"));
  // Enough space: nothing is pruned.
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("info"));

  // The second listing of all file systems names another one.
  const std::string marker = shell_quote((files_.path() / "listed").string());
  tools_.add_script("df", "if [ $# -eq 1 ] && [ -e " + marker + " ]; then printf '%s' " +
                              shell_quote(kScratchTable) + "; else touch " + marker +
                              "; printf '%s' " + shell_quote(kDataTable) + "; fi");
  capture_.clear();
  EXPECT_TRUE(prechecks->cleanup_docker_storage());
  EXPECT_EQ(capture_.count(Level::warning, "Docker cleanup did not free any space"), 0u);
}

TEST_F(LocalChecksTest, StorageCleanupPrunesWhenStorageIsLowAndFailsWithoutFileSystems) {
  install_df(
      "Filesystem      Size  Used Avail Use% Mounted on\n"
      "/dev/sda1       100G   95G    5G  95% /data\n");
  auto prechecks = make();
  EXPECT_TRUE(prechecks->cleanup_docker_storage());
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("info", "image prune -a -f"));

  install_df("", 1);
  EXPECT_FALSE(prechecks->cleanup_docker_storage());
  EXPECT_TRUE(capture_.contains(
      Level::error, "Docker storage cleanup failed: no file system was found before the clean-up"));
}

}  // namespace
}  // namespace tavoren::testing
