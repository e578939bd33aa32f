// Every operation of the network client reaches its path with its named
// arguments, signed, and its answer comes back as the embedded backend
// would give it.
#include <gtest/gtest.h>

#include <string>

#include "tavoren/backend_client.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/protocol.h"
#include "test_support.h"
#include "wire_server.h"

namespace tavoren::backend {
namespace {

using testing::kInstanceKeys;
using testing::kOperatorKeys;
using testing::WireServer;

const std::string kId = "65f1c0ffee0123456789abcd";

RemoteOptions plain_options(const WireServer& server, Session keys = kInstanceKeys) {
  return RemoteOptions{.base_url = server.url(),
                       .session = std::move(keys),
                       .retry = {.sleep = [](std::chrono::milliseconds) {}},
                       .allow_plain_http = true};
}

// The secret of the caller appears in nothing the server saw.
void expect_no_secret(const WireServer& server, const std::string& secret) {
  for (const WireServer::Seen& seen : server.seen()) {
    EXPECT_EQ(seen.body.find(secret), std::string::npos) << seen.path;
    EXPECT_EQ(seen.path.find(secret), std::string::npos) << seen.path;
    for (const auto& [name, value] : seen.headers) {
      EXPECT_EQ(value.find(secret), std::string::npos) << seen.path << " " << name;
    }
  }
}

TEST(RemoteCalls, EveryScalingOperationSendsItsNamedArgumentsSigned) {
  WireServer server;
  server.start();
  RemoteScaling scaling(plain_options(server));
  EXPECT_EQ(scaling.session().access_key, kInstanceKeys.access_key);

  const Json started =
      Json{{"service_provider", "LOCAL"}, {"status", "started"},  {"action_record_id", kId},
           {"isRunning", true},           {"action_duration", 0}, {"cpuUtilisation", 1.5}};
  const Json update = Json{{"id", kId},          {"step_code", "DCK_LNCH"},
                           {"action_type", "x"}, {"status", "ACK"},
                           {"sub_action", "y"},  {"status_description", "assigned"},
                           {"service", "bg"},    {"job_params", Json{{"b", 1}, {"a", 2}}}};
  const Json log_piece = Json{{"action_record_id", kId}, {"log_content", "line 1\nline 2\n"}};
  const Json resources = Json{{"available_memory", 50.0},
                              {"available_cpu", 20.0},
                              {"available_gpu_memory", 0},
                              {"gpu_utilisation", 0}};
  struct Expected {
    std::string operation;
    Json arguments;
    Result result;
  };
  const std::vector<Expected> calls = {
      {"assign_jobs", Json{{"has_gpu", true}}, scaling.assign_jobs(true)},
      {"update_action_status", started, scaling.update_action_status(started)},
      {"update_status",
       Json{{"action_record_id", kId},
            {"action_type", "model_train"},
            {"service", "bg"},
            {"step_code", "JBSS_LCK"},
            {"status", "OK"},
            {"description", "locked"}},
       scaling.update_status(kId, "model_train", "bg", "JBSS_LCK", "OK", "locked")},
      {"update_action", update, scaling.update_action(update)},
      {"update_action_docker_logs", log_piece, scaling.update_action_docker_logs(log_piece)},
      {"get_action_details", Json{{"action_record_id", kId}}, scaling.get_action_details(kId)},
      {"get_downscaled_ids", Json::object(), scaling.get_downscaled_ids()},
      {"get_model_codebase", Json{{"model_family", "llama"}}, scaling.get_model_codebase("llama")},
      {"get_model_codebase_requirements", Json{{"model_family", "llama"}},
       scaling.get_model_codebase_requirements("llama")},
      {"get_docker_hub_credentials", Json::object(), scaling.get_docker_hub_credentials()},
      {"get_user_access_key_pair", Json{{"user_id", "u1"}}, scaling.get_user_access_key_pair("u1")},
      {"get_model_secret_keys", Json{{"secret_name", "hf"}}, scaling.get_model_secret_keys("hf")},
      {"get_internal_api_key", Json{{"action_record_id", kId}}, scaling.get_internal_api_key(kId)},
      {"update_available_resources", resources, scaling.update_available_resources(resources)},
  };
  for (const Expected& call : calls) {
    EXPECT_FALSE(call.result.has_error_set()) << call.operation;
    EXPECT_EQ(call.result.data["path"], wire::path_of(call.operation));
    // The server echoes what it received: the same keys in the same order.
    EXPECT_EQ(call.result.data["arguments"].dump(), call.arguments.dump()) << call.operation;
  }
  // The bare values come back as data itself.
  EXPECT_EQ(scaling.get_data_processing_image()["path"], "/v1/get_data_processing_image");
  EXPECT_EQ(scaling.get_open_port()["path"], "/v1/get_open_port");
  EXPECT_EQ(scaling.get_shutdown_details()["path"], "/v1/get_shutdown_details");
  scaling.record_exit(kId, 137);

  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), calls.size() + 4);
  EXPECT_EQ(seen.back().body, R"({"action_record_id":")" + kId + R"(","exit_status":137})");
  for (const WireServer::Seen& request : seen) {
    EXPECT_TRUE(request.verification.ok()) << request.path << ": " << request.verification.detail;
    const wire::Operation* operation = wire::operation_of_path(request.path);
    ASSERT_NE(operation, nullptr) << request.path;
    // The body is what the server's own reader accepts for that operation.
    EXPECT_NO_THROW(wire::read_arguments(*operation, request.body)) << request.path;
    EXPECT_EQ(request.headers.count("idempotency-key"), operation->write ? 1u : 0u) << request.path;
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
  }
  expect_no_secret(server, kInstanceKeys.secret_key);
}

