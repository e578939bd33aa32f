#include "tavoren/job_dispatcher.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

std::string service_provider() {
  std::optional<std::string> provider = config::service_provider();
  if (!provider) throw KeyError("SERVICE_PROVIDER is not set");
  return *provider;
}

// The record's "_id" as text. Identifiers are texts; anything else is
// rendered as JSON.
std::string id_of(const Json& action) { return text_of(action.at("_id"), "null"); }

}  // namespace

JobDispatcher::JobDispatcher(backend::Scaling& scaling, JobDispatcherOptions options)
    : scaling_(scaling), options_(std::move(options)) {
  log::info("JobDispatcher initialized");
}

JobDispatcher::~JobDispatcher() {
  request_stop();
  // The work units' own destructors end their processes and log threads.
  ActionTable table;
  {
    std::lock_guard lock(table_mutex_);
    table.swap(current_actions_);
  }
}

int JobDispatcher::waiting_time(double mem_usage) const {
  double divisor = std::max(0.001, options_.memory_threshold - mem_usage);
  return static_cast<int>(std::trunc(std::min(options_.poll_interval / divisor, 120.0)));
}

void JobDispatcher::request_stop() {
  {
    std::lock_guard lock(sleep_mutex_);
    stop_requested_ = true;
  }
  sleep_cv_.notify_all();
}

void JobDispatcher::start_job_dispatcher() {
  log_errors("start_job_dispatcher", {.raise_exception = true}, [&] {
    // Before any cycle has computed its waiting time, wait one poll interval.
    int waiting = static_cast<int>(options_.poll_interval);
    while (true) {
      {
        std::lock_guard lock(sleep_mutex_);
        if (stop_requested_) return;
      }
      DispatcherCycle cycle;
      try {
        double mem_usage = host_probe::get_mem_usage();
        cycle.memory_usage = mem_usage;
        log::info("Memory usage: %d", mem_usage);
        waiting = waiting_time(mem_usage);
        if (mem_usage < options_.memory_threshold) {
          process_actions();
          log::info("Waiting for %d seconds before next poll", waiting);
        } else {
          log::info("Memory threshold exceeded, waiting for %d seconds", waiting);
        }
        host_probe::cleanup_docker_storage();
      } catch (const std::exception& e) {
        log::error("Error in job dispatcher: %s", e.what());
      }
      cycle.waiting_seconds = waiting;
      if (options_.on_cycle) options_.on_cycle(cycle);
      std::unique_lock lock(sleep_mutex_);
      auto pause = std::chrono::duration<double, std::milli>(options_.second) * waiting;
      if (sleep_cv_.wait_for(lock, pause, [&] { return stop_requested_; })) return;
    }
  });
}

std::vector<Json> JobDispatcher::fetch_actions() {
  return log_errors("fetch_actions", {}, [&] {
    std::vector<Json> actions;
    log::info("Polling backend for new jobs");
    backend::Result result = scaling_.assign_jobs(host_probe::has_gpu());
    if (!result.has_error()) {
      Json records = result.data.is_array() ? result.data : Json::array({result.data});
      for (const Json& record : records) {
        if (!is_truthy(record)) continue;
        if (record.at("_id") == backend::kNullActionId) continue;
        actions.push_back(record);
        log::info("Fetched action details: %s", Json(actions));
      }
    } else {
      log::error("Error assigning jobs: %s", *result.error);
    }
    return actions;
  });
}

