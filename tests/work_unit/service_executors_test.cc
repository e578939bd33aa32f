#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;

constexpr const char* kInternalKey = "int-api-key-0001";

// The value of every "-e NAME=value" flag among `words`, in order.
std::vector<std::pair<std::string, std::string>> env_flags(const std::vector<std::string>& words) {
  std::vector<std::pair<std::string, std::string>> flags;
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] != "-e") continue;
    const std::string& flag = words[i + 1];
    const std::size_t equals = flag.find('=');
    flags.emplace_back(flag.substr(0, equals), flag.substr(equals + 1));
  }
  return flags;
}

// Units of platform service actions, with a stand-in container engine that
// records its calls, an address echo service on loopback answering
// "203.0.113.7\n", and a backend that hands out the owner's encrypted keys,
// registry credentials and an internal API key.
class ServiceExecutorTest : public ::testing::Test, protected ExecutorHarness {
 protected:
  ServiceExecutorTest() {
    echo_.server().Get("/ip", [this](const httplib::Request&, httplib::Response& response) {
      ++echo_requests_;
      std::lock_guard lock(echo_mutex_);
      response.status = echo_status_;
      response.set_content(echo_answer_, "text/plain");
    });
    echo_.start();
    echo_url_.emplace("TAVOREN_PUBLIC_IP_URL", echo_.url() + "/ip");

    answer_owner_keys(kOwnerAccess, kOwnerSecret, kEncryptionKey);
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok(Json{{"username", "robot"}, {"password", "hub-pass-0001"}}));
    fake_.set_default("get_internal_api_key", Result::ok(Json{{"internal_api_key", kInternalKey}}));
    fake_.set_default("get_model_secret_keys", Result::ok(Json{{"user_access_token", "hf_x0001"}}));
  }

  // The record of a `type` action as the backend holds it, with a model key
  // that would bring a token if it were passed on.
  static Json record(const std::string& type) {
    Json r = action_record(type);
    r["_idUser"] = "user-7";
    r["_idService"] = "6600aa11bb22cc33dd44ee55";
    r["actionDetails"]["gpuRequired"] = true;
    r["actionDetails"]["modelKey"] = "timm/resnet50";
    return r;
  }

  // Runs the broker's `script` with the container's shell in a folder laid
  // out like the image (an empty venv/bin/activate, a venv/bin/python3 that
  // ignores "-m pip" and records any other call), with cd and sleep
  // neutralised. Returns the arguments of the recorded call.
  std::vector<std::string> broker_job_words(const std::string& script) const {
    const auto record = scratch_.path() / "job.args";
    std::filesystem::remove(record);
    scratch_.write("venv/bin/activate", "");
    const auto python = scratch_.write(
        "venv/bin/python3", "#!/bin/sh\n[ \"$1\" = -m ] && exit 0\nprintf '%s\\0' \"$@\" > " +
                                shell_quote(record.string()) + "\n");
    std::filesystem::permissions(python, std::filesystem::perms::owner_all);
    const auto bash_env =
        scratch_.write("bash_env", "builtin cd " + shell_quote(scratch_.path().string()) +
                                       "\ncd() { :; }\nsleep() { :; }\n");
    ScopedEnv env("BASH_ENV", bash_env.string());
    const process::RunResult result =
        process::run_capture({"/bin/bash", "-c", script}, {.capture_stderr = true});
    EXPECT_EQ(result.exit_status.returncode(), 0) << result.err;
    return nul_words(read_file(record));
  }

  // Runs a job `script` of the common command with cd and pip neutralised
  // and python3 recording its arguments; returns them.
  std::vector<std::string> job_words(const std::string& script) const {
    const auto record = scratch_.path() / "job.args";
    std::filesystem::remove(record);
    const auto bash_env = scratch_.write(
        "bash_env", "cd() { :; }\npip() { :; }\npython3() { printf '%s\\0' \"$@\" > " +
                        shell_quote(record.string()) + "; }\n");
    ScopedEnv env("BASH_ENV", bash_env.string());
    const process::RunResult result =
        process::run_capture({"/bin/bash", "-c", script}, {.capture_stderr = true});
    EXPECT_EQ(result.exit_status.returncode(), 0) << result.err;
    return nul_words(read_file(record));
  }

  ScopedEnv env_{"ENV", std::nullopt};
  ScopedEnv index_{"TAVOREN_PACKAGE_INDEX_HOST", std::nullopt};
  ScopedEnv test_index_{"TAVOREN_TEST_PACKAGE_INDEX_HOST", std::nullopt};
  ScopedEnv key_{"TAVOREN_ENCRYPTION_KEY", kEncryptionKey};
  TempDir scratch_;
  void echo_answer(const std::string& answer, int status = 200) {
    std::lock_guard lock(echo_mutex_);
    echo_answer_ = answer;
    echo_status_ = status;
  }

  std::mutex echo_mutex_;
  std::string echo_answer_ = "203.0.113.7\n";
  int echo_status_ = 200;
  std::atomic<int> echo_requests_{0};
  LoopbackServer echo_;
  std::optional<ScopedEnv> echo_url_;
  LogCapture capture_;
};

