// The running service as its operator sees it: the metrics and health
// endpoint, the counting of backend calls and actions (OperatorView), and
// the service manager's notifications.
//
// Notifications (systemd's sd_notify, to $NOTIFY_SOCKET; nothing is sent
// without it, so the agent runs unchanged outside systemd): READY=1 once the
// start-up checks passed, STATUS= with the running actions after each cycle
// of the dispatcher loop, STOPPING=1 when the agent stops taking work. With
// a watchdog ($WATCHDOG_USEC, for this process), WATCHDOG=1 is sent every
// quarter of its period for as long as the loop keeps its pace: at the end
// of a cycle the loop names its wait, and pings go on until that wait is
// over plus a short grace (half the period, at most 5 s). A cycle that then
// does not end (a stuck host tool or backend call) gets no more pings, and
// the service manager ends the agent one watchdog period later.
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
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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
  // The record of actions' ends counted by the view, as the client's calls.
  RecordExit wrap(RecordExit record_exit);
  // Chains the monitor into the dispatcher's hooks and its units' on_exit
  // (after the hook already there, which may throw: then the end is
  // counted when it is reported again).
  void watch(JobDispatcherOptions& options);

  // The start-up checks passed, or were skipped (`checks_skipped`): the
  // agent takes work.
  void ready(bool checks_skipped);
  // The dispatcher loop starts.
  void loop_started(std::chrono::duration<double> poll_interval);
  // The agent stops taking work.
  void stopping();

  OperatorView& view() { return view_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  void cycle_completed(const DispatcherCycle& cycle);
  // Sends one notification when a service manager listens.
  void notify(const std::string& state);
  // The watchdog thread: pings while the loop keeps its pace.
  void keep_watchdog();
  // The loop's pace: pings may go on until now + `wait` + the grace.
  void extend_pace(std::chrono::duration<double> wait);

  OperatorView view_;
  std::unique_ptr<metrics_endpoint::MetricsEndpoint> endpoint_;

  // Whether $NOTIFY_SOCKET names a service manager.
  bool notifying_ = false;
  std::chrono::microseconds watchdog_period_{0};
  std::chrono::microseconds watchdog_grace_{0};
  std::mutex watchdog_mutex_;
  std::condition_variable watchdog_wake_;
  bool watchdog_stop_ = false;
  // Until when the loop counts as keeping its pace; nullopt before the
  // loop starts (start-up: the manager's own start time-out applies).
  std::optional<TimePoint> pace_until_;
  std::thread watchdog_;
};

}  // namespace tavoren::agent
