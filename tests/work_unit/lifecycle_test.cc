#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "executors/executors.h"
#include "fake_engine.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using backend::Result;
using log::Level;
using log::LogCapture;

WorkUnitOptions with_table(ActionsMap table) {
  WorkUnitOptions options;
  options.timings = quick_timings();
  options.actions_map = std::move(table);
  return options;
}

// Processes of process group `pgid` that are still alive (zombies, which
// only wait for their parent, do not count).
std::vector<pid_t> live_group_members(pid_t pgid) {
  std::vector<pid_t> members;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (!std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    auto close = content.rfind(')');
    if (close == std::string::npos) continue;
    // After ")": state, ppid, pgrp.
    auto fields = split_whitespace(content.substr(close + 1));
    if (fields.size() < 3 || fields[0] == "Z") continue;
    if (std::stoi(fields[2]) == pgid) members.push_back(std::stoi(name));
  }
  return members;
}

// Whether `pid` has been reaped (it is no child of ours any more).
bool reaped(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

// ---------------------------------------------------------------------------
// Construction

TEST(WorkUnitConstruction, RefusesARecordThatIsNotADictionary) {
  FakeScaling fake;
  for (const Json& bad : {Json(nullptr), Json("text"), Json::array({action_record()}), Json(7)}) {
    try {
      WorkUnit unit(fake, bad);
      FAIL() << "accepted " << bad.dump();
    } catch (const TypeError& e) {
      EXPECT_NE(std::string(e.what()).find("action_info"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(fake.calls().size(), 0u);
}

TEST(WorkUnitConstruction, AMissingKeyFailsBeforeTheImageIsAskedFor) {
  for (const char* key : {"_id", "action", "actionDetails"}) {
    FakeScaling fake;
    Json record = action_record();
    record.erase(key);
    try {
      WorkUnit unit(fake, record);
      FAIL() << "accepted a record without " << key;
    } catch (const KeyError& e) {
      EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
    }
    EXPECT_EQ(fake.count("get_data_processing_image"), 0u) << key;
  }
}

// The identifier names files and a container: any other form is refused
// before anything is asked or made.
TEST(WorkUnitConstruction, AnIdentifierOfAnyOtherFormIsRefused) {
  for (const Json& id : {Json("../../../etc/cron.d/x"), Json("65F1A2B3C4D5E6F708192A3B"),
                         Json("65f1a2b3c4d5e6f708192a3"), Json("65f1a2b3c4d5e6f708192a3b0"),
                         Json("65f1a2b3c4d5e6f7\n8192a3b"), Json(123456789012345678)}) {
    FakeScaling fake;
    Json record = action_record();
    record["_id"] = id;
    EXPECT_THROW(WorkUnit(fake, record), ValueError) << id.dump();
    EXPECT_EQ(fake.calls().size(), 0u) << id.dump();
  }
}

TEST(WorkUnitConstruction, UnknownActionTypeIsAValueErrorAfterTheImageLookup) {
  FakeScaling fake;
  try {
    WorkUnit unit(fake, action_record("no_such_type"));
    FAIL() << "accepted an unknown type";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Unknown action type: no_such_type");
  }
  EXPECT_EQ(fake.count("get_data_processing_image"), 1u);
}

TEST(WorkUnitConstruction, ImageComesFromTheRecordOrElseFromTheBackend) {
  FakeScaling fake;
  fake.set_default("get_data_processing_image", Result::ok(Json{{"image", "default:2"}}));

  Json record = action_record();
  // The image is the last word of the command line's front.
  auto image_of = [](WorkUnit& unit) {
    unit.set_tavoren_keys("AKIA-IMAGE-TEST", "image-test-secret");
    const std::string line = unit.get_base_docker_cmd();
    const std::string pull = "--pull=always ";
    const std::size_t at = line.find(pull);
    if (at == std::string::npos) return line;
    const std::size_t from = at + pull.size();
    return line.substr(from, line.find(' ', from) - from);
  };
  record["actionDetails"] = Json{{"docker", "own:1"}, {"docker_container", "other:1"}};
  WorkUnit with_docker(fake, record);
  EXPECT_EQ(fake.count("get_data_processing_image"), 1u);  // asked even though unused
  EXPECT_EQ(image_of(with_docker), "own:1");

  record["actionDetails"] = Json{{"docker_container", "other:1"}};
  WorkUnit with_container(fake, record);
  EXPECT_EQ(image_of(with_container), "other:1");

  record["actionDetails"] = Json{{"gpuRequired", false}};
  WorkUnit without(fake, record);
  EXPECT_EQ(fake.count("get_data_processing_image"), 3u);
  // Used unchanged: an object is written as its JSON text.
  EXPECT_EQ(image_of(without), shell_quote(Json{{"image", "default:2"}}.dump()));

  EXPECT_EQ(without.action_record_id(), kId);
  EXPECT_EQ(without.action_type(), "model_train");
  log::clear_secrets();
}

TEST(WorkUnitConstruction, AFreshUnitHoldsNothingAndIsNotRunning) {
  LogCapture capture;
  FakeScaling fake;
  WorkUnit unit(fake, action_record());
  fake.clear_calls();
  EXPECT_FALSE(unit.has_process());
  EXPECT_EQ(unit.cmd(), std::nullopt);
  EXPECT_EQ(unit.log_path(), std::nullopt);
  EXPECT_FALSE(unit.is_running());
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_TRUE(capture.lines().empty());
}

// ---------------------------------------------------------------------------
// The action-type table and execute

TEST(ActionsTable, HoldsTheFifteenTypesInOrderWithTheirExecutors) {
  using Fn = void (*)(WorkUnit&);
  const std::vector<std::pair<std::string, Fn>> expected = {
      {"model_train", model_train_execute},
      {"model_eval", model_eval_execute},
      {"model_export", model_export_execute},
      {"deploy_add", model_deploy_execute},
      {"data_import", data_processing_execute},
      {"data_add", data_processing_execute},
      {"data_split", data_split_execute},
      {"data_prep", data_preparation_execute},
      {"dataset_annotation", dataset_annotation_execute},
      {"dataset_augmentation", dataset_augmentation_execute},
      {"augmentation_setup", augmentation_server_creation_execute},
      {"image_build", image_build_execute},
      {"resource_clone", resource_clone_execute},
      {"kafka_setup", kafka_setup_execute},
      {"inference_aggregator", deploy_aggregator_execute},
  };
  const ActionsMap table = default_actions_map();
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].first, expected[i].first);
    const Fn* target = table[i].second.target<Fn>();
    ASSERT_NE(target, nullptr) << table[i].first;
    EXPECT_EQ(*target, expected[i].second) << table[i].first;
  }
}

TEST(ActionsTable, ExecuteRunsTheTypesExecutorAndContainsItsFailure) {
  LogCapture capture;
  FakeScaling fake;
  WorkUnit failing(fake, action_record("model_train"),
                   with_table({{"model_train", [](WorkUnit&) {
                                  throw std::runtime_error("executor failed for a reason");
                                }}}));
  failing.execute();  // returns although the executor throws
  EXPECT_TRUE(capture.contains(Level::error, "Error in execute: executor failed for a reason"));
  EXPECT_FALSE(failing.has_process());

  int runs = 0;
  WorkUnit* seen = nullptr;
  WorkUnit unit(fake, action_record("model_eval"),
                with_table({{"model_train", [&](WorkUnit&) { FAIL() << "wrong executor"; }},
                            {"model_eval", [&](WorkUnit& u) {
                               ++runs;
                               seen = &u;
                             }}}));
  unit.execute();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(seen, &unit);
}

// ---------------------------------------------------------------------------
// Backend helpers: action details and credentials

TEST(WorkUnitBackend, GetActionDetailsReturnsTheRecordOrNothingOnAnError) {
  LogCapture capture;
  FakeScaling fake;
  WorkUnit unit(fake, action_record());

  fake.push("get_action_details", Result::ok(Json{{"action", "model_train"}}));
  EXPECT_EQ(unit.get_action_details(), (Json{{"action", "model_train"}}));
  EXPECT_EQ(fake.calls("get_action_details").back().arguments, Json::array({kId}));

  // An empty error counts as none.
  fake.push("get_action_details", Result{Json{{"a", 1}}, std::string(), ""});
  EXPECT_EQ(unit.get_action_details(), (Json{{"a", 1}}));

  fake.push("get_action_details", Result::failure("no such action"));
  EXPECT_EQ(unit.get_action_details(), std::nullopt);
  EXPECT_TRUE(capture.contains(Level::error, "Error getting action details: no such action"));

  capture.clear();
  fake.push_throw("get_action_details", "connection refused");
  EXPECT_EQ(unit.get_action_details(), std::nullopt);
  EXPECT_TRUE(capture.lines().empty());  // the policy is silent
}

TEST(WorkUnitBackend, InitCredentialsReadsTheSessionKeys) {
  FakeScaling fake(backend::Session{"AKIDEXAMPLE123", "secret-key-value-42"});
  WorkUnit unit(fake, action_record());
  const Json credentials = unit._init_credentials();
  EXPECT_EQ(credentials.dump(), R"({"tavoren_access_key_id":"AKIDEXAMPLE123",)"
                                R"("tavoren_secret_access_key":"secret-key-value-42"})");
  EXPECT_EQ(unit.tavoren_access_key_id(), "AKIDEXAMPLE123");
  EXPECT_EQ(unit.tavoren_secret_access_key(), "secret-key-value-42");
  EXPECT_EQ(log::mask_secrets("key secret-key-value-42"), "key " + std::string(log::kSecretMask));
  log::clear_secrets();
}

TEST(WorkUnitBackend, InitCredentialsRefusesAnIncompletePairSilently) {
  LogCapture capture;
  for (const auto& session :
       {backend::Session{"AKIDEXAMPLE123", ""}, backend::Session{"", "sk"}, backend::Session{}}) {
    FakeScaling fake(session);
    WorkUnit unit(fake, action_record());
    try {
      unit._init_credentials();
      FAIL() << "accepted an incomplete key pair";
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(),
                   "Tavoren credentials not found - both access key ID and secret access key are "
                   "required");
    }
    EXPECT_EQ(capture.count(Level::error), 0u);
  }
  log::clear_secrets();
}

// ---------------------------------------------------------------------------
// Launching the child

TEST(WorkUnitStart, ChildOutputAndErrorShareTheLogAndTheExitStatusIsLogged) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  // The child holds its exit until the test has looked at the running unit, so
  // the log thread cannot observe the end (and clear the handle) first.
  const std::string go = (dir.path() / "go").string();
  const std::string cmd = "sh -c 'echo 1; echo 2 >&2; echo 3; echo 4 >&2; while [ ! -e " + go +
                          " ]; do sleep 0.01; done; exit 3'";
  WorkUnit unit(fake, action_record(), running(dir, cmd));
  unit.execute();
  EXPECT_TRUE(unit.has_process());
  EXPECT_EQ(unit.cmd(), cmd);
  const std::string path = (dir.path() / "logs").string() + "/job_" + kId + ".txt";
  EXPECT_EQ(unit.log_path(), path);
  std::ofstream(go).put('\n');

  ASSERT_TRUE(ends(unit));
  EXPECT_EQ(read_file(path), "1\n2\n3\n4\n");
  EXPECT_TRUE(capture.contains(Level::info,
                               "Process for action " + kId + " has terminated with exit code: 3"));
  EXPECT_TRUE(capture.contains(Level::info, "Performing final log flush for action " + kId));
  EXPECT_FALSE(unit.has_process());
  // The flush asked the log thread to end.
  EXPECT_TRUE(eventually([&] {
    return capture.count(Level::info, "Log monitoring thread stopping for action " + kId) > 0;
  }));

  capture.clear();
  EXPECT_FALSE(unit.is_running());
  EXPECT_TRUE(capture.lines().empty());
}