// ---------------------------------------------------------------------------
// Streaming broker

const std::vector<std::string> kBrokerVariables = {
    "ENV",
    "TAVOREN_SECRET_ACCESS_KEY",
    "TAVOREN_ACCESS_KEY_ID",
    "KAFKA_NODE_ID",
    "KAFKA_PROCESS_ROLES",
    "KAFKA_LISTENERS",
    "KAFKA_ADVERTISED_LISTENERS",
    "KAFKA_LISTENER_SECURITY_PROTOCOL_MAP",
    "KAFKA_CONTROLLER_LISTENER_NAMES",
    "KAFKA_CONTROLLER_QUORUM_VOTERS",
    "KAFKA_OFFSETS_TOPIC_REPLICATION_FACTOR",
    "KAFKA_TRANSACTION_STATE_LOG_REPLICATION_FACTOR",
    "KAFKA_TRANSACTION_STATE_LOG_MIN_ISR",
    "KAFKA_GROUP_INITIAL_REBALANCE_DELAY_MS",
    "KAFKA_NUM_PARTITIONS",
    "KAFKA_SASL_ENABLED_MECHANISMS",
    "KAFKA_SASL_MECHANISM_INTER_BROKER_PROTOCOL",
    "KAFKA_INTER_BROKER_LISTENER_NAME",
    "KAFKA_MESSAGE_MAX_BYTES",
    "KAFKA_HEAP_OPTS",
    "KAFKA_NUM_NETWORK_THREADS",
    "KAFKA_NUM_IO_THREADS",
    "KAFKA_REPLICA_FETCH_MAX_BYTES",
    "KAFKA_FETCH_MESSAGE_MAX_BYTES",
    "KAFKA_REPLICA_FETCH_RESPONSE_MAX_BYTES",
};

