#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/host_probe.h"
#include "test_archives.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;
namespace archives = workspace_fetch::testing;

constexpr const char* kPassword = "p@ss w'rd-0042";
constexpr const char* kUserAccess = "AKIAUSER000001";
constexpr const char* kUserSecret = "user-secret-000001";

// A unit whose backend hands out registry credentials and the owner's key
// pair (unencrypted, as no encryption key is set), with a stand-in `docker`
// first on PATH that records its arguments and standard input.
class RequirementsTest : public ::testing::Test {
 protected:
  RequirementsTest() : unit_(fake_, action_record(), {.allow_loopback_downloads = true}) {
    unit_.set_tavoren_keys("AKIAINSTANCE01", "instance-secret-01");
    fake_.clear_calls();
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok(Json{{"username", "robot"}, {"password", kPassword}}));
    fake_.set_default("get_user_access_key_pair",
                      Result::ok(Json{{"access_key", kUserAccess}, {"secret_key", kUserSecret}}));
    tools_.add_reading_stdin("docker", "Login Succeeded\n");
  }
  ~RequirementsTest() override { log::clear_secrets(); }

  static Json details() {
    Json record = action_record();
    record["_idUser"] = "user-1";
    return record;
  }

  std::vector<std::string> operations() const {
    std::vector<std::string> names;
    for (const auto& call : fake_.calls()) names.push_back(call.operation);
    return names;
  }

  void expect_instance_keys() const {
    EXPECT_EQ(unit_.tavoren_access_key_id(), "AKIAINSTANCE01");
    EXPECT_EQ(unit_.tavoren_secret_access_key(), "instance-secret-01");
  }

  ScopedEnv key_{"TAVOREN_ENCRYPTION_KEY", std::nullopt};
  FakeTools tools_;
  FakeScaling fake_;
  WorkUnit unit_;
};

// ---------------------------------------------------------------------------
// Registry login

TEST_F(RequirementsTest, LoginGetsThePasswordOnStandardInputOnly) {
  unit_.setup_action_requirements(details());

  EXPECT_EQ(tools_.calls("docker"),
            std::vector<std::string>{"login --username robot --password-stdin"});
  EXPECT_EQ(tools_.calls_stdin("docker"), kPassword);
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_docker_hub_credentials", "get_user_access_key_pair"}));
  EXPECT_EQ(fake_.calls("get_user_access_key_pair")[0].arguments, Json::array({"user-1"}));
  EXPECT_EQ(unit_.tavoren_access_key_id(), kUserAccess);
  EXPECT_EQ(unit_.tavoren_secret_access_key(), kUserSecret);
}

TEST_F(RequirementsTest, ARegistryNamedByTheCredentialsIsTheLastArgument) {
  fake_.push("get_docker_hub_credentials",
             Result::ok(Json{{"username", "robot"},
                             {"password", kPassword},
                             {"registry", "registry.example.com:5000"}}));
  fake_.push("get_docker_hub_credentials",
             Result::ok(Json{{"username", "robot"}, {"password", kPassword}, {"registry", ""}}));
  unit_.setup_action_requirements(details());
  unit_.setup_action_requirements(details());
  EXPECT_EQ(
      tools_.calls("docker"),
      (std::vector<std::string>{"login --username robot --password-stdin registry.example.com:5000",
                                "login --username robot --password-stdin"}));

  // A name that the login would take for an option is refused.
  LogCapture capture;
  fake_.push("get_docker_hub_credentials",
             Result::ok(Json{{"username", "robot"}, {"password", kPassword}, {"registry", "-h"}}));
  EXPECT_THROW(unit_.setup_action_requirements(details()), ValueError);
  EXPECT_EQ(tools_.calls("docker").size(), 2u);
  EXPECT_TRUE(capture.contains(Level::error, "Docker login failed: Invalid registry name: -h"));
}

TEST_F(RequirementsTest, AFailedLoginStopsBeforeTheKeyPairIsRequested) {
  tools_.add_reading_stdin("docker", "unauthorized\n", 1);
  LogCapture capture;
  try {
    unit_.setup_action_requirements(details());
    FAIL() << "a failed login passed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "docker login exited with status 1");
  }
  EXPECT_TRUE(
      capture.contains(Level::error, "Docker login failed: docker login exited with status 1"));
  EXPECT_TRUE(capture.contains(
      Level::error, "Error in setup_action_requirements: docker login exited with status 1"));
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
  expect_instance_keys();
}

