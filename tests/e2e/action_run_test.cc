// Actions run end to end: a work unit, driven by a recording backend, logs
// the sandbox's engine in to its registry, pulls the job image, runs the
// container to its end (or stops it), and ships the container's log.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "fake_scaling.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"
#include "tavoren/work_unit.h"

namespace tavoren::testing::e2e {
namespace {

using backend::Result;
using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::HasSubstr;

constexpr const char* kAgentKey = "e2e-key-0123456789abcdef01234567";
constexpr const char* kAccessKey = "e2e-access-key";
constexpr const char* kSecretKey = "e2e-secret-key";

class ActionRun : public ::testing::Test {
 protected:
  ActionRun()
      : home_("HOME", work_.path().string()),
        workspace_dir_("WORKSPACE_DIR", "fs"),
        encryption_key_("TAVOREN_ENCRYPTION_KEY", kAgentKey),
        action_id_(new_action_id()) {}

  void SetUp() override {
    const Sandbox& sandbox = Sandbox::get();
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok(Json{{"username", sandbox.user()},
                                      {"password", sandbox.password()},
                                      {"registry", sandbox.registry()}}));
    const auto pair = host_probe::get_encrypted_access_key_pair(kAccessKey, kSecretKey);
    ASSERT_TRUE(pair.has_value());
    fake_.set_default(
        "get_user_access_key_pair",
        Result::ok(Json{{"access_key", pair->access_key}, {"secret_key", pair->secret_key}}));
  }

  void TearDown() override { remove_containers_of(action_id_); }

  // The action's record, also the backend's answer to get_action_details.
  Json record(const std::string& type, const std::string& image, Json job_params) {
    Json record = Json::object();
    record["_id"] = action_id_;
    record["action"] = type;
    record["actionDetails"] = Json{{"docker", image}};
    record["_idUser"] = "e2e-user";
    record["status"] = "ACK";
    record["subAction"] = type;
    record["jobParams"] = std::move(job_params);
    fake_.set_default("get_action_details", Result::ok(record));
    return record;
  }

  std::unique_ptr<WorkUnit> unit(const Json& record) {
    WorkUnitOptions options;
    options.timings = WorkUnitTimings{.log_interval = milliseconds(100),
                                      .term_grace = milliseconds(1000),
                                      .kill_wait = milliseconds(5000),
                                      .flush_delay = milliseconds(0),
                                      .join_limit = milliseconds(10000),
                                      .exit_wait = milliseconds(2000)};
    options.log_dir = work_.path() / "logs";
    // Small pieces, so a whole log takes many shipments.
    options.max_log_piece = 4096;
    return std::make_unique<WorkUnit>(fake_, record, options);
  }

  // Executes the action and waits for its container's end.
  static bool run_to_end(WorkUnit& unit) {
    unit.execute();
    if (!unit.has_process()) return false;
    return eventually([&] { return !unit.is_running(); }, seconds(90));
  }

  // Every log piece the backend received, in order, joined.
  std::string shipped_log() const {
    std::string log;
    for (const auto& call : fake_.calls("update_action_docker_logs")) {
      EXPECT_EQ(call.arguments.at("action_record_id"), action_id_);
      log += call.arguments.at("log_content").get<std::string>();
    }
    return log;
  }

  // The only container of this action, as `docker inspect --format` shows it.
  std::string inspect_container(const std::string& format) const {
    const std::vector<std::string> ids = containers_of(action_id_, false);
    if (ids.size() != 1) return "(" + std::to_string(ids.size()) + " containers)";
    const process::RunResult inspected = docker({"inspect", "--format", format, ids[0]});
    return inspected.exit_status.success() ? trim(inspected.out) : "(inspect failed)";
  }

  std::vector<Json> update_actions() const {
    std::vector<Json> arguments;
    for (const auto& call : fake_.calls("update_action")) arguments.push_back(call.arguments);
    return arguments;
  }

