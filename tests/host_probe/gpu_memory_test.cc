#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu_memory_internal.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::host_probe {
namespace {

using log::Level;
using log::LogCapture;
using testing::FakeTools;
using testing::ScopedEnv;
using testing::TempDir;

constexpr const char* kFreeQuery = "--query-gpu=memory.free --format=csv";
constexpr const char* kInfoQuery =
    "--query-gpu=index,uuid,utilization.gpu,memory.total,memory.used,memory.free,"
    "driver_version,name,gpu_serial,display_active,display_mode,temperature.gpu "
    "--format=csv,noheader,nounits";

// What the fake nvidia-smi prints (and its exit status) for each query.
struct SmiAnswers {
  std::string free_listing;
  int free_status = 0;
  std::string usage;
  int usage_status = 0;
  std::string info;
  int info_status = 0;
  int presence_status = 0;
};

// "nvidia-smi --query-gpu=memory.free --format=csv" on a host with these
// free amounts (MiB).
std::string free_listing(const std::vector<int>& free_mib) {
  std::string text = "memory.free [MiB]\n";
  for (int mib : free_mib) text += std::to_string(mib) + " MiB\n";
  return text;
}

Json action_needing(const Json& gpu_memory) {
  return Json{{"_id", "65f0c1d2e3f4a5b6c7d8e9f0"},
              {"action", "model_train"},
              {"actionDetails",
               {{"gpuRequired", true}, {"expectedResources", {{"gpuMemory", gpu_memory}}}}}};
}

class GpuProbeTest : public ::testing::Test {
 protected:
  void fake_nvidia_smi(const SmiAnswers& a) {
    auto answer = [&](const std::string& name, const std::string& text, int status) {
      return "cat " + shell_quote(outputs_.write(name, text).string()) + "; exit " +
             std::to_string(status);
    };
    tools_.add_script("nvidia-smi",
                      "case \"$1\" in\n"
                      "  --query-gpu=memory.free) " +
                          answer("free", a.free_listing, a.free_status) +
                          " ;;\n"
                          "  --query-gpu=memory.used,memory.total) " +
                          answer("usage", a.usage, a.usage_status) +
                          " ;;\n"
                          "  --query-gpu=index,*) " +
                          answer("info", a.info, a.info_status) +
                          " ;;\n"
                          "  '') exit " +
                          std::to_string(a.presence_status) +
                          " ;;\n"
                          "esac\n"
                          "exit 64");
  }
  void fake_free_memory(const std::vector<int>& free_mib) {
    fake_nvidia_smi({.free_listing = free_listing(free_mib)});
  }
  std::size_t free_queries() const {
    std::size_t n = 0;
    for (const std::string& call : tools_.calls("nvidia-smi")) n += call == kFreeQuery;
    return n;
  }