std::shared_ptr<WorkUnit> JobDispatcher::process_action(const Json& action) {
  int tries = 1;
  for (auto it = start_again_.begin(); it != start_again_.end(); ++it) {
    if (it->first == action) {
      tries = it->second + 1;
      start_again_.erase(it);
      break;
    }
  }
  const std::uint64_t failures_before = backend::passing_failures_on_this_thread();
  std::shared_ptr<WorkUnit> unit = start_action(action);
  // A unit that got as far as its command may have run it: never again.
  if (backend::passing_failures_on_this_thread() == failures_before ||
      (unit && (unit->has_process() || unit->cmd()))) {
    // A unit that could not be made never reaches its command. (One whose
    // executor failed has its end recorded by the purge.)
    if (!unit) end_never_started(action);
    return unit;
  }
  // The backend did not answer while the action was being started: it
  // stays assigned to this instance, so it is started again later.
  const std::string id = action.is_object() ? id_of(action) : std::string("unknown");
  if (tries >= options_.max_start_tries) {
    log::error("Action %s could not be started after %d tries: the backend did not answer", id,
               tries);
    if (unit) {
      unit->report_never_started();
    } else {
      end_never_started(action);
    }
  } else {
    log::warning("Action %s could not be started: the backend did not answer; trying again", id);
    start_again_.emplace_back(action, tries);
  }
  return nullptr;
}

std::shared_ptr<WorkUnit> JobDispatcher::start_action(const Json& action) {
  return log_errors("process_action", {}, [&]() -> std::shared_ptr<WorkUnit> {
    if (!action.is_object()) throw TypeError("an action record must be an object");
    const std::string id = id_of(action);
    log::info("Processing action: %s", id);
    auto unit = std::make_shared<WorkUnit>(scaling_, action, options_.work_unit);

    scaling_.update_action_status(Json{{"service_provider", service_provider()},
                                       {"action_record_id", action.at("_id")},
                                       {"status", "starting"},
                                       {"action_duration", 0}});
    log::info("locking action");
    scaling_.update_action_status(Json{{"service_provider", service_provider()},
                                       {"status", "started"},
                                       {"action_record_id", action.at("_id")},
                                       {"isRunning", true},
                                       {"action_duration", 0},
                                       {"cpuUtilisation", 0.0},
                                       {"gpuUtilisation", 0.0},
                                       {"memoryUtilisation", 0.0},
                                       {"gpuMemoryUsed", 0}});
    scaling_.update_status(id, unit->action_type(), "bg-job-scheduler", "JBSS_LCK", "OK",
                           "Job is locked for processing");
    unit->execute();
    log::info("action %s started.", unit->action_record_id());
    return unit;
  });
}

void JobDispatcher::end_never_started(const Json& action) {
  if (!options_.work_unit.on_exit || !action.is_object() || !action.contains("_id")) return;
  log_errors("end_never_started", {},
             [&] { tell_never_started(options_.work_unit, id_of(action)); });
}

bool JobDispatcher::is_tracked(const std::string& action_record_id) const {
  std::lock_guard lock(table_mutex_);
  return std::any_of(current_actions_.begin(), current_actions_.end(),
                     [&](const auto& entry) { return entry.first == action_record_id; });
}

void JobDispatcher::process_actions() {
  log_errors("process_actions", {}, [&] {
    std::vector<Json> records;
    for (const auto& [record, tries] : start_again_) records.push_back(record);
    for (Json& record : fetch_actions()) records.push_back(std::move(record));
    for (const Json& record : records) {
      std::string id = id_of(record);
      // An action whose unit is still here must not start twice: the
      // earlier unit would drop out of the table and run on untracked.
      std::shared_ptr<WorkUnit> earlier;
      {
        std::lock_guard lock(table_mutex_);
        for (const auto& [tracked_id, unit] : current_actions_) {
          if (tracked_id == id) earlier = unit;
        }
      }
      if (earlier) {
        if (earlier->is_running()) {
          log::warning("Action %s is already running, not starting it again", id);
          continue;
        }
        // The earlier run has ended: retire it before starting anew.
        earlier->stop();
        std::lock_guard lock(table_mutex_);
        std::erase_if(current_actions_, [&](const auto& entry) { return entry.second == earlier; });
      }
      std::shared_ptr<WorkUnit> unit = process_action(record);
      if (unit) {
        {
          std::lock_guard lock(table_mutex_);
          current_actions_.emplace_back(id, unit);
        }
        if (options_.on_started) options_.on_started(*unit);
      }
    }
  });
}