  SandboxClient client_;
  TempDir work_;
  ScopedEnv home_;
  ScopedEnv workspace_dir_;
  ScopedEnv encryption_key_;
  FakeScaling fake_;
  std::string action_id_;
};

// Every numbered line of the job, once and in order, up to "N of N".
void expect_numbered_lines(const std::string& log, int lines) {
  std::size_t at = 0;
  for (int i = 1; i <= lines; ++i) {
    const std::string line =
        "job line " + std::to_string(i) + " of " + std::to_string(lines) + "\n";
    const std::size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line;
    at = found + line.size();
  }
}

TEST_F(ActionRun, DataImportRunsItsContainerAndShipsTheWholeLog) {
  const Sandbox& sandbox = Sandbox::get();
  auto data_import = unit(record("data_import", sandbox.image(), Json{{"dataset", "e2e"}}));

  ASSERT_TRUE(run_to_end(*data_import));

  // A real login, in this test's own client folder.
  EXPECT_THAT(read_file(client_.config_dir() / "config.json"), HasSubstr(sandbox.registry()));
  // The job is reported handed to the engine.
  const std::vector<Json> updates = update_actions();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].at("step_code"), "DCK_LNCH");
  EXPECT_EQ(updates[0].at("status"), "ACK");

  // The container ran the image, freshly pulled, with the owner's keys in
  // clear, and ended well.
  EXPECT_EQ(inspect_container("{{.State.Status}} {{.State.ExitCode}} {{.Config.Image}}"),
            "exited 0 " + sandbox.image());
  EXPECT_THAT(inspect_container("{{range .Config.Env}}{{println .}}{{end}}"),
              HasSubstr(std::string("TAVOREN_ACCESS_KEY_ID=") + kAccessKey));

  const std::string log = read_file(*data_import->log_path());
  EXPECT_THAT(log, HasSubstr("Pulling from tavoren-sandbox/job"));
  EXPECT_THAT(log, HasSubstr("python3 (stand-in) /usr/src/app/main.py " + action_id_ + "\n"));
  expect_numbered_lines(log, 2000);
  EXPECT_THAT(log, HasSubstr("job finished with status 0"));
  // The backend got the log whole, in many pieces.
  EXPECT_EQ(shipped_log(), log);
  EXPECT_GT(fake_.count("update_action_docker_logs"), 5u);
}

TEST_F(ActionRun, ResourceCloneRunsItsContainerAndShipsTheWholeLog) {
  const Sandbox& sandbox = Sandbox::get();
  auto clone = unit(record("resource_clone", sandbox.image(), Json::object()));

  ASSERT_TRUE(run_to_end(*clone));

  EXPECT_EQ(inspect_container("{{.State.Status}} {{.State.ExitCode}} {{.Config.Image}}"),
            "exited 0 " + sandbox.image());
  const std::string log = read_file(*clone->log_path());
  EXPECT_THAT(log, HasSubstr("python3 (stand-in) main.py " + action_id_ + "\n"));
  expect_numbered_lines(log, 2000);
  EXPECT_EQ(shipped_log(), log);
  EXPECT_TRUE(update_actions().empty());
}

TEST_F(ActionRun, OutOfMemoryInTheJobLogReportsTheActionInError) {
  const Sandbox& sandbox = Sandbox::get();
  auto data_import = unit(record("data_import", sandbox.image_oom(), Json::object()));

  ASSERT_TRUE(run_to_end(*data_import));

  EXPECT_EQ(inspect_container("{{.State.ExitCode}}"), "1");
  const std::string log = read_file(*data_import->log_path());
  EXPECT_THAT(log, HasSubstr("CUDA error: out of memory"));
  EXPECT_EQ(shipped_log(), log);
  // The hand-over report, then the error report, once.
  const std::vector<Json> updates = update_actions();
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0].at("status"), "ACK");
  EXPECT_EQ(updates[1].at("id"), action_id_);
  EXPECT_EQ(updates[1].at("step_code"), "ERROR");
  EXPECT_EQ(updates[1].at("status"), "ERROR");
  EXPECT_EQ(updates[1].at("status_description"), "CUDA error: out of memory");
}

