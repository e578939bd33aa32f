// What the agent shows its operator while it runs: its metrics (counted into
// a metrics registry) and its health, computed from the events the service
// reports here.
//
// Alive: the dispatcher loop completed a cycle within three of its waiting
// times (counted from the loop's start until the first cycle ends, with the
// poll interval as the waiting time); before the loop starts (start-up
// checks) the agent counts as alive. Ready: the start-up checks passed (or
// were skipped), the agent is not stopping, and the backend answered a call
// (any answer, a refusal included) within three waiting times.
//
// MeteredScaling wraps the Scaling client: every call is counted by
// operation and outcome ("ok"; "refused": the backend answered with an
// error, by truth, or a NotConfiguredError; "failed": no answer, any other
// exception) with its duration; log pieces count their bytes as shipped
// or refused, and reports of a GPU out-of-memory failure are counted.
// metered_record_exit counts the record of an action's end, which is no
// Scaling call, the same way under the operation "record_exit" (it answers
// by throwing: "failed" for a backend::CallFailure, "refused" for any
// other exception).
//
// Threads: every member of both classes may be called from any thread.
// Ownership: OperatorView keeps a reference to its registry, which must
// outlive it; MeteredScaling owns the client it wraps and keeps a reference
// to the view. Failures: none of their own; MeteredScaling passes on every
// answer and exception of the client unchanged. Time limits: those of the
// wrapped client.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tavoren/backend.h"
#include "tavoren/job_dispatcher.h"
#include "tavoren/metrics.h"
#include "tavoren/metrics_endpoint.h"

namespace tavoren::agent {

class OperatorView {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  enum class Outcome { kOk, kRefused, kFailed };

  // `clock`: steady_clock::now when empty.
  explicit OperatorView(metrics::Registry& registry = metrics::Registry::process_wide(),
                        Clock clock = {});
  OperatorView(const OperatorView&) = delete;
  OperatorView& operator=(const OperatorView&) = delete;

  // The start-up checks passed, or were skipped on purpose (the agent
  // becomes ready either way; /healthz tells which).
  void checks_passed();
  void checks_skipped();
  // The dispatcher loop starts, with its base waiting time.
  void loop_started(std::chrono::duration<double> poll_interval);
  void cycle_completed(const DispatcherCycle& cycle);
  // The agent stops taking work.
  void stopping();

  void action_started(const std::string& action_id, const std::string& action_type);
  // The first report of an action's end counts; later ones are ignored.
  void action_ended(const std::string& action_id, int shell_status);

  void backend_call(std::string_view operation, Outcome outcome, double seconds);
  void log_piece(std::size_t bytes, bool accepted);
  void oom_report();
  void poll_succeeded();

  metrics_endpoint::HealthReport health() const;
  // The actions started whose end was not reported yet.
  std::size_t running() const;
  // A short line for the service manager: running actions and the loop.
  std::string status_line() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  TimePoint now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
  // Three waiting times of the loop, at least three poll intervals for
  // the backend's answers.
  std::chrono::duration<double> loop_window() const;

  Clock clock_;
  const TimePoint created_;

  metrics::Family<metrics::Counter>& started_;
  metrics::Family<metrics::Counter>& ended_;
  metrics::Gauge& running_;
  metrics::Family<metrics::Counter>& backend_calls_;
  metrics::Family<metrics::Histogram>& backend_latency_;
  metrics::Counter& log_shipped_;
  metrics::Counter& log_refused_;
  metrics::Counter& oom_reports_;
  metrics::Counter& cycles_;
  metrics::Gauge& waiting_;
  metrics::Gauge& memory_usage_;
  metrics::Gauge& since_poll_;

  mutable std::mutex mutex_;
  // The start-up checks' word in /healthz once done: "passed" or "skipped".
  std::optional<std::string_view> checks_done_;
  bool stopping_ = false;
  std::optional<TimePoint> loop_started_;
  std::chrono::duration<double> poll_interval_{10};
  std::optional<TimePoint> last_cycle_;
  int last_waiting_ = 0;
  std::optional<TimePoint> last_answer_;
  std::optional<TimePoint> last_poll_;
  // Running actions: identifier to type.
  std::map<std::string, std::string> running_actions_;

  metrics::CollectHook hook_;
};

// How the agent records an action's end: its identifier, its status in
// the shell's form, and the cause.
using RecordExit = std::function<void(const std::string&, int, std::string_view)>;

// `record_exit` counted by `view` (see the top of this file); its answers
// and exceptions pass unchanged.
RecordExit metered_record_exit(RecordExit record_exit, OperatorView& view);

class MeteredScaling final : public backend::Scaling {
 public:
  MeteredScaling(std::unique_ptr<backend::Scaling> inner, OperatorView& view);

  backend::Scaling& inner() { return *inner_; }

  const backend::Session& session() const override { return inner_->session(); }
  backend::Result assign_jobs(bool has_gpu) override;
  backend::Result update_action_status(const Json& arguments) override;
  backend::Result update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) override;
  backend::Result update_action(const Json& arguments) override;
  backend::Result update_action_docker_logs(const Json& arguments) override;
  backend::Result get_action_details(const std::string& action_record_id) override;
  backend::Result get_downscaled_ids() override;
  backend::Result get_model_codebase(const std::string& model_family) override;
  backend::Result get_model_codebase_requirements(const std::string& model_family) override;
  backend::Result get_docker_hub_credentials() override;
  backend::Result get_user_access_key_pair(const std::string& user_id) override;
  backend::Result get_model_secret_keys(const std::string& secret_name,
                                        const std::string& action_record_id = "") override;
  backend::Result get_internal_api_key(const std::string& action_record_id) override;
  Json get_data_processing_image() override;
  Json get_open_port() override;
  Json get_shutdown_details() override;
  backend::Result update_available_resources(const Json& arguments) override;

 private:
  // Runs `call`, counting it under `operation`.
  backend::Result metered(std::string_view operation, const std::function<backend::Result()>& call);
  Json metered_json(std::string_view operation, const std::function<Json()>& call);

  std::unique_ptr<backend::Scaling> inner_;
  OperatorView& view_;
};

}  // namespace tavoren::agent