TEST(WorkUnitStart, ChildGetsNullInputTheLogFileAndTheAgentsEnvironmentOnly) {
  TempDir dir;
  FakeScaling fake;
  ScopedEnv marker("TAVOREN_WORK_UNIT_TEST_MARKER", "from the agent");
  const std::string script =
      "echo \"$TAVOREN_WORK_UNIT_TEST_MARKER\"; readlink /proc/$$/fd/0 /proc/$$/fd/1; "
      "ls /proc/$$/fd";
  WorkUnit unit(fake, action_record(), running(dir, shell_join({"sh", "-c", script})));
  unit.execute();
  ASSERT_TRUE(ends(unit));

  auto lines = split(trim(read_file(*unit.log_path())), '\n');
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "from the agent");
  EXPECT_EQ(lines[1], "/dev/null");
  EXPECT_EQ(std::filesystem::path(lines[2]), std::filesystem::absolute(*unit.log_path()));
  const std::set<std::string> seen(lines.begin() + 3, lines.end());
  // Its standard streams only: no descriptor of the unit (log file, pidfd),
  // nor any the agent itself was started with.
  EXPECT_EQ(seen, (std::set<std::string>{"0", "1", "2"}));
}

// The log and its folder are the agent's alone, also where an older agent
// left them readable by everyone.
TEST(WorkUnitStart, TheLogFileAndItsFolderAreTheAgentsAlone) {
  TempDir dir;
  FakeScaling fake;
  WorkUnitOptions options = running(dir, "echo secret output");
  {
    WorkUnit unit(fake, action_record(), options);
    unit.execute();
    ASSERT_TRUE(ends(unit));
    EXPECT_EQ(read_file(*unit.log_path()), "secret output\n");
    EXPECT_EQ(std::filesystem::status(options.log_dir).permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_EQ(std::filesystem::status(*unit.log_path()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  using std::filesystem::perms;
  std::filesystem::permissions(options.log_dir, perms::all);
  const auto old_log = options.log_dir / ("job_" + kId + ".txt");
  std::filesystem::permissions(
      old_log, perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
  WorkUnit again(fake, action_record(), options);
  again.execute();
  ASSERT_TRUE(ends(again));
  EXPECT_EQ(std::filesystem::status(options.log_dir).permissions(), perms::owner_all);
  EXPECT_EQ(std::filesystem::status(old_log).permissions(), perms::owner_read | perms::owner_write);
}

// The command's secret values go to the child's environment, on top of the
// agent's own, and to no argument.
TEST(WorkUnitStart, TheContainerEnvironmentIsAddedToTheChildsEnvironment) {
  TempDir dir;
  FakeScaling fake;
  ScopedEnv marker("TAVOREN_WORK_UNIT_TEST_MARKER", "from the agent");
  ScopedEnv replaced("TAVOREN_SECRET_ACCESS_KEY", "the agent's own");
  const std::string script =
      "printf '%s|%s|%s\\n' \"$TAVOREN_WORK_UNIT_TEST_MARKER\" \"$TAVOREN_SECRET_ACCESS_KEY\" "
      "\"$TAVOREN_INTERNAL_API_KEY\"";
  WorkUnit unit(fake, action_record(), running(dir, shell_join({"sh", "-c", script})));
  unit.set_container_environment(
      {"TAVOREN_SECRET_ACCESS_KEY=sk with 'quotes' $x", "TAVOREN_INTERNAL_API_KEY=ik-1"});
  unit.execute();
  ASSERT_TRUE(ends(unit));
  EXPECT_EQ(read_file(*unit.log_path()), "from the agent|sk with 'quotes' $x|ik-1\n");
  EXPECT_EQ(std::getenv("TAVOREN_INTERNAL_API_KEY"), nullptr);
}

// An action's secrets stay registered while a unit that uses them lives:
// the registry follows the units, and a secret two units share stays masked
// until both are gone.
TEST(WorkUnitSecrets, AUnitsSecretsLeaveTheRegistryWithTheLastUnitThatHoldsThem) {
  log::clear_secrets();
  log::register_secret("agent-session-key");
  FakeScaling fake;
  fake.set_default("get_internal_api_key", Result::ok(Json{{"internal_api_key", "ik-of-one"}}));
  auto first = std::make_unique<WorkUnit>(fake, action_record());
  auto second = std::make_unique<WorkUnit>(fake, action_record());
  first->set_tavoren_keys("AKIA-SHARED-OWNER", "shared-owner-secret");
  second->set_tavoren_keys("AKIA-SHARED-OWNER", "shared-owner-secret");
  ASSERT_FALSE(first->get_base_docker_cmd().empty());
  ASSERT_FALSE(second->get_base_docker_cmd().empty());
  EXPECT_EQ(first->get_internal_api_key(kId), "ik-of-one");
  first->keep_secret_masked("ik-of-one");  // held once per unit
  EXPECT_EQ(log::registered_secret_count(), 4u);

  const std::string line = "AKIA-SHARED-OWNER shared-owner-secret ik-of-one agent-session-key";
  const std::string mask(log::kSecretMask);
  const std::string all_masked = mask + " " + mask + " " + mask + " " + mask;
  EXPECT_EQ(log::mask_secrets(line), all_masked);

  first.reset();  // the shared keys stay: the second unit still runs
  EXPECT_EQ(log::registered_secret_count(), 3u);
  EXPECT_EQ(log::mask_secrets(line), mask + " " + mask + " ik-of-one " + mask);

  second.reset();
  EXPECT_EQ(log::registered_secret_count(), 1u);
  EXPECT_EQ(log::mask_secrets(line), "AKIA-SHARED-OWNER shared-owner-secret ik-of-one " + mask);
  log::clear_secrets();
}

TEST(WorkUnitStart, ChildLeadsASessionAndProcessGroupOfItsOwn) {
  TempDir dir;
  FakeScaling fake;
  UnitProbe probe;
  WorkUnit unit(fake, action_record(), probe.attach(running(dir, "sleep 30")));
  unit.execute();
  const pid_t pid = probe.pid();
  EXPECT_EQ(::getpgid(pid), pid);
  EXPECT_EQ(::getsid(pid), pid);
  EXPECT_NE(::getsid(pid), ::getsid(0));
  EXPECT_TRUE(unit.is_running());
}

TEST(WorkUnitStart, ALaunchFailureIsLoggedAndLeavesTheUnitWithoutAProcess) {
  LogCapture capture;
  TempDir dir;
  const std::string blocker = dir.write("not-a-folder", "x").string();
  struct Case {
    std::string cmd;
    std::filesystem::path log_dir;
  };
  for (const Case& c : {Case{"sh -c 'echo unbalanced", dir.path() / "logs"},
                        Case{"tavoren-no-such-program --flag", dir.path() / "logs"},
                        Case{"   ", dir.path() / "logs"},
                        Case{"echo fine", std::filesystem::path(blocker) / "logs"}}) {
    FakeScaling fake;
    WorkUnitOptions options = running(dir, c.cmd);
    options.log_dir = c.log_dir;
    WorkUnit unit(fake, action_record(), options);
    capture.clear();
    unit.execute();
    EXPECT_EQ(capture.count(Level::error, "Error in start_process: "), 1u) << c.cmd;
    EXPECT_EQ(capture.count(Level::error, "Error in start: "), 1u) << c.cmd;
    EXPECT_EQ(capture.count(Level::error, "Error in execute"), 0u) << c.cmd;
    EXPECT_FALSE(unit.has_process()) << c.cmd;
    EXPECT_FALSE(unit.is_running()) << c.cmd;
    unit.stop();
    EXPECT_EQ(capture.count(Level::info, "Waiting for log thread"), 0u) << c.cmd;  // none started
  }
}

TEST(WorkUnitStart, ASecondStartIsRefused) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  UnitProbe probe;
  WorkUnit unit(fake, action_record(), probe.attach(running(dir, "sleep 30")));
  unit.execute();
  const pid_t pid = probe.pid();
  unit.start("sleep 31", "other");
  EXPECT_TRUE(
      capture.contains(Level::error, "Error in start: action " + kId + " was already started"));
  EXPECT_EQ(probe.pid(), pid);  // nothing else was launched
  EXPECT_EQ(unit.cmd(), "sleep 30");

  // Nothing brings a stopped unit back.
  TempDir other_dir;
  WorkUnit stopped(fake, action_record(), running(other_dir, "sleep 30"));
  stopped.stop();
  stopped.execute();
  EXPECT_TRUE(capture.contains(
      Level::error, "Error in start: action " + kId + " was stopped; it does not start again"));
  EXPECT_FALSE(stopped.has_process());
  EXPECT_FALSE(std::filesystem::exists(other_dir.path() / "logs"));
}

// ---------------------------------------------------------------------------
// Termination

TEST(WorkUnitStop, OnAUnitThatNeverStartedOnlyLogsTheStop) {
  LogCapture capture;
  FakeScaling fake;
  WorkUnit unit(fake, action_record());
  fake.clear_calls();
  unit.stop();
  EXPECT_EQ(capture.lines(),
            (std::vector<LogCapture::Line>{{Level::info, "Stopping action " + kId}}));
  EXPECT_TRUE(fake.calls().empty());
  // The stop holds: the unit does not start afterwards.
  unit.start("sleep 30", "job");
  EXPECT_TRUE(capture.contains(
      Level::error, "Error in start: action " + kId + " was stopped; it does not start again"));
  EXPECT_FALSE(unit.has_process());
}

TEST(WorkUnitStop, EndsAChildGracefullyWithoutWaitingForTheLogInterval) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  WorkUnitTimings timings = quick_timings();
  timings.log_interval = 10s;  // the log thread sleeps; stop must wake it
  WorkUnit unit(fake, action_record(), running(dir, "sh -c 'echo started; sleep 30'", timings));
  unit.execute();
  ASSERT_TRUE(eventually([&] { return read_file(*unit.log_path()) == "started\n"; }));
  const auto begin = std::chrono::steady_clock::now();
  unit.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_TRUE(capture.contains(Level::info, "Terminating process for action " + kId));
  EXPECT_TRUE(capture.contains(Level::info, "Process terminated gracefully for action " + kId));
  EXPECT_EQ(capture.count(Level::warning), 0u);
  EXPECT_EQ(joined(shipped_pieces(fake)), "started\n");

  // stop keeps the handle; the next check reports and clears it.
  EXPECT_TRUE(unit.has_process());
  EXPECT_FALSE(unit.is_running());
  EXPECT_TRUE(capture.contains(
      Level::info, "Process for action " + kId + " has terminated with exit code: -15"));
  EXPECT_FALSE(unit.has_process());
  EXPECT_EQ(joined(shipped_pieces(fake)), "started\n");
}

TEST(WorkUnitStop, KillsAProcessGroupThatIgnoresSigterm) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  WorkUnitTimings timings = quick_timings();
  timings.term_grace = 150ms;
  const std::string cmd = "sh -c 'trap \"\" TERM; echo ready; while :; do sleep 0.05; done'";
  UnitProbe probe;
  WorkUnit unit(fake, action_record(), probe.attach(running(dir, cmd, timings)));
  unit.execute();
  const pid_t pid = probe.pid();
  ASSERT_TRUE(eventually([&] { return read_file(*unit.log_path()) == "ready\n"; }));
  const auto begin = std::chrono::steady_clock::now();
  unit.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_TRUE(capture.contains(
      Level::warning, "Process didn't terminate gracefully, forcing kill for action " + kId));
  EXPECT_EQ(capture.count(Level::error), 0u);
  EXPECT_TRUE(reaped(pid));  // no zombie left behind
  EXPECT_TRUE(eventually([&] { return live_group_members(pid).empty(); }));

  EXPECT_FALSE(unit.is_running());
  EXPECT_TRUE(capture.contains(Level::info,
                               "Process for action " + kId + " has terminated with exit code: -9"));
}

// The end hook is how an agent learns that an action is over: it must come
// once, after the whole log was shipped, whichever path noticed the end.
TEST(WorkUnitExitHook, ReportsEachEndOnceAfterTheWholeLogWasShipped) {
  struct Seen {
    std::string id;
    process::ExitStatus status;
    std::string shipped;
    bool log_complete;
  };
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "ended by itself");
    TempDir dir;
    FakeScaling fake;
    std::vector<Seen> seen;
    const std::string cmd = stopped ? "sh -c 'echo one; echo two; exec sleep 30'"
                                    : "sh -c 'echo one; echo two; exit 7'";
    WorkUnitOptions options = running(dir, cmd);
    options.on_exit = [&](const std::string& id, process::ExitStatus status, bool log_complete,
                          std::string_view) {
      seen.push_back({id, status, joined(shipped_pieces(fake)), log_complete});
    };
    WorkUnit unit(fake, action_record(), std::move(options));
    unit.execute();
    if (stopped) {
      ASSERT_TRUE(eventually([&] { return read_file(*unit.log_path()) == "one\ntwo\n"; }));
      unit.stop();
    }
    ASSERT_TRUE(ends(unit));
    unit.stop();
    EXPECT_FALSE(unit.is_running());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, kId);
    EXPECT_EQ(seen[0].status,
              stopped ? process::ExitStatus::signaled(SIGTERM) : process::ExitStatus::exited(7));
    EXPECT_EQ(seen[0].shipped, "one\ntwo\n");
    EXPECT_TRUE(seen[0].log_complete);
  }

  // A failing hook is logged and does not disturb the unit.
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  WorkUnitOptions options = running(dir, "true");
  options.on_exit = [](const std::string&, process::ExitStatus, bool, std::string_view) {
    throw std::runtime_error("database gone");
  };
  WorkUnit unit(fake, action_record(), std::move(options));
  unit.execute();
  ASSERT_TRUE(ends(unit));
  EXPECT_TRUE(capture.contains(Level::error,
                               "Error reporting the end of action " + kId + ": database gone"));
}

