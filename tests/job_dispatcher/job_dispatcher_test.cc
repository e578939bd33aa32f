#include "tavoren/job_dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "fake_engine.h"
#include "fake_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren {
namespace {

using namespace std::chrono_literals;
using backend::Result;
using log::Level;
using testing::FakeScaling;
using testing::FakeTools;
using testing::ScopedEnv;
using testing::TempDir;

Json record(const std::string& id, const std::string& type = "sleeper") {
  return Json{{"_id", id}, {"action", type}, {"actionDetails", {{"docker", "registry/image:1"}}}};
}

// Polls `condition` every few milliseconds; false when `limit` passed.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

const std::string kId1 = "aaaaaaaaaaaaaaaaaaaaaaa1";
const std::string kId2 = "aaaaaaaaaaaaaaaaaaaaaaa2";
const std::string kId3 = "aaaaaaaaaaaaaaaaaaaaaaa3";

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : provider_("SERVICE_PROVIDER", "LOCAL") {
    // No GPU unless a test installs nvidia-smi; a docker without storage
    // information, so clean-up only logs.
    tools_.add("docker", "", 1);
    tools_.add("df", "Filesystem Size Used Avail Use% Mounted on\n", 0);
  }

  JobDispatcherOptions options() {
    JobDispatcherOptions o;
    o.second = 1ms;
    o.work_unit.log_dir = logs_.path();
    o.work_unit.timings = {.log_interval = 20ms,
                           .term_grace = 300ms,
                           .kill_wait = 300ms,
                           .flush_delay = 1ms,
                           .join_limit = 2s,
                           .exit_wait = 300ms};
    o.work_unit.actions_map = ActionsMap{
        {"sleeper", [](WorkUnit& unit) { unit.start("sleep 30", "sleeper"); }},
        {"quick", [](WorkUnit& unit) { unit.start("true", "quick"); }},
        {"gated",
         [release = (logs_.path() / "release").string()](WorkUnit& unit) {
           unit.start("sh -c 'while [ ! -e " + release + " ]; do sleep 0.01; done'", "gated");
         }},
        {"broken", [](WorkUnit&) { throw std::runtime_error("executor failed"); }},
    };
    return o;
  }

  // A GPU host whose least-loaded GPU uses `used` of 1000 MiB.
  void gpu_usage(int used) {
    tools_.add_script("nvidia-smi", "case \"$1\" in --query-gpu=memory.used,memory.total) echo '" +
                                        std::to_string(used) + ", 1000' ;; esac\nexit 0");
  }

  FakeTools tools_;
  TempDir logs_;
  ScopedEnv provider_;
  FakeScaling scaling_;
  log::LogCapture capture_;
};

TEST_F(DispatcherTest, WaitingTimeGrowsAsMemoryFillsUp) {
  JobDispatcher dispatcher(scaling_, options());
  EXPECT_EQ(dispatcher.waiting_time(0.0), 11);
  EXPECT_EQ(dispatcher.waiting_time(0.5), 25);
  EXPECT_EQ(dispatcher.waiting_time(0.8), 100);
  EXPECT_EQ(dispatcher.waiting_time(0.85), 120);  // capped although under the threshold
  EXPECT_EQ(dispatcher.waiting_time(0.9), 120);
  EXPECT_EQ(dispatcher.waiting_time(1.0), 120);
  EXPECT_TRUE(capture_.contains(Level::info, "JobDispatcher initialized"));
}

// Runs the loop on its own thread until `done` holds, then stops it.
void run_loop_until(JobDispatcher& dispatcher, const std::function<bool()>& done) {
  std::thread loop([&] { dispatcher.start_job_dispatcher(); });
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(5ms);
  dispatcher.request_stop();
  loop.join();
}