  ScopedEnv gpus_{"GPUS", std::nullopt};
  FakeTools tools_;
  TempDir outputs_;
  LogCapture log_;
};

TEST_F(GpuProbeTest, HasGpuFollowsTheExitStatusSilently) {
  fake_nvidia_smi({.presence_status = 0});
  EXPECT_TRUE(has_gpu());
  EXPECT_EQ(tools_.calls("nvidia-smi"), std::vector<std::string>{""});

  fake_nvidia_smi({.presence_status = 9});
  EXPECT_FALSE(has_gpu());

  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  EXPECT_FALSE(has_gpu());
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST_F(GpuProbeTest, GpuInfoReturnsTheCsvLinesUnparsed) {
  const std::vector<std::string> lines = {
      "0, GPU-5f1c3d2e-8a4b-4c6d-9e0f-1a2b3c4d5e6f, 0, 81559, 4, 81050, 535.104.05, "
      "NVIDIA H100 80GB HBM3, 1652823051234, Disabled, Enabled, 31",
      "1, GPU-0b7e9a41-2c3d-4e5f-8a9b-c0d1e2f3a4b5, 97, 81559, 62011, 19043, 535.104.05, "
      "NVIDIA H100 80GB HBM3, 1652823054321, Disabled, Enabled, 58"};
  fake_nvidia_smi({.info = lines[0] + "\n" + lines[1] + "\n"});
  EXPECT_EQ(get_gpu_info(), lines);
  EXPECT_EQ(tools_.calls("nvidia-smi"), std::vector<std::string>{kInfoQuery});

  // The exit status is not examined.
  fake_nvidia_smi({.info = lines[0] + "\n", .info_status = 15});
  EXPECT_EQ(get_gpu_info(), std::vector<std::string>{lines[0]});
  EXPECT_EQ(log_.count(Level::error), 0u);

  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  EXPECT_TRUE(get_gpu_info().empty());
  EXPECT_EQ(log_.count(Level::error, "Error in get_gpu_info: "), 1u);
}

TEST_F(GpuProbeTest, GpuMemoryUsageIsThatOfTheLeastLoadedGpu) {
  fake_nvidia_smi({.usage = "56000, 80000\n24000, 80000\n"});
  EXPECT_DOUBLE_EQ(get_gpu_memory_usage(), 0.3);
  EXPECT_EQ(tools_.calls("nvidia-smi"),
            std::vector<std::string>{
                "--query-gpu=memory.used,memory.total --format=csv,nounits,noheader"});

  fake_nvidia_smi({.usage = "62011, 81559\n4, 81559\n40780, 81559\n81000, 81559\n"});
  EXPECT_DOUBLE_EQ(get_gpu_memory_usage(), 4.0 / 81559.0);

  // On a GPU host the general figure is the GPU's, after a presence check.
  fake_nvidia_smi({.usage = "56000, 80000\n24000, 80000\n"});
  const std::size_t before = tools_.calls("nvidia-smi").size();
  EXPECT_DOUBLE_EQ(get_mem_usage(), 0.3);
  EXPECT_EQ(tools_.calls("nvidia-smi").size(), before + 2);
}

TEST_F(GpuProbeTest, UnreadableGpuMemoryQueryCountsAsFreeMemory) {
  const std::vector<SmiAnswers> failures = {
      {.usage = "24000, 80000\n", .usage_status = 6},
      {.usage = "[N/A], 81559\n"},
      {.usage = "24000, 80000, 3\n"},
      {.usage = "24000\n"},
      {.usage = ""},
      {.usage = "0, 0\n"},
  };
  for (const SmiAnswers& answers : failures) {
    SCOPED_TRACE(answers.usage);
    log_.clear();
    fake_nvidia_smi(answers);
    EXPECT_EQ(get_gpu_memory_usage(), 0.0);
    EXPECT_EQ(log_.count(Level::error, "Error in get_gpu_memory_usage: "), 1u);
    EXPECT_EQ(get_mem_usage(), 0.0);
  }
}

TEST_F(GpuProbeTest, HostWithoutNvidiaSmiReportsMainMemory) {
  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  const double cpu = get_cpu_memory_usage();
  const double usage = get_mem_usage();
  EXPECT_GT(usage, 0.0);
  EXPECT_LE(usage, 1.0);
  EXPECT_NEAR(usage, cpu, 0.05);
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST(MemoryUsageTest, ReadsMeminfoAndRoundsThePercentage) {
  TempDir dir;
  const auto meminfo = dir.write("meminfo",
                                 "MemTotal:          10000 kB\n"
                                 "MemFree:            1200 kB\n"
                                 "MemAvailable:       3333 kB\n"
                                 "Buffers:             512 kB\n"
                                 "HugePages_Total:       0\n");
  // 66.67% in use, reported to one decimal place.
  EXPECT_DOUBLE_EQ(detail::memory_usage_from_meminfo(meminfo), 0.667);

  const auto fresh = dir.write("fresh", "MemTotal: 65830120 kB\nMemAvailable: 65830120 kB\n");
  EXPECT_EQ(detail::memory_usage_from_meminfo(fresh), 0.0);

  const auto old_kernel = dir.write("old", "MemTotal: 10000 kB\nMemFree: 3333 kB\n");
  EXPECT_THROW(detail::memory_usage_from_meminfo(old_kernel), std::runtime_error);
  EXPECT_THROW(detail::memory_usage_from_meminfo(dir.path() / "missing"), std::runtime_error);

  const double live = get_cpu_memory_usage();
  EXPECT_GT(live, 0.0);
  EXPECT_LE(live, 1.0);
}

// The reader of meminfo files that the memory probe and the start-up
// checks' resource tracker share.
TEST(MemoryInfoTest, ReadsTotalAndAvailableOrSaysWhatIsWrong) {
  TempDir dir;
  const auto meminfo = dir.write("meminfo",
                                 "MemTotal:       16000000 kB\n"
                                 "MemFree:         1000000 kB\n"
                                 "MemAvailable:    4000000 kB\n");
  EXPECT_EQ(read_meminfo(meminfo), (MemoryInfo{.total_kb = 16000000, .available_kb = 4000000}));

  const auto message = [](const std::filesystem::path& path) -> std::string {
    try {
      read_meminfo(path);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no exception";
  };
  const auto missing = dir.path() / "missing";
  EXPECT_EQ(message(missing), "Cannot read " + missing.string());
  const auto old_kernel = dir.write("old", "MemTotal: 10000 kB\nMemFree: 3333 kB\n");
  EXPECT_EQ(message(old_kernel), old_kernel.string() + " lacks MemTotal or MemAvailable");
  const auto empty = dir.write("empty", "MemTotal: 0 kB\nMemAvailable: 0 kB\n");
  EXPECT_EQ(message(empty), empty.string() + " reports no memory");
  const auto garbled = dir.write("garbled", "MemTotal: lots kB\nMemAvailable: 1 kB\n");
  EXPECT_THROW(read_meminfo(garbled), ValueError);

  const MemoryInfo live = read_meminfo();
  EXPECT_GT(live.total_kb, 0);
  EXPECT_LE(live.available_kb, live.total_kb);
}

TEST_F(GpuProbeTest, RequiredGpuMemoryIsTakenAsStored) {
  EXPECT_EQ(get_required_gpu_memory(action_needing(20000)).dump(), "20000");
  EXPECT_EQ(get_required_gpu_memory(action_needing(15000.5)).dump(), "15000.5");

  // A missing key at any level requires nothing, silently.
  EXPECT_EQ(get_required_gpu_memory(Json::object()), 0);
  EXPECT_EQ(get_required_gpu_memory(Json{{"actionDetails", Json::object()}}), 0);
  EXPECT_EQ(
      get_required_gpu_memory(Json{{"actionDetails", {{"expectedResources", Json::object()}}}}), 0);
  EXPECT_EQ(log_.count(Level::error), 0u);

  // A text holding one number is read as that number.
  EXPECT_EQ(get_required_gpu_memory(action_needing("20000")).dump(), "20000");
  EXPECT_EQ(get_required_gpu_memory(action_needing(" 15000.5\n")).dump(), "15000.5");
  EXPECT_EQ(log_.count(Level::error), 0u);

  // A level that is not a map, or a requirement that is neither a number
  // nor such a text, is a failure that also requires nothing.
  for (const Json& malformed : {Json{{"actionDetails", "gpu"}}, Json::array(), Json(),
                                action_needing("lots"), action_needing("20000 MiB"),
                                action_needing(""), action_needing("nan"), action_needing(true)}) {
    SCOPED_TRACE(malformed.dump());
    log_.clear();
    EXPECT_EQ(get_required_gpu_memory(malformed), 0);
    EXPECT_EQ(log_.count(Level::error, "Error in get_required_gpu_memory: "), 1u);
  }
}

TEST_F(GpuProbeTest, GpusVariableListsTheAllowedPositions) {
  EXPECT_TRUE(is_allowed_gpu_device(3));
  {
    ScopedEnv empty("GPUS", "");
    EXPECT_TRUE(is_allowed_gpu_device(3));
  }
  {
    ScopedEnv listed("GPUS", " 0, ,2 ,");
    EXPECT_TRUE(is_allowed_gpu_device(0));
    EXPECT_FALSE(is_allowed_gpu_device(1));
    EXPECT_TRUE(is_allowed_gpu_device(2));
    EXPECT_FALSE(is_allowed_gpu_device(3));
    EXPECT_TRUE(is_allowed_gpu_device(" 2 "));
    EXPECT_FALSE(is_allowed_gpu_device("1"));
    EXPECT_EQ(log_.count(Level::error), 0u);
    // A position that is not a number cannot be refused.
    EXPECT_TRUE(is_allowed_gpu_device("first"));
    EXPECT_EQ(log_.count(Level::error, "Error in is_allowed_gpu_device: "), 1u);
  }
  {
    // A malformed list allows every GPU.
    ScopedEnv malformed("GPUS", "0,gpu1");
    log_.clear();
    EXPECT_TRUE(is_allowed_gpu_device(1));
    EXPECT_TRUE(is_allowed_gpu_device(7));
    EXPECT_EQ(log_.count(Level::error, "Error in is_allowed_gpu_device: "), 2u);
  }
}

TEST_F(GpuProbeTest, BestFitTakesTheTightestAllowedGpu) {
  fake_free_memory({10000, 30000, 20000});
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(15000)),
            std::vector<int>{2});
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(20000)),
            std::vector<int>{2});
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(20001)),
            std::vector<int>{1});
  // Without a requirement any GPU fits, so the fullest one is taken.
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(Json::object()), std::vector<int>{0});

  fake_free_memory({81050, 30000, 30000, 30000});
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(20000)),
            std::vector<int>{1});
  {
    ScopedEnv gpus("GPUS", "0,3");
    EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(20000)),
              std::vector<int>{3});
  }
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST_F(GpuProbeTest, BestFitFailuresAreLoggedAndPassedOn) {
  fake_free_memory({10000, 30000, 20000});
  try {
    get_single_gpu_with_sufficient_memory_for_action(action_needing(30001));
    ADD_FAILURE() << "expected NoSuitableGpuError";
  } catch (const NoSuitableGpuError& e) {
    EXPECT_STREQ(e.what(), "No single GPU with sufficient memory (30001MB) available");
  }
  EXPECT_TRUE(log_.contains(Level::error,
                            "Error in get_single_gpu_with_sufficient_memory_for_action: No single "
                            "GPU with sufficient memory (30001MB) available"));

  // A header without GPU lines leaves nothing to choose from.
  fake_nvidia_smi({.free_listing = "memory.free [MiB]\n"});
  EXPECT_THROW(get_single_gpu_with_sufficient_memory_for_action(Json::object()),
               NoSuitableGpuError);
}