TEST_F(RequirementsTest, ALoginThatNeverEndsFailsAtItsLimit) {
  const host_probe::ToolLimits previous = host_probe::tool_limits();
  host_probe::ToolLimits limits;
  limits.docker_login = std::chrono::milliseconds(100);
  host_probe::set_tool_limits(limits);
  tools_.add_hanging("docker");
  LogCapture capture;
  EXPECT_THROW(unit_.setup_action_requirements(details()), host_probe::ToolTimeoutError);
  host_probe::set_tool_limits(previous);
  EXPECT_TRUE(
      capture.contains(Level::warning, "docker login did not finish within 100 ms; killed"));
  EXPECT_TRUE(capture.contains(Level::error,
                               "Docker login failed: docker login did not finish within 100 ms"));
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
  expect_instance_keys();
}

TEST_F(RequirementsTest, BackendRefusalsFailWithTheirMessages) {
  LogCapture capture;
  fake_.push("get_docker_hub_credentials", Result::failure("denied", "registry refused"));
  try {
    unit_.setup_action_requirements(details());
    FAIL() << "refused credentials passed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to get Docker credentials: registry refused");
  }
  EXPECT_TRUE(capture.contains(
      Level::error, "Docker login failed: Failed to get Docker credentials: registry refused"));
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);

  capture.clear();
  fake_.push("get_user_access_key_pair", Result::failure("missing", "no such user"));
  try {
    unit_.setup_action_requirements(details());
    FAIL() << "a refused key pair passed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to get user access key pair: no such user");
  }
  EXPECT_TRUE(capture.contains(
      Level::error,
      "Failed to setup credentials: Failed to get user access key pair: no such user"));
  EXPECT_TRUE(capture.contains(
      Level::error,
      "Error in setup_action_requirements: Failed to get user access key pair: no such user"));
  expect_instance_keys();

  // An empty error is no error here.
  fake_.push("get_docker_hub_credentials",
             Result{Json{{"username", "robot"}, {"password", kPassword}}, "", ""});
  fake_.push("get_user_access_key_pair",
             Result{Json{{"access_key", kUserAccess}, {"secret_key", kUserSecret}}, "", ""});
  EXPECT_NO_THROW(unit_.setup_action_requirements(details()));
  EXPECT_EQ(unit_.tavoren_access_key_id(), kUserAccess);
}

TEST_F(RequirementsTest, ARecordWithoutOwnerLeavesTheKeysAlone) {
  LogCapture capture;
  EXPECT_THROW(unit_.setup_action_requirements(action_record()), KeyError);
  EXPECT_EQ(capture.count(Level::error, "Failed to setup credentials: "), 1u);
  EXPECT_EQ(capture.count(Level::error, "_idUser"), 2u);  // the stage and the policy
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
  EXPECT_EQ(tools_.calls("docker").size(), 1u);  // the login ran first
  expect_instance_keys();

  // A key pair without its secret changes nothing either.
  fake_.push("get_user_access_key_pair", Result::ok(Json{{"access_key", kUserAccess}}));
  EXPECT_THROW(unit_.setup_action_requirements(details()), KeyError);
  expect_instance_keys();
}

// ---------------------------------------------------------------------------
// Codebase

TEST_F(RequirementsTest, WithoutModelFamilyNoCodebaseIsFetched) {
  unit_.setup_action_requirements(details(), "/nonexistent/work", "", kActionId);
  EXPECT_EQ(fake_.count("get_model_codebase"), 0u);
  EXPECT_EQ(fake_.count("get_model_codebase_requirements"), 0u);
  EXPECT_FALSE(std::filesystem::exists("/nonexistent/work"));
}

TEST_F(RequirementsTest, AModelFamilyPutsItsCodebaseInTheWorkspace) {
  archives::FileServer server;
  server.serve("code.zip", archives::make_zip({archives::file("repo/train.py", "print(1)\n"),
                                               archives::file("repo/lib/model.py", "x = 1\n")}));
  server.serve("requirements.txt", "numpy\n");
  // An error beside the URL does not stop the fetch.
  fake_.push("get_model_codebase", Result{Json(server.url("code.zip")), "stale", "old answer"});
  fake_.push("get_model_codebase_requirements", Result::ok(server.url("requirements.txt")));
  TempDir dir;
  const std::string work_fs = (dir.path() / "work").string();

  unit_.setup_action_requirements(details(), work_fs, "yolo", kActionId);

  const std::filesystem::path workspace = dir.path() / "work" / kActionId;
  const std::set<std::string> files = archives::tree(workspace);
  for (const char* name : {"file.zip", "model.py", "requirements.txt", "train.py"}) {
    EXPECT_TRUE(files.contains(name)) << name;
  }
  EXPECT_EQ(read_file(workspace / "train.py"), "print(1)\n");
  EXPECT_EQ(read_file(workspace / "requirements.txt"), "numpy\n");
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_model_codebase", "get_model_codebase_requirements",
                                      "get_docker_hub_credentials", "get_user_access_key_pair"}));
  EXPECT_EQ(fake_.calls("get_model_codebase")[0].arguments, Json::array({"yolo"}));
  EXPECT_EQ(fake_.calls("get_model_codebase_requirements")[0].arguments, Json::array({"yolo"}));
}

