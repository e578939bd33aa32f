// The data and dataset executors, run through WorkUnit::execute against a
// recording backend, with fake `docker` and `df` first on PATH: the
// container command lines, log names, status reports, the background pull
// of the training image, and the failures that start nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;

constexpr const char* kImage = "registry.example/data:2";
constexpr const char* kUserAccessKey = "AKIAUSEREXAMPLE";
constexpr const char* kUserSecretKey = "userSecretKeyEXAMPLE";

constexpr const char* kDfListing =
    "Filesystem      Size  Used Avail Use% Mounted on\n"
    "/dev/nvme0n1p1  194G   84G  111G  44% /\n"
    "/dev/nvme1n1    3.5T  1.1T  2.3T  32% /mnt/data\n"
    "tmpfs           6.3G  4.0K  6.3G   1% /run/user/1000\n";

// What follows the script call in every line: the package installs of the
// builder.
constexpr const char* kInstalls =
    "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && pip install "
    "--upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren && ";

// The line of the four executors that mount the workspace at the builder's
// default place and run from ".".
std::string default_workspace_line(const std::string& job) {
  return std::string(
             "docker run   --net=host -e ENV=prod -e "
             "TAVOREN_SECRET_ACCESS_KEY "
             "-e TAVOREN_ACCESS_KEY_ID -v /mnt/data/workspace:/usr/src/workspace "
             "--shm-size=30G --pull=always registry.example/data:2 /bin/bash -c \"cd . && export "
             "ENV=prod && export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
             "export "
             "TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && ") +
         kInstalls + job;
}

std::vector<std::string> operations(const FakeScaling& fake) {
  std::vector<std::string> names;
  for (const auto& call : fake.calls()) {
    if (call.operation != "update_action_docker_logs") names.push_back(call.operation);
  }
  return names;
}

// The words the job's script runs, as the shell inside the container reads
// them: the line is split once (as the agent starts it), and the script's
// own words once more.
std::vector<std::string> script_words(const std::string& cmd) {
  const std::vector<std::string> argv = shell_split(cmd);
  return shell_split(argv.back());
}

class DataExecutors : public ::testing::Test {
 protected:
  void SetUp() override {
    log::clear_secrets();
    tools_.add("docker", "");
    tools_.add("df", kDfListing);
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok({{"username", "robot"}, {"password", "registryPassEXAMPLE"}}));
    fake_.set_default("get_user_access_key_pair",
                      Result::ok({{"access_key", kUserAccessKey}, {"secret_key", kUserSecretKey}}));
    fake_.set_default("get_open_port", Result::ok(8765));
  }
  void TearDown() override { log::clear_secrets(); }

  // A unit of action type `type` (id `id`), whose current record is
  // `details`; executed and, when it started a child, run to its end.
  std::unique_ptr<WorkUnit> run(const std::string& type, const Json& details,
                                const std::string& id = kId) {
    fake_.set_default("get_action_details", Result::ok(details));
    Json record = Json::object();
    record["_id"] = id;
    record["action"] = type;
    record["actionDetails"] = Json{{"docker", kImage}};
    WorkUnitOptions options;
    options.timings = quick_timings();
    options.log_dir = logs_.path() / "logs";
    auto unit = std::make_unique<WorkUnit>(fake_, record, options);
    unit->execute();
    EXPECT_TRUE(ends(*unit));
    return unit;
  }

  Json details(const std::string& type, Json job_params = Json::object()) const {
    Json record = Json::object();
    record["_id"] = kId;
    record["_idUser"] = "user-42";
    record["action"] = type;
    record["status"] = "OK";
    record["subAction"] = "prepare";
    record["jobParams"] = std::move(job_params);
    return record;
  }

  std::string log_file(const std::string& log_name, const std::string& id = kId) const {
    return (logs_.path() / "logs").string() + "/" + log_name + "_" + id + ".txt";
  }

  std::vector<std::string> docker_calls(const std::string& first_word) const {
    std::vector<std::string> selected;
    for (const std::string& call : tools_.calls("docker")) {
      if (call.starts_with(first_word + " ")) selected.push_back(call);
    }
    return selected;
  }

  ScopedEnv env_{"ENV", std::nullopt};
  ScopedEnv index_{"TAVOREN_PACKAGE_INDEX_HOST", std::nullopt};
  ScopedEnv encryption_{"TAVOREN_ENCRYPTION_KEY", std::nullopt};
  TempDir logs_;
  FakeTools tools_;
  FakeScaling fake_;
};

// ---------------------------------------------------------------------------
// Dataset preparation

