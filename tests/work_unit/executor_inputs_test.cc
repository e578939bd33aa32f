// What every executor does with the inputs it cannot use: a current record
// that is missing or empty, and a port from the backend that is not one.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/logging.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;

// Units of any action type on a host with one data disk, a stand-in engine,
// an address echo service on loopback and a backend that hands out
// everything the requirements need.
class ExecutorInputs : public ::testing::Test, protected ExecutorHarness {
 protected:
  ExecutorInputs() {
    tools_.add("df",
               "Filesystem      Size  Used Avail Use% Mounted on\n"
               "/dev/nvme1n1    900G  100G  800G  12% " +
                   work_.path().string() + "\n");
    tools_.add("nvidia-smi", "memory.free [MiB]\n40000 MiB\n");
    echo_.server().Get("/ip", [this](const httplib::Request&, httplib::Response& response) {
      ++echo_requests_;
      response.set_content("203.0.113.7\n", "text/plain");
    });
    echo_.start();
    echo_url_.emplace("TAVOREN_PUBLIC_IP_URL", echo_.url() + "/ip");
    answer_owner_keys("AKIAOWNER0000001", "ownerSecretKey/0001", kEncryptionKey);
    fake_.set_default("get_docker_hub_credentials",
                      Result::ok(Json{{"username", "robot"}, {"password", "hub-pass-0001"}}));
    fake_.set_default("get_internal_api_key", Result::ok(Json{{"internal_api_key", "k-0001"}}));
    fake_.set_default("get_data_processing_image", Result::ok("registry.example/data:1"));
  }

  // A record of a `type` action complete enough for every executor, with
  // no model family (so no codebase is fetched).
  Json record(const std::string& type) const {
    Json r = action_record(type);
    r["_idUser"] = "user-7";
    r["_idService"] = "6600aa11bb22cc33dd44ee55";
    r["status"] = "OK";
    r["subAction"] = type;
    r["actionDetails"]["modelFamily"] = "";
    r["actionDetails"]["modelKey"] = "";
    r["jobParams"]["host_file_system"] = work_.path().string();
    r["jobParams"]["dataset_id"] = "d";
    r["jobParams"]["dataset_version"] = "v1";
    return r;
  }

  // The unit of `type` whose backend hands out `port` for every request.
  WorkUnit& run_with_port(const std::string& type, const Json& port) {
    fake_.set_default("get_open_port", Result::ok(port));
    return run(record(type));
  }

  ScopedEnv env_{"ENV", std::nullopt};
  ScopedEnv gpus_{"GPUS", std::nullopt};
  ScopedEnv key_{"TAVOREN_ENCRYPTION_KEY", kEncryptionKey};
  TempDir work_;
  std::atomic<int> echo_requests_{0};
  LoopbackServer echo_;
  std::optional<ScopedEnv> echo_url_;
  LogCapture capture_;
};

// Every action type of the table, each of which has its own executor or
// shares one.
const std::vector<std::string> kActionTypes = {
    "model_train",          "model_eval",         "model_export",
    "deploy_add",           "data_import",        "data_add",
    "data_split",           "data_prep",          "dataset_annotation",
    "dataset_augmentation", "augmentation_setup", "image_build",
    "resource_clone",       "kafka_setup",        "inference_aggregator"};

// A refused request, null, an empty map and an empty text all mean "no
// current record": the executor goes no further than the ports it asks for
// first, logs nothing as an error and starts nothing.
TEST_F(ExecutorInputs, NoneOrEmptyDetailsStopEveryExecutorSilently) {
  for (const Result& answer : {Result::failure("gone", "no such action"), Result::ok(Json()),
                               Result::ok(Json::object()), Result::ok(Json(""))}) {
    for (const std::string& type : kActionTypes) {
      SCOPED_TRACE(type + " with " + answer.data.dump());
      WorkUnit& unit = make(record(type));
      fake_.set_default("get_action_details", answer);
      unit.execute();
      EXPECT_FALSE(unit.cmd().has_value());
      EXPECT_FALSE(unit.has_process());
      std::vector<std::string> expected;
      if (type == "deploy_add") expected = {"get_open_port", "get_open_port"};
      // The data executors ask for the current record first, the
      // augmentation server then for its port.
      if (type == "augmentation_setup") expected = {"get_action_details", "get_open_port"};
      if (type != "augmentation_setup") expected.push_back("get_action_details");
      EXPECT_EQ(operations(), expected);
    }
  }
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_EQ(echo_requests_.load(), 0);
  EXPECT_EQ(capture_.count(Level::error, "Error in "), 0u);
}

// The three executors that take a port from the backend refuse one that is
// not a number from 1 to 65535 before anything is set up: no registry
// login, no key pair, no address lookup, no container.
TEST_F(ExecutorInputs, APortOutsideOneTo65535IsRefusedBeforeAnyLogin) {
  const std::vector<std::pair<std::string, std::string>> executors = {
      {"deploy_add", "model_deploy_execute"},
      {"kafka_setup", "kafka_setup_execute"},
      {"augmentation_setup", "augmentation_server_creation_execute"}};
  const std::vector<Json> bad_ports = {Json(),        Json(""),
                                       Json(0),       Json(-80),
                                       Json(65536),   Json(8080.5),
                                       Json("x1"),    Json("80 x"),
                                       Json("-80"),   Json("65536"),
                                       Json(" 80"),   Json("99999999999"),
                                       Json(true),    Json::array({8080}),
                                       Json::object()};
  for (const auto& [type, operation] : executors) {
    for (const Json& port : bad_ports) {
      SCOPED_TRACE(type + " with " + port.dump());
      capture_.clear();
      WorkUnit& unit = run_with_port(type, port);
      EXPECT_FALSE(unit.cmd().has_value());
      EXPECT_EQ(fake_.count("get_docker_hub_credentials"), 0u);
      EXPECT_EQ(fake_.count("get_user_access_key_pair"), 0u);
      EXPECT_EQ(capture_.count(Level::error, "Error in " + operation + ": "), 1u);
    }
  }
  EXPECT_TRUE(tools_.calls("docker").empty());
  EXPECT_EQ(echo_requests_.load(), 0);
}

// The ends of the range are accepted, as numbers or as decimal text, and
// reach the command line as plain decimal numbers.
TEST_F(ExecutorInputs, PortsFromOneTo65535ReachTheCommandAsDecimals) {
  for (const auto& [port, shown] : std::vector<std::pair<Json, std::string>>{
           {Json(1), "1"}, {Json(65535), "65535"}, {Json("8080"), "8080"}, {Json("0443"), "443"}}) {
    SCOPED_TRACE(port.dump());
    WorkUnit& deploy = run_with_port("deploy_add", port);
    ASSERT_TRUE(deploy.cmd().has_value());
    EXPECT_NE(deploy.cmd()->find("-e INTERNAL_PORT=" + shown + " "), std::string::npos);
    EXPECT_TRUE(deploy.cmd()->ends_with(" " + shown + "\""));

    WorkUnit& broker = run_with_port("kafka_setup", port);
    ASSERT_TRUE(broker.cmd().has_value());
    EXPECT_TRUE(broker.cmd()->starts_with("docker run -p " + shown + ":9092 "));

    WorkUnit& server = run_with_port("augmentation_setup", port);
    ASSERT_TRUE(server.cmd().has_value());
    EXPECT_TRUE(server.cmd()->ends_with(" " + shown + " \""));
  }
}

}  // namespace
}  // namespace tavoren::testing