TEST_F(RequirementsTest, AFailedFetchStopsEverythingAfterIt) {
  archives::FileServer server;  // serves nothing: every download is a 404
  fake_.push("get_model_codebase", Result::ok(server.url("code.zip")));
  fake_.push("get_model_codebase_requirements", Result::ok(nullptr));
  TempDir dir;
  LogCapture capture;
  EXPECT_ANY_THROW(unit_.setup_action_requirements(details(), (dir.path() / "work").string(),
                                                   "yolo", kActionId));
  EXPECT_EQ(capture.count(Level::error, "Error in setup_action_requirements: "), 1u);
  EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "work" / kActionId));
}

TEST_F(RequirementsTest, AModelFamilyWithoutAFileSystemIsRefusedBeforeAnythingHappens) {
  LogCapture capture;
  try {
    unit_.setup_action_requirements(details(), "", "yolo", kActionId);
    ADD_FAILURE() << "a codebase was placed under the root";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()),
              "No working file system for the codebase of model family yolo: the workspace "
              "would be made at the root (/" +
                  std::string(kActionId) + ")");
  }
  EXPECT_EQ(capture.count(Level::error,
                          "Error in setup_action_requirements: No working file "
                          "system for the codebase of model family yolo"),
            1u);
  EXPECT_TRUE(operations().empty());
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path("/") / kActionId));
  expect_instance_keys();
}

// ---------------------------------------------------------------------------
// Keys

TEST_F(RequirementsTest, EncryptedKeysAreStoredInClear) {
  ScopedEnv key("TAVOREN_ENCRYPTION_KEY", "0123456789abcdef0123456789abcdef");
  const auto encrypted =
      host_probe::get_encrypted_access_key_pair("AKIACLEAR00001", "clear-secret-00001");
  ASSERT_TRUE(encrypted.has_value());
  ASSERT_NE(encrypted->access_key, "AKIACLEAR00001");
  fake_.push("get_user_access_key_pair", Result::ok(Json{{"access_key", encrypted->access_key},
                                                         {"secret_key", encrypted->secret_key}}));
  unit_.setup_action_requirements(details());
  EXPECT_EQ(unit_.tavoren_access_key_id(), "AKIACLEAR00001");
  EXPECT_EQ(unit_.tavoren_secret_access_key(), "clear-secret-00001");

  // A pair that does not decrypt is a failure, and the keys stay.
  unit_.set_tavoren_keys("AKIAINSTANCE01", "instance-secret-01");
  LogCapture capture;
  fake_.push("get_user_access_key_pair",
             Result::ok(Json{{"access_key", "bm90IGVuY3J5cHRlZA=="}, {"secret_key", "eA=="}}));
  EXPECT_THROW(unit_.setup_action_requirements(details()), std::runtime_error);
  EXPECT_TRUE(capture.contains(
      Level::error,
      "Failed to setup credentials: The user's access key pair could not be decrypted"));
  expect_instance_keys();
}

TEST_F(RequirementsTest, KeysAndPasswordAreMaskedInLogsAfterwards) {
  unit_.setup_action_requirements(details());
  const std::string cmd = unit_.get_base_docker_cmd();
  // The keys travel in the client's environment, not in the command.
  ASSERT_EQ(cmd.find(kUserSecret), std::string::npos);
  LogCapture capture;
  log::info("Command: %s with %s", cmd, Json(unit_.container_environment()));
  log::info("Password was %s", kPassword);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message.find(kUserAccess), std::string::npos) << lines[0].message;
  EXPECT_EQ(lines[0].message.find(kUserSecret), std::string::npos) << lines[0].message;
  EXPECT_NE(lines[0].message.find("\"TAVOREN_SECRET_ACCESS_KEY=" + std::string(log::kSecretMask)),
            std::string::npos)
      << lines[0].message;
  EXPECT_EQ(lines[1].message, "Password was " + std::string(log::kSecretMask));
}

}  // namespace
}  // namespace tavoren::testing