TEST(RemoteCalls, RefusalsReturnAsResultsOrFailuresOfTheirKind) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    const std::string& path = request.path;
    if (path == "/v1/get_action_details") {
      return WireServer::answer(Result::failure("no action " + kId, "no action " + kId));
    }
    if (path == "/v1/get_open_port") {
      return WireServer::answer(Result::failure("failed", "no free port in the range"));
    }
    if (path == "/v1/record_exit" || path == "/v1/operator/show") {
      return WireServer::answer(Result::failure("key_error", "no action " + kId));
    }
    if (path == "/v1/operator/submit") {
      return WireServer::answer(Result::failure("value_error", "unknown action type"));
    }
    if (path == "/v1/operator/set_shutdown_details") {
      return WireServer::answer(Result::failure("type_error", "not a number"));
    }
    return WireServer::answer(Result::failure("not_configured", "config registry ..."));
  });
  server.start();
  RemoteScaling scaling(plain_options(server));
  const Result refused = scaling.get_action_details(kId);
  EXPECT_TRUE(refused.has_error());
  EXPECT_EQ(refused.message, "no action " + kId);
  try {
    scaling.get_open_port();
    ADD_FAILURE() << "a refused bare value must throw";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no free port in the range"), std::string::npos);
  }
  EXPECT_THROW(scaling.record_exit(kId, 0), KeyError);

  RemoteOperator operator_client(plain_options(server, kOperatorKeys));
  EXPECT_THROW(operator_client.show(kId), KeyError);
  EXPECT_THROW(operator_client.submit(Json{{"action", "nope"}}), ValueError);
  EXPECT_THROW(operator_client.set_shutdown_details(1, 2, "x"), TypeError);
  try {
    operator_client.configuration();
    ADD_FAILURE() << "a refused operator call must throw";
  } catch (const ValueError&) {
    ADD_FAILURE() << "not_configured is no ValueError";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("config registry"), std::string::npos);
  }
}