TEST_F(DispatcherTest, LoopPollsBelowTheThresholdAndSleepsItsWaitingTime) {
  gpu_usage(500);
  JobDispatcher dispatcher(scaling_, options());
  auto start = std::chrono::steady_clock::now();
  run_loop_until(dispatcher, [&] { return scaling_.count("assign_jobs") >= 2; });
  // Two polls are at least one waiting time (25 "seconds" of 1 ms) apart.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
  EXPECT_TRUE(capture_.contains(Level::info, "Memory usage: 0"));
  EXPECT_TRUE(capture_.contains(Level::info, "Waiting for 25 seconds before next poll"));
  EXPECT_EQ(scaling_.calls("assign_jobs").front().arguments, Json::array({true}));
  // Clean-up runs every cycle: docker info is asked each time.
  EXPECT_GE(tools_.calls("docker").size(), 1u);
}

TEST_F(DispatcherTest, LoopAtTheThresholdDoesNotPollButStillCleansUp) {
  gpu_usage(900);
  JobDispatcher dispatcher(scaling_, options());
  run_loop_until(dispatcher, [&] { return tools_.calls("docker").size() >= 2; });
  EXPECT_EQ(scaling_.count("assign_jobs"), 0u);
  EXPECT_TRUE(capture_.contains(Level::info, "Memory threshold exceeded, waiting for 120 seconds"));
}

TEST_F(DispatcherTest, AFailingCycleIsLoggedAndTheLoopGoesOn) {
  gpu_usage(0);
  scaling_.set_handler("assign_jobs", [](const Json&) -> Result { return Result::ok(nullptr); });
  scaling_.push_throw("assign_jobs", "backend unreachable");
  JobDispatcher dispatcher(scaling_, options());
  run_loop_until(dispatcher, [&] { return scaling_.count("assign_jobs") >= 2; });
  // fetch_actions contains the failure itself; the loop keeps polling.
  EXPECT_EQ(capture_.count(Level::error, "backend unreachable"), 1u);
  EXPECT_GE(scaling_.count("assign_jobs"), 2u);
}

TEST_F(DispatcherTest, AHangingNvidiaSmiIsCutOffAndTheNextCycleFollows) {
  const host_probe::ToolLimits previous = host_probe::tool_limits();
  host_probe::ToolLimits limits;
  limits.nvidia_smi = 200ms;
  host_probe::set_tool_limits(limits);
  tools_.add_hanging("nvidia-smi");
  JobDispatcher dispatcher(scaling_, options());
  run_loop_until(dispatcher, [&] { return capture_.count(Level::info, "Memory usage: ") >= 2; });
  host_probe::set_tool_limits(previous);

  // Each cycle's presence check ran into the limit, and the loop went on
  // (without a GPU, on main memory).
  EXPECT_GE(capture_.count(Level::info, "Memory usage: "), 2u);
  EXPECT_GE(capture_.count(Level::warning, "nvidia-smi did not finish within 200 ms; killed"), 2u);
  EXPECT_GE(tools_.calls("docker").size(), 1u);  // the cycle's clean-up ran too
}

TEST_F(DispatcherTest, RequestStopEndsALongSleepAtOnce) {
  gpu_usage(900);
  JobDispatcherOptions o = options();
  o.second = 10s;  // a cycle would sleep 20 minutes
  JobDispatcher dispatcher(scaling_, o);
  auto start = std::chrono::steady_clock::now();
  run_loop_until(dispatcher, [&] { return capture_.count(Level::info, "Memory threshold") > 0; });
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(DispatcherTest, FetchFiltersEmptyAndNullRecords) {
  JobDispatcher dispatcher(scaling_, options());
  scaling_.push("assign_jobs",
                Result::ok(Json::array({record(kId1), nullptr, Json::object(),
                                        record(backend::kNullActionId), record(kId2)})));
  auto actions = dispatcher.fetch_actions();
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0]["_id"], kId1);
  EXPECT_EQ(actions[1]["_id"], kId2);
  // No GPU tool here: the poll says so.
  EXPECT_EQ(scaling_.calls("assign_jobs").front().arguments, Json::array({false}));
  EXPECT_TRUE(capture_.contains(Level::info, "Polling backend for new jobs"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "Fetched action details: " + Json::array({record(kId1), record(kId2)}).dump()));
}