// A requirement given as a numeric text selects as its number; any other
// requirement fails both selections before nvidia-smi is asked, instead of
// taking the fullest GPU as if nothing were needed.
TEST_F(GpuProbeTest, SelectionsReadNumericTextAndRefuseOtherRequirements) {
  fake_free_memory({10000, 30000, 20000});
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing("20001")),
            std::vector<int>{1});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing("45000")),
            (std::vector<int>{0, 1, 2}));
  const std::size_t queries = free_queries();

  for (const Json& unusable : {Json("lots"), Json(""), Json("20000MB"), Json(true),
                               Json::array({20000}), Json::object()}) {
    SCOPED_TRACE(unusable.dump());
    log_.clear();
    try {
      get_single_gpu_with_sufficient_memory_for_action(action_needing(unusable));
      ADD_FAILURE() << "the best fit accepted the requirement";
    } catch (const NoSuitableGpuError& e) {
      EXPECT_EQ(std::string(e.what()),
                "The required GPU memory is not a number: " + unusable.dump());
    }
    EXPECT_THROW(get_gpu_with_sufficient_memory_for_action(action_needing(unusable)),
                 NoSuitableGpuError);
    EXPECT_EQ(log_.count(Level::error, "The required GPU memory is not a number: "), 2u);
  }
  EXPECT_EQ(free_queries(), queries);

  // A null requirement still asks for nothing: the fullest GPU is taken.
  EXPECT_EQ(get_single_gpu_with_sufficient_memory_for_action(action_needing(nullptr)),
            std::vector<int>{0});
}

