#include "service_monitor.h"

#include "tavoren/common/logging.h"

namespace tavoren::agent {

ServiceMonitor::ServiceMonitor(const MonitorSettings& settings) {
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

ServiceMonitor::~ServiceMonitor() { endpoint_.reset(); }

std::unique_ptr<backend::Scaling> ServiceMonitor::wrap(std::unique_ptr<backend::Scaling> client) {
  return std::make_unique<MeteredScaling>(std::move(client), view_);
}

void ServiceMonitor::watch(JobDispatcherOptions& options) {
  options.on_cycle = [this](const DispatcherCycle& cycle) { cycle_completed(cycle); };
  options.on_started = [this](const WorkUnit& unit) {
    view_.action_started(unit.action_record_id(), unit.action_type());
  };
  auto earlier = std::move(options.work_unit.on_exit);
  options.work_unit.on_exit = [this, earlier](const std::string& id, process::ExitStatus status,
                                              bool log_complete) {
    if (earlier) earlier(id, status, log_complete);
    view_.action_ended(id, status.shell_status());
  };
}

void ServiceMonitor::ready() { view_.checks_passed(); }

void ServiceMonitor::loop_started(std::chrono::duration<double> poll_interval) {
  view_.loop_started(poll_interval);
}

void ServiceMonitor::stopping() { view_.stopping(); }

void ServiceMonitor::cycle_completed(const DispatcherCycle& cycle) { view_.cycle_completed(cycle); }

}  // namespace tavoren::agent