TEST_F(DispatcherTest, FetchAnswersOfEveryShape) {
  JobDispatcher dispatcher(scaling_, options());
  scaling_.push("assign_jobs", Result::ok(record(kId1)));  // one record, not a list
  EXPECT_EQ(dispatcher.fetch_actions().size(), 1u);

  scaling_.push("assign_jobs", Result::ok(nullptr));
  EXPECT_TRUE(dispatcher.fetch_actions().empty());

  scaling_.push("assign_jobs", Result{Json::array({record(kId1)}), std::string(""), ""});
  EXPECT_EQ(dispatcher.fetch_actions().size(), 1u) << "an empty error is no error";
  EXPECT_EQ(capture_.count(Level::error), 0u);

  scaling_.push("assign_jobs", Result::failure("quota exceeded"));
  EXPECT_TRUE(dispatcher.fetch_actions().empty());
  EXPECT_TRUE(capture_.contains(Level::error, "Error assigning jobs: quota exceeded"));

  // A record without "_id" fails the whole poll, earlier records included.
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1), Json{{"action", "x"}}})));
  EXPECT_TRUE(dispatcher.fetch_actions().empty());
  EXPECT_EQ(capture_.count(Level::error, "Error in fetch_actions"), 1u);
}

TEST_F(DispatcherTest, ProcessActionAnnouncesLocksThenStarts) {
  JobDispatcher dispatcher(scaling_, options());
  auto unit = dispatcher.process_action(record(kId1));
  ASSERT_NE(unit, nullptr);
  EXPECT_TRUE(unit->has_process());

  auto calls = scaling_.calls();
  std::vector<std::string> order;
  for (const auto& c : calls) order.push_back(c.operation);
  EXPECT_EQ(order, (std::vector<std::string>{"get_data_processing_image", "update_action_status",
                                             "update_action_status", "update_status"}));
  EXPECT_EQ(calls[1].arguments.dump(), Json({{"service_provider", "LOCAL"},
                                             {"action_record_id", kId1},
                                             {"status", "starting"},
                                             {"action_duration", 0}})
                                           .dump());
  EXPECT_EQ(calls[2].arguments.dump(), Json({{"service_provider", "LOCAL"},
                                             {"status", "started"},
                                             {"action_record_id", kId1},
                                             {"isRunning", true},
                                             {"action_duration", 0},
                                             {"cpuUtilisation", 0.0},
                                             {"gpuUtilisation", 0.0},
                                             {"memoryUtilisation", 0.0},
                                             {"gpuMemoryUsed", 0}})
                                           .dump());
  EXPECT_EQ(calls[3].arguments, Json::array({kId1, "sleeper", "bg-job-scheduler", "JBSS_LCK", "OK",
                                             "Job is locked for processing"}));
  EXPECT_TRUE(capture_.contains(Level::info, "Processing action: " + kId1));
  EXPECT_TRUE(capture_.contains(Level::info, "locking action"));
  EXPECT_TRUE(capture_.contains(Level::info, "action " + kId1 + " started."));
  unit->stop();
}

