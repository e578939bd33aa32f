// The agent's main loop: polls the backend for assigned actions, admits
// them while memory usage is under the threshold, and runs one WorkUnit per
// action.
//
// Each cycle reads the memory usage, polls (below the threshold), cleans up
// container storage, and sleeps for a time that grows as usage approaches
// the threshold. Started work units stay in the table until
// get_current_actions() purges the ones that ended.
//
// Ownership: the dispatcher owns its work units; the Scaling client is
// borrowed and must outlive the dispatcher.
// Threads: start_job_dispatcher() runs the loop on the calling thread.
// get_current_actions() and request_stop() may be called from any other
// thread; the table is guarded by a mutex, and work units are stopped and
// destroyed outside it.
// Failures: every operation logs its failures under the agent's error
// policy; only a failure that leaves the loop itself reaches the caller of
// start_job_dispatcher().
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/work_unit.h"

namespace tavoren {

// One completed cycle of the dispatcher loop (JobDispatcherOptions::on_cycle).
struct DispatcherCycle {
  std::optional<double> memory_usage;
  int waiting_seconds = 0;
};

struct JobDispatcherOptions {
  // Memory usage ratio below which new actions are fetched.
  double memory_threshold = 0.9;
  // Base of the waiting time between cycles, in seconds.
  double poll_interval = 10;
  // The length of one "second" of waiting (tests shorten it).
  std::chrono::milliseconds second{1000};
  // Options of every work unit the dispatcher creates.
  WorkUnitOptions work_unit;
  // An action whose start failed because the backend could not be reached
  // (a backend::CallFailure that may pass, during process_action) is started
  // again at the next cycles, up to this many starts in all.
  int max_start_tries = 5;
  // Told at the end of every cycle of start_job_dispatcher, on the loop's
  // thread, just before its wait: the memory usage it read (nullopt when
  // the read failed) and the seconds it will now wait. Must be quick and
  // must not throw.
  std::function<void(const DispatcherCycle& cycle)> on_cycle;
  // Told of every action whose unit was started and entered the table, on
  // the loop's thread. Must be quick and must not throw.
  std::function<void(const WorkUnit& unit)> on_started;
};

// An action a previous agent left running, as the agent kept it.
struct KeptRun {
  // The action record it was started from.
  Json record;
  AdoptedRun run;
};

// What readopt() did with the kept actions, by identifier.
struct Readoption {
  // Taken over (their work units are in the table): running, or ended
  // while no agent ran (their end is being recorded).
  std::vector<std::string> adopted;
  // Scaled down while no agent ran: stopped.
  std::vector<std::string> stopped;
  // No container left: the rest of the log shipped, the end recorded.
  std::vector<std::string> gone;
  // Not taken over this time (the engine or the backend did not answer,
  // the record cannot be run): left as they were.
  std::vector<std::string> left;
};

class JobDispatcher {
 public:
  // The table: action identifier to work unit, in insertion order.
  using ActionTable = std::vector<std::pair<std::string, std::shared_ptr<WorkUnit>>>;

  explicit JobDispatcher(backend::Scaling& scaling, JobDispatcherOptions options = {});
  ~JobDispatcher();
  JobDispatcher(const JobDispatcher&) = delete;
  JobDispatcher& operator=(const JobDispatcher&) = delete;

  // The loop. Returns only after request_stop() (at the next sleep) or
  // when a failure leaves the loop (logged, then thrown).
  void start_job_dispatcher();
  // Ends the loop at its next sleep (or cuts the current sleep short).
  // Safe from any thread and from a signal-watching thread.
  void request_stop();

  // The assigned action records (empty on any failure).
  std::vector<Json> fetch_actions();
  // Builds, announces and starts one action; nullptr on any failure. An
  // action whose start failed for lack of the backend's answers (its
  // announcement or its executor's calls: the unit got no process) is kept
  // for a later cycle instead (see max_start_tries).
  std::shared_ptr<WorkUnit> process_action(const Json& action);
  // Starts the actions kept for another start, then fetches and starts the
  // assigned actions, storing each started unit.
  void process_actions();
  // Removes (and stops) the units whose process ended or never started; the
  // end of one that never reached its command is recorded (start_failed).
  // Stops too the units running on a GPU that failed (end_actions_on_gpu),
  // their ends recorded with the cause given there.
  void purge_unwanted();
  // The GPU at `position` failed: each unit running on it is stopped at the
  // next purge, and its end recorded with `cause` (gpu_fault). Safe from
  // any thread; returns at once.
  void end_actions_on_gpu(int position, std::string_view cause);
  // The action that uses each GPU (by position), of the units now in the
  // table; without purging. Safe from any thread.
  std::map<int, std::string> gpu_users() const;
  // Every unit now in the table is to record its end with `cause`
  // (preempted) when it is stopped. Safe from any thread.
  void set_end_cause_of_all(std::string_view cause);
  // Purges, then returns the units that remain (a copy of the table).
  ActionTable get_current_actions();

  // Takes over the actions a previous agent left running; call it before
  // the loop starts. For each: its container is found (the kept id, the
  // id its client wrote, else the engine's containers labelled with its
  // identifier) and asked about; a work unit is built from its record and
  // adopts it (WorkUnit::adopt), and enters the table like any other, so
  // purges, stops, drains and the out-of-memory check treat it alike. A
  // container that ended meanwhile is adopted too: its unit ships the rest
  // of the log and records the end at once. An action the backend scaled
  // down meanwhile is stopped (logged). One whose container is gone gets
  // the rest of its log shipped and its end recorded with an unknown
  // status. When the engine or the backend does not answer about an
  // action, it is left alone (logged) rather than guessed about.
  Readoption readopt(const std::vector<KeptRun>& kept);
  // Stops every running container labelled with this agent's instance
  // (engine::kInstanceLabel = `instance_id`) whose action is neither in
  // `known` nor in the table: a previous agent started it and nothing
  // keeps it any more. Each is logged. Returns their container ids.
  std::vector<std::string> stop_orphans(const std::string& instance_id,
                                        const std::vector<std::string>& known);

  // The waiting time, in seconds, after a cycle at `mem_usage`.
  int waiting_time(double mem_usage) const;
  // Stops every unit in the table and empties it (agent shutdown).
  void stop_all();
  // Lets go of every unit in the table without stopping its action
  // (WorkUnit::detach), and empties it: the agent exits for a restart, and
  // the next one takes the actions over.
  void detach_all();
  std::size_t size() const;

  backend::Scaling& scaling() const { return scaling_; }
  double memory_threshold() const { return options_.memory_threshold; }
  double poll_interval() const { return options_.poll_interval; }

 private:
  // process_action's start itself, under its error policy.
  std::shared_ptr<WorkUnit> start_action(const Json& action);
  // Records, through the units' end hook, that `action` (an assigned record
  // no unit could be made for, or given up) ended without reaching its
  // command: cause start_failed, status unknown. Never throws.
  void end_never_started(const Json& action);
  // Whether a unit with this identifier is in the table.
  bool is_tracked(const std::string& action_record_id) const;

  backend::Scaling& scaling_;
  JobDispatcherOptions options_;

  mutable std::mutex table_mutex_;
  ActionTable current_actions_;
  // GPUs that failed, with the cause their units end with; guarded by
  // table_mutex_.
  std::map<int, std::string> failed_gpus_;

  // Actions whose start is to be tried again, with the starts so far.
  // Used by the dispatcher's thread only.
  std::vector<std::pair<Json, int>> start_again_;

  std::mutex sleep_mutex_;
  std::condition_variable sleep_cv_;
  bool stop_requested_ = false;
};

}  // namespace tavoren
