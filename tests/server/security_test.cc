// The server's refusals: requests that are not properly signed (401),
// callers that ask for what is not theirs (403, with one audit line each),
// and clients that do not trust the server's certificate.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>

#include "server_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"

namespace tavoren::server_testing {
namespace {

using backend::RemoteCallError;

class SecurityTest : public ServerTest {
 protected:
  // A header's value replaced in a signed request.
  static void replace(std::vector<wire::HeaderField>& headers, std::string_view name,
                      const std::string& value) {
    for (wire::HeaderField& field : headers) {
      if (field.name == name) field.value = value;
    }
  }
  static void expect_unauthenticated(const std::optional<testing::Reply>& reply,
                                     const std::string& why,
                                     std::string_view error = wire::failure::kNotAuthenticated) {
    ASSERT_TRUE(reply.has_value()) << why;
    EXPECT_EQ(reply->status, 401) << why;
    EXPECT_EQ(wire::read_failure(reply->body)->error, error) << why;
    EXPECT_EQ(reply->header("x-tavoren-protocol"), "v1") << why;
  }
};

TEST_F(SecurityTest, RequestsThatAreNotProperlySignedAreRefused) {
  const std::string path = wire::path_of("get_downscaled_ids");
  const std::string body = "{}";

  // Properly signed: answered.
  auto ok = send(path, body, signed_headers(path, body, instance_a_));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->header("x-tavoren-protocol"), "v1");

  expect_unauthenticated(send(path, R"({"x":1})", signed_headers(path, body, instance_a_)),
                         "a changed body");
  {
    const std::string other = wire::path_of("get_docker_hub_credentials");
    expect_unauthenticated(send(other, body, signed_headers(path, body, instance_a_)),
                           "a changed path");
  }
  {
    auto headers = signed_headers(path, body, instance_a_);
    const auto now = std::chrono::system_clock::now();
    replace(headers, wire::header::kTimestamp,
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch() +
                                                                            std::chrono::seconds(1))
                               .count()));
    expect_unauthenticated(send(path, body, headers), "a changed timestamp");
  }
  expect_unauthenticated(
      send(path, body, signed_headers(path, body, Session{instance_a_.access_key, "guessed"})),
      "a wrong secret");
  expect_unauthenticated(
      send(path, body, signed_headers(path, body, Session{"TKUNKNOWN", instance_a_.secret_key})),
      "an unknown key");
  {
    auto headers = signed_headers(path, body, instance_a_);
    std::erase_if(headers, [](const auto& f) { return f.name == wire::header::kNonce; });
    expect_unauthenticated(send(path, body, headers), "a missing header");
  }
  {
    const auto headers = signed_headers(path, body, instance_a_);
    EXPECT_EQ(send(path, body, headers)->status, 200);
    expect_unauthenticated(send(path, body, headers), "a replayed nonce",
                           wire::failure::kReplayedNonce);
  }
  expect_unauthenticated(
      send(path, body,
           signed_headers(path, body, instance_a_, "",
                          std::chrono::system_clock::now() - std::chrono::minutes(6))),
      "a clock skew");
  // None of these reached the audit: it is for authenticated callers.
  EXPECT_TRUE(audits().empty());
}

