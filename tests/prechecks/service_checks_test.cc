// The start-up checks that exercise the backend and the trackers, and the
// runner of all checks.

#include <algorithm>
#include <string>
#include <vector>

#include "prechecks_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using ::testing::ElementsAre;
using ::testing::ExitedWithCode;

using ServiceChecksTest = PrechecksHarness;
using ServiceChecksDeathTest = PrechecksHarness;

const char kActionId[] = "65f1c0ffee0123456789abcd";
const char kOtherId[] = "65f1c0ffee0123456789dcba";

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

// ---------------------------------------------------------------------------
// check_resources_tracking

TEST_F(ServiceChecksTest, ResourceTrackingReportsTheMachineAndEachActionContainer) {
  engine_.add(
      {.id = "c-action", .args = {"--action", kActionId, kOtherId}, .stats = engine_stats(50, 40)});
  engine_.add({.id = "c-plain", .args = {"--serve", "0.0.0.0:8080"}});
  engine_.add({.id = "c-gone", .args = {kOtherId}, .stats_status = 404});
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_resources_tracking());

  const auto machine = scaling().calls("update_available_resources");
  ASSERT_EQ(machine.size(), 1u);
  EXPECT_EQ(machine[0].arguments.dump(),
            R"({"available_memory":50.0,"available_cpu":75.0,"available_gpu_memory":72.0,)"
            R"("gpu_utilisation":10.0})");

  // One report, for the first 24-character argument of the one action
  // container whose statistics could be read.
  const auto actions = scaling().calls("update_action_status");
  ASSERT_EQ(actions.size(), 1u);
  const Json& report = actions[0].arguments;
  EXPECT_THAT(keys_of(report), ElementsAre("service_provider", "status", "action_record_id",
                                           "isRunning", "action_duration", "cpuUtilisation",
                                           "gpuUtilisation", "memoryUtilisation", "gpuMemoryUsed"));
  EXPECT_EQ(report["service_provider"], "LOCAL");
  EXPECT_EQ(report["status"], "started");
  EXPECT_EQ(report["action_record_id"], kActionId);
  EXPECT_EQ(report["isRunning"], true);
  EXPECT_GT(report["action_duration"].get<long long>(), 3600LL * 24 * 365);  // since 2024
  EXPECT_EQ(report["cpuUtilisation"], 50.0);
  EXPECT_EQ(report["memoryUtilisation"], 40.0);

  // The container without an action is inspected, never measured.
  const std::vector<std::string> requests = engine_.paths();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const std::string& path) {
                            return path.find("c-plain/stats") != std::string::npos;
                          }),
            0);
}

TEST_F(ServiceChecksDeathTest, ResourceTrackingFailuresAreFatal) {
  auto prechecks = make();
  scaling().set_default("update_available_resources", Result::failure("overloaded"));
  EXPECT_EXIT(prechecks->check_resources_tracking(), ExitedWithCode(1),
              "Failed to update resource tracking: The backend refused the machine's "
              "resources: overloaded");

  // A backend that takes no resource reports refuses them by default.
  scaling().set_handler("update_available_resources", [this](const Json& arguments) {
    return scaling().backend::Scaling::update_available_resources(arguments);
  });
  EXPECT_EXIT(prechecks->check_resources_tracking(), ExitedWithCode(1),
              "Failed to update resource tracking: .*not supported by this backend");

  auto reachable = make();
  ScopedEnv unreachable("DOCKER_HOST", "unix:///nonexistent/docker.sock");
  EXPECT_EXIT(reachable->check_resources_tracking(), ExitedWithCode(1),
              "Failed to update resource tracking: .+");
}

TEST_F(ServiceChecksDeathTest, ActionReportsTheBackendRefusesAreFatal) {
  engine_.add({.id = "c-action", .args = {kActionId}, .stats = engine_stats(5, 5)});
  auto prechecks = make();
  scaling().set_default("update_action_status", Result::failure("unknown action"));
  EXPECT_EXIT(prechecks->check_resources_tracking(), ExitedWithCode(1),
              "Failed to update resource tracking: The backend refused the resources of action " +
                  std::string(kActionId) + ": unknown action");
}

// ---------------------------------------------------------------------------
// check_scaling_status

TEST_F(ServiceChecksTest, ScalingStatusPassesUnlessTheInstanceIsListed) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_scaling_status());  // null data: nothing listed
  scaling().push("get_downscaled_ids", Result::ok(Json::array({kActionId, kOtherId})));
  EXPECT_TRUE(prechecks->check_scaling_status());
  // Only the data is searched, not the message of the answer.
  scaling().push("get_downscaled_ids", Result::ok(Json::array(), "i-0123456789abcdef"));
  EXPECT_TRUE(prechecks->check_scaling_status());
  // A single text is one identifier, not a text to search in.
  scaling().push("get_downscaled_ids", Result::ok("xi-0123456789abcdefx"));
  EXPECT_TRUE(prechecks->check_scaling_status());
  EXPECT_EQ(scaling().count("get_downscaled_ids"), 4u);
}