TEST_F(DispatcherTest, ProcessActionFailuresSendNothingOrStoreNothing) {
  JobDispatcher dispatcher(scaling_, options());
  // Unknown type: the unit cannot be built, no status is sent.
  EXPECT_EQ(dispatcher.process_action(record(kId1, "no_such_type")), nullptr);
  EXPECT_EQ(scaling_.count("update_action_status"), 0u);
  EXPECT_EQ(capture_.count(Level::error, "Unknown action type: no_such_type"), 1u);
  // Not an object.
  EXPECT_EQ(dispatcher.process_action(Json::array({1})), nullptr);
  // SERVICE_PROVIDER unset: read before the first status call.
  {
    ScopedEnv unset("SERVICE_PROVIDER", std::nullopt);
    EXPECT_EQ(dispatcher.process_action(record(kId1)), nullptr);
    EXPECT_EQ(scaling_.count("update_action_status"), 0u);
  }
  // A status call that throws: the unit is dropped before it starts.
  scaling_.push_throw("update_status", "connection reset");
  EXPECT_EQ(dispatcher.process_action(record(kId1)), nullptr);
  EXPECT_EQ(scaling_.count("update_action_status"), 2u);
  // An executor failure is the unit's own: the unit is returned, with no process.
  auto unit = dispatcher.process_action(record(kId2, "broken"));
  ASSERT_NE(unit, nullptr);
  EXPECT_FALSE(unit->has_process());
}

// An action assigned to this instance whose start failed because the
// backend did not answer is started again at the next cycles, without
// another assignment, up to max_start_tries starts in all.
TEST_F(DispatcherTest, AnActionWhoseStartGotNoAnswerIsStartedAgainAtTheNextCycles) {
  JobDispatcherOptions o = options();
  o.max_start_tries = 3;
  JobDispatcher dispatcher(scaling_, o);
  std::atomic<int> unanswered{1};
  scaling_.set_handler("update_status", [&](const Json& arguments) -> Result {
    if (arguments.at(0) == kId2 || unanswered-- > 0) {
      throw backend::CallFailure("no answer from the backend", true);
    }
    return Result::ok(Json());
  });
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1)})));
  dispatcher.process_actions();
  EXPECT_EQ(dispatcher.size(), 0u);
  EXPECT_EQ(capture_.count(Level::warning, "Action " + kId1 + " could not be started"), 1u);

  dispatcher.process_actions();  // nothing new assigned
  auto table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].first, kId1);
  EXPECT_TRUE(table[0].second->has_process());
  dispatcher.process_actions();
  EXPECT_EQ(scaling_.count("update_status"), 2u) << "started once, not again";

  // One that never gets an answer is given up after its last try.
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId2)})));
  for (int cycle = 0; cycle < 5; ++cycle) dispatcher.process_actions();
  EXPECT_EQ(scaling_.count("update_status"), 2u + 3u);
  EXPECT_EQ(capture_.count(Level::error, "Action " + kId2 + " could not be started after 3 tries"),
            1u);
  EXPECT_EQ(dispatcher.size(), 1u);
  dispatcher.stop_all();
}

// Only started units are kept; an assigned action that never reaches its
// command (no unit could be made, or its executor failed first) has its end
// recorded once as start_failed instead of staying assigned here.
TEST_F(DispatcherTest, ProcessActionsStoresStartedUnitsOnly) {
  const std::string kId4 = "444444444444444444444444";
  JobDispatcherOptions o = options();
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> ended;
  o.work_unit.on_exit = [&](const std::string& id, process::ExitStatus status, bool,
                            std::string_view cause) {
    if (cause != "start_failed") return;  // the sleepers, stopped below
    EXPECT_EQ(status, process::ExitStatus::unknown());
    std::lock_guard lock(mutex);
    ended.emplace_back(id, std::string(cause));
  };
  JobDispatcher dispatcher(scaling_, o);
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1), record(kId2, "no_such_type"),
                                                       record(kId3), record(kId4, "broken")})));
  dispatcher.process_actions();
  auto table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].first, kId1);
  EXPECT_EQ(table[1].first, kId3);
  dispatcher.get_current_actions();  // purged once only
  {
    std::lock_guard lock(mutex);
    const std::vector<std::pair<std::string, std::string>> expected = {{kId2, "start_failed"},
                                                                       {kId4, "start_failed"}};
    EXPECT_EQ(ended, expected);
  }
  dispatcher.stop_all();
  EXPECT_EQ(dispatcher.size(), 0u);
}