TEST_F(SecurityTest, ARevokedKeyStopsWorkingAndItsSecretIsNeverAnswered) {
  auto agent_a = agent(instance_a_);
  EXPECT_FALSE(agent_a->get_downscaled_ids().has_error_set());
  // Revoked through another object on the same file: the cache lets it
  // live for its cache time at most.
  {
    LocalScaling other(LocalBackendOptions{.database = database()});
    ASSERT_TRUE(other.revoke_access_key(instance_a_.access_key));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  long status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      agent_a->get_downscaled_ids();
    } catch (const RemoteCallError& e) {
      status = e.status();
      EXPECT_EQ(std::string(e.what()).find(instance_a_.secret_key), std::string::npos);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(status, 401);
}

TEST_F(SecurityTest, OnlyPostToAKnownOperationIsServed) {
  auto not_post = send(wire::path_of("get_downscaled_ids"), "", {}, "GET");
  ASSERT_TRUE(not_post.has_value());
  EXPECT_EQ(not_post->status, 405);
  EXPECT_EQ(not_post->header("x-tavoren-protocol"), "v1");
  auto unknown = send("/v1/get_everything", "{}", {});
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(wire::read_failure(unknown->body)->error, wire::failure::kNoSuchOperation);
}

// Which versions a server speaks is asked outside every version, with a
// key of either role, and never without one.
TEST_F(SecurityTest, TheVersionsAreAnsweredToEitherRoleAndOnlySigned) {
  const std::string path(wire::kVersionsPath);
  for (const Session& session : {instance_a_, operator_}) {
    const auto answered = send(path, "{}", signed_headers(path, "{}", session));
    ASSERT_TRUE(answered.has_value());
    EXPECT_EQ(answered->status, 200) << answered->body;
    EXPECT_EQ(parse_json(answered->body)["data"]["versions"], Json::array({"v1"}));
  }
  const auto unsigned_call = send(path, "{}", {});
  ASSERT_TRUE(unsigned_call.has_value());
  EXPECT_EQ(unsigned_call->status, 401);
  const auto with_arguments =
      send(path, R"({"x":1})", signed_headers(path, R"({"x":1})", operator_));
  ASSERT_TRUE(with_arguments.has_value());
  EXPECT_EQ(with_arguments->status, 400);
  EXPECT_EQ(send("/v2/versions", "{}", signed_headers("/v2/versions", "{}", operator_))->status,
            404);
}

TEST_F(SecurityTest, AnInstanceTouchesOnlyItsOwnWorkAndEachRefusalIsAuditedOnce) {
  log::LogCapture capture;
  auto admin = operator_client();
  const std::string action = admin->submit(action_record("owner-a"));
  admin->set_internal_api_key(action, "internal-key-of-a-0001");
  admin->set_key_pair("owner-a", "owner-access-0001", "owner-secret-0001");
  auto agent_a = agent(instance_a_);
  auto agent_b = agent(instance_b_);
  ASSERT_EQ(agent_a->assign_jobs(false).data.at(0).at("_id"), action);

  // The owner of the action may do all of it.
  EXPECT_FALSE(agent_a->get_action_details(action).has_error_set());
  EXPECT_EQ(agent_a->get_internal_api_key(action).data["internal_api_key"],
            "internal-key-of-a-0001");
  EXPECT_FALSE(agent_a->get_user_access_key_pair("owner-a").has_error_set());
  admin->set_model_secret("hugging_face", "model-token-0001");
  EXPECT_EQ(agent_a->get_model_secret_keys("hugging_face").data["user_access_token"],
            "model-token-0001");
  admin->scale_down(action);
  EXPECT_EQ(agent_a->get_downscaled_ids().data, Json::array({action}));
  EXPECT_EQ(agent_b->get_downscaled_ids().data, Json::array());
  EXPECT_TRUE(audits().empty());

  struct Attempt {
    const char* operation;
    std::function<void()> run;
    std::string target;
  };
  const Json status_report = Json{{"service_provider", "x"},
                                  {"action_record_id", action},
                                  {"status", "started"},
                                  {"action_duration", 1}};
  const std::vector<Attempt> attempts = {
      {"get_action_details", [&] { agent_b->get_action_details(action); }, action},
      {"update_action_docker_logs",
       [&] {
         agent_b->update_action_docker_logs(
             Json{{"action_record_id", action}, {"log_content", "forged"}});
       },
       action},
      {"update_action_status", [&] { agent_b->update_action_status(status_report); }, action},
      {"get_user_access_key_pair", [&] { agent_b->get_user_access_key_pair("owner-a"); },
       "owner-a"},
      {"record_exit", [&] { agent_b->record_exit(action, 0); }, action},
      {"operator/list", [&] { RemoteOperator(remote_options(instance_b_)).list(); }, ""},
      {"assign_jobs", [&] { RemoteScaling(remote_options(operator_)).assign_jobs(false); }, ""},
  };
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    SCOPED_TRACE(attempts[i].operation);
    try {
      attempts[i].run();
      ADD_FAILURE() << "not refused";
    } catch (const RemoteCallError& e) {
      EXPECT_EQ(e.status(), 403);
      EXPECT_EQ(e.attempts(), 1);
    }
    const auto entries = audits();
    ASSERT_EQ(entries.size(), i + 1);
    EXPECT_EQ(entries.back().operation, attempts[i].operation);
    EXPECT_EQ(entries.back().target, attempts[i].target);
  }
  EXPECT_EQ(audits()[0].access_key, instance_b_.access_key);
  EXPECT_EQ(audits()[0].instance_id, "instance-b");
  EXPECT_EQ(audits().back().role, wire::Role::kOperator);

  // Nothing of the refused writes was done.
  EXPECT_EQ(store_.logs(action).content, "");
  EXPECT_TRUE(store_.show(action)["exitStatus"].is_null());
  // The owner's keys and secrets end with the action.
  agent_a->record_exit(action, 0);
  EXPECT_THROW(agent_a->get_user_access_key_pair("owner-a"), RemoteCallError);
  EXPECT_TRUE(agent_a->get_model_secret_keys("hugging_face").has_error_set());
  EXPECT_TRUE(agent_a->get_internal_api_key(action).has_error_set());

  // The audit line names the caller, never a secret; no line does.
  const std::string line = server::audit_line(audits()[0]);
  EXPECT_NE(line.find("instance-b"), std::string::npos);
  EXPECT_NE(line.find("get_action_details"), std::string::npos);
  for (const auto& logged : capture.lines()) {
    for (const std::string& secret :
         {instance_a_.secret_key, instance_b_.secret_key, operator_.secret_key,
          std::string("owner-secret-0001"), std::string("internal-key-of-a-0001"),
          std::string("model-token-0001")}) {
      EXPECT_EQ(logged.message.find(secret), std::string::npos) << logged.message;
    }
  }
}