TEST_F(ServiceChecksDeathTest, ScalingStatusFailures) {
  auto prechecks = make();
  scaling().set_default("get_downscaled_ids",
                        Result::ok(Json::array({kActionId, "i-0123456789abcdef"})));
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Instance is marked for downscaling");
  scaling().set_default("get_downscaled_ids", Result::ok({{"i-0123456789abcdef", true}}));
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Instance is marked for downscaling");

  // Any error set, even an empty one.
  scaling().set_default("get_downscaled_ids", Result::failure("backend down"));
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Failed to check scaling status: backend down");
  scaling().set_default("get_downscaled_ids", Result::failure(""));
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Failed to check scaling status: \n");
  scaling().set_default("get_downscaled_ids", Result::ok(5));
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Failed to check scaling status: The scaled-down identifiers are not a "
              "collection but a number");
  scaling().push_throw("get_downscaled_ids", "connection reset");
  EXPECT_EXIT(prechecks->check_scaling_status(), ExitedWithCode(1),
              "Failed to check scaling status: connection reset");
}

// ---------------------------------------------------------------------------
// check_filesystem_space, test_actions_scale_down

TEST_F(ServiceChecksDeathTest, FilesystemSpaceNeedsAFileSystem) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_filesystem_space());
  install_df("", 1);
  EXPECT_EXIT(prechecks->check_filesystem_space(), ExitedWithCode(1),
              "Failed to get filesystem information");
}

TEST_F(ServiceChecksTest, ScaleDownPassAbsorbsItsOwnFailures) {
  ScopedEnv unreachable("DOCKER_HOST", "unix:///nonexistent/docker.sock");
  auto prechecks = make();
  scaling().push("get_downscaled_ids", Result::ok(Json::array({kActionId})));
  EXPECT_TRUE(prechecks->test_actions_scale_down());
  EXPECT_EQ(capture_.count(Level::error, "Error in auto_scaledown_actions: "), 1u);

  scaling().push("get_downscaled_ids", Result::failure("not now"));
  EXPECT_TRUE(prechecks->test_actions_scale_down());
  EXPECT_TRUE(capture_.contains(Level::error, "Error getting downscaled ids: not now"));
  EXPECT_EQ(scaling().count("get_downscaled_ids"), 2u);
}

// ---------------------------------------------------------------------------
// check_fetch_actions

TEST_F(ServiceChecksTest, FetchedActionsMustBeAListOfRecords) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->check_fetch_actions());  // nothing assigned
  scaling().push("assign_jobs", Result::ok(Json::array({{{"_id", kActionId}}})));
  EXPECT_TRUE(prechecks->check_fetch_actions());
  // The error is tested by truth: an empty one is none.
  scaling().push("assign_jobs", Result{Json::array(), std::string(), ""});
  EXPECT_TRUE(prechecks->check_fetch_actions());

  scaling().push("assign_jobs", Result::failure("busy"));
  EXPECT_FALSE(prechecks->check_fetch_actions());
  EXPECT_TRUE(capture_.contains(Level::error, "Error assigning jobs: busy"));

  scaling().push("assign_jobs", Result::ok({{"_id", kActionId}}));
  EXPECT_FALSE(prechecks->check_fetch_actions());
  EXPECT_TRUE(capture_.contains(Level::error, "Invalid actions format"));

  scaling().push("assign_jobs",
                 Result::ok(Json::array({{{"_id", kActionId}}, {{"id", kOtherId}}})));
  EXPECT_FALSE(prechecks->check_fetch_actions());
  scaling().push("assign_jobs", Result::ok(Json::array({kActionId})));
  EXPECT_FALSE(prechecks->check_fetch_actions());
  EXPECT_EQ(capture_.count(Level::error, "Invalid action format"), 2u);

  // The request says whether the host has a GPU.
  install_gpus({});
  EXPECT_TRUE(prechecks->check_fetch_actions());
  const auto calls = scaling().calls("assign_jobs");
  EXPECT_EQ(calls.front().arguments, Json::array({true}));
  EXPECT_EQ(calls.back().arguments, Json::array({false}));
}

// ---------------------------------------------------------------------------
// get_shutdown_details