TEST_F(DispatcherTest, AnActionAlreadyRunningIsNotStartedTwice) {
  JobDispatcher dispatcher(scaling_, options());
  // Twice in one poll, then again in the next poll while it runs.
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1), record(kId1)})));
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1)})));
  dispatcher.process_actions();
  dispatcher.process_actions();
  EXPECT_EQ(scaling_.count("update_status"), 1u);
  EXPECT_EQ(capture_.count(Level::warning, "Action " + kId1 + " is already running"), 2u);
  auto table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 1u);
  // Held, so the next unit cannot take its place in memory.
  const auto first = table[0].second;

  // Once it has ended, the same identifier may run again.
  table[0].second->stop();
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1)})));
  dispatcher.process_actions();
  EXPECT_EQ(scaling_.count("update_status"), 2u);
  table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_NE(table[0].second, first);
  EXPECT_TRUE(table[0].second->has_process());
  dispatcher.stop_all();
}

TEST_F(DispatcherTest, PurgeRemovesEndedUnitsAndReportsCounts) {
  JobDispatcher dispatcher(scaling_, options());
  EXPECT_TRUE(dispatcher.get_current_actions().empty());
  EXPECT_EQ(capture_.lines().back(),
            (log::LogCapture::Line{Level::debug, "No actions currently running"}));

  scaling_.push("assign_jobs",
                Result::ok(Json::array({record(kId1), record(kId2, "gated"), record(kId3)})));
  dispatcher.process_actions();
  auto running = dispatcher.get_current_actions();
  ASSERT_EQ(running.size(), 3u);
  std::shared_ptr<WorkUnit> gated = running[1].second;
  capture_.clear();
  // Let the gated child end, and wait until it has.
  { std::ofstream((logs_.path() / "release").string()) << ""; }
  for (int i = 0; i < 1000 && gated->is_running(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(gated->has_process());
  auto table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].first, kId1);
  EXPECT_EQ(table[1].first, kId3);
  EXPECT_TRUE(capture_.contains(
      Level::info, "Action " + kId2 + " is being purged: process reported as not running"));
  EXPECT_TRUE(
      capture_.contains(Level::info, "Purged 1 completed actions, 2 actions remain in queue"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "Currently running 2 actions: " + Json::array({kId1, kId3}).dump()));
  dispatcher.stop_all();
}

// Each unit records its own end: one whose log call is held by the backend
// holds up no other unit's end, and a purge removes only the units that are
// done, without waiting for one still recording its end.
TEST_F(DispatcherTest, EachUnitRecordsItsEndAndPurgesNeverWaitForOneInProgress) {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  std::vector<std::string> ended;
  scaling_.set_handler("update_action_docker_logs", [&](const Json& arguments) {
    if (arguments.at("action_record_id") == kId1) {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return released; });
    }
    return Result::ok(nullptr);
  });
  JobDispatcherOptions o = options();
  o.work_unit.timings.log_interval = 60s;
  o.work_unit.actions_map->emplace_back(
      "talker", [](WorkUnit& unit) { unit.start("sh -c 'echo said'", "talker"); });
  o.work_unit.on_exit = [&](const std::string& id, process::ExitStatus, bool, std::string_view) {
    std::lock_guard lock(mutex);
    ended.push_back(id);
  };
  auto has_ended = [&](const std::string& id) {
    std::lock_guard lock(mutex);
    return std::find(ended.begin(), ended.end(), id) != ended.end();
  };
  JobDispatcher dispatcher(scaling_, o);
  scaling_.push("assign_jobs",
                Result::ok(Json::array(
                    {record(kId1, "talker"), record(kId2, "talker"), record(kId3, "talker")})));
  dispatcher.process_actions();
  ASSERT_EQ(dispatcher.size(), 3u);

  // Nobody asks the units anything: they notice their ends themselves.
  for (const std::string& id : {kId2, kId3}) {
    EXPECT_TRUE(eventually([&] { return has_ended(id); })) << id;
  }
  EXPECT_FALSE(has_ended(kId1));

  auto purge = std::async(std::launch::async, [&] { return dispatcher.get_current_actions(); });
  ASSERT_EQ(purge.wait_for(5s), std::future_status::ready);
  const auto table = purge.get();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].first, kId1);
  EXPECT_TRUE(
      capture_.contains(Level::info, "Purged 2 completed actions, 1 actions remain in queue"));

  {
    std::lock_guard lock(mutex);
    released = true;
  }
  cv.notify_all();
  EXPECT_TRUE(eventually([&] { return has_ended(kId1); }));
  EXPECT_TRUE(eventually([&] { return dispatcher.get_current_actions().empty(); }));
  EXPECT_EQ(scaling_.count("update_action_docker_logs"), 3u);
}