TEST_F(SecurityTest, AnEndedActionLeavesItsInstanceOnlyTheLastFlushOfItsLog) {
  auto admin = operator_client();
  const std::string action = admin->submit(action_record("owner-a"));
  admin->set_internal_api_key(action, "internal-key-of-a-0002");
  auto agent_a = agent(instance_a_);
  ASSERT_EQ(agent_a->assign_jobs(false).data.at(0).at("_id"), action);
  agent_a->record_exit(action, 3);
  auto piece = [&](const std::string& content) {
    return Json{{"action_record_id", action}, {"log_content", content}};
  };

  // The log shipper's last flush, just after the end, is stored.
  EXPECT_FALSE(agent_a->update_action_docker_logs(piece("last line\n")).has_error_set());
  // Nothing else: neither the internal key nor the record, and the writes
  // are refused as not current.
  const backend::Result key = agent_a->get_internal_api_key(action);
  ASSERT_TRUE(key.has_error_set());
  EXPECT_EQ(key.error->find("internal-key-of-a-0002"), std::string::npos);
  EXPECT_THROW(agent_a->get_action_details(action), RemoteCallError);
  EXPECT_TRUE(
      backend::is_not_current(agent_a->update_action_status(Json{{"service_provider", "x"},
                                                                 {"action_record_id", action},
                                                                 {"status", "rewritten"},
                                                                 {"action_duration", 1}})));
  EXPECT_THROW(agent_a->record_exit(action, 0), backend::NotCurrentError);
  EXPECT_EQ(store_.show(action)["exitStatus"], 3);
  EXPECT_NE(store_.show(action)["record"]["status"], "rewritten");

  // Past the grace, the log is closed too.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE actions SET ended_at = '2020-01-01T00:00:00.000Z'", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  EXPECT_TRUE(backend::is_not_current(agent_a->update_action_docker_logs(piece("too late\n"))));
  EXPECT_EQ(store_.logs(action).content, "last line\n");
}

TEST_F(SecurityTest, TheDefaultAuditWritesOneWarningLinePerRefusal) {
  log::LogCapture capture;
  server::BackendService service(store_, keys_);
  const std::string path = wire::path_of("operator/list");
  std::vector<http_server::Request::Header> headers;
  for (const auto& field : signed_headers(path, "{}", instance_a_)) {
    headers.emplace_back(field.name, field.value);
  }
  const http_server::Response answer =
      service.handle(http_server::Request("POST", path, headers, "{}", "127.0.0.1:1", "r2"));
  EXPECT_EQ(answer.status, 403);
  EXPECT_EQ(
      capture.count(log::Level::warning, "refused operator/list for instance key " +
                                             instance_a_.access_key + " (instance instance-a)"),
      1u);
  EXPECT_EQ(capture.count(log::Level::warning), 1u);
}

TEST_F(SecurityTest, AClientThatTrustsAnotherCaRefusesTheServer) {
  RemoteOptions options = remote_options(instance_a_);
  options.ca_file = tls_.other_ca_file();
  RemoteScaling stranger(options);
  try {
    stranger.get_downscaled_ids();
    FAIL() << "the server's certificate was accepted";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.status(), 0);
  }
}

}  // namespace
}  // namespace tavoren::server_testing