TEST_F(DataExecutors, PreparationReportsThePathsPullsTheTrainingImageAndStartsTheJob) {
  LogCapture capture;
  TempDir pull_dir;
  const auto fds = pull_dir.path() / "pull_fds";
  // The pull records where its standard streams go.
  tools_.add_script("docker",
                    "if [ \"$1\" = pull ]; then i=$(readlink /proc/$$/fd/0); "
                    "o=$(readlink /proc/$$/fd/1); e=$(readlink /proc/$$/fd/2); "
                    "printf '%s\\n' \"$i\" \"$o\" \"$e\" > " +
                        shell_quote(fds.string()) + "; echo noise; echo noise >&2; fi");

  auto unit =
      run("data_prep", details("data_prep", {{"dataset_id", "ds1"},
                                             {"dataset_version", "v2"},
                                             {"model_train_docker", "registry.example/train:7"}}));

  const std::string expected =
      "docker run   --net=host -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY -e "
      "TAVOREN_ACCESS_KEY_ID -v /mnt/data/workspace:/usr/src/app/workspace "
      "--shm-size=30G --pull=always registry.example/data:2 /bin/bash -c \"cd "
      "/usr/src/app/workspace && export ENV=prod && export "
      "TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && export "
      "TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && if [ -f requirements.txt ]; then "
      "pip install -r "
      "requirements.txt; fi  && pip install --upgrade --force-reinstall --index-url "
      "https://pypi.org/simple/ tavoren &&  python3 /usr/src/app/data_preparation.py "
      "65f1a2b3c4d5e6f708192a3b \"";
  EXPECT_EQ(unit->cmd(), expected);
  EXPECT_EQ(unit->log_path(), log_file("data_preparation_log"));
  // The engine really received the line, word for word.
  const auto runs = docker_calls("run");
  ASSERT_EQ(runs.size(), 1u);
  std::vector<std::string> received = shell_split(runs[0]);
  ASSERT_GT(received.size(), 5u);
  EXPECT_EQ(received[1], "--cidfile");
  EXPECT_EQ(received[3], "--label");
  EXPECT_EQ(received[4], "tavoren.action-id=65f1a2b3c4d5e6f708192a3b");
  received.erase(received.begin() + 1, received.begin() + 5);
  std::vector<std::string> argv = shell_split(expected);
  argv.erase(argv.begin());
  EXPECT_EQ(received, argv);

  // The logged command names the owner's keys without their values.
  const std::string logged = "cmd is: " + masked(expected, {kUserAccessKey, kUserSecretKey});
  EXPECT_NE(logged.find("-e TAVOREN_ACCESS_KEY_ID "), std::string::npos);
  EXPECT_TRUE(capture.contains(Level::info, logged));
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.message.find(kUserSecretKey), std::string::npos) << line.message;
    EXPECT_EQ(line.message.find(kUserAccessKey), std::string::npos) << line.message;
  }

  // The status report comes after the requirements, with the extended job
  // parameters.
  EXPECT_EQ(operations(fake_),
            (std::vector<std::string>{"get_data_processing_image", "get_action_details",
                                      "get_docker_hub_credentials", "get_user_access_key_pair",
                                      "update_action"}));
  const Json report = Json::parse(R"({
    "id": "65f1a2b3c4d5e6f708192a3b", "step_code": "DCK_LNCH", "action_type": "data_prep",
    "status": "OK", "sub_action": "prepare", "status_description": "Job is assigned to docker",
    "service": "bg-job-scheduler",
    "job_params": {"dataset_id": "ds1", "dataset_version": "v2",
                   "model_train_docker": "registry.example/train:7",
                   "dataset_host_path_map": {"ds1v2": "/mnt/data/workspace"},
                   "dataset_local_path_map": {"ds1v2": "/usr/src/app/workspace"},
                   "host_file_system": "/mnt/data"}})");
  auto updates = fake_.calls("update_action");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].arguments.dump(), report.dump());

  // The pull: no shell, output discarded, reaped once it ends.
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(fds); }));
  EXPECT_EQ(docker_calls("pull"), std::vector<std::string>{"pull registry.example/train:7"});
  ASSERT_TRUE(eventually([&] { return read_file(fds).size() == 30; })) << read_file(fds);
  EXPECT_EQ(read_file(fds), "/dev/null\n/dev/null\n/dev/null\n");
  EXPECT_TRUE(capture.contains(Level::info, "Pulling the docker image"));
  std::optional<int> pid;
  for (const auto& line : capture.lines()) {
    const std::string prefix = "Started pulling Docker image with PID: ";
    if (line.message.starts_with(prefix)) pid = parse_int(line.message.substr(prefix.size()));
  }
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(*pid)); }))
      << "the pull was not reaped";
  EXPECT_EQ(read_file(unit->log_path().value()), "") << "the pull's output reached the job's log";
  unit->stop();
}

