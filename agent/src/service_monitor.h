// The running service as its operator sees it: the metrics and health
// endpoint, the counting of backend calls and actions (OperatorView), and
// the service manager's notifications.
//
// The service creates one monitor before anything else of its run and
// reports its stages here; the monitor chains itself into the dispatcher's
// and work units' hooks (watch) and wraps the backend clients (wrap).
//
// Ownership: the monitor owns its view and endpoint; it must outlive the
// dispatcher whose options it was given (their hooks call it) and the
// clients it wrapped. Threads: every member may be called from any thread.
// Failures: an endpoint address that cannot be bound is logged as an error
// and the agent runs on without it (its work matters more than its view);
// nothing here throws after construction.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "operator_view.h"
#include "tavoren/backend.h"
#include "tavoren/job_dispatcher.h"
#include "tavoren/metrics_endpoint.h"

namespace tavoren::agent {

struct MonitorSettings {
  // Where to serve /metrics and /healthz; nullopt: nowhere.
  std::optional<metrics_endpoint::ListenAddress> listen;
};

class ServiceMonitor {
 public:
  explicit ServiceMonitor(const MonitorSettings& settings);
  ~ServiceMonitor();
  ServiceMonitor(const ServiceMonitor&) = delete;
  ServiceMonitor& operator=(const ServiceMonitor&) = delete;

  // `client` counted by the view.
  std::unique_ptr<backend::Scaling> wrap(std::unique_ptr<backend::Scaling> client);
  // Chains the monitor into the dispatcher's hooks and its units' on_exit
  // (after the hook already there, which may throw: then the end is
  // counted when it is reported again).
  void watch(JobDispatcherOptions& options);

  // The start-up checks passed or were skipped: the agent takes work.
  void ready();
  // The dispatcher loop starts.
  void loop_started(std::chrono::duration<double> poll_interval);
  // The agent stops taking work.
  void stopping();

  OperatorView& view() { return view_; }

 private:
  void cycle_completed(const DispatcherCycle& cycle);

  OperatorView view_;
  std::unique_ptr<metrics_endpoint::MetricsEndpoint> endpoint_;
};

}  // namespace tavoren::agent
