#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "test_archives.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;
namespace archives = workspace_fetch::testing;

constexpr const char* kToken = "hf_tokenEXAMPLE0001";
constexpr const char* kRegistryPassword = "hub-pass-0001";

// Replaces every "<W>" in `line` by `work_fs`.
std::string with_work_fs(std::string line, const std::string& work_fs) {
  for (std::size_t at; (at = line.find("<W>")) != std::string::npos;) {
    line.replace(at, 3, work_fs);
  }
  return line;
}

// Units of model actions on a host with one GPU (40000 MiB free), a data
// disk mounted at work_fs() (the largest), a stand-in container engine that
// records its calls, a codebase served on loopback, and a backend that hands
// out the owner's encrypted keys, registry credentials and a model-hub
// token.
class ModelExecutorTest : public ::testing::Test, protected ExecutorHarness {
 protected:
  ModelExecutorTest() {
    tools_.add("df",
               "Filesystem      Size  Used Avail Use% Mounted on\n"
               "/dev/nvme0n1p1  194G   84G  111G  44% /\n"
               "/dev/nvme1n1    900G  100G  800G  12% " +
                   work_fs() + "\n");
    tools_.add("nvidia-smi", "memory.free [MiB]\n40000 MiB\n");

    answer_owner_keys(kOwnerAccess, kOwnerSecret, kEncryptionKey);
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok(Json{{"username", "robot"}, {"password", kRegistryPassword}}));
    fake_.set_default("get_model_secret_keys", Result::ok(Json{{"user_access_token", kToken}}));
    files_.server().Get("/code.zip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(codebase_, "application/zip");
    });
    files_.server().Get("/requirements.txt", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("numpy\n", "text/plain");
    });
    files_.start();
    fake_.set_default("get_model_codebase", Result::ok(files_.url() + "/code.zip"));
    fake_.set_default("get_model_codebase_requirements",
                      Result::ok(files_.url() + "/requirements.txt"));
  }

  std::string work_fs() const { return work_.path().string(); }

  // The record of a `type` action as the backend holds it: a GPU job of the
  // "yolo" family with a "timm" model key, run on work_fs().
  Json record(const std::string& type) const {
    Json r = action_record(type);
    r["_idUser"] = "user-7";
    r["actionDetails"]["gpuRequired"] = true;
    r["actionDetails"]["expectedResources"] = Json{{"gpuMemory", 16000}};
    r["actionDetails"]["modelFamily"] = "yolo";
    r["actionDetails"]["modelKey"] = "timm/resnet50";
    r["jobParams"]["host_file_system"] = work_fs();
    return r;
  }

  // Runs `script` with the container's shell, its set-up commands (cd, pip)
  // neutralised and python3 recording its arguments followed by the value
  // of INTERNAL_PORT. Returns those words.
  std::vector<std::string> job_words(const std::string& script) const {
    const auto record = scratch_.path() / "job.args";
    std::filesystem::remove(record);
    const auto bash_env =
        scratch_.write("bash_env",
                       "cd() { :; }\npip() { :; }\npython3() { printf '%s\\0' \"$@\" "
                       "\"$INTERNAL_PORT\" > " +
                           shell_quote(record.string()) + "; }\n");
    ScopedEnv env("BASH_ENV", bash_env.string());
    const process::RunResult result =
        process::run_capture({"/bin/bash", "-c", script}, {.capture_stderr = true});
    EXPECT_EQ(result.exit_status.returncode(), 0) << result.err;
    return nul_words(read_file(record));
  }

  ScopedEnv env_{"ENV", std::nullopt};
  ScopedEnv index_{"TAVOREN_PACKAGE_INDEX_HOST", std::nullopt};
  ScopedEnv gpus_{"GPUS", std::nullopt};
  ScopedEnv key_{"TAVOREN_ENCRYPTION_KEY", kEncryptionKey};
  TempDir work_;
  TempDir scratch_;
  // The model family's codebase, served on loopback with its requirements.
  const std::string codebase_ = archives::make_zip({archives::file("src/train.py", "print(1)\n")});
  LoopbackServer files_;
  LogCapture capture_;
};

// ---------------------------------------------------------------------------
// Whole command lines