TEST_F(ServiceExecutorTest, BrokerPublishesOnePortAndAdvertisesTheTrimmedAddress) {
  fake_.push("get_open_port", Result::ok(31005));
  WorkUnit& unit = run(record("kafka_setup"));

  const std::string expected =
      "docker run -p 31005:9092 -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID -e KAFKA_NODE_ID=1 "
      "-e KAFKA_PROCESS_ROLES=broker,controller "
      "-e KAFKA_LISTENERS=SASL_PLAINTEXT://0.0.0.0:9092,CONTROLLER://0.0.0.0:9093 "
      "-e KAFKA_ADVERTISED_LISTENERS=SASL_PLAINTEXT://203.0.113.7:31005 "
      "-e KAFKA_LISTENER_SECURITY_PROTOCOL_MAP=CONTROLLER:PLAINTEXT,SASL_PLAINTEXT:SASL_PLAINTEXT "
      "-e KAFKA_CONTROLLER_LISTENER_NAMES=CONTROLLER "
      "-e KAFKA_CONTROLLER_QUORUM_VOTERS=1@localhost:9093 "
      "-e KAFKA_OFFSETS_TOPIC_REPLICATION_FACTOR=1 "
      "-e KAFKA_TRANSACTION_STATE_LOG_REPLICATION_FACTOR=1 "
      "-e KAFKA_TRANSACTION_STATE_LOG_MIN_ISR=1 -e KAFKA_GROUP_INITIAL_REBALANCE_DELAY_MS=0 "
      "-e KAFKA_NUM_PARTITIONS=5 -e KAFKA_SASL_ENABLED_MECHANISMS=SCRAM-SHA-256 "
      "-e KAFKA_SASL_MECHANISM_INTER_BROKER_PROTOCOL=SCRAM-SHA-256 "
      "-e KAFKA_INTER_BROKER_LISTENER_NAME=SASL_PLAINTEXT -e KAFKA_MESSAGE_MAX_BYTES=25000000 "
      "-e KAFKA_HEAP_OPTS='-Xms2G -Xmx8G' -e KAFKA_NUM_NETWORK_THREADS=6 "
      "-e KAFKA_NUM_IO_THREADS=8 -e KAFKA_REPLICA_FETCH_MAX_BYTES=25000000 "
      "-e KAFKA_FETCH_MESSAGE_MAX_BYTES=25000000 "
      "-e KAFKA_REPLICA_FETCH_RESPONSE_MAX_BYTES=25000000 "
      "--shm-size=30G --pull=always quantello/tavoren-kafka:latest /bin/bash -c \"cd "
      "/opt/kafka/bin && source venv/bin/activate && /opt/kafka/bin/startup.sh & "
      "if [ -f requirements.txt ]; then venv/bin/python3 -m pip install -r requirements.txt; fi "
      "&& venv/bin/python3 -m pip install --upgrade --force-reinstall --index-url "
      "https://pypi.org/simple/ tavoren && sleep 20 && venv/bin/python3 main.py "
      "65f1a2b3c4d5e6f708192a3b 31005\"";
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("kafka_setup"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kInternalKey})));
  for (const auto& line : capture_.lines()) {
    EXPECT_EQ(line.message.find(kOwnerSecret), std::string::npos) << line.message;
  }

  // 25 variables in order, one published port and no host networking.
  const std::vector<std::string> words = shell_split(expected);
  std::vector<std::string> names;
  for (const auto& [name, value] : env_flags(words)) names.push_back(name);
  EXPECT_EQ(names, kBrokerVariables);
  EXPECT_EQ(std::count(words.begin(), words.end(), "-p"), 1);
  EXPECT_EQ(std::count(words.begin(), words.end(), "--net=host"), 0);

  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_action_details", "get_open_port",
                                      "get_docker_hub_credentials", "get_user_access_key_pair"}));
  EXPECT_EQ(echo_requests_.load(), 1);
  // Inside the container, main.py gets the identifier and the port.
  EXPECT_EQ(broker_job_words(docker_run_words().back()),
            (std::vector<std::string>{"main.py", kId, "31005"}));
}

TEST_F(ServiceExecutorTest, BrokerOutsideProductionUsesTheTestIndex) {
  ScopedEnv env("ENV", "staging");
  fake_.push("get_open_port", Result::ok(31006));
  echo_answer("  198.51.100.20\r\n");
  WorkUnit& unit = run(record("kafka_setup"));

  ASSERT_TRUE(unit.cmd().has_value());
  const auto flags = env_flags(shell_split(*unit.cmd()));
  ASSERT_EQ(flags.size(), 25u);
  EXPECT_EQ(flags[0], (std::pair<std::string, std::string>{"ENV", "staging"}));
  EXPECT_EQ(flags[6], (std::pair<std::string, std::string>{
                          "KAFKA_ADVERTISED_LISTENERS", "SASL_PLAINTEXT://198.51.100.20:31006"}));
  EXPECT_NE(unit.cmd()->find("--index-url https://test.pypi.org/simple/ tavoren && sleep 20"),
            std::string::npos);
}

