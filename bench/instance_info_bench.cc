// Wall time of get_instance_info on this host, with the metadata addresses
// as configured (the built-in ones unless the TAVOREN_* variables say
// otherwise). On a host outside any cloud every provider's probe fails,
// either at once (name not resolved, no route) or at the probe's limit;
// the providers are asked side by side, so one call should last about one
// probe limit.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tavoren/common/config.h"
#include "tavoren/host_probe.h"

namespace {

void BM_GetInstanceInfo(benchmark::State& state) {
  for (auto _ : state) {
    auto info = tavoren::host_probe::get_instance_info();
    benchmark::DoNotOptimize(info);
    if (!info) {
      state.SkipWithError("get_instance_info failed");
      break;
    }
  }
  state.SetLabel(tavoren::config::gcp_metadata_host() + ", " + tavoren::config::metadata_address());
}
BENCHMARK(BM_GetInstanceInfo)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The worst case off the clouds: metadata addresses that accept
// connections and never answer, so every probe runs to its time limit
// (one second each; four one after another would take four seconds).
void BM_GetInstanceInfoSilentMetadata(benchmark::State& state) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    state.SkipWithError("cannot listen on loopback");
    return;
  }
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  ::setenv("TAVOREN_GCP_METADATA_HOST", host.c_str(), 1);
  ::setenv("TAVOREN_METADATA_ADDRESS", host.c_str(), 1);
  for (auto _ : state) {
    auto info = tavoren::host_probe::get_instance_info();
    benchmark::DoNotOptimize(info);
  }
  ::unsetenv("TAVOREN_GCP_METADATA_HOST");
  ::unsetenv("TAVOREN_METADATA_ADDRESS");
  ::close(fd);
  state.SetLabel("silent metadata services on " + host);
}
BENCHMARK(BM_GetInstanceInfoSilentMetadata)
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
