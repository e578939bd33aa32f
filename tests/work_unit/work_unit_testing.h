// Helpers shared by the work unit's tests: action records, units whose
// executor starts a given shell command, and waits with a deadline.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fake_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "tavoren/work_unit.h"
#include "test_support.h"

namespace tavoren::testing {

inline constexpr const char* kActionId = "65f1a2b3c4d5e6f708192a3b";
inline const std::string kId = kActionId;

// The key that seals the backend's secrets in the tests.
inline constexpr const char* kEncryptionKey = "0123456789abcdef0123456789abcdef";
// An owner's key pair, which the log must never show.
inline constexpr const char* kOwnerAccess = "AKIAOWNER0000001";
inline constexpr const char* kOwnerSecret = "ownerSecretKey/0001+abc";

// `line` as the log shows it: each of `secrets` masked.
inline std::string masked(std::string line, std::initializer_list<std::string_view> secrets) {
  for (const std::string_view secret : secrets) {
    for (std::size_t at; (at = line.find(secret)) != std::string::npos;) {
      line.replace(at, secret.size(), log::kSecretMask);
    }
  }
  return line;
}

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

// What a unit tells through its options' callbacks: the process id of the
// child it launched last (on_launch) and the log bytes shipped so far
// (on_progress). It must outlive the units it is attached to.
class UnitProbe {
 public:
  WorkUnitOptions attach(WorkUnitOptions options) {
    options.on_launch = [this](const LaunchedRun& run) { pid_ = run.client_pid; };
    options.on_progress = [this](const std::string&, std::uint64_t shipped, std::uint64_t) {
      shipped_ = shipped;
    };
    return options;
  }
  // The child's process id; fails the test when nothing was launched.
  pid_t pid() const {
    const pid_t pid = pid_.load();
    EXPECT_GT(pid, 0) << "the unit launched no child";
    return pid;
  }
  std::uint64_t shipped() const { return shipped_.load(); }

 private:
  std::atomic<pid_t> pid_{0};
  std::atomic<std::uint64_t> shipped_{0};
};

// The one way the tests reach inside a unit: the launch alone and the final
// flush, which no public member runs without a log thread.
struct WorkUnitTestAccess {
  static void start_process(WorkUnit& unit, const std::string& cmd, const std::string& log_name) {
    unit.start_process(cmd, log_name);
  }
  static bool flush_final_logs(WorkUnit& unit) { return unit.flush_final_logs(); }
};

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

// The words of NUL-terminated text (what `printf '%s\0' "$@"` writes).
inline std::vector<std::string> nul_words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    words.push_back(text.substr(start, end - start));
  }
  return words;
}

// What the executor suites share: units built against a recording backend
// and a stand-in engine on PATH (which swallows a login's password and
// records the environment its `run` call got), their log folder, and what
// the backend and the engine were asked. The units are
// stopped and the secret registry emptied at the end.
class ExecutorHarness {
 protected:
  ExecutorHarness() {
    const std::string env_file = shell_quote(run_environment_path().string());
    tools_.add_script("docker",
                      "if [ \"$1\" = login ]; then cat > /dev/null; fi\n"
                      "if [ \"$1\" = run ]; then env -0 > " +
                          env_file + ".part && mv " + env_file + ".part " + env_file + "; fi");
  }
  ~ExecutorHarness() {
    for (auto& unit : units_) unit->stop();
    log::clear_secrets();
  }

  // Has the backend hand out the owner's key pair as the platform stores
  // it: encrypted with `encryption_key`.
  void answer_owner_keys(const char* access_key, const char* secret_key,
                         const char* encryption_key) {
    const auto encrypted =
        host_probe::get_encrypted_access_key_pair(access_key, secret_key, encryption_key);
    if (!encrypted) throw std::runtime_error("the owner's keys could not be encrypted");
    fake_.set_default("get_user_access_key_pair",
                      backend::Result::ok(Json{{"access_key", encrypted->access_key},
                                               {"secret_key", encrypted->secret_key}}));
  }

  // A unit of the record `details`, with the backend answering `details`
  // for the current record; the calls recorded so far are forgotten.
  WorkUnit& make(const Json& details) {
    fake_.set_default("get_action_details", backend::Result::ok(details));
    WorkUnitOptions options;
    options.timings = quick_timings();
    options.log_dir = logs_.path() / "logs";
    options.allow_loopback_downloads = true;  // the codebases' server
    units_.push_back(std::make_unique<WorkUnit>(fake_, details, options));
    fake_.clear_calls();
    return *units_.back();
  }
  // make(), then its executor.
  WorkUnit& run(const Json& details) {
    WorkUnit& unit = make(details);
    unit.execute();
    return unit;
  }

  std::string log_path(const std::string& log_name, const std::string& id = kActionId) const {
    return (logs_.path() / "logs" / (log_name + "_" + id + ".txt")).string();
  }

  // Backend operations called, in order, leaving out log shipments.
  std::vector<std::string> operations() const {
    std::vector<std::string> names;
    for (const auto& call : fake_.calls()) {
      if (call.operation != "update_action_docker_logs") names.push_back(call.operation);
    }
    return names;
  }

  // The words the stand-in engine received for its `run` call.
  std::vector<std::string> docker_run_words() const {
    std::vector<std::string> words;
    EXPECT_TRUE(eventually([&] {
      for (const std::string& call : tools_.calls("docker")) {
        if (call.starts_with("run ")) {
          words = shell_split(call);
          return true;
        }
      }
      return false;
    }));
    return words;
  }

  // The environment the stand-in engine's `run` call got, as NAME to value.
  std::map<std::string, std::string> docker_run_environment() const {
    std::map<std::string, std::string> variables;
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(run_environment_path()); }));
    for (const std::string& entry : nul_words(read_file(run_environment_path()))) {
      const std::size_t equals = entry.find('=');
      if (equals != std::string::npos)
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return variables;
  }
  std::filesystem::path run_environment_path() const { return logs_.path() / "docker-run.env"; }

  TempDir logs_;
  FakeTools tools_;
  FakeScaling fake_;
  std::vector<std::unique_ptr<WorkUnit>> units_;
};

}  // namespace tavoren::testing