TEST_F(ActionRun, StopLeavesNoRunningContainer) {
  const Sandbox& sandbox = Sandbox::get();
  auto long_job = unit(record("data_import", sandbox.image_sleep(), Json::object()));
  long_job->execute();
  ASSERT_TRUE(long_job->has_process());
  ASSERT_TRUE(eventually(
      [&] {
        return !containers_of(action_id_, true).empty() &&
               read_file(*long_job->log_path()).find("job sleeping") != std::string::npos;
      },
      seconds(60)))
      << read_file(*long_job->log_path());

  long_job->stop();

  // The engine itself no longer runs the job: the container is stopped,
  // not just the client that started it.
  EXPECT_TRUE(containers_of(action_id_, true).empty());
  EXPECT_THAT(inspect_container("{{.State.Status}}"), "exited");
  EXPECT_FALSE(long_job->is_running());
  EXPECT_FALSE(long_job->has_process());
  EXPECT_THAT(shipped_log(), HasSubstr("job sleeping for 600 s"));
}

TEST_F(ActionRun, DataPreparationPullsTheTrainingImageInTheBackground) {
  const Sandbox& sandbox = Sandbox::get();
  docker({"image", "rm", "--force", sandbox.train_image()});
  ASSERT_NE(docker({"image", "inspect", sandbox.train_image()}).exit_status.returncode(), 0);
  auto preparation = unit(record("data_prep", sandbox.image(),
                                 Json{{"dataset_id", "ds"},
                                      {"dataset_version", "7"},
                                      {"model_train_docker", sandbox.train_image()}}));

  ASSERT_TRUE(run_to_end(*preparation));

  EXPECT_TRUE(eventually(
      [&] {
        return docker({"image", "inspect", sandbox.train_image()}).exit_status.success();
      },
      seconds(60)));
  EXPECT_EQ(inspect_container("{{.State.ExitCode}}"), "0");
  const std::string log = read_file(*preparation->log_path());
  EXPECT_THAT(
      log, HasSubstr("python3 (stand-in) /usr/src/app/data_preparation.py " + action_id_ + "\n"));
  EXPECT_EQ(shipped_log(), log);
  const std::vector<Json> updates = update_actions();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].at("step_code"), "DCK_LNCH");
  EXPECT_EQ(updates[0].at("job_params").at("model_train_docker"), sandbox.train_image());
}

TEST_F(ActionRun, RefusedRegistryLoginStartsNoContainer) {
  const Sandbox& sandbox = Sandbox::get();
  fake_.set_default("get_docker_hub_credentials",
                    Result::ok(Json{{"username", sandbox.user()},
                                    {"password", "not-the-password"},
                                    {"registry", sandbox.registry()}}));
  auto data_import = unit(record("data_import", sandbox.image(), Json::object()));

  data_import->execute();

  EXPECT_FALSE(data_import->has_process());
  EXPECT_TRUE(containers_of(action_id_, false).empty());
  EXPECT_TRUE(update_actions().empty());
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
}

// The command line of every process on this host, NUL bytes as blanks.
std::vector<std::string> host_command_lines() {
  std::vector<std::string> lines;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string line = read_file(entry.path() / "cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    lines.push_back(std::move(line));
  }
  return lines;
}