TEST(RemoteCalls, OperatorCallsMirrorTheEmbeddedBackend) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    if (request.verification.role != wire::Role::kOperator) {
      return WireServer::failure(403, wire::failure::kForbidden, "operator calls only");
    }
    if (request.path == "/v1/operator/submit") return WireServer::answer(Result::ok(kId));
    if (request.path == "/v1/operator/logs") {
      return WireServer::answer(
          Result::ok(Json{{"content", "abc"}, {"next_offset", 13}, {"finished", true}}));
    }
    return WireServer::answer(Result::ok(Json{{"arguments", Json::parse(request.body)}}));
  });
  server.start();
  RemoteOperator operator_client(plain_options(server, kOperatorKeys));
  EXPECT_EQ(
      operator_client.submit(Json{{"action", "model_train"}, {"actionDetails", Json::object()}}),
      kId);
  const RemoteLogChunk chunk = operator_client.logs(kId, 10);
  EXPECT_EQ(chunk.content, "abc");
  EXPECT_EQ(chunk.next_offset, 13);
  EXPECT_TRUE(chunk.finished);
  operator_client.set_codebase("llama", "https://example.invalid/code.zip");
  operator_client.set_key_pair("u1", "owner-access", "owner-secret");
  operator_client.scale_down(kId);
  EXPECT_EQ(operator_client.list()["arguments"], Json::object());

  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[1].body, R"({"action_record_id":")" + kId + R"(","after_offset":10})");
  EXPECT_EQ(
      seen[2].body,
      R"({"model_family":"llama","url":"https://example.invalid/code.zip","requirements_url":null})");
  for (const WireServer::Seen& request : seen) {
    EXPECT_TRUE(request.verification.ok()) << request.path;
    EXPECT_EQ(request.verification.role, wire::Role::kOperator);
  }
  expect_no_secret(server, kOperatorKeys.secret_key);

  // An instance's keys are refused with 403, which is not retried.
  RemoteOperator impostor(plain_options(server, kInstanceKeys));
  try {
    impostor.list();
    ADD_FAILURE() << "an instance key must be refused";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.status(), 403);
    EXPECT_EQ(e.attempts(), 1);
    EXPECT_NE(std::string(e.what()).find("forbidden: operator calls only"), std::string::npos);
  }
}

TEST(RemoteCalls, UnusableOptionsAreRefusedWithoutNamingSecrets) {
  auto refusal = [](RemoteOptions options) -> std::string {
    try {
      RemoteScaling scaling(std::move(options));
    } catch (const ValueError& e) {
      return e.what();
    }
    return "accepted";
  };
  const Session keys = kInstanceKeys;
  EXPECT_NE(refusal({.base_url = "http://127.0.0.1:1", .session = keys}).find("https://"),
            std::string::npos);
  EXPECT_EQ(refusal({.base_url = "http://127.0.0.1:1", .session = keys, .allow_plain_http = true}),
            "accepted");
  EXPECT_EQ(refusal({.base_url = "https://backend.example:8443/", .session = keys}), "accepted");
  for (const char* url :
       {"ftp://backend.example", "https://", "https://user:pw@backend.example",
        "https://backend.example/api", "https://backend.example?x=1", "backend.example"}) {
    const std::string why = refusal({.base_url = url, .session = keys});
    EXPECT_NE(why, "accepted") << url;
    EXPECT_EQ(why.find("pw"), std::string::npos) << why;
  }
  EXPECT_NE(refusal({.base_url = "https://b.example", .session = {"AK", ""}}).find("secret key"),
            std::string::npos);
  EXPECT_NE(refusal({.base_url = "https://b.example", .session = {"", "sk"}}).find("access key"),
            std::string::npos);
  EXPECT_NE(refusal({.base_url = "https://b.example",
                     .session = keys,
                     .ca_file = std::filesystem::path("/nonexistent/ca.pem")})
                .find("/nonexistent/ca.pem"),
            std::string::npos);
}