// Each end carries its cause: the out-of-memory marker in the log makes it
// cuda_oom; the engine's client failing with its own status 125 means the
// container never ran (start_failed), while any other command may exit 125
// as it likes; a unit whose executor failed before its command is told
// once, with an unknown status.
TEST(WorkUnitExitHook, EachEndCarriesItsCause) {
  struct Case {
    const char* name;
    std::string cmd;
    process::ExitStatus status;
    std::string_view cause;
  };
  const Case cases[] = {
      {"exited", "sh -c 'echo fine; exit 3'", process::ExitStatus::exited(3),
       backend::end_cause::kExited},
      {"out of memory", "sh -c \"echo 'RuntimeError: CUDA error: out of memory'; exit 1\"",
       process::ExitStatus::exited(1), backend::end_cause::kCudaOom},
      {"engine failed", "docker run registry.example/job:1 true", process::ExitStatus::exited(125),
       backend::end_cause::kStartFailed},
      {"command exited 125", "sh -c 'exit 125'", process::ExitStatus::exited(125),
       backend::end_cause::kExited},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeScaling fake;
    FakeTools tools;
    tools.add("docker", "Unable to find image\n", 125);
    std::vector<std::pair<process::ExitStatus, std::string>> seen;
    std::mutex mutex;
    WorkUnitOptions options = running(dir, c.cmd);
    options.on_exit = [&](const std::string&, process::ExitStatus status, bool,
                          std::string_view cause) {
      std::lock_guard lock(mutex);
      seen.emplace_back(status, std::string(cause));
    };
    WorkUnit unit(fake, action_record(), std::move(options));
    unit.execute();
    ASSERT_TRUE(ends(unit));
    unit.report_never_started();  // it did start: nothing more is told
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, c.status);
    EXPECT_EQ(seen[0].second, c.cause);
  }

  TempDir dir;
  FakeScaling fake;
  int told = 0;
  WorkUnitOptions options = running(dir, "true");
  options.actions_map =
      ActionsMap{{"model_train", [](WorkUnit&) { throw std::runtime_error("no workspace"); }}};
  options.on_exit = [&](const std::string& id, process::ExitStatus status, bool log_complete,
                        std::string_view cause) {
    ++told;
    EXPECT_EQ(id, kId);
    EXPECT_EQ(status, process::ExitStatus::unknown());
    EXPECT_TRUE(log_complete);
    EXPECT_EQ(cause, backend::end_cause::kStartFailed);
  };
  WorkUnit unit(fake, action_record(), std::move(options));
  unit.execute();
  EXPECT_FALSE(unit.is_running());
  unit.report_never_started();
  unit.report_never_started();
  EXPECT_EQ(told, 1);
}

