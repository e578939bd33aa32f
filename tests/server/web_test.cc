// The operator's pages as the server answers them: the session rules, no
// secret in any answer, the security headers, and the live event stream of
// an action's log over a real connection.
#include "tavoren/web.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "tavoren/common/sealing.h"
#include "tavoren/http_server.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "waiting.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using http_server::Request;
using http_server::Response;
using ::testing::HasSubstr;
using ::testing::Not;
namespace wire = backend::wire;

constexpr const char* kMasterKey =
    "5a1c9e3f7b2d4608a9c1e3f5b7d9021436587a9cbedf0123456789abcdef0123";
constexpr const char* kOrigin = "http://127.0.0.1:8080";

std::string header_of(const Response& response, std::string_view name) {
  for (const auto& [key, value] : response.headers) {
    if (key == name) return value;
  }
  return "";
}

class WebTest : public ::testing::Test {
 protected:
  WebTest() { make_service(); }

  void make_service(web::WebOptions options = {}) {
    web_.reset();
    options.plain_http = true;
    options.clock = [this] { return std::chrono::system_clock::now() + skew_.load(); };
    web_ = std::make_unique<web::WebService>(
        *store_, keys_, keyring_->subkey(sealing::Purpose::kWebSessions), options);
  }

  Response call(const std::string& method, const std::string& target, const std::string& body = "",
                std::vector<Request::Header> headers = {}) {
    headers.emplace_back("Host", "127.0.0.1:8080");
    if (method == "POST") headers.emplace_back("Origin", kOrigin);
    if (!cookie_.empty()) headers.emplace_back("Cookie", "theme=dark; " + cookie_);
    return web_->handle(Request(method, target, std::move(headers), body, "127.0.0.1:5000", "r1"));
  }

  // Signs in with the key pair through a fresh challenge; the answer.
  Response sign_in(const std::string& access_key, const std::string& secret_key) {
    const Response challenge = call("POST", "/ui/api/challenge");
    EXPECT_EQ(challenge.status, 200);
    const std::string text = Json::parse(challenge.body).at("challenge");
    return call("POST", "/ui/api/sign-in",
                Json{{"accessKey", access_key},
                     {"challenge", text},
                     {"signature", wire::hmac_sha256_hex(secret_key, text)}}
                    .dump());
  }

  // Signs in, keeping the session's cookie for the next calls.
  void sign_in_as(const server::NewAccessKey& key) {
    const Response answer = sign_in(key.access_key, key.secret_key);
    ASSERT_EQ(answer.status, 200) << answer.body;
    const std::string set = header_of(answer, "Set-Cookie");
    cookie_ = set.substr(0, set.find(';'));
  }

  TempDir dir_;
  std::shared_ptr<const sealing::Keyring> keyring_ =
      std::make_shared<const sealing::Keyring>(sealing::parse_master_key(kMasterKey));
  std::unique_ptr<backend::LocalScaling> store_ = std::make_unique<backend::LocalScaling>(
      backend::LocalBackendOptions{.database = dir_.path() / "backend.db", .keyring = keyring_});
  server::AccessKeys keys_{*store_, keyring_, 100ms};
  std::atomic<std::chrono::seconds> skew_{0s};
  std::unique_ptr<web::WebService> web_;
  std::string cookie_;
};

