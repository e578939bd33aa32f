// The monitor's thread: reads the kernel log and the GPUs' health at every
// period, and publishes the GPUs out of use.

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "tavoren/common/logging.h"
#include "tavoren/gpu_health.h"
#include "tavoren/metrics.h"

namespace tavoren::gpu_health {
namespace {

struct HealthMetrics {
  metrics::Family<metrics::Counter>& xids;
  metrics::Family<metrics::Gauge>& gpus;
  metrics::Counter& failed_reads;
};

HealthMetrics& health_metrics() {
  static HealthMetrics m{metrics::Registry::process_wide().counter(
                             "tavoren_agent_gpu_xid_events_total",
                             "GPU Xid events of the kernel log, by class", {"class"}),
                         metrics::Registry::process_wide().gauge(
                             "tavoren_agent_gpus", "This machine's GPUs, by state", {"state"}),
                         metrics::Registry::process_wide()
                             .counter("tavoren_agent_gpu_health_read_failures_total",
                                      "Readings of the GPUs' health that failed altogether")
                             .get()};
  return m;
}

void log_change(const HealthChange& change) {
  if (change.to == GpuState::kHealthy) {
    log::info("GPU %d (%s) is healthy again and takes new work", change.index, change.uuid);
  } else if (change.to == GpuState::kQuarantined) {
    log::error("GPU %d (%s) is quarantined: %s; it takes no new work", change.index, change.uuid,
               change.reason);
  } else {
    log::warning("GPU %d (%s) is of unknown health: %s; it takes no new work", change.index,
                 change.uuid, change.reason);
  }
}

}  // namespace

HealthMonitor::HealthMonitor(MonitorOptions options)
    : options_(std::move(options)),
      kernel_log_(options_.kernel_log),
      book_(options_.unknown_after) {
  if (!options_.read) {
    const auto limit = options_.probe_limit;
    options_.read = [limit] { return host_probe::read_gpu_readings(limit); };
  }
}

HealthMonitor::~HealthMonitor() { stop(); }

void HealthMonitor::start() {
  if (thread_.joinable()) return;
  {
    std::scoped_lock lock(wake_mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void HealthMonitor::stop() {
  {
    std::scoped_lock lock(wake_mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void HealthMonitor::run() {
  std::unique_lock lock(wake_mutex_);
  while (!stopping_) {
    lock.unlock();
    check_once();
    lock.lock();
    wake_.wait_for(lock, options_.period, [this] { return stopping_; });
  }
}

void HealthMonitor::check_once() {
  // Rounds take turns; the readings, the kernel log and the report run
  // without the state's lock, so gpus() never waits for their I/O.
  std::scoped_lock round(round_mutex_);
  HealthMetrics& m = health_metrics();
  std::optional<std::vector<host_probe::GpuReading>> readings;
  bool read_failed = false;
  if (options_.gpus) {
    try {
      readings = options_.read();
    } catch (const std::exception& e) {
      m.failed_reads.inc();
      log::warning("Reading the GPUs' health failed: %s", e.what());
      read_failed = true;
    }
  }
  std::vector<XidEvent> xids;
  for (const std::string& line : kernel_log_.read_new()) {
    std::optional<XidEvent> event = parse_xid_line(line);
    if (!event) continue;
    const FaultClass fault = classify_xid(event->xid, event->text);
    m.xids.with({fault_class_name(fault)}).inc();
    log::warning("GPU at %s reported Xid %d (%s): %s", event->pci_bus_id, event->xid,
                 fault == FaultClass::kNone ? "no class" : fault_class_name(fault), event->text);
    xids.push_back(*std::move(event));
  }
  const std::int64_t now_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
  std::vector<HealthChange> changes;
  std::vector<GpuStatus> gpus;
  std::vector<HealthEvent> events;
  {
    std::scoped_lock state(mutex_);
    if (readings) changes = book_.observe(*readings);
    if (read_failed) changes = book_.observe_failure();
    for (const XidEvent& event : xids) {
      for (HealthChange& change : book_.observe_xid(event)) changes.push_back(change);
    }
    for (const HealthChange& change : changes) {
      events_.push_back(HealthEvent{now_seconds, change});
      if (events_.size() > kKeptEvents) events_.erase(events_.begin());
    }
    host_probe::set_gpus_out_of_use(book_.out_of_use());
    gpus = book_.gpus();
    events = events_;
  }
  std::map<GpuState, int> counts{
      {GpuState::kHealthy, 0}, {GpuState::kQuarantined, 0}, {GpuState::kUnknown, 0}};
  for (const GpuStatus& gpu : gpus) ++counts[gpu.state];
  for (const auto& [state, count] : counts) m.gpus.with({gpu_state_name(state)}).set(count);
  for (const HealthChange& change : changes) {
    log_change(change);
    if (!options_.on_change) continue;
    try {
      options_.on_change(change);
    } catch (const std::exception& e) {
      log::error("Acting on GPU %d's health failed: %s", change.index, e.what());
    }
  }
  const auto now = std::chrono::steady_clock::now();
  // A change goes out at once, so that the server stops placing work on a
  // GPU that failed; otherwise the report waits for its period.
  if (options_.report &&
      (!last_report_ || !changes.empty() || now - *last_report_ >= options_.report_period)) {
    last_report_ = now;
    try {
      options_.report(gpus, events);
    } catch (const std::exception& e) {
      log::warning("Reporting what the machine has failed: %s", e.what());
    }
  }
}

std::vector<GpuStatus> HealthMonitor::gpus() const {
  std::scoped_lock lock(mutex_);
  return book_.gpus();
}

}  // namespace tavoren::gpu_health