// The end is reported whether or not the log made it, and says which: a
// backend that refuses the tail to the last flush leaves the log
// incomplete; a refusal that a later send made good does not.
TEST(WorkUnitExitHook, SaysWhetherTheWholeLogReachedTheBackend) {
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "ended by itself");
    TempDir dir;
    FakeScaling fake;
    fake.set_default("update_action_docker_logs", Result::failure("log store full"));
    std::vector<bool> seen;
    WorkUnitOptions options =
        running(dir, stopped ? "sh -c 'echo lost; exec sleep 30'" : "sh -c 'echo lost'");
    options.on_exit = [&](const std::string&, process::ExitStatus, bool log_complete,
                          std::string_view) { seen.push_back(log_complete); };
    WorkUnit unit(fake, action_record(), std::move(options));
    unit.execute();
    if (stopped) {
      ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
      unit.stop();
    }
    ASSERT_TRUE(ends(unit));
    unit.stop();
    EXPECT_EQ(seen, std::vector<bool>{false});
  }

  TempDir dir;
  FakeScaling fake;
  fake.push("update_action_docker_logs", Result::failure("busy"));
  const std::filesystem::path gate = dir.path() / "gate";
  std::vector<bool> seen;
  WorkUnitOptions options =
      running(dir, shell_join({"sh", "-c",
                               "echo kept; while [ ! -e " + shell_quote(gate.string()) +
                                   " ]; do sleep 0.005; done"}));
  options.on_exit = [&](const std::string&, process::ExitStatus, bool log_complete,
                        std::string_view) { seen.push_back(log_complete); };
  WorkUnit unit(fake, action_record(), std::move(options));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  std::ofstream(gate).put('x');
  ASSERT_TRUE(ends(unit));
  unit.stop();
  EXPECT_EQ(seen, std::vector<bool>{true});
  EXPECT_EQ(shipped_pieces(fake), (std::vector<std::string>{"kept\n", "kept\n"}));
}