TEST_F(DataExecutors, PreparationPullsOnlyAGivenImageAndNeverThroughAShell) {
  // Absent, null or empty: no pull, and neither pull message.
  for (const Json& image : {Json(), Json(""), Json("absent")}) {
    LogCapture capture;
    Json params = {{"dataset_id", "a"}, {"dataset_version", "b"}};
    if (image != "absent") params["model_train_docker"] = image;
    auto unit = run("data_prep", details("data_prep", params));
    ASSERT_TRUE(unit->cmd().has_value());
    EXPECT_EQ(capture.count(Level::info, "Pulling the docker image"), 0u);
    EXPECT_EQ(capture.count(Level::info, "Started pulling"), 0u);
    unit->stop();
  }

  // A hostile reference is one argument of the pull; nothing else runs.
  TempDir dir;
  const auto planted = dir.path() / "planted";
  const std::string hostile = "img; touch " + planted.string() + " #";
  auto unit = run("data_prep", details("data_prep", {{"dataset_id", "a"},
                                                     {"dataset_version", "b"},
                                                     {"model_train_docker", hostile}}));
  ASSERT_TRUE(eventually([&] { return !docker_calls("pull").empty(); }));
  EXPECT_EQ(docker_calls("pull"), std::vector<std::string>{"pull " + shell_quote(hostile)});
  EXPECT_FALSE(std::filesystem::exists(planted));
  unit->stop();

  // A reference that reads as an option of the pull is not pulled; the job
  // starts all the same.
  LogCapture capture;
  auto option = run("data_prep", details("data_prep", {{"dataset_id", "a"},
                                                       {"dataset_version", "b"},
                                                       {"model_train_docker", "--all-tags"}}));
  EXPECT_EQ(docker_calls("pull").size(), 1u);
  EXPECT_EQ(capture.count(Level::error, "Error in start_image_pull: "), 1u);
  EXPECT_TRUE(option->cmd().has_value());
  option->stop();
}

TEST_F(DataExecutors, PreparationJoinsIdentifierAndVersionIntoOneKey) {
  // Numbers as their text, no separator; a parameter already present keeps
  // its place and takes the new value.
  auto unit =
      run("data_prep",
          details("data_prep",
                  {{"host_file_system", "/old"}, {"dataset_id", 12}, {"dataset_version", 3}}));
  auto updates = fake_.calls("update_action");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].arguments.at("job_params").dump(),
            R"({"host_file_system":"/mnt/data","dataset_id":12,"dataset_version":3,)"
            R"("dataset_host_path_map":{"123":"/mnt/data/workspace"},)"
            R"("dataset_local_path_map":{"123":"/usr/src/app/workspace"}})");
  unit->stop();
}

// ---------------------------------------------------------------------------
// Data import and processing

TEST_F(DataExecutors, ImportAndAddRunTheProcessingJobAndReportItAcknowledged) {
  for (const std::string type : {"data_import", "data_add"}) {
    LogCapture capture;
    fake_.clear_calls();
    auto unit = run(type, details(type, {{"dataset_id", "ds1"}}));
    const std::string expected =
        "docker run   --net=host -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY -e "
        "TAVOREN_ACCESS_KEY_ID -v /mnt/data/workspace:/usr/src/workspace "
        "--shm-size=30G --pull=always registry.example/data:2 /bin/bash -c \"cd . && export "
        "ENV=prod && export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
        "export "
        "TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && if [ -f requirements.txt ]; "
        "then pip install -r "
        "requirements.txt; fi  && pip install --upgrade --force-reinstall --index-url "
        "https://pypi.org/simple/ tavoren &&  python3 /usr/src/app/main.py "
        "65f1a2b3c4d5e6f708192a3b \"";
    EXPECT_EQ(unit->cmd(), expected) << type;
    EXPECT_EQ(unit->log_path(), log_file("data_processing_log"));
    EXPECT_TRUE(capture.contains(Level::info,
                                 "cmd: " + masked(expected, {kUserAccessKey, kUserSecretKey})));

    auto updates = fake_.calls("update_action");
    ASSERT_EQ(updates.size(), 1u);
    const Json report = {{"id", kId},
                         {"step_code", "DCK_LNCH"},
                         {"action_type", type},
                         {"status", "ACK"},
                         {"status_description", "Job is assigned to docker"},
                         {"service", "bg-job-scheduler"},
                         {"job_params",
                          {{"dataset_id", "ds1"},
                           {"dp_dv_host_paths", Json::array({"/mnt/data/workspace"})},
                           {"dp_dv_local_paths", Json::array({"/usr/src/app/workspace"})}}}};
    EXPECT_EQ(updates[0].arguments.dump(), report.dump()) << type;
    EXPECT_TRUE(docker_calls("pull").empty());
    unit->stop();
  }
}