TEST(RemoteCalls, AnAnswerBeyondTheLimitFailsAtOnce) {
  WireServer server;
  server.set_handler([](const WireServer::Seen&, int) {
    return WireServer::answer(Result::ok(std::string(4000, 'x')));
  });
  server.start();
  RemoteOptions options = plain_options(server);
  options.max_answer_bytes = 1000;
  RemoteScaling scaling(std::move(options));
  try {
    scaling.get_downscaled_ids();
    ADD_FAILURE() << "an answer over the limit must fail";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.attempts(), 1);
    EXPECT_NE(std::string(e.what()).find("exceeds 1000 bytes"), std::string::npos) << e.what();
  }
  EXPECT_EQ(server.seen().size(), 1u);
}

TEST(RemoteCalls, AnAnswerOutsideTheProtocolFails) {
  WireServer server;
  server.set_handler([](const WireServer::Seen&, int) {
    return WireServer::Reply{.status = 200, .body = "<html>hello</html>"};
  });
  server.start();
  RemoteScaling scaling(plain_options(server));
  EXPECT_THROW(scaling.assign_jobs(false), RemoteCallError);
  EXPECT_EQ(server.seen().size(), 1u);
}

// A server older than its agents does not know a log piece's place: the
// client sends that server's pieces without it, after the first refusal
// says so, and warns once. Other malformed pieces stay refused.
TEST(RemoteCalls, PiecesGoWithoutTheirPlaceToAServerThatDoesNotKnowIt) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int) {
    const Json arguments = Json::parse(request.body);
    if (arguments.contains("log_stream")) {
      return WireServer::failure(wire::status::kMalformed, wire::failure::kMalformed,
                                 "the request body of update_action_docker_logs has the "
                                 "unknown argument \"log_stream\"");
    }
    if (arguments.value("log_content", "") == "malformed") {
      return WireServer::failure(wire::status::kMalformed, wire::failure::kMalformed,
                                 "argument \"log_content\" is not valid");
    }
    return WireServer::answer(Result::ok(Json(), "stored"));
  });
  server.start();
  log::LogCapture capture;
  RemoteScaling scaling(plain_options(server));
  auto placed = [](const std::string& text, std::int64_t start) {
    return Json{{"action_record_id", kId},
                {"log_content", text},
                {"log_stream", "0123456789abcdef0123456789abcdef"},
                {"log_start_offset", start},
                {"log_end_offset", start + static_cast<std::int64_t>(text.size())}};
  };

  EXPECT_EQ(scaling.update_action_docker_logs(placed("line 1\n", 0)).message, "stored");
  EXPECT_EQ(scaling.update_action_docker_logs(placed("line 2\n", 7)).message, "stored");
  EXPECT_THROW(scaling.update_action_docker_logs(placed("malformed", 14)), RemoteCallError);

  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 4u);  // refused with its place, sent again; then unplaced only
  EXPECT_TRUE(Json::parse(seen[0].body).contains("log_stream"));
  for (std::size_t i = 1; i < seen.size(); ++i) {
    const Json sent = Json::parse(seen[i].body);
    EXPECT_FALSE(sent.contains("log_stream") || sent.contains("log_start_offset") ||
                 sent.contains("log_end_offset"))
        << sent.dump();
  }
  EXPECT_EQ(Json::parse(seen[1].body)["log_content"], "line 1\n");
  EXPECT_EQ(capture.count(log::Level::warning), 1u);

  // A server that knows the place gets it, and its refusals of a placed
  // piece are not taken for an older server's.
  WireServer current;
  current.set_handler([](const WireServer::Seen&, int) {
    return WireServer::failure(wire::status::kMalformed, wire::failure::kMalformed,
                               "log_start_offset is after log_end_offset");
  });
  current.start();
  RemoteScaling fresh(plain_options(current));
  EXPECT_THROW(fresh.update_action_docker_logs(placed("line 1\n", 0)), RemoteCallError);
  ASSERT_EQ(current.seen().size(), 1u);
  EXPECT_TRUE(Json::parse(current.seen()[0].body).contains("log_stream"));
}

}  // namespace
}  // namespace tavoren::backend