// A backend that answers a log piece "not current" took the action from
// this machine (it was found lost and queued again): the unit ships no
// more, answers not running so that its owner stops it, and stop() ends
// the child however long it would have run.
TEST(WorkUnitExitHook, AnActionTakenFromTheMachineStopsShippingAndIsStopped) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  fake.set_default("update_action_docker_logs",
                   Result::failure(std::string(backend::kNotCurrent), "attempt 1 is not current"));
  int ends_seen = 0;
  WorkUnitOptions options = running(dir, "sh -c 'echo working; exec sleep 30'");
  options.on_exit = [&](const std::string&, process::ExitStatus, bool, std::string_view) {
    ++ends_seen;
  };
  WorkUnit unit(fake, action_record(), std::move(options));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  ASSERT_TRUE(eventually([&] { return unit.taken_away(); }));
  EXPECT_FALSE(unit.is_running());
  const std::size_t sent = fake.calls("update_action_docker_logs").size();
  const auto began = std::chrono::steady_clock::now();
  unit.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  EXPECT_FALSE(unit.is_running());
  EXPECT_FALSE(unit.has_process()) << "the child was not ended";
  EXPECT_EQ(fake.calls("update_action_docker_logs").size(), sent) << "shipping went on";
  EXPECT_EQ(ends_seen, 1);
  EXPECT_TRUE(capture.contains(Level::warning, "Action " + kId +
                                                   " was taken from this machine (attempt 1 is "
                                                   "not current): stopping it"));
}

