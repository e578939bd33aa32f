#include "operator_view.h"

#include <fmt/format.h>

#include <algorithm>

#include "tavoren/work_unit.h"

namespace tavoren::agent {
namespace {

using Seconds = std::chrono::duration<double>;

const char* outcome_name(OperatorView::Outcome outcome) {
  switch (outcome) {
    case OperatorView::Outcome::kOk:
      return "ok";
    case OperatorView::Outcome::kRefused:
      return "refused";
    case OperatorView::Outcome::kFailed:
      return "failed";
  }
  return "failed";
}

std::string ago(Seconds elapsed) { return fmt::format("{:.1f} s ago", elapsed.count()); }

}  // namespace

OperatorView::OperatorView(metrics::Registry& registry, Clock clock)
    : clock_(std::move(clock)),
      created_(now()),
      started_(registry.counter("tavoren_agent_actions_started_total",
                                "Actions whose work unit started, by action type", {"type"})),
      ended_(registry.counter("tavoren_agent_actions_ended_total",
                              "Actions whose process ended, by action type and exit status "
                              "(128 + the signal for one that was stopped)",
                              {"type", "exit_status"})),
      running_(registry
                   .gauge("tavoren_agent_actions_running",
                          "Actions started whose end is not reported yet")
                   .get()),
      backend_calls_(registry.counter("tavoren_agent_backend_calls_total",
                                      "Calls of the backend by operation and outcome "
                                      "(ok, refused, failed: no answer)",
                                      {"operation", "outcome"})),
      backend_latency_(registry.histogram("tavoren_agent_backend_call_duration_seconds",
                                          "Duration of calls of the backend by operation",
                                          {"operation"})),
      log_shipped_(registry
                       .counter("tavoren_agent_log_shipped_bytes_total",
                                "Bytes of action logs the backend accepted")
                       .get()),
      log_refused_(registry
                       .counter("tavoren_agent_log_refused_bytes_total",
                                "Bytes of action log pieces the backend refused or did not "
                                "answer (each is sent again)")
                       .get()),
      oom_reports_(registry
                       .counter("tavoren_agent_oom_reports_total",
                                "GPU out-of-memory failures reported for actions")
                       .get()),
      cycles_(
          registry
              .counter("tavoren_agent_poll_cycles_total", "Completed cycles of the dispatcher loop")
              .get()),
      waiting_(registry
                   .gauge("tavoren_agent_poll_wait_seconds",
                          "The wait after the last cycle of the dispatcher loop")
                   .get()),
      memory_usage_(registry
                        .gauge("tavoren_agent_memory_usage_ratio",
                               "The memory usage ratio the dispatcher loop read last (0 to 1)")
                        .get()),
      since_poll_(registry
                      .gauge("tavoren_agent_seconds_since_last_successful_poll",
                             "Seconds since the backend last answered a poll for work without "
                             "error (since the agent started, before the first)")
                      .get()) {
  hook_ = registry.on_collect([this] {
    std::lock_guard lock(mutex_);
    running_.set(static_cast<double>(running_actions_.size()));
    since_poll_.set(Seconds(now() - last_poll_.value_or(created_)).count());
  });
}

void OperatorView::checks_passed() {
  std::lock_guard lock(mutex_);
  checks_done_ = "passed";
}

void OperatorView::checks_skipped() {
  std::lock_guard lock(mutex_);
  checks_done_ = "skipped";
}

void OperatorView::loop_started(std::chrono::duration<double> poll_interval) {
  std::lock_guard lock(mutex_);
  loop_started_ = now();
  poll_interval_ = poll_interval;
}

void OperatorView::cycle_completed(const DispatcherCycle& cycle) {
  cycles_.inc();
  waiting_.set(cycle.waiting_seconds);
  if (cycle.memory_usage) memory_usage_.set(*cycle.memory_usage);
  std::lock_guard lock(mutex_);
  last_cycle_ = now();
  last_waiting_ = cycle.waiting_seconds;
}

void OperatorView::stopping() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
}

void OperatorView::action_started(const std::string& action_id, const std::string& action_type) {
  started_.with({action_type}).inc();
  std::lock_guard lock(mutex_);
  running_actions_[action_id] = action_type;
}

void OperatorView::action_ended(const std::string& action_id, int shell_status) {
  std::string type;
  {
    std::lock_guard lock(mutex_);
    const auto found = running_actions_.find(action_id);
    if (found == running_actions_.end()) return;
    type = found->second;
    running_actions_.erase(found);
  }
  ended_.with({type, std::to_string(shell_status)}).inc();
}