// A GPU that fails under a running action ends that action, and only it,
// with cause gpu_fault.
TEST_F(DispatcherTest, AnActionOnAFailedGpuEndsWithCauseGpuFault) {
  // Two GPUs; once the first action took most of GPU 0, the second gets 1.
  const std::string taken = (logs_.path() / "gpu0-taken").string();
  tools_.add_script("nvidia-smi",
                    "case \"$1\" in\n"
                    "  --query-gpu=memory.free) if [ -e " +
                        taken +
                        " ]; then free0=1000; else free0=20000; fi\n"
                        "    printf 'memory.free [MiB]\\n%s MiB\\n20000 MiB\\n' $free0 ;;\n"
                        "  --query-gpu=memory.used,memory.total) echo '0, 1000' ;;\n"
                        "esac\nexit 0");
  std::mutex mutex;
  std::map<std::string, std::string> causes;
  JobDispatcherOptions o = options();
  o.work_unit.actions_map->emplace_back("gpu_sleeper", [taken](WorkUnit& unit) {
    const Json details = {
        {"actionDetails", {{"gpuRequired", true}, {"expectedResources", {{"gpuMemory", 15000}}}}}};
    ASSERT_FALSE(unit.get_gpu_config(details).empty());
    std::ofstream{taken};
    unit.start("sleep 30", "gpu_sleeper");
  });
  o.work_unit.on_exit = [&](const std::string& id, process::ExitStatus, bool,
                            std::string_view cause) {
    std::lock_guard lock(mutex);
    causes[id] = std::string(cause);
  };
  JobDispatcher dispatcher(scaling_, o);
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId1, "gpu_sleeper")})));
  dispatcher.process_actions();
  scaling_.push("assign_jobs", Result::ok(Json::array({record(kId2, "gpu_sleeper")})));
  dispatcher.process_actions();
  const auto table = dispatcher.get_current_actions();
  ASSERT_EQ(table.size(), 2u);
  const std::vector<int> first_gpus = table[0].second->gpus();
  ASSERT_EQ(first_gpus.size(), 1u);
  // Each GPU's user, as the machine's inventory shows it.
  EXPECT_EQ(dispatcher.gpu_users(),
            (std::map<int, std::string>{{0, table[0].first}, {1, table[1].first}}));

  dispatcher.end_actions_on_gpu(first_gpus[0], backend::end_cause::kGpuFault);
  const auto left = dispatcher.get_current_actions();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].first, table[1].first);
  EXPECT_TRUE(capture_.contains(Level::error, "Action " + table[0].first + " is ended: its GPU " +
                                                  std::to_string(first_gpus[0]) + " failed"));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(causes[table[0].first], "gpu_fault");
    EXPECT_FALSE(causes.contains(table[1].first));
  }
  // A fault is acted on once: the next purge leaves the other action alone.
  EXPECT_EQ(dispatcher.get_current_actions().size(), 1u);
  dispatcher.stop_all();
  std::lock_guard lock(mutex);
  EXPECT_EQ(causes[table[1].first], "exited");
}