TEST_F(GpuProbeTest, SelectionPrefersOneGpuThenCombinesInPositionOrder) {
  // Two half-sized GPUs together.
  fake_free_memory({30000, 30000});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(50000)),
            (std::vector<int>{0, 1}));
  EXPECT_TRUE(log_.contains(Level::error,
                            "Error in get_single_gpu_with_sufficient_memory_for_action: No single "
                            "GPU with sufficient memory (50000MB) available"));
  EXPECT_EQ(log_.count(Level::error, "Error in get_gpu_with_sufficient_memory_for_action"), 0u);
  EXPECT_EQ(free_queries(), 2u);

  // A single GPU that fits wins over combining.
  fake_free_memory({10000, 30000, 20000});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(15000)), std::vector<int>{2});

  // Large requirements are combined first fit, by position, not by size.
  fake_free_memory({40000, 80000, 80000});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(100000)),
            (std::vector<int>{0, 1}));
}

TEST_F(GpuProbeTest, RequirementsFrom80000MiBSkipTheBestFit) {
  // The best fit would choose position 1; combining takes position 0.
  fake_free_memory({90000, 80000});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(80000)), std::vector<int>{0});
  EXPECT_EQ(free_queries(), 1u);

  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(79999)), std::vector<int>{1});
  EXPECT_EQ(free_queries(), 3u);
}