TEST_F(WebTest, EveryPageAndDataCallNeedsASessionThatAnOperatorOrViewerKeyGets) {
  const server::NewAccessKey operator_key = keys_.create(wire::Role::kOperator);
  const server::NewAccessKey viewer_key = keys_.create(wire::Role::kViewer);
  const server::NewAccessKey instance_key = keys_.create(wire::Role::kInstance, "box");

  // Without a session: pages lead to the sign-in, data calls are refused,
  // and only what the sign-in page needs is served.
  Response page = call("GET", "/ui/fleet?q=gpu%20box");
  EXPECT_EQ(page.status, 303);
  EXPECT_EQ(header_of(page, "Location"), "/ui/sign-in?next=/ui/fleet%3Fq%3Dgpu%2520box");
  EXPECT_EQ(call("GET", "/ui/").status, 303);
  EXPECT_EQ(call("GET", "/ui/sign-in").status, 200);
  EXPECT_EQ(call("GET", "/ui/assets/sign-in.js").status, 200);
  EXPECT_EQ(call("GET", "/ui/assets/fleet.js").status, 401);
  for (const char* data :
       {"/ui/api/me", "/ui/api/fleet", "/ui/api/queue", "/ui/api/events?topic=fleet",
        "/ui/api/machine?id=box", "/ui/api/action?id=a"}) {
    EXPECT_EQ(call("GET", data).status, 401) << data;
  }

  // Refused sign-ins, all alike: an instance key, a wrong signature, an
  // unknown key, a challenge used twice, a stale one, a forged one.
  EXPECT_EQ(sign_in(instance_key.access_key, instance_key.secret_key).status, 401);
  EXPECT_EQ(sign_in(operator_key.access_key, viewer_key.secret_key).status, 401);
  EXPECT_EQ(sign_in("TKNOSUCHKEY000000000", operator_key.secret_key).status, 401);
  const std::string text = Json::parse(call("POST", "/ui/api/challenge").body).at("challenge");
  const std::string signed_in =
      Json{{"accessKey", operator_key.access_key},
           {"challenge", text},
           {"signature", wire::hmac_sha256_hex(operator_key.secret_key, text)}}
          .dump();
  EXPECT_EQ(call("POST", "/ui/api/sign-in", signed_in).status, 200);
  EXPECT_EQ(call("POST", "/ui/api/sign-in", signed_in).status, 401) << "a challenge serves once";
  const std::string stale = Json::parse(call("POST", "/ui/api/challenge").body).at("challenge");
  skew_ = 61s;
  EXPECT_EQ(call("POST", "/ui/api/sign-in",
                 Json{{"accessKey", operator_key.access_key},
                      {"challenge", stale},
                      {"signature", wire::hmac_sha256_hex(operator_key.secret_key, stale)}}
                     .dump())
                .status,
            401);
  skew_ = 0s;
  std::string forged = Json::parse(call("POST", "/ui/api/challenge").body).at("challenge");
  forged[30] = forged[30] == '1' ? '2' : '1';
  EXPECT_EQ(call("POST", "/ui/api/sign-in",
                 Json{{"accessKey", operator_key.access_key},
                      {"challenge", forged},
                      {"signature", wire::hmac_sha256_hex(operator_key.secret_key, forged)}}
                     .dump())
                .status,
            401);

  // The operator's session: its cookie, and every call with it.
  const Response answer = sign_in(operator_key.access_key, operator_key.secret_key);
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(Json::parse(answer.body).at("role"), "operator");
  const std::string set = header_of(answer, "Set-Cookie");
  EXPECT_THAT(set, HasSubstr("; Path=/ui/; HttpOnly; SameSite=Strict; Max-Age=43200"));
  EXPECT_THAT(set, Not(HasSubstr("Secure"))) << "plain HTTP on loopback";
  EXPECT_THAT(set, Not(HasSubstr(operator_key.secret_key)));
  cookie_ = set.substr(0, set.find(';'));
  EXPECT_EQ(call("GET", "/ui/fleet").status, 200);
  EXPECT_EQ(call("GET", "/ui/assets/fleet.js").status, 200);
  EXPECT_EQ(Json::parse(call("GET", "/ui/api/me").body).at("accessKey"), operator_key.access_key);

  // A cookie changed by hand, or one that expired, is no session.
  const std::string good = cookie_;
  cookie_ = good.substr(0, good.size() - 1) + (good.back() == 'a' ? "b" : "a");
  EXPECT_EQ(call("GET", "/ui/api/me").status, 401);
  cookie_ = good;
  skew_ = 12h + 1s;
  EXPECT_EQ(call("GET", "/ui/api/me").status, 401);
  skew_ = 0s;
  EXPECT_EQ(call("GET", "/ui/api/me").status, 200);

  // Another server of the store, with the same master key, accepts it.
  make_service();
  EXPECT_EQ(call("GET", "/ui/api/me").status, 200);

  // Revoking the key ends its sessions within the key cache's time.
  ASSERT_TRUE(keys_.revoke(operator_key.access_key));
  EXPECT_TRUE(eventually([&] { return call("GET", "/ui/api/me").status == 401; }, 2s));
  EXPECT_EQ(call("GET", "/ui/fleet").status, 303);

  // A viewer signs in with its role; signing out clears the cookie.
  cookie_.clear();
  sign_in_as(viewer_key);
  EXPECT_EQ(Json::parse(call("GET", "/ui/api/me").body).at("role"), "viewer");
  const Response out = call("POST", "/ui/api/sign-out");
  EXPECT_EQ(out.status, 200);
  EXPECT_THAT(header_of(out, "Set-Cookie"), HasSubstr("tavoren_session=; "));
  EXPECT_THAT(header_of(out, "Set-Cookie"), HasSubstr("Max-Age=0"));
}