TEST_F(DispatcherTest, PurgingFromAnotherThreadWhileTheLoopStartsActions) {
  gpu_usage(0);
  std::atomic<int> next{0};
  scaling_.set_handler("assign_jobs", [&](const Json&) {
    char id[32];
    std::snprintf(id, sizeof id, "%024d", ++next);
    return Result::ok(Json::array({record(id, next % 2 ? "quick" : "sleeper")}));
  });
  JobDispatcher dispatcher(scaling_, options());
  std::atomic<bool> stop{false};
  std::thread purger([&] {
    while (!stop) {
      for (const auto& [id, unit] : dispatcher.get_current_actions()) EXPECT_FALSE(id.empty());
      std::this_thread::sleep_for(2ms);
    }
  });
  run_loop_until(dispatcher, [&] { return next >= 8; });
  stop = true;
  purger.join();
  dispatcher.stop_all();
  EXPECT_EQ(dispatcher.size(), 0u);
}

}  // namespace
}  // namespace tavoren

namespace tavoren {
namespace {

using ::testing::ElementsAre;
using testing::FakeEngine;

// Kept actions of a previous agent on a fake engine; the fake `docker wait`
// ends once its container is not running on that engine (a flag file the
// engine's stop and the test write).
class ReadoptionTest : public DispatcherTest {
 protected:
  ReadoptionTest() : docker_host_("DOCKER_HOST", engine_.host()) {
    tools_.add_script("docker", "while [ ! -f '" + logs_.path().string() +
                                    "/ended-'\"$2\" ]; do sleep 0.02; done\n");
    engine_.on_stop([this](const std::string& id) { mark_ended(id); });
  }

  void mark_ended(const std::string& container) {
    std::ofstream(logs_.path() / ("ended-" + container)) << "";
  }

  JobDispatcherOptions options() {
    JobDispatcherOptions o = DispatcherTest::options();
    o.work_unit.on_exit = [this](const std::string& id, process::ExitStatus status, bool,
                                 std::string_view) {
      std::lock_guard lock(mutex_);
      ends_[id] = status;
    };
    return o;
  }

  KeptRun kept(const std::string& id, const std::string& container) {
    const std::string log = (logs_.path() / ("kept_" + id + ".txt")).string();
    std::ofstream(log) << "";
    return {.record = record(id), .run = {.container_id = container, .log_path = log}};
  }

  std::optional<process::ExitStatus> end_of(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = ends_.find(id);
    if (it == ends_.end()) return std::nullopt;
    return it->second;
  }

