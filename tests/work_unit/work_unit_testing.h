// Helpers shared by the work unit's tests: action records, units whose
// executor starts a given shell command, and waits with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "fake_scaling.h"
#include "tavoren/work_unit.h"
#include "test_support.h"

namespace tavoren::testing {

inline constexpr const char* kActionId = "65f1a2b3c4d5e6f708192a3b";

inline Json action_record(const std::string& type = "model_train") {
  Json record = Json::object();
  record["_id"] = kActionId;
  record["action"] = type;
  record["actionDetails"] = Json{{"docker", "registry.example/job:1"}};
  record["jobParams"] = Json{{"epochs", 3}};
  return record;
}

// Timings of a few milliseconds, so stops and flushes are quick.
inline WorkUnitTimings quick_timings() {
  using std::chrono::milliseconds;
  return WorkUnitTimings{.log_interval = milliseconds(10),
                         .term_grace = milliseconds(2000),
                         .kill_wait = milliseconds(2000),
                         .flush_delay = milliseconds(0),
                         .join_limit = milliseconds(5000),
                         .exit_wait = milliseconds(1000)};
}

// Options whose only action type, "model_train", starts `cmd` as log "job".
inline WorkUnitOptions running(const TempDir& logs, const std::string& cmd,
                               WorkUnitTimings timings = quick_timings()) {
  WorkUnitOptions options;
  options.timings = timings;
  options.log_dir = logs.path() / "logs";
  options.actions_map =
      ActionsMap{{"model_train", [cmd](WorkUnit& unit) { unit.start(cmd, "job"); }}};
  return options;
}

// Polls `condition` every few milliseconds; false when `limit` passed.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Polls is_running until it reports the child ended.
inline bool ends(WorkUnit& unit) {
  return eventually([&] { return !unit.is_running(); });
}

// The log pieces the backend received, in order, from call `first` on.
inline std::vector<std::string> shipped_pieces(const FakeScaling& fake, std::size_t first = 0) {
  std::vector<std::string> pieces;
  auto calls = fake.calls("update_action_docker_logs");
  for (std::size_t i = first; i < calls.size(); ++i) {
    pieces.push_back(calls[i].arguments.at("log_content").get<std::string>());
  }
  return pieces;
}

inline std::string joined(const std::vector<std::string>& pieces) {
  std::string all;
  for (const auto& p : pieces) all += p;
  return all;
}

}  // namespace tavoren::testing
