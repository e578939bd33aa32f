// What the start-up check tests share: a host made of fakes (docker,
// nvidia-smi and df first on PATH, a /proc of files, a container engine on
// a loopback port, metadata services that refuse, the stand-in CUDA driver)
// and a Prechecks built on a recording backend.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_engine.h"
#include "fake_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/prechecks.h"
#include "test_support.h"

namespace tavoren::testing {

// One GPU as the fake nvidia-smi reports it (MiB and percent).
struct FakeGpu {
  long total_mib = 81920;
  long used_mib = 0;
  std::string utilisation = "0";
};

// "127.0.0.1:<port>" of a port that refuses connections (bound, not
// listening).
class RefusedHost {
 public:
  RefusedHost();
  ~RefusedHost();
  RefusedHost(const RefusedHost&) = delete;
  RefusedHost& operator=(const RefusedHost&) = delete;
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Stats of the engine that give `cpu` percent over four CPUs and `memory`
// percent of a 1000-byte limit (with 100 bytes of inactive cache).
Json engine_stats(double cpu, double memory);

// Probes for check_resources that read the two usage ratios given.
PrecheckProbes readings(double cpu_ratio, double memory_ratio);

// `text` as a regular expression (POSIX extended) that matches it literally,
// for the messages of death tests.
std::string literally(std::string_view text);

// A fixture whose host is all fakes; see the top of this file. By default
// everything passes: docker answers, one 80 GB GPU, a data file system,
// an engine with no containers, CUDA works, readings at 50%.
class PrechecksHarness : public ::testing::Test {
 protected:
  PrechecksHarness();
  ~PrechecksHarness() override;

  struct DockerFake {
    int info_status = 0;
    int login_status = 0;
    int volume_status = 0;
  };
  void install_docker(DockerFake fake);
  // No GPU when empty: nvidia-smi exits 9.
  void install_gpus(const std::vector<FakeGpu>& gpus);
  // `df -h` (whatever its other arguments) prints `table` and exits with
  // `status`.
  void install_df(const std::string& table, int status = 0);
  // Writes the /proc files the trackers read: available memory of 1000 kB
  // total, and the cpu line of /proc/stat as read before and after the
  // sampling interval. Every later sample advances the counters by the same
  // difference, so each reading gives the same figures.
  void write_proc(long available_kb, const std::string& cpu_before, const std::string& cpu_after);

  // A Prechecks on a fresh FakeScaling scripted with passing answers.
  std::unique_ptr<Prechecks> make(std::optional<PrecheckProbes> probes = std::nullopt);
  // The backend of the last Prechecks made.
  FakeScaling& scaling() { return *scaling_; }
  // Every line the CUDA stand-in traced (one call each).
  std::vector<std::string> cuda_calls() const;

  // The default credentials' password.
  static constexpr const char* kPassword = "s3cret pass'word";

  // Temporary files of death-test children go under the parent's folder,
  // which the parent removes (a child ends without running destructors).
  TempDir files_;
  std::unique_ptr<ScopedEnv> tmpdir_;
  FakeTools tools_;
  FakeEngine engine_;
  RefusedHost refused_;
  log::LogCapture capture_;
  FakeScaling* scaling_ = nullptr;
  std::optional<backend::Session> factory_session_;
  std::optional<std::optional<std::string>> factory_instance_id_;

 private:
  void write_stat();

  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::vector<long long> cpu_before_;
  std::vector<long long> cpu_after_;
  long long cpu_samples_ = 0;
};

}  // namespace tavoren::testing