void JobDispatcher::purge_unwanted() {
  log_errors("purge_unwanted", {}, [&] {
    ActionTable snapshot;
    std::map<int, std::string> failed_gpus;
    {
      std::lock_guard lock(table_mutex_);
      snapshot = current_actions_;
      failed_gpus.swap(failed_gpus_);
    }
    int purged = 0;
    for (const auto& entry : snapshot) {
      const std::string& id = entry.first;
      const auto& unit = entry.second;
      const char* reason;
      std::optional<int> failed_gpu;
      for (int gpu : unit->gpus()) {
        if (failed_gpus.contains(gpu)) failed_gpu = gpu;
      }
      if (failed_gpu) {
        log::error("Action %s is ended: its GPU %d failed", id, *failed_gpu);
        unit->set_end_cause(failed_gpus.at(*failed_gpu));
        reason = "its GPU failed";
      } else if (!unit->is_running()) {
        reason = "process reported as not running";
      } else if (!unit->has_process()) {
        reason = "invalid process object";
      } else {
        continue;
      }
      log::info("Action %s is being purged: %s", id, reason);
      // One whose executor failed before its command ends here.
      unit->report_never_started();
      // The unit leaves the table only once nothing of it runs any more.
      try {
        unit->stop();
      } catch (const std::exception& e) {
        log::error("%s", "Error stopping action " + id + ": " + e.what());
      }
      {
        std::lock_guard lock(table_mutex_);
        std::erase_if(current_actions_, [&](const auto& kept) { return kept.second == unit; });
      }
      ++purged;
    }
    if (purged > 0) {
      log::info("Purged %d completed actions, %d actions remain in queue", purged, size());
    }
  });
}

std::map<int, std::string> JobDispatcher::gpu_users() const {
  std::lock_guard lock(table_mutex_);
  std::map<int, std::string> users;
  for (const auto& [id, unit] : current_actions_) {
    for (int gpu : unit->gpus()) users[gpu] = id;
  }
  return users;
}

void JobDispatcher::set_end_cause_of_all(std::string_view cause) {
  std::lock_guard lock(table_mutex_);
  for (const auto& [id, unit] : current_actions_) unit->set_end_cause(cause);
}

void JobDispatcher::end_actions_on_gpu(int position, std::string_view cause) {
  std::lock_guard lock(table_mutex_);
  failed_gpus_[position] = std::string(cause);
}

JobDispatcher::ActionTable JobDispatcher::get_current_actions() {
  return log_errors("get_current_actions", {}, [&] {
    purge_unwanted();
    ActionTable table;
    {
      std::lock_guard lock(table_mutex_);
      table = current_actions_;
    }
    if (!table.empty()) {
      Json ids = Json::array();
      for (const auto& entry : table) ids.push_back(entry.first);
      log::info("Currently running %d actions: %s", table.size(), ids);
    } else {
      log::debug("No actions currently running");
    }
    return table;
  });
}

void JobDispatcher::stop_all() {
  ActionTable snapshot;
  {
    std::lock_guard lock(table_mutex_);
    snapshot = current_actions_;
  }
  // Side by side: each stop may wait out its grace periods.
  std::vector<std::future<void>> stopping;
  for (const auto& entry : snapshot) {
    stopping.push_back(std::async(std::launch::async, [unit = entry.second] { unit->stop(); }));
  }
  for (auto& f : stopping) f.wait();
  std::lock_guard lock(table_mutex_);
  std::erase_if(current_actions_, [&](const auto& entry) {
    return std::any_of(snapshot.begin(), snapshot.end(),
                       [&](const auto& stopped) { return stopped.second == entry.second; });
  });
}

void JobDispatcher::detach_all() {
  ActionTable table;
  {
    std::lock_guard lock(table_mutex_);
    table.swap(current_actions_);
  }
  std::vector<std::future<void>> letting_go;
  for (const auto& entry : table) {
    letting_go.push_back(std::async(std::launch::async, [unit = entry.second] { unit->detach(); }));
  }
  for (auto& f : letting_go) f.wait();
}

std::size_t JobDispatcher::size() const {
  std::lock_guard lock(table_mutex_);
  return current_actions_.size();
}

}  // namespace tavoren