// A unit records its own child's end the moment it comes, on its own
// thread: nobody has to ask is_running, and the log interval is not waited
// out. Afterwards the unit is done: is_running answers false at once and
// stop() only joins the log thread, without a second flush. (The thread may
// still be making its last check when stop() comes, so stop() may wait.)
TEST(WorkUnitExitHook, TheUnitRecordsItsChildsEndOnItsOwnThreadAtOnce) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  WorkUnitTimings timings = quick_timings();
  timings.log_interval = 60s;
  std::mutex mutex;
  std::optional<process::ExitStatus> seen;
  std::thread::id reporter;
  std::string shipped_when_reported;
  WorkUnitOptions options = running(dir, "sh -c 'echo one; sleep 0.2; echo two; exit 3'", timings);
  options.on_exit = [&](const std::string&, process::ExitStatus status, bool log_complete,
                        std::string_view) {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(log_complete);
    seen = status;
    reporter = std::this_thread::get_id();
    shipped_when_reported = joined(shipped_pieces(fake));
  };
  WorkUnit unit(fake, action_record(), std::move(options));
  unit.execute();
  ASSERT_TRUE(eventually(
      [&] {
        std::lock_guard lock(mutex);
        return seen.has_value();
      },
      10s));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(*seen, process::ExitStatus::exited(3));
    EXPECT_NE(reporter, std::this_thread::get_id());
    EXPECT_EQ(shipped_when_reported, "one\ntwo\n");
  }
  EXPECT_TRUE(capture.contains(Level::info,
                               "Process for action " + kId + " has terminated with exit code: 3"));
  ASSERT_TRUE(eventually([&] { return !unit.is_running(); }, 5s));
  EXPECT_FALSE(unit.has_process());

  const std::size_t calls = fake.calls().size();
  capture.clear();
  unit.stop();
  EXPECT_EQ(capture.count(Level::info, "Performing final log flush"), 0u);
  EXPECT_EQ(fake.calls().size(), calls);
  EXPECT_EQ(capture.count(Level::info, "has terminated with exit code"), 0u);  // logged once
}

// A child that ends while the backend cannot be reached: the log thread
// sends the same tail again, then the end, until both arrive. A failure
// that cannot pass is not tried again.
TEST(WorkUnitExitHook, AnEndThatGotNoAnswerIsDeliveredOnceTheBackendAnswersAgain) {
  for (const bool may_pass : {true, false}) {
    SCOPED_TRACE(may_pass ? "a passing failure" : "a lasting failure");
    LogCapture capture;
    TempDir dir;
    FakeScaling fake;
    std::atomic<int> log_calls{0};
    fake.set_handler("update_action_docker_logs", [&](const Json&) -> Result {
      if (++log_calls <= 3) throw backend::CallFailure("no answer from the backend", may_pass);
      return Result::ok(Json());
    });
    WorkUnitTimings timings = quick_timings();
    timings.log_interval = 60s;
    timings.end_retry_interval = 20ms;
    std::mutex mutex;
    int exit_calls = 0;
    std::vector<bool> seen;
    WorkUnitOptions options =
        running(dir, "sh -c 'sleep 0.1; echo one; echo two; exit 4'", timings);
    options.on_exit = [&](const std::string&, process::ExitStatus status, bool log_complete,
                          std::string_view) {
      std::lock_guard lock(mutex);
      EXPECT_EQ(status, process::ExitStatus::exited(4));
      if (++exit_calls == 1) throw backend::CallFailure("no answer from the backend", may_pass);
      seen.push_back(log_complete);
    };
    WorkUnit unit(fake, action_record(), std::move(options));
    unit.execute();
    ASSERT_TRUE(eventually([&] { return !unit.is_running(); }, 10s));
    unit.stop();
    std::lock_guard lock(mutex);
    if (may_pass) {
      // The very same piece each time, taken by the fourth call.
      EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>(4, "one\ntwo\n"));
      EXPECT_EQ(exit_calls, 2);
      EXPECT_EQ(seen, std::vector<bool>{true});
      EXPECT_TRUE(capture.contains(
          Level::warning, "The end of action " + kId + " did not reach the backend; trying again"));
    } else {
      // Sent by the final flush and by the log thread's last check only.
      EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>(2, "one\ntwo\n"));
      EXPECT_EQ(exit_calls, 1);
      EXPECT_TRUE(seen.empty());
    }
    EXPECT_TRUE(capture.contains(
        Level::error, "Error reporting the end of action " + kId + ": no answer from the backend"));
  }
}

// Delivering an end gives up at its limit, and when the unit goes.
TEST(WorkUnitExitHook, DeliveringAnEndIsBoundedByItsLimitAndByTheUnitsEnd) {
  for (const bool destroyed : {false, true}) {
    SCOPED_TRACE(destroyed ? "the unit destroyed" : "the limit reached");
    TempDir dir;
    FakeScaling fake;
    std::atomic<int> exit_calls{0};
    WorkUnitTimings timings = quick_timings();
    timings.end_retry_interval = destroyed ? 60s : 10ms;
    timings.end_delivery_limit = destroyed ? 600s : 200ms;
    WorkUnitOptions options = running(dir, "true", timings);
    options.on_exit = [&](const std::string&, process::ExitStatus, bool, std::string_view) {
      ++exit_calls;
      throw backend::CallFailure("no answer from the backend", true);
    };
    const auto began = std::chrono::steady_clock::now();
    {
      WorkUnit unit(fake, action_record(), std::move(options));
      unit.execute();
      ASSERT_TRUE(eventually([&] { return exit_calls.load() >= 1; }, 10s));
      if (!destroyed) {
        ASSERT_TRUE(eventually([&] { return !unit.is_running(); }, 10s));
      }
    }
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, 10s);
    if (destroyed) {
      EXPECT_EQ(exit_calls.load(), 1);
    } else {
      EXPECT_GE(exit_calls.load(), 3);
      EXPECT_GE(took, 200ms);
    }
  }
}

