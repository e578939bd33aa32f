// Wall time of get_instance_info on this host, with the metadata addresses
// as configured (the built-in ones unless the TAVOREN_* variables say
// otherwise). On a host outside any cloud every provider's probe fails,
// either at once (name not resolved, no route) or at the probe's limit;
// the providers are asked side by side, so one call should last about one
// probe limit.
#include <benchmark/benchmark.h>

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

}  // namespace

BENCHMARK_MAIN();