  FakeEngine engine_;
  ScopedEnv docker_host_;
  std::mutex mutex_;
  std::map<std::string, process::ExitStatus> ends_;
};

TEST_F(ReadoptionTest, EachKeptActionIsTakenOverStoppedOrRecordedAsItsContainerAndBackendSay) {
  const std::string kId4 = "aaaaaaaaaaaaaaaaaaaaaaa4";
  engine_.add({.id = "c-run"});
  engine_.add({.id = "c-ended", .running = false, .exit_code = 3});
  mark_ended("c-ended");
  engine_.add({.id = "c-down"});
  // The third action's container is found by its label, the kept id lost.
  engine_.add({.id = "c-labelled", .labels = {{"tavoren.action-id", kId4}}});
  scaling_.set_default("get_downscaled_ids", backend::Result::ok(Json::array({kId3})));

  JobDispatcher dispatcher(scaling_, options());
  const Readoption done =
      dispatcher.readopt({kept(kId1, "c-run"), kept(kId2, "c-ended"), kept(kId3, "c-down"),
                          kept(kId4, ""), kept("aaaaaaaaaaaaaaaaaaaaaaa5", "c-gone")});
  EXPECT_THAT(done.adopted, ElementsAre(kId1, kId2, kId4));
  EXPECT_THAT(done.stopped, ElementsAre(kId3));
  EXPECT_THAT(done.gone, ElementsAre("aaaaaaaaaaaaaaaaaaaaaaa5"));
  EXPECT_TRUE(done.left.empty());

  EXPECT_FALSE(engine_.running("c-down"));
  EXPECT_EQ(end_of(kId3), process::ExitStatus::exited(143));
  EXPECT_EQ(end_of("aaaaaaaaaaaaaaaaaaaaaaa5"), process::ExitStatus::unknown());
  ASSERT_TRUE(eventually([&] { return end_of(kId2).has_value(); }));
  EXPECT_EQ(end_of(kId2), process::ExitStatus::exited(3));
  EXPECT_FALSE(end_of(kId1).has_value());
  EXPECT_TRUE(engine_.running("c-run"));

  // The ended one leaves the table at the next purge; the running ones stay
  // and are stopped like any other unit.
  // (Its unit finishes recording the end a moment after on_exit.)
  EXPECT_TRUE(eventually([&] { return dispatcher.get_current_actions().size() == 2; }));
  dispatcher.stop_all();
  EXPECT_FALSE(engine_.running("c-run"));
  EXPECT_FALSE(engine_.running("c-labelled"));
  EXPECT_EQ(end_of(kId1), process::ExitStatus::exited(143));
}

TEST_F(ReadoptionTest, WithoutTheBackendsOrTheEnginesAnswerAnActionIsLeftAsItWas) {
  engine_.add({.id = "c-run"});
  engine_.add({.id = "c-ended", .running = false, .exit_code = 0});
  mark_ended("c-ended");
  scaling_.set_default("get_downscaled_ids", backend::Result::failure("backend down"));
  {
    JobDispatcher dispatcher(scaling_, options());
    const Readoption done = dispatcher.readopt({kept(kId1, "c-run"), kept(kId2, "c-ended")});
    // Whether the running one was scaled down is unknown: it is left; the
    // ended one needs no such answer.
    EXPECT_THAT(done.left, ElementsAre(kId1));
    EXPECT_THAT(done.adopted, ElementsAre(kId2));
    EXPECT_TRUE(engine_.running("c-run"));
  }
  ScopedEnv no_engine("DOCKER_HOST", "unix://" + (logs_.path() / "no-engine.sock").string());
  JobDispatcher dispatcher(scaling_, options());
  const Readoption done = dispatcher.readopt({kept(kId1, "c-run")});
  EXPECT_THAT(done.left, ElementsAre(kId1));
  EXPECT_FALSE(end_of(kId1).has_value());
}

TEST_F(ReadoptionTest, OnlyThisInstancesContainersThatNothingKeepsAreStopped) {
  auto labels = [](const std::string& instance, const std::string& action) {
    return Json{{"tavoren.instance-id", instance}, {"tavoren.action-id", action}};
  };
  engine_.add({.id = "orphan", .labels = labels("gpu-01", kId1)});
  engine_.add({.id = "kept", .labels = labels("gpu-01", kId2)});
  engine_.add({.id = "other-agent", .labels = labels("gpu-02", kId3)});
  engine_.add({.id = "unlabelled"});
  JobDispatcher dispatcher(scaling_, options());
  EXPECT_THAT(dispatcher.stop_orphans("gpu-01", {kId2}), ElementsAre("orphan"));
  EXPECT_FALSE(engine_.running("orphan"));
  EXPECT_TRUE(engine_.running("kept"));
  EXPECT_TRUE(engine_.running("other-agent"));
  EXPECT_TRUE(engine_.running("unlabelled"));
  EXPECT_TRUE(capture_.contains(
      Level::warning, "Container orphan of action " + kId1 +
                          " runs for this agent, but no kept action names it; it is stopped"));
}

}  // namespace
}  // namespace tavoren
