// The CUDA driver loaded at run time, against the stand-in driver library
// built with the tests.

#include "cuda_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "test_support.h"

namespace tavoren::prechecks {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class CudaDriverTest : public ::testing::Test {
 protected:
  std::vector<std::string> calls() const {
    std::vector<std::string> lines = split(testing::read_file(trace_path_), '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
  }
  std::size_t count(const std::string& call) const {
    const std::vector<std::string> all = calls();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), call));
  }

  TempDir files_;
  std::filesystem::path trace_path_ = files_.path() / "trace";
  ScopedEnv library_{"TAVOREN_CUDA_LIBRARY", TAVOREN_FAKE_CUDA_PATH};
  ScopedEnv trace_{"TAVOREN_FAKE_CUDA_TRACE", trace_path_.string()};
  ScopedEnv failure_{"TAVOREN_FAKE_CUDA_FAILURE", std::nullopt};
};

TEST_F(CudaDriverTest, MissingOrIncompleteLibrariesAreReported) {
  {
    ScopedEnv missing("TAVOREN_CUDA_LIBRARY", "/nonexistent/libcuda.so.1");
    EXPECT_THROW(
        {
          try {
            CudaDriver::load();
          } catch (const CudaLibraryMissing& e) {
            EXPECT_TRUE(starts_with(
                e.what(), "Cannot load the CUDA driver library /nonexistent/libcuda.so.1: "));
            throw;
          }
        },
        CudaLibraryMissing);
  }
  // A shared library that is no CUDA driver.
  ScopedEnv other("TAVOREN_CUDA_LIBRARY", "libm.so.6");
  EXPECT_THROW(
      {
        try {
          CudaDriver::load();
        } catch (const CudaLibraryMissing& e) {
          EXPECT_STREQ(e.what(), "The CUDA driver library libm.so.6 lacks cuInit");
          throw;
        }
      },
      CudaLibraryMissing);
}

TEST_F(CudaDriverTest, FailuresNameTheCallAndStillRelease) {
  auto driver = CudaDriver::load();
  // The fill value reaches the kernel: [[3, 3], [3, 3]] squared.
  EXPECT_EQ(driver->square_filled_matrix(3.0F), (std::array<float, 4>{18, 18, 18, 18}));
  {
    ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "launch");
    EXPECT_THROW(
        {
          try {
            driver->square_filled_matrix(1.0F);
          } catch (const CudaError& e) {
            EXPECT_STREQ(e.what(), "cuLaunchKernel failed: CUDA_ERROR_LAUNCH_FAILED (error 719)");
            throw;
          }
        },
        CudaError);
  }
  EXPECT_EQ(count("cuMemAlloc_v2"), 4u);
  EXPECT_EQ(count("cuMemFree_v2"), 4u);
  EXPECT_EQ(count("cuModuleUnload"), 2u);
  EXPECT_EQ(count("cuCtxDestroy_v2"), 2u);
  EXPECT_EQ(count("cuMemcpyDtoH_v2"), 1u);

  // Nothing to release when no context was made.
  ScopedEnv failure("TAVOREN_FAKE_CUDA_FAILURE", "context");
  EXPECT_THROW(driver->square_filled_matrix(1.0F), CudaError);
  EXPECT_EQ(count("cuCtxDestroy_v2"), 2u);
  EXPECT_EQ(count("cuModuleLoadData"), 2u);
}

// The kernels are PTX that the driver compiles for the GPU it finds; where
// NVIDIA's assembler is installed, check that it builds them for the GPU
// generations in use.
TEST(CudaKernelsTest, PtxAssemblesForCurrentGpus) {
  const std::filesystem::path ptxas = "/usr/local/cuda/bin/ptxas";
  if (!std::filesystem::exists(ptxas)) GTEST_SKIP() << "no PTX assembler on this host";
  TempDir files;
  const std::filesystem::path source = files.write("kernels.ptx", std::string(kernels_ptx()));
  for (const char* architecture : {"sm_75", "sm_80", "sm_90"}) {
    const process::RunResult result =
        process::run_capture({ptxas.string(), "-arch=" + std::string(architecture), source.string(),
                              "-o", (files.path() / "kernels.cubin").string()},
                             {.capture_stderr = true});
    EXPECT_EQ(result.exit_status.returncode(), 0) << architecture << ": " << result.err;
  }
}

}  // namespace
}  // namespace tavoren::prechecks