void OperatorView::backend_call(std::string_view operation, Outcome outcome, double seconds) {
  backend_calls_.with({operation, outcome_name(outcome)}).inc();
  backend_latency_.with({operation}).observe(seconds);
  if (outcome == Outcome::kFailed) return;
  std::lock_guard lock(mutex_);
  last_answer_ = now();
}

void OperatorView::log_piece(std::size_t bytes, bool accepted) {
  (accepted ? log_shipped_ : log_refused_).inc(static_cast<double>(bytes));
}

void OperatorView::oom_report() { oom_reports_.inc(); }

void OperatorView::poll_succeeded() {
  std::lock_guard lock(mutex_);
  last_poll_ = now();
}

std::chrono::duration<double> OperatorView::loop_window() const {
  if (!last_cycle_) return 3 * poll_interval_;
  return 3 * Seconds(std::max(last_waiting_, 1));
}

metrics_endpoint::HealthReport OperatorView::health() const {
  metrics_endpoint::HealthReport report;
  const TimePoint at = now();
  std::lock_guard lock(mutex_);
  if (!loop_started_) {
    report.checks.emplace_back("loop", "not started yet");
  } else {
    const Seconds since = at - last_cycle_.value_or(*loop_started_);
    const Seconds window = loop_window();
    report.alive = since <= window;
    report.checks.emplace_back(
        "loop", fmt::format("{} {} (limit {:.0f} s)",
                            last_cycle_ ? "last cycle completed" : "started, no cycle completed,",
                            ago(since), window.count()));
  }
  if (!checks_done_) {
    report.ready = false;
    report.checks.emplace_back("start-up checks", "not passed yet");
  } else {
    report.checks.emplace_back("start-up checks", std::string(*checks_done_));
  }
  const Seconds answer_window = 3 * std::max(Seconds(last_waiting_), poll_interval_);
  if (!last_answer_) {
    report.ready = false;
    report.checks.emplace_back("backend", "no answer yet");
  } else {
    const Seconds since = at - *last_answer_;
    if (since > answer_window) report.ready = false;
    report.checks.emplace_back(
        "backend", fmt::format("answered {} (limit {:.0f} s)", ago(since), answer_window.count()));
  }
  if (stopping_) {
    report.ready = false;
    report.checks.emplace_back("service", "stopping");
  }
  return report;
}

std::size_t OperatorView::running() const {
  std::lock_guard lock(mutex_);
  return running_actions_.size();
}

std::string OperatorView::status_line() const {
  std::lock_guard lock(mutex_);
  std::string line = fmt::format("{} action{} running", running_actions_.size(),
                                 running_actions_.size() == 1 ? "" : "s");
  if (stopping_) return "stopping; " + line;
  if (!loop_started_) return checks_done_ ? line : "start-up checks; " + line;
  if (last_poll_) {
    line += fmt::format("; last successful poll {}", ago(now() - *last_poll_));
  } else {
    line += "; no successful poll yet";
  }
  return line;
}

RecordExit metered_record_exit(RecordExit record_exit, OperatorView& view) {
  return [record_exit = std::move(record_exit), &view](const std::string& id, int status,
                                                       std::string_view cause) {
    const auto start = std::chrono::steady_clock::now();
    auto count = [&](OperatorView::Outcome outcome) {
      view.backend_call("record_exit", outcome,
                        Seconds(std::chrono::steady_clock::now() - start).count());
    };
    try {
      record_exit(id, status, cause);
    } catch (const backend::CallFailure&) {
      count(OperatorView::Outcome::kFailed);
      throw;
    } catch (...) {  // the backend's refusal, thrown
      count(OperatorView::Outcome::kRefused);
      throw;
    }
    count(OperatorView::Outcome::kOk);
  };
}

MeteredScaling::MeteredScaling(std::unique_ptr<backend::Scaling> inner, OperatorView& view)
    : inner_(std::move(inner)), view_(view) {}

backend::Result MeteredScaling::metered(std::string_view operation,
                                        const std::function<backend::Result()>& call) {
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return Seconds(std::chrono::steady_clock::now() - start).count(); };
  try {
    backend::Result result = call();
    view_.backend_call(
        operation,
        result.has_error() ? OperatorView::Outcome::kRefused : OperatorView::Outcome::kOk,
        elapsed());
    return result;
  } catch (const backend::NotConfiguredError&) {
    view_.backend_call(operation, OperatorView::Outcome::kRefused, elapsed());
    throw;
  } catch (...) {
    view_.backend_call(operation, OperatorView::Outcome::kFailed, elapsed());
    throw;
  }
}