TEST_F(GpuProbeTest, SelectionHonoursTheAllowedList) {
  ScopedEnv gpus("GPUS", "1");
  fake_free_memory({81050, 20000, 81050, 81050});
  EXPECT_EQ(get_gpu_with_sufficient_memory_for_action(action_needing(15000)), std::vector<int>{1});
  try {
    get_gpu_with_sufficient_memory_for_action(action_needing(25000));
    ADD_FAILURE() << "expected NoSuitableGpuError";
  } catch (const NoSuitableGpuError& e) {
    EXPECT_STREQ(e.what(), "Insufficient GPU memory available. Required: 25000, Available: 20000");
  }
  EXPECT_TRUE(log_.contains(Level::error,
                            "Error in get_gpu_with_sufficient_memory_for_action: Insufficient GPU "
                            "memory available. Required: 25000, Available: 20000"));
}

TEST_F(GpuProbeTest, SelectionWithoutGpuLines) {
  // Nothing required and no GPU listed: an empty selection.
  fake_nvidia_smi({.free_listing = "memory.free [MiB]\n"});
  EXPECT_TRUE(get_gpu_with_sufficient_memory_for_action(Json::object()).empty());

  // No output at all is no GPU information.
  fake_nvidia_smi({.free_listing = ""});
  for (const auto& select : {get_single_gpu_with_sufficient_memory_for_action,
                             get_gpu_with_sufficient_memory_for_action}) {
    try {
      select(action_needing(1000));
      ADD_FAILURE() << "expected NoSuitableGpuError";
    } catch (const NoSuitableGpuError& e) {
      EXPECT_STREQ(e.what(), "No GPU information available from nvidia-smi");
    }
  }
}

TEST_F(GpuProbeTest, FailedNvidiaSmiQueryIsNotMistakenForMissingMemory) {
  fake_nvidia_smi({.free_listing = free_listing({30000}), .free_status = 9});
  EXPECT_THROW(get_gpu_with_sufficient_memory_for_action(action_needing(1000)), process::ExitError);
  EXPECT_EQ(log_.count(Level::error, "Error in get_gpu_with_sufficient_memory_for_action: "), 1u);

  // The best fit's own query fails after the first one succeeded: that
  // failure is passed on, not answered by combining GPUs.
  const auto listing = outputs_.write("listing", free_listing({30000, 30000}));
  const auto marker = outputs_.path() / "queried";
  tools_.add_script("nvidia-smi", "if [ -e " + shell_quote(marker.string()) +
                                      " ]; then exit 3; fi\n"
                                      "touch " +
                                      shell_quote(marker.string()) +
                                      "\n"
                                      "cat " +
                                      shell_quote(listing.string()));
  EXPECT_THROW(get_gpu_with_sufficient_memory_for_action(action_needing(20000)),
               process::ExitError);

  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  EXPECT_THROW(get_gpu_with_sufficient_memory_for_action(action_needing(1000)),
               process::SpawnError);
  EXPECT_THROW(get_single_gpu_with_sufficient_memory_for_action(action_needing(1000)),
               process::SpawnError);
}

}  // namespace
}  // namespace tavoren::host_probe
