// The watcher of a spot machine's interruption notice.

#include <exception>
#include <utility>

#include "tavoren/common/logging.h"
#include "tavoren/gpu_health.h"
#include "tavoren/metrics.h"

namespace tavoren::gpu_health {

NoticeWatcher::NoticeWatcher(NoticeOptions options) : options_(std::move(options)) {}

NoticeWatcher::~NoticeWatcher() { stop(); }

void NoticeWatcher::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!stopping_ && !acted_) {
      lock.unlock();
      poll_once();
      lock.lock();
      wake_.wait_for(lock, options_.period, [this] { return stopping_; });
    }
  });
}

void NoticeWatcher::stop() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool NoticeWatcher::poll_once() {
  static metrics::Family<metrics::Counter>& notices = metrics::Registry::process_wide().counter(
      "tavoren_agent_interruption_notices_total",
      "Interruption notices of the machine's cloud, by action", {"action"});
  {
    std::scoped_lock lock(mutex_);
    if (acted_) return true;
  }
  std::optional<host_probe::InterruptionNotice> notice;
  try {
    notice = options_.read();
  } catch (const std::exception& e) {
    log::debug("Reading the cloud's interruption notice failed: %s", e.what());
    return false;
  }
  if (!notice) return false;
  if (notice->action == "rebalance") {
    std::scoped_lock lock(mutex_);
    if (!rebalance_logged_) {
      rebalance_logged_ = true;
      notices.with({"rebalance"}).inc();
      log::warning("%s recommends moving work off this machine (a rebalance recommendation)",
                   notice->provider);
    }
    return false;
  }
  {
    std::scoped_lock lock(mutex_);
    acted_ = true;
  }
  notices.with({notice->action}).inc();
  log::error("%s takes this machine back (%s%s): stopping every job now", notice->provider,
             notice->action, notice->deadline.empty() ? "" : " at " + notice->deadline);
  try {
    if (options_.on_notice) options_.on_notice(*notice);
  } catch (const std::exception& e) {
    log::error("Acting on the interruption notice failed: %s", e.what());
  }
  return true;
}

}  // namespace tavoren::gpu_health