TEST_F(ServiceExecutorTest, BrokerValuesThatNeedQuotingStayOneWord) {
  // The port and the address are checked values (anything else is
  // refused), and so is the identifier.
  const std::string port = "31007";
  const std::string id = kId;
  fake_.push("get_open_port", Result::ok(port));
  echo_answer("2001:db8::7\n");
  Json details = record("kafka_setup");
  details["_id"] = id;
  WorkUnit& unit = run(details);

  ASSERT_TRUE(unit.cmd().has_value());
  const std::vector<std::string> words = docker_run_words();
  ASSERT_GE(words.size(), 5u);
  EXPECT_EQ(words[0], "run");
  // The engine sees the -p value and every variable as single words.
  const auto p = std::find(words.begin(), words.end(), "-p");
  ASSERT_NE(p, words.end());
  EXPECT_EQ(*(p + 1), port + ":9092");
  const auto flags = env_flags(words);
  ASSERT_EQ(flags.size(), 25u);
  EXPECT_EQ(flags[6].second, "SASL_PLAINTEXT://[2001:db8::7]:" + port);
  EXPECT_EQ(words[words.size() - 4], "quantello/tavoren-kafka:latest");
  EXPECT_EQ(broker_job_words(words.back()), (std::vector<std::string>{"main.py", id, port}));
}

TEST_F(ServiceExecutorTest, AnUnreachableEchoServiceStartsNoBroker) {
  int closed_port = 0;
  {
    LoopbackServer closed;
    closed.start();
    closed_port = closed.port();
  }
  echo_url_.emplace("TAVOREN_PUBLIC_IP_URL", "http://127.0.0.1:" + std::to_string(closed_port));
  WorkUnit& unit = run(record("kafka_setup"));
  EXPECT_FALSE(unit.cmd().has_value());
  // The port was asked for and is left unused; no login happened.
  EXPECT_EQ(operations(), (std::vector<std::string>{"get_action_details", "get_open_port"}));
  EXPECT_EQ(capture_.count(Level::error, "Error in kafka_setup_execute: "), 1u);
  EXPECT_TRUE(tools_.calls("docker").empty());

  // An answer that is not UTF-8 text fails the same way.
  echo_url_.emplace("TAVOREN_PUBLIC_IP_URL", echo_.url() + "/ip");
  echo_answer("203.0.113.\xff\n");
  WorkUnit& second = run(record("kafka_setup"));
  EXPECT_FALSE(second.cmd().has_value());
  EXPECT_EQ(capture_.count(Level::error, "Error in kafka_setup_execute: "), 2u);
}

// Only a 200 answer holding one IPv4 or IPv6 address becomes the advertised
// address; anything else fails the broker before any login.
TEST_F(ServiceExecutorTest, AnEchoAnswerThatIsNoAddressStartsNoBroker) {
  const std::vector<std::pair<std::string, int>> answers = {
      {"203.0.113.7\n", 503},     {"203.0.113.7\n", 404},
      {"203.0.113.7\n", 204},     {"", 200},
      {"<html>busy</html>", 200}, {"203.0.113.7 203.0.113.8", 200},
      {"203.0.113.256", 200},     {"203.0.113.7; reboot", 200},
      {"2001:db8::7::1", 200},    {"example.com", 200}};
  std::size_t failures = 0;
  for (const auto& [answer, status] : answers) {
    SCOPED_TRACE(answer + " with status " + std::to_string(status));
    echo_answer(answer, status);
    fake_.push("get_open_port", Result::ok(31009));
    WorkUnit& unit = run(record("kafka_setup"));
    EXPECT_FALSE(unit.cmd().has_value());
    EXPECT_EQ(operations(), (std::vector<std::string>{"get_action_details", "get_open_port"}));
    EXPECT_EQ(capture_.count(Level::error,
                             "Error in kafka_setup_execute: the public address "
                             "service answered with "),
              ++failures);
  }
  EXPECT_TRUE(tools_.calls("docker").empty());

  // Blanks and a line end around an address are no part of it.
  fake_.push("get_open_port", Result::ok(31010));
  echo_answer(" \t2001:db8::7\r\n");
  WorkUnit& unit = run(record("kafka_setup"));
  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_NE(
      unit.cmd()->find(" -e KAFKA_ADVERTISED_LISTENERS='SASL_PLAINTEXT://[2001:db8::7]:31010' "),
      std::string::npos);
}