// ---------------------------------------------------------------------------
// Split, annotation, augmentation and the augmentation server

TEST_F(DataExecutors, SplitAnnotationAndAugmentationStartTheirScriptsWithoutReporting) {
  struct Case {
    std::string type, script, log_name;
  };
  for (const Case& c : std::vector<Case>{
           {"data_split", "data_split.py", "data_split"},
           {"dataset_annotation", "dataset_annotation.py", "dataset_annotation"},
           {"dataset_augmentation", "data_augmentation.py", "dataset_augmentation"}}) {
    LogCapture capture;
    auto unit = run(c.type, details(c.type));
    const std::string expected = default_workspace_line(" python3 /usr/src/app/" + c.script +
                                                        " 65f1a2b3c4d5e6f708192a3b \"");
    EXPECT_EQ(unit->cmd(), expected) << c.type;
    EXPECT_EQ(unit->log_path(), log_file(c.log_name)) << c.type;
    EXPECT_TRUE(
        capture.contains(Level::info, "cmd: " + masked(expected, {kUserAccessKey, kUserSecretKey})))
        << c.type;
    EXPECT_EQ(capture.count(Level::info, "cmd is: "), 0u);
    unit->stop();
  }
  EXPECT_EQ(fake_.count("update_action"), 0u);
  EXPECT_EQ(fake_.count("get_open_port"), 0u);
}

TEST_F(DataExecutors, AugmentationServerPassesTheBackendsPortToItsScript) {
  LogCapture capture;
  auto unit = run("augmentation_setup", details("augmentation_setup"));
  const std::string expected = default_workspace_line(
      " python3 /usr/src/app/aug_server.py 65f1a2b3c4d5e6f708192a3b 8765 \"");
  EXPECT_EQ(unit->cmd(), expected);
  EXPECT_EQ(unit->log_path(), log_file("augmentation_setup"));
  EXPECT_TRUE(
      capture.contains(Level::info, "cmd: " + masked(expected, {kUserAccessKey, kUserSecretKey})));
  EXPECT_EQ(
      operations(fake_),
      (std::vector<std::string>{"get_data_processing_image", "get_action_details", "get_open_port",
                                "get_docker_hub_credentials", "get_user_access_key_pair"}));
  unit->stop();

  // A port given as decimal text is used as its number; any other text is
  // refused before the registry login.
  fake_.set_default("get_open_port", Result::ok("9000"));
  auto text_port = run("augmentation_setup", details("augmentation_setup"));
  ASSERT_TRUE(text_port->cmd().has_value());
  const auto words = script_words(*text_port->cmd());
  EXPECT_EQ(std::vector<std::string>(words.end() - 3, words.end()),
            (std::vector<std::string>{"/usr/src/app/aug_server.py", kId, "9000"}));
  text_port->stop();
  fake_.set_default("get_open_port", Result::ok("9000; reboot"));
  fake_.clear_calls();
  auto bad_port = run("augmentation_setup", details("augmentation_setup"));
  EXPECT_FALSE(bad_port->cmd().has_value());
  EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);

  // No port: nothing starts, and the registry is not even logged in to.
  LogCapture no_port_capture;
  fake_.set_default("get_open_port", Result::ok(nullptr));
  fake_.clear_calls();
  auto no_port = run("augmentation_setup", details("augmentation_setup"));
  EXPECT_FALSE(no_port->cmd().has_value());
  EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
  EXPECT_EQ(no_port_capture.count(Level::error, "Error in augmentation_server_creation_execute: "),
            1u);
}

// ---------------------------------------------------------------------------
// Inserted values and failures

// An identifier of another form than the server's never reaches a script
// (nor a path): the unit is refused before anything is asked.
TEST_F(DataExecutors, AHostileIdentifierNeverReachesAScript) {
  const std::string id = "a\"b $(touch planted) `id` 'c\\d";
  for (const std::string type : {"data_prep", "data_import", "data_split", "dataset_annotation",
                                 "dataset_augmentation", "augmentation_setup"}) {
    EXPECT_THROW(run(type, details(type, {{"dataset_id", "a"}, {"dataset_version", "b"}}), id),
                 ValueError)
        << type;
  }
  EXPECT_EQ(fake_.calls().size(), 0u);
}