// Nothing the pages are sent holds a secret of the store: not the
// registry's password, a key pair, a model secret, an internal API key, a
// transport key, or a secret written into an action's record.
TEST_F(WebTest, NoAnswerHoldsASecret) {
  const server::NewAccessKey viewer_key = keys_.create(wire::Role::kViewer);
  const server::NewAccessKey instance_key = keys_.create(wire::Role::kInstance, "box");
  const std::vector<std::string> secrets = {"registry-password-77",
                                            "owner-secret-key-0123456789abcdef",
                                            "hf_model_token_5150",
                                            "internal-api-key-4242",
                                            "record-password-9001",
                                            instance_key.secret_key,
                                            instance_key.transport_key,
                                            viewer_key.secret_key,
                                            kMasterKey};
  store_->set_registry_credentials("robot", secrets[0], "registry.example");
  store_->set_key_pair("owner", "AKOWNER", secrets[1]);
  store_->set_model_secret("hugging_face", secrets[2], "owner");
  const std::string id = store_->submit(Json{{"action", "model_train"},
                                             {"_idUser", "owner"},
                                             {"actionDetails",
                                              {{"docker", "registry.example/train:1"},
                                               {"registryPassword", secrets[4]},
                                               {"env", {{"HF_TOKEN", secrets[2]}}}}}});
  store_->set_internal_api_key(id, secrets[3]);
  store_->set_machine("box", backend::MachineChange{}, true);
  auto box = store_->for_instance("box");
  ASSERT_EQ(box->assign_jobs(false).data.size(), 1u);
  ASSERT_FALSE(box->update_action_docker_logs(
                      Json{{"action_record_id", id}, {"log_content", "training step 1\n"}})
                   .has_error_set());
  sign_in_as(viewer_key);

  std::vector<std::string> answers;
  std::map<std::string, std::string> bodies;
  for (const std::string& target :
       {std::string("/ui/api/me"), std::string("/ui/api/fleet"), std::string("/ui/api/queue"),
        "/ui/api/action?id=" + id, "/ui/api/log?id=" + id, "/ui/api/log/download?id=" + id,
        std::string("/ui/api/machine?id=box"), std::string("/ui/fleet"),
        std::string("/ui/assets/common.js")}) {
    const Response answer = call("GET", target);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    answers.push_back(answer.body);
    bodies[target] = answer.body;
    for (const auto& [name, value] : answer.headers) answers.push_back(value);
  }
  answers.push_back(call("POST", "/ui/api/challenge").body);
  const Json action = Json::parse(bodies.at("/ui/api/action?id=" + id)).at("action");
  EXPECT_EQ(action["record"]["actionDetails"]["registryPassword"], "********");
  EXPECT_EQ(
      action["attempts"],
      (Json::array({Json{
          {"attempt", 1}, {"instanceId", "box"}, {"cause", nullptr}, {"exitStatus", nullptr}}})));
  EXPECT_EQ(Json::parse(bodies.at("/ui/api/log?id=" + id)).at("content"), "training step 1\n");
  for (const std::string& answer : answers) {
    for (const std::string& secret : secrets) {
      EXPECT_EQ(answer.find(secret), std::string::npos) << "a secret in: " << answer;
    }
  }
}