TEST_F(ModelExecutorTest, TrainingRunsTrainPyWithTheTokenAndTheOwnersKeys) {
  WorkUnit& unit = run(record("model_train"));

  const std::string expected = with_work_fs(
      "docker run --gpus \"device=0\"  --net=host -e ENV=prod "
      "-e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID -e HUGGING_FACE_ACCESS_TOKEN "
      "-v <W>/workspace:/usr/src/workspace "
      "-v <W>/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
      "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c \"cd "
      "/usr/src/65f1a2b3c4d5e6f708192a3b && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "export HUGGING_FACE_ACCESS_TOKEN=\\\"\\$HUGGING_FACE_ACCESS_TOKEN\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 train.py 65f1a2b3c4d5e6f708192a3b \"",
      work_fs());
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("train_log"));

  // The logged command shows neither the keys nor the token.
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kToken})));
  for (const auto& line : capture_.lines()) {
    EXPECT_EQ(line.message.find(kOwnerSecret), std::string::npos) << line.message;
    EXPECT_EQ(line.message.find(kToken), std::string::npos) << line.message;
  }

  // Details, codebase, login, owner's keys, then the token for the command.
  EXPECT_EQ(operations(), (std::vector<std::string>{
                              "get_action_details", "get_model_codebase",
                              "get_model_codebase_requirements", "get_docker_hub_credentials",
                              "get_user_access_key_pair", "get_model_secret_keys"}));
  EXPECT_EQ(fake_.calls("get_action_details")[0].arguments, Json::array({kId}));
  EXPECT_EQ(fake_.calls("get_model_codebase")[0].arguments, Json::array({"yolo"}));
  EXPECT_EQ(fake_.calls("get_user_access_key_pair")[0].arguments, Json::array({"user-7"}));
  EXPECT_EQ(fake_.calls("get_model_secret_keys")[0].arguments, Json::array({"hugging_face", kId}));
  EXPECT_EQ(read_file(work_.path() / kId / "train.py"), "print(1)\n");
  EXPECT_EQ(read_file(work_.path() / kId / "requirements.txt"), "numpy\n");

  // The engine got the line as words; inside the container the script runs
  // train.py with the action identifier alone.
  const std::vector<std::string> words = docker_run_words();
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.back(), shell_split(expected).back());
  EXPECT_EQ(job_words(words.back()), (std::vector<std::string>{"train.py", kId, ""}));

  // The keys and the token reach the engine's client through its
  // environment alone.
  const auto environment = docker_run_environment();
  EXPECT_EQ(environment.at("TAVOREN_ACCESS_KEY_ID"), kOwnerAccess);
  EXPECT_EQ(environment.at("TAVOREN_SECRET_ACCESS_KEY"), kOwnerSecret);
  EXPECT_EQ(environment.at("HUGGING_FACE_ACCESS_TOKEN"), kToken);
  for (const std::string& word : words) {
    EXPECT_EQ(word.find(kOwnerSecret), std::string::npos) << word;
    EXPECT_EQ(word.find(kToken), std::string::npos) << word;
  }
}

TEST_F(ModelExecutorTest, EvaluationRunsEvalPyWithoutAToken) {
  WorkUnit& unit = run(record("model_eval"));

  const std::string expected = with_work_fs(
      "docker run --gpus \"device=0\"  --net=host -e ENV=prod "
      "-e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID "
      "-v <W>/workspace:/usr/src/workspace "
      "-v <W>/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
      "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c \"cd "
      "/usr/src/65f1a2b3c4d5e6f708192a3b && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 eval.py 65f1a2b3c4d5e6f708192a3b \"",
      work_fs());
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("eval_log"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kToken})));
  EXPECT_EQ(fake_.count("get_model_secret_keys"), 0u);
  EXPECT_EQ(fake_.count("get_model_codebase"), 1u);
  EXPECT_EQ(fake_.count("update_action"), 0u);
  EXPECT_EQ(fake_.count("update_action_status"), 0u);
}

TEST_F(ModelExecutorTest, ExportPrefersTheJobsFileSystemOverTheLargest) {
  TempDir chosen;
  Json details = record("model_export");
  details["jobParams"]["host_file_system"] = chosen.path().string();
  WorkUnit& unit = run(details);

  const std::string expected = with_work_fs(
      "docker run --gpus \"device=0\"  --net=host -e ENV=prod "
      "-e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID "
      "-v <W>/workspace:/usr/src/workspace "
      "-v <W>/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
      "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c \"cd "
      "/usr/src/65f1a2b3c4d5e6f708192a3b && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 export.py 65f1a2b3c4d5e6f708192a3b \"",
      chosen.path().string());
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("export_log"));
  EXPECT_TRUE(capture_.contains(Level::info, "host_file_system: " + chosen.path().string()));
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kToken})));
  // The codebase went to the chosen file system, not to the largest.
  EXPECT_TRUE(std::filesystem::exists(chosen.path() / kId / "train.py"));
  EXPECT_FALSE(std::filesystem::exists(work_.path() / kId));
}

