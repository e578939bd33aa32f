#include "service_monitor.h"

#include <systemd/sd-daemon.h>

#include <algorithm>

#include "tavoren/common/logging.h"

namespace tavoren::agent {

ServiceMonitor::ServiceMonitor(const MonitorSettings& settings) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  notifying_ = socket != nullptr && socket[0] != '\0';
  std::uint64_t usec = 0;
  if (notifying_ && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdog_period_ = std::chrono::microseconds(usec);
    watchdog_grace_ =
        std::min<std::chrono::microseconds>(watchdog_period_ / 2, std::chrono::seconds(5));
    watchdog_ = std::thread([this] { keep_watchdog(); });
  }
  if (!settings.listen) return;
  const std::string where = settings.listen->host + ":" + std::to_string(settings.listen->port);
  try {
    endpoint_ = std::make_unique<metrics_endpoint::MetricsEndpoint>(
        metrics_endpoint::EndpointOptions{.address = *settings.listen,
                                          .health = [this] { return view_.health(); },
                                          .server_name = "tavoren-agent"});
    log::info("Serving metrics and health on %s (port %d)", where, endpoint_->port());
  } catch (const std::exception& e) {
    log::error("Cannot serve metrics and health on %s: %s; running without them", where, e.what());
  }
}

ServiceMonitor::~ServiceMonitor() {
  if (watchdog_.joinable()) {
    {
      std::lock_guard lock(watchdog_mutex_);
      watchdog_stop_ = true;
    }
    watchdog_wake_.notify_all();
    watchdog_.join();
  }
  endpoint_.reset();
}

void ServiceMonitor::notify(const std::string& state) {
  if (!notifying_) return;
  // A manager that does not take it changes nothing for the agent's work.
  if (const int sent = sd_notify(0, state.c_str()); sent < 0) {
    log::debug("The service manager was not told %s: error %d", state.substr(0, state.find('=')),
               -sent);
  }
}

void ServiceMonitor::extend_pace(std::chrono::duration<double> wait) {
  std::lock_guard lock(watchdog_mutex_);
  pace_until_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait) +
                watchdog_grace_;
}

void ServiceMonitor::keep_watchdog() {
  const auto period =
      std::max<std::chrono::microseconds>(watchdog_period_ / 4, std::chrono::milliseconds(10));
  std::unique_lock lock(watchdog_mutex_);
  while (!watchdog_wake_.wait_for(lock, period, [&] { return watchdog_stop_; })) {
    if (pace_until_ && std::chrono::steady_clock::now() > *pace_until_) continue;
    lock.unlock();
    notify("WATCHDOG=1");
    lock.lock();
  }
}

std::unique_ptr<backend::Scaling> ServiceMonitor::wrap(std::unique_ptr<backend::Scaling> client) {
  return std::make_unique<MeteredScaling>(std::move(client), view_);
}

RecordExit ServiceMonitor::wrap(RecordExit record_exit) {
  return metered_record_exit(std::move(record_exit), view_);
}

void ServiceMonitor::watch(JobDispatcherOptions& options) {
  options.on_cycle = [this](const DispatcherCycle& cycle) { cycle_completed(cycle); };
  options.on_started = [this](const WorkUnit& unit) {
    view_.action_started(unit.action_record_id(), unit.action_type());
  };
  auto earlier = std::move(options.work_unit.on_exit);
  options.work_unit.on_exit = [this, earlier](const std::string& id, process::ExitStatus status,
                                              bool log_complete, std::string_view cause) {
    if (earlier) earlier(id, status, log_complete, cause);
    view_.action_ended(id, status.shell_status());
  };
}

void ServiceMonitor::ready(bool checks_skipped) {
  if (checks_skipped) {
    view_.checks_skipped();
  } else {
    view_.checks_passed();
  }
  notify("READY=1\nSTATUS=" + view_.status_line());
}

void ServiceMonitor::loop_started(std::chrono::duration<double> poll_interval) {
  view_.loop_started(poll_interval);
  // The first cycle has no wait before it.
  extend_pace(std::chrono::seconds(0));
}

void ServiceMonitor::stopping() {
  view_.stopping();
  notify("STOPPING=1\nSTATUS=" + view_.status_line());
  // Stopping takes its own time (the manager's stop time-out applies).
  std::lock_guard lock(watchdog_mutex_);
  pace_until_.reset();
}

void ServiceMonitor::cycle_completed(const DispatcherCycle& cycle) {
  view_.cycle_completed(cycle);
  extend_pace(std::chrono::seconds(cycle.waiting_seconds));
  notify("WATCHDOG=1\nSTATUS=" + view_.status_line());
}

}  // namespace tavoren::agent