TEST_F(ServiceChecksTest, ShutdownDetailsAreValidatedAndStored) {
  auto prechecks = make();
  scaling().push("get_shutdown_details", Result::ok({{"shutdownThreshold", 0.5},
                                                     {"launchDuration", 12},
                                                     {"instanceSource", nullptr}}));
  EXPECT_TRUE(prechecks->get_shutdown_details());
  EXPECT_EQ(prechecks->shutdown_threshold, 0.5);
  EXPECT_EQ(prechecks->launch_duration, 12);
  EXPECT_TRUE(prechecks->instance_source.is_null());

  struct Case {
    Json details;
    const char* message;
  };
  const std::vector<Case> cases = {
      {nullptr, "Empty response from get_shutdown_details"},
      {Json::object(), "Empty response from get_shutdown_details"},
      {{{"shutdownThreshold", 5}, {"launchDuration", 5}}, "Invalid shutdown details response"},
      {Json::array({"shutdownThreshold", "launchDuration", "instanceSource"}),
       "Invalid shutdown details response"},
      {{{"shutdownThreshold", 0}, {"launchDuration", 5}, {"instanceSource", "x"}},
       "Invalid shutdown threshold"},
      {{{"shutdownThreshold", "10"}, {"launchDuration", 5}, {"instanceSource", "x"}},
       "Invalid shutdown threshold"},
      {{{"shutdownThreshold", true}, {"launchDuration", 5}, {"instanceSource", "x"}},
       "Invalid shutdown threshold"},
      {{{"shutdownThreshold", 5}, {"launchDuration", -1}, {"instanceSource", "x"}},
       "Invalid launch duration"},
  };
  for (const Case& c : cases) {
    capture_.clear();
    scaling().push("get_shutdown_details", Result::ok(c.details));
    EXPECT_FALSE(prechecks->get_shutdown_details()) << c.details.dump();
    EXPECT_TRUE(capture_.contains(Level::error, c.message)) << c.details.dump();
  }
  // The values are stored before they are judged.
  EXPECT_EQ(prechecks->launch_duration, -1);

  scaling().push_throw("get_shutdown_details", "timed out");
  EXPECT_FALSE(prechecks->get_shutdown_details());
  EXPECT_TRUE(capture_.contains(Level::error, "Failed to get shutdown details: timed out"));
}

// ---------------------------------------------------------------------------
// run_all_checks

TEST_F(ServiceChecksTest, AllChecksPassInOrder) {
  auto prechecks = make();
  EXPECT_TRUE(prechecks->run_all_checks("i-0123456789abcdef", "AKIA", "secret"));
  const auto lines = capture_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            (log::LogCapture::Line{Level::info, "All prechecks passed successfully"}));
  EXPECT_EQ(capture_.count(Level::error), 0u);

  std::vector<std::string> backend_calls;
  for (const auto& call : scaling().calls()) backend_calls.push_back(call.operation);
  EXPECT_THAT(backend_calls, ElementsAre("get_docker_hub_credentials", "update_available_resources",
                                         "get_downscaled_ids", "get_shutdown_details",
                                         "get_downscaled_ids", "assign_jobs"));
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("info", "login --username agent --password-stdin",
                                                  "volume create workspace", "info"));
  EXPECT_EQ(prechecks->shutdown_threshold, 30);
  EXPECT_EQ(prechecks->instance_id, "i-0123456789abcdef");
}

TEST_F(ServiceChecksTest, RunnerStopsAtTheFirstCheckThatFails) {
  auto prechecks = make();
  scaling().set_default("get_docker_hub_credentials", Result::failure("no registry"));
  EXPECT_FALSE(prechecks->run_all_checks("i-0123456789abcdef", "AKIA", "secret"));
  const auto lines = capture_.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            (log::LogCapture::Line{Level::error, "Error getting docker credentials: no registry"}));
  EXPECT_EQ(lines.back(), (log::LogCapture::Line{Level::error, "Check failed: setup_docker"}));
  EXPECT_THAT(tools_.calls("docker"), ElementsAre("info"));  // no volume
  EXPECT_EQ(scaling().count("get_downscaled_ids"), 0u);

  scaling().set_default("get_docker_hub_credentials",
                        Result::ok({{"username", "agent"}, {"password", kPassword}}));
  scaling().set_default("get_shutdown_details", Result::ok({{"shutdownThreshold", 30}}));
  EXPECT_FALSE(prechecks->run_all_checks("i-0123456789abcdef", "AKIA", "secret"));
  EXPECT_TRUE(capture_.contains(Level::error, "Check failed: get_shutdown_details"));
  EXPECT_EQ(scaling().count("assign_jobs"), 0u);

  scaling().set_default(
      "get_shutdown_details",
      Result::ok({{"shutdownThreshold", 30}, {"launchDuration", 10}, {"instanceSource", "cloud"}}));
  scaling().set_default("assign_jobs", Result::ok({{"_id", kActionId}}));
  EXPECT_FALSE(prechecks->run_all_checks("i-0123456789abcdef", "AKIA", "secret"));
  EXPECT_EQ(capture_.lines().back(),
            (log::LogCapture::Line{Level::error, "Check failed: check_fetch_actions"}));
}

TEST_F(ServiceChecksDeathTest, RunnerEndsTheProcessOnAFatalFinding) {
  auto prechecks = make();
  EXPECT_EXIT(prechecks->run_all_checks("i-0123456789abcdef", std::nullopt, "secret"),
              ExitedWithCode(1), "Missing access key or secret key");
  EXPECT_EXIT(prechecks->run_all_checks("i-1", "AKIA", "secret"), ExitedWithCode(1),
              "Invalid instance ID format");
  install_gpus({});
  EXPECT_EXIT(prechecks->run_all_checks("i-0123456789abcdef", "AKIA", "secret"), ExitedWithCode(1),
              "No GPU detected on this machine");
}

}  // namespace
}  // namespace tavoren::testing