// The owner's keys, the model-hub token and the internal API key reach the
// job through the engine's client environment: while the action runs no
// command line on the host holds one, and the job reads each exactly.
TEST_F(ActionRun, SecretsReachTheJobButNoCommandLine) {
  const Sandbox& sandbox = Sandbox::get();
  const std::vector<std::pair<std::string, std::string>> secrets = {
      {"TAVOREN_ACCESS_KEY_ID", "e2eAccess7Q $HOME \"q\""},
      {"TAVOREN_SECRET_ACCESS_KEY", "e2eSecret7Q it's `id` \\ $(id)"},
      {"HUGGING_FACE_ACCESS_TOKEN", "e2eToken7Q hf_'x' \"y\""},
      {"TAVOREN_INTERNAL_API_KEY", "e2eInternal7Q $$ ; && \\\""}};
  const auto pair = host_probe::get_encrypted_access_key_pair(secrets[0].second, secrets[1].second);
  ASSERT_TRUE(pair.has_value());
  fake_.set_default("get_user_access_key_pair", Result::ok(Json{{"access_key", pair->access_key},
                                                                {"secret_key", pair->secret_key}}));
  fake_.set_default("get_model_secret_keys",
                    Result::ok(Json{{"user_access_token", secrets[2].second}}));
  fake_.set_default("get_internal_api_key",
                    Result::ok(Json{{"internal_api_key", secrets[3].second}}));

  // The job's part of the script: each variable's value on a line.
  std::string job_script = "printf '%s\\n'";
  for (const auto& [name, value] : secrets) job_script += " \"$" + name + "\"";
  // The identifier names the container for the engine queries.
  job_script += " && sleep 6 && : " + action_id_;
  const Json action = record("model_train", sandbox.image(), Json::object());
  WorkUnitOptions options;
  options.timings.log_interval = milliseconds(100);
  options.timings.term_grace = milliseconds(1000);
  options.log_dir = work_.path() / "logs";
  // The common container command, with the job printing the four variables
  // and then staying a while, so the host's processes can be read.
  options.actions_map = ActionsMap{
      {"model_train", [&](WorkUnit& job) {
         job.setup_action_requirements(action);
         const std::string key = job.get_internal_api_key(action_id_);
         const std::string cmd =
             job.get_base_docker_cmd({.model_key = "timm/e2e",
                                      .extra_env_vars = Json{{"TAVOREN_INTERNAL_API_KEY", key}}}) +
             " " + escape_double_quoted(job_script) + "\"";
         job.start(cmd, "secrets");
       }}};
  WorkUnit job(fake_, action, options);
  job.execute();
  ASSERT_TRUE(job.has_process());
  ASSERT_TRUE(eventually(
      [&] {
        return !containers_of(action_id_, true).empty() &&
               read_file(*job.log_path()).find(secrets.back().second) != std::string::npos;
      },
      seconds(60)))
      << read_file(*job.log_path());

  // The client, the engine's helpers and the container's shell all run now.
  const std::vector<std::string> command_lines = host_command_lines();
  // The scan sees the action's processes: the client and the container's
  // shell name the action.
  EXPECT_GE(std::count_if(command_lines.begin(), command_lines.end(),
                          [&](const std::string& line) {
                            return line.find(action_id_) != std::string::npos &&
                                   line.find("TAVOREN_SECRET_ACCESS_KEY") != std::string::npos;
                          }),
            2);
  for (const std::string& line : command_lines) {
    for (const auto& [name, value] : secrets) {
      EXPECT_EQ(line.find(value), std::string::npos) << name << " in: " << line;
      EXPECT_EQ(line.find(shell_quote(value)), std::string::npos) << name << " in: " << line;
      // Each value's first word, which no quoting changes.
      EXPECT_EQ(line.find(value.substr(0, value.find(' '))), std::string::npos)
          << name << " in: " << line;
    }
  }

  ASSERT_TRUE(eventually([&] { return !job.is_running(); }, seconds(90)));
  EXPECT_EQ(inspect_container("{{.State.ExitCode}}"), "0");
  std::string expected;
  for (const auto& [name, value] : secrets) expected += value + "\n";
  const std::string log = read_file(*job.log_path());
  EXPECT_THAT(log, ::testing::EndsWith(expected));
  EXPECT_EQ(shipped_log(), log);
}

}  // namespace
}  // namespace tavoren::testing::e2e
