// Internal variants of the instance-identity probes with injectable time
// limits, for the library's own tests. The public functions in
// tavoren/host_probe.h call these with the default values below.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "tavoren/host_probe.h"

namespace tavoren::host_probe::detail {

struct InstanceInfoTimings {
  // Each provider's probe request.
  std::chrono::milliseconds probe_timeout{1000};
  // Each provider's identifier request (after its probe answered).
  std::chrono::milliseconds identifier_timeout{5000};
};

std::optional<InstanceInfo> get_instance_info(const InstanceInfoTimings& timings);

struct PortExposureOptions {
  // The request to the public-address echo service.
  std::chrono::milliseconds echo_timeout{10000};
  // The connection attempt to the public address.
  std::chrono::milliseconds connect_timeout{3000};
  // Called between the public test and the local test, when set.
  std::function<void()> before_local_test;
};

bool check_public_port_exposure(int port, const PortExposureOptions& options);

}  // namespace tavoren::host_probe::detail
