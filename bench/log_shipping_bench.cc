// Log shipping throughput: a large job log shipped through a backend that
// accepts everything, against `cat file > /dev/null` of the same file.
//
//   bench_log_shipping [mebibytes=1024]
//
// The log is written next to a running `sleep` child after the log
// thread's first cycle; stop() then ships all of it in the final flush.
// The file lives in a temporary folder that is removed afterwards.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "accepting_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/work_unit.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tavoren::Json;
using tavoren::WorkUnit;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long status_kib(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

// One mebibyte of training-log lines, mostly ASCII with a few multi-byte
// characters.
std::string log_block() {
  const std::size_t size = 1u << 20;
  std::string block;
  for (int step = 0;; ++step) {
    const std::string line = "epoch 3 step " + std::to_string(step) +
                             " loss=0.4132 lr=3.0e-4 \xE2\x80\x94 throughput 812.5 samples/s "
                             "\xC2\xB5s=118\n";
    if (block.size() + line.size() > size) break;
    block += line;
  }
  block.append(size - block.size() - 1, ' ');
  block += '\n';
  return block;
}

void append(const std::string& path, std::uint64_t mebibytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  const std::string block = log_block();
  for (std::uint64_t i = 0; i < mebibytes; ++i) {
    const char* p = block.data();
    std::size_t left = block.size();
    while (left > 0) {
      ssize_t w = ::write(fd, p, left);
      if (w <= 0) throw std::runtime_error("write failed");
      p += w;
      left -= static_cast<std::size_t>(w);
    }
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mebibytes = argc > 1 ? std::stoull(argv[1]) : 1024;
  tavoren::log::set_level(tavoren::log::Level::warning);

  tavoren::bench::ScratchDir scratch;
  tavoren::bench::AcceptingScaling backend;
  tavoren::WorkUnitOptions options;
  options.log_dir = scratch.path() + "/logs";
  options.timings.log_interval = 1h;
  options.timings.flush_delay = 0ms;
  options.actions_map =
      tavoren::ActionsMap{{"model_train", [](WorkUnit& unit) { unit.start("sleep 600", "ship"); }}};
  Json record = Json::object();
  record["_id"] = "0123456789abcdef01234567";
  record["action"] = "model_train";
  record["actionDetails"] = Json::object();

  WorkUnit unit(backend, record, options);
  unit.execute();
  std::this_thread::sleep_for(200ms);  // the log thread's first cycle found the log empty
  const std::string path = *unit.log_path();
  auto write_start = Clock::now();
  append(path, mebibytes);
  const double write_seconds = seconds_since(write_start);
  const long hwm_before = status_kib("VmHWM");

  const std::uint64_t bytes_before = backend.log_bytes.load();
  auto ship_start = Clock::now();
  unit.stop();
  const double ship_seconds = seconds_since(ship_start);
  const std::uint64_t shipped = backend.log_bytes.load() - bytes_before;
  const long hwm_after = status_kib("VmHWM");

  double cat_seconds = 1e9;
  for (int i = 0; i < 2; ++i) {
    auto cat_start = Clock::now();
    auto result = tavoren::process::run_shell("cat " + tavoren::shell_quote(path) + " > /dev/null");
    if (!result.exit_status.success()) throw std::runtime_error("cat failed");
    cat_seconds = std::min(cat_seconds, seconds_since(cat_start));
  }

  const double size_mib = static_cast<double>(mebibytes);
  const double ship_rate = shipped / (1024.0 * 1024.0) / ship_seconds;
  const double cat_rate = size_mib / cat_seconds;
  std::printf("log size:             %llu MiB (written in %.2f s)\n",
              static_cast<unsigned long long>(mebibytes), write_seconds);
  std::printf("shipped:              %.1f MiB in %llu calls, %.2f s, %.0f MiB/s\n",
              shipped / (1024.0 * 1024.0),
              static_cast<unsigned long long>(backend.log_calls.load()), ship_seconds, ship_rate);
  std::printf("cat > /dev/null:      %.2f s, %.0f MiB/s\n", cat_seconds, cat_rate);
  std::printf("shipping / cat rate:  %.2f (goal >= 0.5)\n", ship_rate / cat_rate);
  std::printf("peak RSS:             %ld KiB before shipping, %ld KiB after\n", hwm_before,
              hwm_after);
  std::filesystem::remove(path);
  return shipped == mebibytes * (1u << 20) ? 0 : 1;
}