// ---------------------------------------------------------------------------
// Image build and resource clone

TEST_F(ServiceExecutorTest, ImageBuildGetsTheEngineSocketAndTheInternalKey) {
  WorkUnit& unit = run(record("image_build"));

  const std::string expected =
      "docker run   --net=host -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID -e TAVOREN_INTERNAL_API_KEY "
      "-v /var/run/docker.sock:/var/run/docker.sock --shm-size=30G --pull=always "
      "registry.example/job:1 /bin/bash -c \"cd . && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "export TAVOREN_INTERNAL_API_KEY=\\\"\\$TAVOREN_INTERNAL_API_KEY\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 main.py 6600aa11bb22cc33dd44ee55 65f1a2b3c4d5e6f708192a3b\"";
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("image_build_log"));
  // The internal key never shows in the log.
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kInternalKey})));
  for (const auto& line : capture_.lines()) {
    EXPECT_EQ(line.message.find(kInternalKey), std::string::npos) << line.message;
  }
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_action_details", "get_docker_hub_credentials",
                                      "get_user_access_key_pair", "get_internal_api_key"}));
  EXPECT_EQ(fake_.calls("get_internal_api_key")[0].arguments, Json::array({kId}));
  EXPECT_EQ(job_words(docker_run_words().back()),
            (std::vector<std::string>{"main.py", "6600aa11bb22cc33dd44ee55", kId}));
}

TEST_F(ServiceExecutorTest, ImageBuildStartsWithAnEmptyKeyWhenTheBackendRefusesIt) {
  fake_.set_default("get_internal_api_key", Result::failure("denied", "no key for you"));
  WorkUnit& unit = run(record("image_build"));
  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_NE(unit.cmd()->find("-e TAVOREN_INTERNAL_API_KEY -v /var/run/docker.sock"),
            std::string::npos);
  EXPECT_NE(
      unit.cmd()->find("export TAVOREN_INTERNAL_API_KEY=\\\"\\$TAVOREN_INTERNAL_API_KEY\\\" && "),
      std::string::npos);
  // The engine's client has the variable, empty, so the container has it too.
  const auto environment = docker_run_environment();
  ASSERT_TRUE(environment.contains("TAVOREN_INTERNAL_API_KEY"));
  EXPECT_EQ(environment.at("TAVOREN_INTERNAL_API_KEY"), "");
  EXPECT_TRUE(capture_.contains(Level::error, "Error getting internal api key: no key for you"));
}

// The secret values reach the engine's client through its environment: no
// argument of the client holds one, and the agent's own environment stays
// as it was.
TEST_F(ServiceExecutorTest, SecretValuesReachTheEngineClientThroughItsEnvironmentOnly) {
  for (const std::string type : {"image_build", "kafka_setup"}) {
    SCOPED_TRACE(type);
    std::filesystem::remove(run_environment_path());
    if (type == "kafka_setup") fake_.push("get_open_port", Result::ok(31008));
    WorkUnit& unit = run(record(type));
    ASSERT_TRUE(unit.cmd().has_value());

    const auto environment = docker_run_environment();
    EXPECT_EQ(environment.at("TAVOREN_ACCESS_KEY_ID"), kOwnerAccess);
    EXPECT_EQ(environment.at("TAVOREN_SECRET_ACCESS_KEY"), kOwnerSecret);
    if (type == "image_build") {
      EXPECT_EQ(environment.at("TAVOREN_INTERNAL_API_KEY"), kInternalKey);
    } else {
      EXPECT_FALSE(environment.contains("TAVOREN_INTERNAL_API_KEY"));
    }
    EXPECT_FALSE(environment.contains("HUGGING_FACE_ACCESS_TOKEN"));
    // The rest of the agent's environment is passed on.
    EXPECT_EQ(environment.at("PATH"), std::getenv("PATH"));

    for (const std::string& call : tools_.calls("docker")) {
      for (const char* secret : {kOwnerAccess, kOwnerSecret, kInternalKey}) {
        EXPECT_EQ(call.find(secret), std::string::npos) << call;
      }
    }
    EXPECT_EQ(std::getenv("TAVOREN_SECRET_ACCESS_KEY"), nullptr);
    unit.stop();
  }
}