TEST_F(ModelExecutorTest, ExportWithoutAJobFileSystemUsesTheLargest) {
  Json details = record("model_export");
  details["jobParams"].erase("host_file_system");
  WorkUnit& unit = run(details);

  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_NE(unit.cmd()->find(
                with_work_fs("-v <W>/workspace:/usr/src/workspace "
                             "-v <W>/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
                             "--shm-size=30G",
                             work_fs())),
            std::string::npos)
      << *unit.cmd();
  EXPECT_TRUE(unit.cmd()->ends_with(" python3 export.py 65f1a2b3c4d5e6f708192a3b \""));
  EXPECT_EQ(capture_.count(Level::info, "host_file_system: "), 0u);
  EXPECT_EQ(tools_.calls("df"), std::vector<std::string>{"-h"});
}

TEST_F(ModelExecutorTest, DeploymentPublishesTwoBackendPorts) {
  fake_.push("get_open_port", Result::ok(31001));
  fake_.push("get_open_port", Result::ok(31002));
  WorkUnit& unit = run(record("deploy_add"));

  const std::string expected = with_work_fs(
      "docker run --gpus \"device=0\"  --net=host -e ENV=prod "
      "-e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID -e INTERNAL_PORT=31002 "
      "-v <W>/workspace:/usr/src/workspace "
      "-v <W>/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
      "-v /var/run/docker.sock:/var/run/docker.sock "
      "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c \"cd "
      "/usr/src/65f1a2b3c4d5e6f708192a3b && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && export INTERNAL_PORT=31002 "
      "&& "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 deploy.py 65f1a2b3c4d5e6f708192a3b 31001\"",
      work_fs());
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("deploy_log"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kToken})));
  // Both ports come first; no model key reaches the builder, so no token.
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_open_port", "get_open_port", "get_action_details",
                                      "get_model_codebase", "get_model_codebase_requirements",
                                      "get_docker_hub_credentials", "get_user_access_key_pair"}));
  EXPECT_EQ(job_words(docker_run_words().back()),
            (std::vector<std::string>{"deploy.py", kId, "31001", "31002"}));
}

TEST_F(ModelExecutorTest, AggregatorRunsWithoutGpuCodebaseOrActionDirectory) {
  WorkUnit& unit = run(record("inference_aggregator"));

  const std::string expected = with_work_fs(
      "docker run   --net=host -e ENV=prod "
      "-e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID "
      "-v <W>/workspace:/usr/src/workspace "
      "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c \"cd . && "
      "export ENV=prod && export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 /usr/src/app/deploy_aggregator.py 65f1a2b3c4d5e6f708192a3b \"",
      work_fs());
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("deploy_aggregator"));
  EXPECT_TRUE(capture_.contains(Level::info,
                                "cmd: " + masked(expected, {kOwnerAccess, kOwnerSecret, kToken})));
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_action_details", "get_docker_hub_credentials",
                                      "get_user_access_key_pair"}));
  EXPECT_TRUE(tools_.calls("nvidia-smi").empty());
}

// ---------------------------------------------------------------------------
// Values that need quoting

TEST_F(ModelExecutorTest, TheIdentifierAndPortsReachTheScriptAsSingleWords) {
  const std::string id = kId;
  // Ports are numbers (anything else is refused), and reach it the same.
  const std::string external = "31001";
  const std::string internal = "31002";
  fake_.push("get_open_port", Result::ok(external));
  fake_.push("get_open_port", Result::ok(internal));
  Json details = record("deploy_add");
  details["_id"] = id;
  details["actionDetails"]["modelFamily"] = "";
  WorkUnit& unit = run(details);

  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_EQ(unit.log_path(), log_path("deploy_log", id));
  const std::vector<std::string> words = docker_run_words();
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.back(), shell_split(*unit.cmd()).back());
  EXPECT_EQ(job_words(words.back()),
            (std::vector<std::string>{"deploy.py", id, external, internal}));

  // The same for the other executors' identifier argument.
  Json train = record("model_train");
  train["_id"] = id;
  train["actionDetails"]["modelFamily"] = "";
  WorkUnit& trainer = run(train);
  ASSERT_TRUE(trainer.cmd().has_value());
  EXPECT_EQ(job_words(shell_split(*trainer.cmd()).back()),
            (std::vector<std::string>{"train.py", id, ""}));
}