TEST_F(DataExecutors, NothingStartsWithoutDetailsOrWhenTheRequirementsFail) {
  // No record, or an empty one: no requirements, no report, no start; the
  // augmentation server has asked for its port all the same.
  for (const Result& answer :
       {Result::failure("not found", "no such action"), Result::ok(Json::object())}) {
    for (const std::string type : {"data_prep", "data_add", "augmentation_setup"}) {
      fake_.clear_calls();
      fake_.set_default("get_action_details", answer);
      Json record = {{"_id", kId}, {"action", type}, {"actionDetails", {{"docker", kImage}}}};
      WorkUnit unit(fake_, record, {.timings = quick_timings(), .log_dir = logs_.path() / "l"});
      unit.execute();
      EXPECT_FALSE(unit.cmd().has_value()) << type;
      EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u) << type;
      EXPECT_EQ(fake_.count("update_action"), 0u) << type;
      EXPECT_EQ(fake_.count("get_open_port"), type == "augmentation_setup" ? 1u : 0u) << type;
    }
  }
  EXPECT_TRUE(docker_calls("run").empty());

  // A failed registry login: never reported as handed to the engine.
  tools_.add_script("docker", "[ \"$1\" = login ] && exit 1; exit 0");
  fake_.clear_calls();
  LogCapture capture;
  auto unit =
      run("data_prep",
          details("data_prep",
                  {{"dataset_id", "a"}, {"dataset_version", "b"}, {"model_train_docker", "img"}}));
  EXPECT_FALSE(unit->cmd().has_value());
  EXPECT_EQ(fake_.count("update_action"), 0u);
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
  EXPECT_TRUE(docker_calls("pull").empty());
  EXPECT_EQ(capture.count(Level::error, "Error in data_preparation_execute: "), 1u);
}

TEST_F(DataExecutors, AMissingFieldFailsTheExecutorBeforeAnythingStarts) {
  struct Case {
    std::string type;
    std::string drop;  // a key of the record, or of its job parameters
  };
  for (const Case& c : std::vector<Case>{{"data_prep", "subAction"},
                                         {"data_prep", "dataset_version"},
                                         {"data_prep", "jobParams"},
                                         {"data_import", "action"},
                                         {"data_import", "jobParams"}}) {
    LogCapture capture;
    fake_.clear_calls();
    Json record = details(c.type, {{"dataset_id", "a"}, {"dataset_version", "b"}});
    if (record.contains(c.drop)) {
      record.erase(c.drop);
    } else {
      record["jobParams"].erase(c.drop);
    }
    auto unit = run(c.type, record);
    EXPECT_FALSE(unit->cmd().has_value()) << c.drop;
    EXPECT_EQ(fake_.count("update_action"), 0u) << c.drop;
    const std::string operation =
        c.type == "data_prep" ? "data_preparation_execute" : "data_processing_execute";
    EXPECT_EQ(capture.count(Level::error, "Error in " + operation + ": "), 1u) << c.drop;
    EXPECT_EQ(capture.count(Level::error, c.drop), 1u) << c.drop;
  }

  // Job parameters that are not a map are refused the same way.
  fake_.clear_calls();
  auto unit = run("data_add", details("data_add", Json::array({1, 2})));
  EXPECT_FALSE(unit->cmd().has_value());
  EXPECT_EQ(fake_.count("update_action"), 0u);
}

TEST_F(DataExecutors, WithoutAFileSystemNothingIsMountedAndNoHostPathIsReported) {
  tools_.add("df", "", 1);
  auto prep =
      run("data_prep", details("data_prep", {{"dataset_id", "a"}, {"dataset_version", "b"}}));
  ASSERT_TRUE(prep->cmd().has_value());
  EXPECT_EQ(prep->cmd()->find(" -v "), std::string::npos);
  prep->stop();
  auto process = run("data_add", details("data_add"));
  ASSERT_TRUE(process->cmd().has_value());
  process->stop();

  auto updates = fake_.calls("update_action");
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0].arguments.at("job_params").dump(),
            R"({"dataset_id":"a","dataset_version":"b","dataset_host_path_map":{"ab":null},)"
            R"("dataset_local_path_map":{"ab":"/usr/src/app/workspace"},"host_file_system":null})");
  EXPECT_EQ(updates[1].arguments.at("job_params").dump(),
            R"({"dp_dv_host_paths":[null],"dp_dv_local_paths":["/usr/src/app/workspace"]})");
}

}  // namespace
}  // namespace tavoren::testing
