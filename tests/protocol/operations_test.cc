// The operation table, request bodies and answer envelopes of the backend
// protocol.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tavoren/protocol.h"

namespace tavoren::backend::wire {
namespace {

// A value of each kind, for arguments built from the table.
Json sample_of(ValueKind kind, std::string_view name) {
  switch (kind) {
    case ValueKind::kText:
      return "text of " + std::string(name);
    case ValueKind::kBoolean:
      return true;
    case ValueKind::kNumber:
      return 2.5;
    case ValueKind::kInteger:
      return 42;
    case ValueKind::kObject:
      return Json{{"action", "model_train"}, {"actionDetails", Json::object()}};
    case ValueKind::kAny:
      return Json::array({1, "two", Json{{"z", 1}, {"a", 2}}});
  }
  return Json();
}

Json full_arguments(const Operation& operation) {
  Json arguments = Json::object();
  for (const Argument& argument : operation.arguments) {
    arguments[std::string(argument.name)] = sample_of(argument.kind, argument.name);
  }
  return arguments;
}

TEST(OperationTable, CoversTheContractAndTheOperatorCallsOnce) {
  const std::set<std::string> contract = {"assign_jobs",
                                          "update_action_status",
                                          "update_status",
                                          "update_action",
                                          "update_action_docker_logs",
                                          "get_action_details",
                                          "get_downscaled_ids",
                                          "get_model_codebase",
                                          "get_model_codebase_requirements",
                                          "get_docker_hub_credentials",
                                          "get_user_access_key_pair",
                                          "get_model_secret_keys",
                                          "get_internal_api_key",
                                          "get_data_processing_image",
                                          "get_open_port",
                                          "get_shutdown_details",
                                          "update_available_resources",
                                          "record_exit",
                                          "heartbeat"};
  std::set<std::string> seen;
  for (const Operation& operation : operations()) {
    const std::string name(operation.name);
    EXPECT_TRUE(seen.insert(name).second) << "listed twice: " << name;
    const bool operator_call = name.rfind("operator/", 0) == 0;
    EXPECT_EQ(operation.role, operator_call ? Role::kOperator : Role::kInstance) << name;
    if (!operator_call) {
      EXPECT_TRUE(contract.count(name)) << "not in the contract: " << name;
    }
    std::set<std::string_view> argument_names;
    for (const Argument& argument : operation.arguments) {
      EXPECT_TRUE(argument_names.insert(argument.name).second) << name << " " << argument.name;
    }
  }
  for (const std::string& name : contract) EXPECT_TRUE(seen.count(name)) << "missing: " << name;
  for (const char* name : {"operator/submit",
                           "operator/list",
                           "operator/show",
                           "operator/logs",
                           "operator/scale_down",
                           "operator/set_registry_credentials",
                           "operator/set_key_pair",
                           "operator/set_codebase",
                           "operator/set_model_secret",
                           "operator/set_internal_api_key",
                           "operator/set_data_processing_image",
                           "operator/set_shutdown_details",
                           "operator/machine_resources",
                           "operator/configuration",
                           "operator/machines",
                           "operator/machine",
                           "operator/set_machine",
                           "operator/drain_machine",
                           "operator/undrain_machine",
                           "operator/forget_machine"}) {
    EXPECT_TRUE(seen.count(name)) << "missing: " << name;
  }
}

TEST(Paths, NameTheVersionAndTheOperation) {
  EXPECT_EQ(path_of("assign_jobs"), "/v1/assign_jobs");
  EXPECT_EQ(operation_of_path("/v1/assign_jobs"), find_operation("assign_jobs"));
  EXPECT_EQ(operation_of_path("/v1/operator/submit"), find_operation("operator/submit"));
  for (const char* path : {"/v2/assign_jobs", "/v1/", "/v1", "/assign_jobs", "/v1/assign_jobs/",
                           "/v1/assign_jobs?x=1", "/v1/no_such_operation", "v1/assign_jobs"}) {
    EXPECT_EQ(operation_of_path(path), nullptr) << path;
  }
  for (const Operation& operation : operations()) {
    EXPECT_EQ(operation_of_path(path_of(operation.name)), &operation);
  }
}

// A viewer key reads what an operator reads, the configuration excepted,
// and writes nothing; an instance's operations stay its own.
TEST(Roles, AViewerMayCallTheOperatorsReadsAndNothingElse) {
  std::set<std::string_view> viewer_calls;
  for (const Operation& operation : operations()) {
    if (may_call(Role::kViewer, operation)) viewer_calls.insert(operation.name);
    EXPECT_EQ(may_call(Role::kOperator, operation),
              operation.role == Role::kOperator || operation.any_role)
        << operation.name;
  }
  EXPECT_EQ(viewer_calls,
            (std::set<std::string_view>{"operator/list", "operator/show", "operator/logs",
                                        "operator/machine_resources", "operator/machines",
                                        "operator/queue", "operator/machine"}));
  EXPECT_TRUE(may_call(Role::kViewer, versions_operation()));
  for (const Role role : {Role::kInstance, Role::kOperator, Role::kViewer}) {
    EXPECT_EQ(role_named(role_name(role)), role);
  }
  EXPECT_EQ(role_named("admin"), std::nullopt);
  EXPECT_EQ(role_named(""), std::nullopt);
}

TEST(Requests, EveryOperationsArgumentsRoundTripInOrder) {
  for (const Operation& operation : operations()) {
    const Json sent = full_arguments(operation);
    const Json read = read_arguments(operation, write_arguments(sent));
    EXPECT_EQ(read.dump(), sent.dump()) << operation.name;
  }
  // The keys keep the caller's order, whatever the table's.
  const Json started = Json{{"service_provider", "LOCAL"},
                            {"status", "started"},
                            {"action_record_id", "65f1c0ffee0123456789abcd"},
                            {"isRunning", true},
                            {"action_duration", 0}};
  EXPECT_EQ(
      read_arguments(*find_operation("update_action_status"), write_arguments(started)).dump(),
      started.dump());
}

TEST(Requests, MalformedBodiesAreRefusedNamingTheFault) {
  const Operation& update_status = *find_operation("update_status");
  const Json good = full_arguments(update_status);
  auto refusal = [&](std::string_view body) -> std::string {
    try {
      read_arguments(update_status, body);
    } catch (const ProtocolError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_NE(refusal("{not json").find("not JSON"), std::string::npos);
  EXPECT_NE(refusal("[1,2]").find("not a dictionary"), std::string::npos);
  Json missing = good;
  missing.erase("description");
  EXPECT_NE(refusal(missing.dump()).find("lacks the argument \"description\""), std::string::npos);
  Json wrong = good;
  wrong["status"] = 5;
  EXPECT_NE(refusal(wrong.dump()).find("\"status\" is not a text but number"), std::string::npos);
  Json extra = good;
  extra["secret_key"] = "x";
  EXPECT_NE(refusal(extra.dump()).find("unknown argument \"secret_key\""), std::string::npos);
  Json null_required = good;
  null_required["service"] = nullptr;
  EXPECT_NE(refusal(null_required.dump()).find("\"service\""), std::string::npos);
  EXPECT_NE(refusal(std::string(200, '[') + std::string(200, ']')).find("deeper"),
            std::string::npos);
  EXPECT_THROW(read_arguments(update_status, good.dump(), JsonLimits{.max_bytes = 10}),
               ProtocolError);

  // An optional argument may be null; an argument of any kind takes null.
  const Operation& codebase = *find_operation("operator/set_codebase");
  EXPECT_NO_THROW(read_arguments(
      codebase, R"({"model_family":"f","url":"https://x","requirements_url":null})"));
  EXPECT_NO_THROW(read_arguments(codebase, R"({"model_family":"f","url":"https://x"})"));
  EXPECT_THROW(read_arguments(*find_operation("record_exit"),
                              R"({"action_record_id":"a","exit_status":1.5})"),
               ProtocolError);
}

TEST(Requests, UnsendableArgumentsAreRefusedBeforeSending) {
  EXPECT_THROW(write_arguments(Json{{"log_content", "bad \xff byte"}}), ValueError);
  EXPECT_THROW(write_arguments(Json::array()), TypeError);
}

TEST(Answers, ResultsRoundTripThroughTheEnvelope) {
  const Result cases[] = {
      Result::ok(Json::array({Json{{"_id", "65f1c0ffee0123456789abcd"}, {"action", "x"}}}), "ok"),
      Result::ok(Json()),
      Result::failure("action not found", "action not found"),
      Result::refused(backend::refusal_kind::kNotConfigured, "The model secret is not configured"),
      Result::failure(std::string(backend::kNotCurrent), "attempt 2 is not current"),
      Result{Json(), std::string(), "", "failed"},  // an empty error: set, yet none by truth
      Result{Json{{"b", 1}, {"a", 2}}, std::nullopt, "keys in order"},
  };
  for (const Result& sent : cases) {
    const std::string body = write_answer(sent);
    const Result read = read_answer(body);
    EXPECT_EQ(read.data.dump(), sent.data.dump()) << body;
    EXPECT_EQ(read.error, sent.error) << body;
    EXPECT_EQ(read.message, sent.message) << body;
    EXPECT_EQ(read.kind, sent.kind) << body;
  }
  EXPECT_EQ(Json::parse(write_answer(Result::ok(1))).dump(),
            R"({"data":1,"error":null,"message":""})");
  // Bare values travel as data.
  for (const Json& value : {Json(8123), Json("registry/image:1"),
                            Json{{"shutdownThreshold", 5}, {"launchDuration", 1}}}) {
    const Result read = read_answer(write_value(value));
    EXPECT_EQ(read.data, value);
    EXPECT_FALSE(read.has_error_set());
  }
}

// A client switches on a refusal's kind, whatever its texts say, and
// whether or not the server that answered sends one.
TEST(Answers, EveryRefusalNamesItsKind) {
  const Json refused = Json::parse(write_answer(
      Result::refused(backend::refusal_kind::kKeyError, "No action \"abc\" is known")));
  EXPECT_EQ(refused["kind"], "key_error");
  EXPECT_EQ(refused["error"], "No action \"abc\" is known");
  EXPECT_FALSE(Json::parse(write_answer(Result::ok(1))).contains("kind"));
  // A kind no client knows is sent as the general one.
  EXPECT_EQ(Json::parse(write_answer(Result{Json(), "x", "x", "made_up"}))["kind"], "failed");

  const std::pair<const char*, const char*> without_kind[] = {
      {R"({"data":null,"error":"not_configured","message":"set it"})", "not_configured"},
      {R"({"data":null,"error":"some text","message":"some text"})", "failed"},
      {R"({"data":null,"error":"some text","message":"","kind":"made_up"})", "failed"},
      {R"({"data":null,"error":"some text","message":"","kind":"too_large"})", "too_large"},
  };
  for (const auto& [body, kind] : without_kind) EXPECT_EQ(read_answer(body).kind, kind) << body;
  EXPECT_EQ(read_answer(R"({"data":1,"error":null,"message":"","kind":"failed"})").kind, "");
}

TEST(Answers, AStoredTextThatIsNotUtf8IsSentWithReplacements) {
  const std::string body = write_answer(Result::ok(Json{{"content",
                                                         "ab\xff"
                                                         "cd"}}));
  EXPECT_EQ(read_answer(body).data["content"],
            "ab\xEF\xBF\xBD"
            "cd");
}

TEST(Answers, ForeignBodiesAreProtocolErrors) {
  for (const char* body :
       {"<html>bad gateway</html>", "[]", R"({"data":1,"error":null})",
        R"({"data":1,"error":5,"message":""})", R"({"data":1,"error":null,"message":[]})"}) {
    EXPECT_THROW(read_answer(body), ProtocolError) << body;
  }
  EXPECT_EQ(read_answer(R"({"data":1,"error":null,"message":null})").message, "");
}

TEST(Failures, BodiesRoundTripAndForeignOnesAreNone) {
  const std::optional<Failure> failure =
      read_failure(write_failure(failure::kNotAuthenticated, "the signature does not match"));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->error, "not_authenticated");
  EXPECT_EQ(failure->message, "the signature does not match");
  EXPECT_FALSE(read_failure("<html>502</html>"));
  EXPECT_FALSE(read_failure(R"({"message":"no error"})"));

  for (long retried : {429L, 500L, 502L, 503L, 504L}) EXPECT_TRUE(is_retryable_status(retried));
  for (long final : {200L, 301L, 400L, 401L, 403L, 404L, 413L}) {
    EXPECT_FALSE(is_retryable_status(final));
  }
}

}  // namespace
}  // namespace tavoren::backend::wire