// ---------------------------------------------------------------------------
// What stops an executor

TEST_F(ModelExecutorTest, NoDetailsStartsNothingButDeploymentHasAskedForPorts) {
  const std::vector<std::string> types = {"model_train", "model_eval", "model_export", "deploy_add",
                                          "inference_aggregator"};
  for (const Result& answer : {Result::failure("gone", "no such action"), Result::ok(Json()),
                               Result::ok(Json::object())}) {
    for (const std::string& type : types) {
      SCOPED_TRACE(type + " with " + answer.data.dump());
      WorkUnit& unit = make(record(type));
      fake_.set_default("get_action_details", answer);
      unit.execute();
      EXPECT_FALSE(unit.cmd().has_value());
      EXPECT_FALSE(unit.has_process());
      const std::size_t ports = type == "deploy_add" ? 2u : 0u;
      EXPECT_EQ(fake_.count("get_open_port"), ports);
      EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
      EXPECT_EQ(fake_.count("get_model_codebase"), 0u);
    }
  }
  EXPECT_EQ(capture_.count(Level::error, "Error in "), 0u);
}

// Details that name another action are refused: their identifier would
// name the paths and the script's argument.
TEST_F(ModelExecutorTest, DetailsOfAnotherActionStartNothing) {
  for (const Json& other : {Json("0123456789abcdef01234567"), Json("../../etc"), Json(42)}) {
    SCOPED_TRACE(other.dump());
    capture_.clear();
    WorkUnit& unit = make(record("model_train"));
    Json details = record("model_train");
    details["_id"] = other;
    fake_.set_default("get_action_details", Result::ok(details));
    unit.execute();
    EXPECT_FALSE(unit.cmd().has_value());
    EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
    EXPECT_EQ(capture_.count(Level::error, "are another action's"), 1u);
  }
}

TEST_F(ModelExecutorTest, TrainingAndEvaluationNeedTheJobsFileSystem) {
  for (const std::string type : {"model_train", "model_eval"}) {
    SCOPED_TRACE(type);
    capture_.clear();
    Json details = record(type);
    details["jobParams"].erase("host_file_system");
    WorkUnit& unit = run(details);
    EXPECT_FALSE(unit.cmd().has_value());
    EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
    const std::string operation =
        type == "model_train" ? "model_train_execute" : "model_eval_execute";
    EXPECT_EQ(capture_.count(Level::error, "Error in " + operation + ": "), 1u);
    EXPECT_EQ(capture_.count(Level::error, "Error in execute"), 0u);
  }
}

TEST_F(ModelExecutorTest, ARequirementsFailureStartsNoContainer) {
  fake_.set_default("get_docker_hub_credentials", Result::failure("denied", "registry refused"));
  WorkUnit& unit = run(record("model_train"));
  EXPECT_FALSE(unit.cmd().has_value());
  EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
  EXPECT_TRUE(capture_.contains(
      Level::error,
      "Error in model_train_execute: Failed to get Docker credentials: registry refused"));
  EXPECT_TRUE(tools_.calls("docker").empty());
}

TEST_F(ModelExecutorTest, AMissingLargestFileSystemGivesACommandWithoutMounts) {
  tools_.add("df", "", 1);
  WorkUnit& unit = run(record("inference_aggregator"));
  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_TRUE(
      unit.cmd()->starts_with("docker run   --net=host -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY "
                              "-e TAVOREN_ACCESS_KEY_ID --shm-size=30G "))
      << *unit.cmd();

  // A deployment of a model family has nowhere to put its codebase: it is
  // refused rather than fetched to the root file system.
  fake_.set_default("get_open_port", Result::ok(31001));
  WorkUnit& deployment = run(record("deploy_add"));
  EXPECT_FALSE(deployment.cmd().has_value());
  EXPECT_EQ(fake_.count("get_model_codebase"), 0u);
  EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
  EXPECT_EQ(capture_.count(Level::error,
                           "Error in model_deploy_execute: No working file system "
                           "for the codebase of model family yolo"),
            1u);
}

}  // namespace
}  // namespace tavoren::testing
