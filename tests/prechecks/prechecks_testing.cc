#include "prechecks_testing.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"

namespace tavoren::testing {

RefusedHost::RefusedHost() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  port_ = ntohs(addr.sin_port);
}

RefusedHost::~RefusedHost() {
  if (fd_ >= 0) ::close(fd_);
}

// ---------------------------------------------------------------------------

Json engine_stats(double cpu, double memory) {
  const double system_before = 5e9;
  const double system_after = 6e9;
  const double container_before = 1e8;
  // cpu = delta / system delta * 4 CPUs * 100
  const double container_after = container_before + cpu / 400.0 * (system_after - system_before);
  return {
      {"cpu_stats",
       {{"cpu_usage", {{"total_usage", container_after}}},
        {"system_cpu_usage", system_after},
        {"online_cpus", 4}}},
      {"precpu_stats",
       {{"cpu_usage", {{"total_usage", container_before}}}, {"system_cpu_usage", system_before}}},
      {"memory_stats",
       {{"usage", memory * 10 + 100}, {"limit", 1000}, {"stats", {{"inactive_file", 100}}}}}};
}

std::string literally(std::string_view text) {
  std::string pattern;
  for (const char c : text) {
    if (std::string_view("\\.[](){}*+?|^$").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// ---------------------------------------------------------------------------

namespace {

// Points TMPDIR into `parent`, so that the temporary folders made after it
// (and by death-test children) are removed with `parent`.
std::unique_ptr<ScopedEnv> temporaries_under(const TempDir& parent) {
  const std::filesystem::path tmp = parent.path() / "tmp";
  std::filesystem::create_directories(tmp);
  return std::make_unique<ScopedEnv>("TMPDIR", tmp.string());
}

}  // namespace

PrechecksHarness::PrechecksHarness() : tmpdir_(temporaries_under(files_)) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto set = [this](const char* name, std::optional<std::string> value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  };
  set("DOCKER_HOST", engine_.docker_host());
  set("DOCKER_TLS_VERIFY", std::nullopt);
  set("TAVOREN_CUDA_LIBRARY", TAVOREN_FAKE_CUDA_PATH);
  set("TAVOREN_FAKE_CUDA_TRACE", (files_.path() / "cuda.trace").string());
  set("TAVOREN_FAKE_CUDA_FAILURE", std::nullopt);
  set("TAVOREN_GCP_METADATA_HOST", refused_.host());
  set("TAVOREN_METADATA_ADDRESS", refused_.host());
  set("SERVICE_PROVIDER", "LOCAL");
  set("INSTANCE_ID", std::nullopt);
  set("GPUS", std::nullopt);
  set("HOME", (files_.path() / "home").string());
  set("WORKSPACE_DIR", "workspace");

  install_docker({});
  install_gpus({FakeGpu{.total_mib = 81920, .used_mib = 8192, .utilisation = "10"}});
  install_df(
      "Filesystem      Size  Used Avail Use% Mounted on\n"
      "/dev/sda1       100G   40G   60G  40% /data\n");
  write_proc(500, "cpu  100 0 100 700 100 0 0 0 0 0", "cpu  150 0 150 1000 100 0 0 0 0 0");
}

PrechecksHarness::~PrechecksHarness() = default;

void PrechecksHarness::install_docker(DockerFake fake) {
  const std::string stdin_file = shell_quote((tools_.dir() / "login.stdin").string());
  tools_.add_script("docker",
                    "case \"$1\" in\n"
                    "  info) printf 'Docker Root Dir: /var/lib/docker\\n'; exit " +
                        std::to_string(fake.info_status) +
                        " ;;\n"
                        "  login) cat > " +
                        stdin_file + "; exit " + std::to_string(fake.login_status) +
                        " ;;\n"
                        "  volume) if [ " +
                        std::to_string(fake.volume_status) +
                        " -ne 0 ]; then echo 'volume refused' >&2; else echo workspace; fi; exit " +
                        std::to_string(fake.volume_status) +
                        " ;;\n"
                        "esac\n"
                        "exit 0");
}

void PrechecksHarness::install_gpus(const std::vector<FakeGpu>& gpus) {
  if (gpus.empty()) {
    tools_.add_script("nvidia-smi", "echo 'NVIDIA-SMI has failed' >&2\nexit 9");
    return;
  }
  std::string used_total;
  std::string free_utilisation;
  std::string total;
  std::string free = "memory.free [MiB]\n";
  for (const FakeGpu& gpu : gpus) {
    const long free_mib = gpu.total_mib - gpu.used_mib;
    used_total += std::to_string(gpu.used_mib) + ", " + std::to_string(gpu.total_mib) + "\n";
    free_utilisation += std::to_string(free_mib) + ", " + gpu.utilisation + "\n";
    total += std::to_string(gpu.total_mib) + "\n";
    free += std::to_string(free_mib) + " MiB\n";
  }
  tools_.add_script("nvidia-smi",
                    "case \"$*\" in\n"
                    "  '') exit 0 ;;\n"
                    "  *memory.used,memory.total*) printf '%s' " +
                        shell_quote(used_total) +
                        " ;;\n"
                        "  *memory.free,utilization.gpu*) printf '%s' " +
                        shell_quote(free_utilisation) +
                        " ;;\n"
                        "  *memory.total*) printf '%s' " +
                        shell_quote(total) +
                        " ;;\n"
                        "  *memory.free*) printf '%s' " +
                        shell_quote(free) +
                        " ;;\n"
                        "esac\n"
                        "exit 0");
}

void PrechecksHarness::install_df(const std::string& table, int status) {
  tools_.add_script("df", "printf '%s' " + shell_quote(table) + "\nexit " + std::to_string(status));
}

void PrechecksHarness::write_proc(long available_kb, const std::string& cpu_before,
                                  const std::string& cpu_after) {
  files_.write("meminfo", "MemTotal:        1000 kB\nMemFree:          100 kB\nMemAvailable:    " +
                              std::to_string(available_kb) + " kB\n");
  auto counters = [](const std::string& line) {
    std::vector<long long> values;
    for (const std::string& field : split_whitespace(line)) {
      if (field != "cpu") values.push_back(parse_int(field));
    }
    return values;
  };
  cpu_before_ = counters(cpu_before);
  cpu_after_ = counters(cpu_after);
  cpu_samples_ = 0;
  write_stat();
}

void PrechecksHarness::write_stat() {
  std::string line = "cpu ";
  for (std::size_t i = 0; i < cpu_before_.size(); ++i) {
    line += " " + std::to_string(cpu_before_[i] + cpu_samples_ * (cpu_after_[i] - cpu_before_[i]));
  }
  files_.write("stat", line + "\ncpu0 1 2 3 4 5 6 7 8 9 10\nctxt 12345\n");
}

PrecheckProbes readings(double cpu_ratio, double memory_ratio) {
  PrecheckProbes probes;
  probes.get_cpu_memory_usage = [cpu_ratio] { return cpu_ratio; };
  probes.get_mem_usage = [memory_ratio] { return memory_ratio; };
  return probes;
}

std::unique_ptr<Prechecks> PrechecksHarness::make(std::optional<PrecheckProbes> probes) {
  PrechecksOptions options;
  options.resources.meminfo_path = files_.path() / "meminfo";
  options.resources.stat_path = files_.path() / "stat";
  options.resources.cpu_sample_interval = std::chrono::milliseconds(1);
  options.resources.sleep = [this](std::chrono::milliseconds) {
    ++cpu_samples_;
    write_stat();
  };
  options.probes = probes.value_or(readings(0.5, 0.5));

  auto factory = [this](const backend::Session& session,
                        const std::optional<std::string>& instance_id) {
    factory_session_ = session;
    factory_instance_id_ = instance_id;
    auto fake = std::make_unique<FakeScaling>(session);
    fake->set_default("get_docker_hub_credentials",
                      backend::Result::ok({{"username", "agent"}, {"password", kPassword}}));
    fake->set_default("get_shutdown_details", backend::Result::ok({{"shutdownThreshold", 30},
                                                                   {"launchDuration", 10},
                                                                   {"instanceSource", "cloud"}}));
    scaling_ = fake.get();
    return fake;
  };
  return std::make_unique<Prechecks>(backend::Session{"AKIAEXAMPLE", "secret-example"},
                                     "i-0123456789abcdef", factory, std::move(options));
}

std::vector<std::string> PrechecksHarness::cuda_calls() const {
  std::vector<std::string> calls = split(read_file(files_.path() / "cuda.trace"), '\n');
  if (!calls.empty() && calls.back().empty()) calls.pop_back();
  return calls;
}

}  // namespace tavoren::testing