// Holds the log calls of a recording backend until released.
class HeldLogCalls {
 public:
  explicit HeldLogCalls(FakeScaling& fake) {
    fake.set_handler("update_action_docker_logs", [this](const Json&) {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return released_; });
      return Result::ok(nullptr);
    });
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

TEST(WorkUnitStop, GivesUpOnALogThreadStuckInTheBackendAfterTheJoinLimit) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  HeldLogCalls held(fake);
  WorkUnitTimings timings = quick_timings();
  timings.join_limit = 100ms;
  {
    WorkUnit unit(fake, action_record(), running(dir, "sh -c 'echo stuck; sleep 30'", timings));
    unit.execute();
    ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
    const auto begin = std::chrono::steady_clock::now();
    unit.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    EXPECT_TRUE(capture.contains(Level::error, "Error during final log flush for action " + kId +
                                                   ": the log thread is still sending the log"));
    EXPECT_TRUE(
        capture.contains(Level::info, "Waiting for log thread to complete for action " + kId));
    EXPECT_TRUE(capture.contains(Level::warning,
                                 "Log thread didn't complete within timeout for action " + kId));
    held.release();
  }  // the destructor joins the thread once the backend answers
  EXPECT_EQ(joined(shipped_pieces(fake)), "stuck\n");
}

// A unit destroyed while its log thread is stuck in the backend waits for
// it no longer than the join limit, then gives the rest of the log up: once
// the call in progress returns, nothing more is sent.
TEST(WorkUnitStop, TheDestructorGivesUpTheLogOfAThreadStuckInTheBackend) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  HeldLogCalls held(fake);
  WorkUnitTimings timings = quick_timings();
  timings.join_limit = 100ms;
  const std::filesystem::path gate = dir.path() / "gate";
  auto unit = std::make_unique<WorkUnit>(
      fake, action_record(),
      running(dir,
              shell_join({"sh", "-c",
                          "echo stuck; while [ ! -e " + shell_quote(gate.string()) +
                              " ]; do sleep 0.005; done; echo unsent; exec sleep 30"}),
              timings));
  unit->execute();
  const std::string path = *unit->log_path();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  std::ofstream(gate).put('x');
  ASSERT_TRUE(eventually([&] { return read_file(path) == "stuck\nunsent\n"; }));

  std::atomic<bool> destroyed{false};
  std::thread owner([&] {
    unit.reset();
    destroyed = true;
  });
  EXPECT_TRUE(eventually([&] {
    return capture.contains(Level::warning, "The rest of the log of action " + kId +
                                                " is given up; waiting for the backend call in "
                                                "progress");
  }));
  EXPECT_TRUE(capture.contains(Level::warning,
                               "Log thread didn't complete within timeout for action " + kId));
  EXPECT_FALSE(destroyed.load());  // the call in progress still uses the unit
  held.release();
  owner.join();
  EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>{"stuck\n"});
}

TEST(WorkUnitStop, TheDestructorLeavesNoChildAndNoThreadBehind) {
  TempDir dir;
  FakeScaling fake;
  WorkUnitTimings timings = quick_timings();
  timings.log_interval = 10s;
  pid_t pid = -1;
  UnitProbe probe;
  const auto begin = std::chrono::steady_clock::now();
  {
    WorkUnit unit(fake, action_record(),
                  probe.attach(running(dir, "sh -c 'sleep 30 & sleep 30'", timings)));
    unit.execute();
    pid = probe.pid();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_TRUE(reaped(pid));
  EXPECT_TRUE(eventually([&] { return live_group_members(pid).empty(); }));
}

}  // namespace
}  // namespace tavoren::testing

// ---------------------------------------------------------------------------
// Containers: a stop reaches the container through the engine, not only
// the engine's client.

namespace tavoren::testing {
namespace {

// A `docker` whose `run` records the container id it was asked to write,
// then ignores SIGTERM (as the real client does for its container) and
// ends only once the engine stopped the container. The engine is the
// stand-in engine, which knows that container.
void install_fake_client(FakeTools& tools, FakeEngine& engine) {
  const std::filesystem::path marker = tools.dir() / "engine-stopped";
  engine.add({.id = "c0ffee42", .args = {"-c", "sleep 600"}});
  engine.on_stop([marker](const std::string&) { std::ofstream(marker) << "stopped\n"; });
  tools.add_script("docker",
                   "case \"$1\" in\n"
                   "  run)\n"
                   "    [ \"$2\" = --cidfile ] || exit 125\n"
                   "    printf 'c0ffee42\\n' > \"$3\"\n"
                   "    trap '' TERM\n"
                   "    echo 'container running'\n"
                   "    while [ ! -e " +
                       shell_quote(marker.string()) +
                       " ]; do sleep 0.01; done\n"
                       "    echo 'container ended'; exit 0 ;;\n"
                       "esac\n"
                       "exit 1\n");
}

// A unit whose command runs a container through the fake client, on the
// stand-in engine, with `grace` before the client is killed.
class WorkUnitContainer : public ::testing::Test {
 protected:
  WorkUnitContainer() { install_fake_client(tools_, engine_); }

  std::unique_ptr<WorkUnit> started(const std::string& cmd, std::chrono::milliseconds grace) {
    WorkUnitTimings timings = quick_timings();
    timings.term_grace = grace;
    auto unit = std::make_unique<WorkUnit>(fake_, action_record(),
                                           probe_.attach(running(logs_, cmd, timings)));
    unit->execute();
    // Past its id and its trap: the client now ends only with the container.
    EXPECT_TRUE(eventually([&] {
      const std::optional<std::string> path = unit->log_path();
      return path && read_file(*path).find("container running") != std::string::npos;
    }));
    EXPECT_TRUE(std::filesystem::exists(cid_file()));
    return unit;
  }
  std::string cid_file() const {
    return (logs_.path() / "logs" / ("job_" + kId + ".cid")).string();
  }