TEST_F(WebTest, EveryAnswerCarriesTheSecurityHeadersAndWritesComeFromThePagesOwnOrigin) {
  const server::NewAccessKey operator_key = keys_.create(wire::Role::kOperator);
  sign_in_as(operator_key);
  for (const char* target :
       {"/ui/", "/ui/sign-in", "/ui/fleet", "/ui/assets/app.css", "/ui/api/fleet",
        "/ui/api/action?id=none", "/ui/nothing-here", "/ui/api/fleet?liveness=dead"}) {
    const Response answer = call("GET", target);
    const std::string policy = header_of(answer, "Content-Security-Policy");
    EXPECT_THAT(policy, HasSubstr("script-src 'self'")) << target;
    EXPECT_THAT(policy, HasSubstr("frame-ancestors 'none'")) << target;
    EXPECT_THAT(policy, Not(HasSubstr("unsafe"))) << target;
    EXPECT_EQ(header_of(answer, "X-Content-Type-Options"), "nosniff") << target;
    EXPECT_EQ(header_of(answer, "Referrer-Policy"), "no-referrer") << target;
  }
  EXPECT_EQ(call("GET", "/ui/api/action?id=none").status, 404);
  EXPECT_EQ(call("GET", "/ui/api/fleet?liveness=dead").status, 400);
  // What the pages never send is refused from the request's head.
  auto admitted = [&](const std::string& method, std::vector<Request::Header> headers) {
    return !web_->admit(http_server::RequestHead(method, "/ui/api/sign-in", std::move(headers),
                                                 "127.0.0.1:5000"))
                .refusal.has_value();
  };
  EXPECT_TRUE(admitted("POST", {{"Content-Length", "4096"}}));
  EXPECT_FALSE(admitted("POST", {{"Content-Length", "4097"}}));
  EXPECT_FALSE(admitted("POST", {{"Transfer-Encoding", "chunked"}}));
  EXPECT_FALSE(admitted("PUT", {}));
  EXPECT_FALSE(admitted("HEAD", {}));
  EXPECT_EQ(call("GET", "/ui/api/log?id=a%22b").status, 400) << "no quote in a file name";
  // A page from elsewhere cannot sign anyone in or out.
  for (const auto& header : std::vector<Request::Header>{{"Origin", "https://elsewhere.example"},
                                                         {"Sec-Fetch-Site", "cross-site"}}) {
    const Response answer =
        web_->handle(Request("POST", "/ui/api/sign-out", {{"Host", "127.0.0.1:8080"}, header}, "",
                             "127.0.0.1:5000", "r2"));
    EXPECT_EQ(answer.status, 403) << header.first;
  }
  // Unchanged files are not sent again.
  const Response first = call("GET", "/ui/assets/app.css");
  const Response again =
      call("GET", "/ui/assets/app.css", "", {{"If-None-Match", header_of(first, "ETag")}});
  EXPECT_EQ(again.status, 304);
  EXPECT_TRUE(again.body.empty());
  // What the pages weigh in all.
  std::size_t total = 0;
  for (const char* name :
       {"sign-in.html", "fleet.html", "queue.html", "action.html", "machine.html", "app.css",
        "common.js", "sign-in.js", "fleet.js", "queue.js", "action.js", "machine.js"}) {
    const Response answer = call("GET", std::string("/ui/assets/") + name);
    EXPECT_EQ(answer.status, 200) << name;
    total += answer.body.size();
  }
  EXPECT_LT(total, 200u * 1024);
}

// An action's page follows its log over one event stream: new bytes within
// the event thread's period of their arrival, and "changed" when the
// action ends; the stream closes when the page goes.
TEST_F(WebTest, TheEventStreamCarriesAnActionsNewLogLinesAndItsChanges) {
  make_service(web::WebOptions{.log_period = 100ms, .topic_period = 200ms});
  struct NotFound : http_server::Handler {
    Response handle(const Request&) override { return {404, {}, "not here"}; }
  } protocol;
  web::Router router(*web_, protocol);
  http_server::HttpServer http(http_server::Options{.plain_http = true, .io_threads = 1}, router);
  http.start();
  const server::NewAccessKey viewer_key = keys_.create(wire::Role::kViewer);
  sign_in_as(viewer_key);
  const std::string id = store_->submit(Json{
      {"action", "resource_clone"}, {"_idUser", "owner"}, {"actionDetails", {{"docker", "x:1"}}}});
  store_->set_machine("box", backend::MachineChange{}, true);
  auto box = store_->for_instance("box");
  ASSERT_EQ(box->assign_jobs(false).data.size(), 1u);
  auto ship = [&](const std::string& text) {
    ASSERT_FALSE(
        box->update_action_docker_logs(Json{{"action_record_id", id}, {"log_content", text}})
            .has_error_set());
  };
  ship("line 1\n");

  auto page = std::make_unique<RawClient>(http.port());
  ASSERT_TRUE(page->send("GET /ui/api/events?topic=action:" + id +
                         "&offset=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie_ +
                         "\r\n\r\n"));
  ASSERT_TRUE(page->read_until("retry: 2000\n\n", 5s)) << page->pending();
  EXPECT_THAT(page->pending(), HasSubstr("Content-Type: text/event-stream"));
  ASSERT_TRUE(page->read_until("\"content\":\"line 1\\n\"", 5s)) << page->pending();
  EXPECT_EQ(web_->open_streams(), 1u);
  const auto shipped = std::chrono::steady_clock::now();
  ship("line 2\n");
  ASSERT_TRUE(page->read_until("\"offset\":7,\"content\":\"line 2\\n\"", 5s)) << page->pending();
  EXPECT_LT(std::chrono::steady_clock::now() - shipped, 1s);
  EXPECT_THAT(page->pending(), HasSubstr("id: 14\n"));
  box->record_exit(id, 0);
  ASSERT_TRUE(page->read_until("event: changed", 5s)) << page->pending();

  // Another page, without a session, gets no stream.
  RawClient stranger(http.port());
  ASSERT_TRUE(stranger.send("GET /ui/api/events?topic=fleet HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  const std::optional<Reply> refused = stranger.read_reply(5s);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);

  // The page goes: its stream closes.
  page.reset();
  EXPECT_TRUE(eventually([&] { return web_->open_streams() == 0; }, 5s));
  http.stop();
}

}  // namespace
}  // namespace tavoren::testing