Json MeteredScaling::metered_json(std::string_view operation, const std::function<Json()>& call) {
  Json answer;
  metered(operation, [&] {
    answer = call();
    return backend::Result::ok(Json());
  });
  return answer;
}

backend::Result MeteredScaling::assign_jobs(bool has_gpu) {
  backend::Result result = metered("assign_jobs", [&] { return inner_->assign_jobs(has_gpu); });
  if (!result.has_error()) view_.poll_succeeded();
  return result;
}

backend::Result MeteredScaling::update_action_status(const Json& arguments) {
  return metered("update_action_status", [&] { return inner_->update_action_status(arguments); });
}

backend::Result MeteredScaling::update_status(
    const std::string& action_record_id, const std::string& action_type, const std::string& service,
    const std::string& step_code, const std::string& status, const std::string& description) {
  return metered("update_status", [&] {
    return inner_->update_status(action_record_id, action_type, service, step_code, status,
                                 description);
  });
}

backend::Result MeteredScaling::update_action(const Json& arguments) {
  const auto description = arguments.find("status_description");
  if (description != arguments.end() && description->is_string() &&
      description->get_ref<const std::string&>() == kCudaOutOfMemory) {
    view_.oom_report();
  }
  return metered("update_action", [&] { return inner_->update_action(arguments); });
}

backend::Result MeteredScaling::update_action_docker_logs(const Json& arguments) {
  const auto content = arguments.find("log_content");
  const std::size_t bytes = content != arguments.end() && content->is_string()
                                ? content->get_ref<const std::string&>().size()
                                : 0;
  bool accepted = false;
  try {
    backend::Result result = metered("update_action_docker_logs",
                                     [&] { return inner_->update_action_docker_logs(arguments); });
    accepted = !result.has_error();
    view_.log_piece(bytes, accepted);
    return result;
  } catch (...) {
    view_.log_piece(bytes, false);
    throw;
  }
}

backend::Result MeteredScaling::get_action_details(const std::string& action_record_id) {
  return metered("get_action_details",
                 [&] { return inner_->get_action_details(action_record_id); });
}

backend::Result MeteredScaling::get_downscaled_ids() {
  return metered("get_downscaled_ids", [&] { return inner_->get_downscaled_ids(); });
}

backend::Result MeteredScaling::get_model_codebase(const std::string& model_family) {
  return metered("get_model_codebase", [&] { return inner_->get_model_codebase(model_family); });
}

backend::Result MeteredScaling::get_model_codebase_requirements(const std::string& model_family) {
  return metered("get_model_codebase_requirements",
                 [&] { return inner_->get_model_codebase_requirements(model_family); });
}

backend::Result MeteredScaling::get_docker_hub_credentials() {
  return metered("get_docker_hub_credentials",
                 [&] { return inner_->get_docker_hub_credentials(); });
}

backend::Result MeteredScaling::get_user_access_key_pair(const std::string& user_id) {
  return metered("get_user_access_key_pair",
                 [&] { return inner_->get_user_access_key_pair(user_id); });
}

backend::Result MeteredScaling::get_model_secret_keys(const std::string& secret_name,
                                                      const std::string& action_record_id) {
  return metered("get_model_secret_keys",
                 [&] { return inner_->get_model_secret_keys(secret_name, action_record_id); });
}

backend::Result MeteredScaling::get_internal_api_key(const std::string& action_record_id) {
  return metered("get_internal_api_key",
                 [&] { return inner_->get_internal_api_key(action_record_id); });
}

Json MeteredScaling::get_data_processing_image() {
  return metered_json("get_data_processing_image",
                      [&] { return inner_->get_data_processing_image(); });
}

Json MeteredScaling::get_open_port() {
  return metered_json("get_open_port", [&] { return inner_->get_open_port(); });
}

Json MeteredScaling::get_shutdown_details() {
  return metered_json("get_shutdown_details", [&] { return inner_->get_shutdown_details(); });
}

backend::Result MeteredScaling::update_available_resources(const Json& arguments) {
  return metered("update_available_resources",
                 [&] { return inner_->update_available_resources(arguments); });
}

}  // namespace tavoren::agent