  LogCapture capture_;
  FakeScaling fake_;
  FakeTools tools_;
  FakeEngine engine_;
  ScopedEnv host_{"DOCKER_HOST", engine_.docker_host()};
  TempDir logs_;
  UnitProbe probe_;
};

TEST_F(WorkUnitContainer, StopAsksTheEngineToStopTheContainerWithTheGracePeriod) {
  auto unit = started("docker run --rm registry.example/job:1 sh -c 'sleep 600'",
                      std::chrono::milliseconds(1500));
  ASSERT_TRUE(unit->has_process());
  // The command as given is kept; only the engine's client learns where to
  // record the container.
  EXPECT_EQ(unit->cmd(), "docker run --rm registry.example/job:1 sh -c 'sleep 600'");
  EXPECT_EQ(tools_.calls("docker").front(), "run --cidfile " + shell_quote(cid_file()) +
                                                " --label tavoren.action-id=" + kId +
                                                " --rm registry.example/job:1 sh -c 'sleep 600'");

  unit->stop();
  // The stop went to the engine's API, not through the client program.
  EXPECT_EQ(tools_.calls("docker").size(), 1u);
  EXPECT_FALSE(engine_.running("c0ffee42"));
  const std::vector<std::string> lines = engine_.lines();
  ASSERT_FALSE(lines.empty());
  // 1.5 s rounded up to whole seconds.
  EXPECT_EQ(lines.back(), "POST /v1.41/containers/c0ffee42/stop?t=2");
  EXPECT_TRUE(capture_.contains(Level::info, "Stopping container c0ffee42 of action " + kId));
  EXPECT_TRUE(capture_.contains(Level::info, "Process terminated gracefully for action " + kId));
  EXPECT_EQ(capture_.count(Level::warning, "forcing kill"), 0u);
  EXPECT_TRUE(unit->is_running() == false);
}

// An engine that refuses the stop: the unit still ends its client, by
// force, and says why the container did not stop.
TEST_F(WorkUnitContainer, AnEngineThatRefusesTheStopIsLoggedAndTheClientKilled) {
  engine_.push("POST", "/containers/c0ffee42/stop",
               FakeEngine::error_reply(500, "driver failed to stop the container"));
  auto unit = started("docker run --rm job:1", std::chrono::milliseconds(300));
  unit->stop();
  EXPECT_TRUE(capture_.contains(Level::warning, "Container c0ffee42 of action " + kId +
                                                    " did not stop: engine answered 500 to POST "
                                                    "/v1.41/containers/c0ffee42/stop: driver "
                                                    "failed to stop the container"));
  EXPECT_EQ(capture_.count(Level::warning, "forcing kill for action " + kId), 1u);
  EXPECT_FALSE(unit->has_process() && unit->is_running());
}

// A unit dropped while its container runs (no stop() first) must not leave
// the container behind: killing the engine's client alone would.
TEST_F(WorkUnitContainer, ADestroyedUnitAsksTheEngineToStopItsContainer) {
  auto unit = started("docker run --rm registry.example/job:1", std::chrono::milliseconds(1500));
  const pid_t pid = probe_.pid();
  ASSERT_TRUE(engine_.running("c0ffee42"));
  const auto begin = std::chrono::steady_clock::now();
  unit.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_FALSE(engine_.running("c0ffee42"));
  const std::vector<std::string> lines = engine_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "POST /v1.41/containers/c0ffee42/stop?t=2"), 1);
  EXPECT_TRUE(capture_.contains(Level::info, "Stopping container c0ffee42 of action " + kId));
  EXPECT_TRUE(reaped(pid));
  EXPECT_EQ(tools_.calls("docker").size(), 1u);  // through the engine, not the client
}

// A unit stopped before, or whose child ended by itself, asks no more of
// the engine when it goes.
TEST_F(WorkUnitContainer, ADestroyedUnitThatWasStoppedAsksTheEngineOnlyOnce) {
  auto unit = started("docker run --rm registry.example/job:1", std::chrono::milliseconds(1500));
  unit->stop();
  unit.reset();
  const std::vector<std::string> lines = engine_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "POST /v1.41/containers/c0ffee42/stop?t=2"), 1);
}

// A client that ends with its container: nothing is stopped, and nothing
// says so; a container that runs on after its client asks for a stop.
TEST_F(WorkUnitContainer, AnEndedContainerIsNotStoppedAgainAfterItsClientEnds) {
  auto unit = started("docker run --rm registry.example/job:1", std::chrono::milliseconds(1500));
  engine_.end("c0ffee42", 0);
  std::ofstream(tools_.dir() / "engine-stopped") << "ended\n";
  ASSERT_TRUE(eventually([&] { return !unit->is_running(); }, 10s));
  unit->stop();
  const std::vector<std::string> lines = engine_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /v1.41/containers/c0ffee42/json"), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.starts_with("POST"); }),
            0);
  EXPECT_EQ(capture_.count(Level::info, "Stopping container"), 0u);
  EXPECT_EQ(capture_.count(Level::info, "Stopping action"), 0u);
  EXPECT_TRUE(capture_.contains(Level::info,
                                "Process for action " + kId + " has terminated with exit code: 0"));
}

TEST_F(WorkUnitContainer, AContainerLeftRunningByItsEndedClientIsStopped) {
  auto unit = started("docker run --rm registry.example/job:1", std::chrono::milliseconds(1500));
  // The client is killed; its container runs on.
  ::kill(probe_.pid(), SIGKILL);
  ASSERT_TRUE(eventually([&] { return !engine_.running("c0ffee42"); }, 10s));
  EXPECT_TRUE(capture_.contains(Level::info, "Stopping container c0ffee42 of action " + kId));
}

TEST(WorkUnitPlainCommand, OtherCommandsAreLeftAsTheyAre) {
  FakeScaling fake;
  TempDir logs;
  WorkUnit unit(fake, action_record(), running(logs, "sh -c 'echo plain'"));
  unit.execute();
  ASSERT_TRUE(ends(unit));
  EXPECT_FALSE(std::filesystem::exists(logs.path() / "logs" / ("job_" + kId + ".cid")));
  EXPECT_EQ(read_file(logs.path() / "logs" / ("job_" + kId + ".txt")), "plain\n");
}

}  // namespace
}  // namespace tavoren::testing