TEST_F(ServiceExecutorTest, ImageBuildServiceAndActionIdentifiersStayOneWord) {
  const std::string service = "svc\"; touch pwned; echo \"$(id)' `id`";
  const std::string id = kId;
  Json details = record("image_build");
  details["_idService"] = service;
  details["_id"] = id;
  WorkUnit& unit = run(details);
  ASSERT_TRUE(unit.cmd().has_value());
  EXPECT_EQ(fake_.calls("get_internal_api_key")[0].arguments, Json::array({id}));
  EXPECT_EQ(job_words(docker_run_words().back()),
            (std::vector<std::string>{"main.py", service, id}));
}

TEST_F(ServiceExecutorTest, ResourceCloneRunsMainPyWithTheRecordIdentifier) {
  WorkUnit& unit = run(record("resource_clone"));

  const std::string expected =
      "docker run   --net=host -e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID --shm-size=30G --pull=always "
      "registry.example/job:1 /bin/bash -c \"cd . && export ENV=prod && "
      "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
      "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && "
      "pip install --upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren &&  "
      "python3 main.py 65f1a2b3c4d5e6f708192a3b \"";
  EXPECT_EQ(unit.cmd(), expected);
  EXPECT_EQ(unit.log_path(), log_path("resource_clone"));
  EXPECT_TRUE(capture_.contains(
      Level::info, "cmd is: " + masked(expected, {kOwnerAccess, kOwnerSecret, kInternalKey})));
  EXPECT_EQ(operations(),
            (std::vector<std::string>{"get_action_details", "get_docker_hub_credentials",
                                      "get_user_access_key_pair"}));
  EXPECT_EQ(job_words(docker_run_words().back()), (std::vector<std::string>{"main.py", kId}));
}

// Without a current record the broker asks for no port and no address, and
// none of the three sets anything up.
TEST_F(ServiceExecutorTest, WithoutDetailsNothingIsSetUp) {
  for (const std::string type : {"kafka_setup", "image_build", "resource_clone"}) {
    for (const Result& answer : {Result::failure("gone", "no such action"), Result::ok(Json()),
                                 Result::ok(Json::object())}) {
      SCOPED_TRACE(type + " with " + answer.data.dump());
      WorkUnit& unit = make(record(type));
      fake_.set_default("get_action_details", answer);
      unit.execute();
      EXPECT_FALSE(unit.cmd().has_value());
      EXPECT_EQ(operations(), std::vector<std::string>{"get_action_details"});
    }
  }
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_EQ(echo_requests_.load(), 0);
}

TEST_F(ServiceExecutorTest, ARequirementsFailureStartsNoServiceContainer) {
  fake_.set_default("get_user_access_key_pair", Result::failure("missing", "no such user"));
  fake_.set_default("get_open_port", Result::ok(31008));
  for (const std::string type : {"image_build", "resource_clone", "kafka_setup"}) {
    SCOPED_TRACE(type);
    capture_.clear();
    WorkUnit& unit = run(record(type));
    EXPECT_FALSE(unit.cmd().has_value());
    EXPECT_EQ(fake_.count("get_internal_api_key"), 0u);
    EXPECT_TRUE(capture_.contains(Level::error, "Error in " + type +
                                                    "_execute: Failed to get "
                                                    "user access key pair: no such user"));
  }
}

}  // namespace
}  // namespace tavoren::testing
