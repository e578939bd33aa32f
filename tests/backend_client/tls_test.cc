// The network client over TLS: the server's certificate is checked, and
// connections are shared by concurrent callers.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/backend_client.h"
#include "tavoren/protocol.h"
#include "test_support.h"
#include "wire_server.h"

namespace tavoren::backend {
namespace {

using testing::Certificates;
using testing::kInstanceKeys;
using testing::WireServer;

class Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    ours_ = new Certificates(testing::make_certificates(dir_->path(), "ours"));
    theirs_ = new Certificates(testing::make_certificates(dir_->path(), "theirs"));
  }
  static void TearDownTestSuite() {
    delete theirs_;
    delete ours_;
    delete dir_;
  }

  static RemoteOptions options_for(const WireServer& server, const Certificates& trusted) {
    return RemoteOptions{.base_url = server.url(),
                         .session = kInstanceKeys,
                         .ca_file = trusted.ca,
                         .connect_timeout = std::chrono::milliseconds(5000),
                         .attempt_timeout = std::chrono::milliseconds(10000),
                         .retry = {.sleep = [](std::chrono::milliseconds) {}}};
  }

  static testing::TempDir* dir_;
  static Certificates* ours_;
  static Certificates* theirs_;
};

testing::TempDir* Tls::dir_ = nullptr;
Certificates* Tls::ours_ = nullptr;
Certificates* Tls::theirs_ = nullptr;

TEST_F(Tls, ACallToAServerOfTheTrustedCaIsSignedAndAnswered) {
  WireServer server(ours_);
  server.start();
  ASSERT_EQ(server.url().rfind("https://", 0), 0u);
  RemoteScaling scaling(options_for(server, *ours_));
  const Result result = scaling.get_model_codebase("llama");
  EXPECT_FALSE(result.has_error_set());
  EXPECT_EQ(result.data["arguments"], (Json{{"model_family", "llama"}}));
  ASSERT_EQ(server.seen().size(), 1u);
  EXPECT_TRUE(server.seen()[0].verification.ok());
}

TEST_F(Tls, ACertificateOfAnotherCaIsRefusedWithoutRetrying) {
  WireServer server(theirs_);
  server.start();
  RemoteScaling scaling(options_for(server, *ours_));
  try {
    scaling.assign_jobs(false);
    ADD_FAILURE() << "a certificate of another CA must be refused";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.curl_code(), CURLE_PEER_FAILED_VERIFICATION) << e.what();
    EXPECT_EQ(e.attempts(), 1);
  }
  // The request never reached the server.
  EXPECT_TRUE(server.seen().empty());

  // Nor does the system's store know the test CA.
  RemoteOptions system_store = options_for(server, *ours_);
  system_store.ca_file.reset();
  RemoteScaling default_trust(std::move(system_store));
  EXPECT_THROW(default_trust.assign_jobs(false), RemoteCallError);
  EXPECT_TRUE(server.seen().empty());
}

TEST_F(Tls, ConcurrentCallersReuseAFewConnections) {
  constexpr int kThreads = 8;
  constexpr int kCallsEach = 20;
  WireServer server(ours_);
  server.start();
  RemoteScaling scaling(options_for(server, *ours_));
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCallsEach; ++i) {
        const std::string id = "action-" + std::to_string(t) + "-" + std::to_string(i);
        const Result result = i % 2 == 0 ? scaling.get_action_details(id)
                                         : scaling.update_action_docker_logs(Json{
                                               {"action_record_id", id}, {"log_content", "x"}});
        const Json& arguments = result.data["arguments"];
        if (!result.has_error_set() && arguments.value("action_record_id", "") == id) ++answered;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), kThreads * kCallsEach);
  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kCallsEach));
  for (const WireServer::Seen& request : seen) {
    ASSERT_TRUE(request.verification.ok()) << request.verification.detail;
    for (const auto& [name, value] : request.headers) {
      ASSERT_EQ(value.find(kInstanceKeys.secret_key), std::string::npos) << name;
    }
    ASSERT_EQ(request.body.find(kInstanceKeys.secret_key), std::string::npos);
  }
  // At most one connection per caller at a time, each kept for later calls.
  EXPECT_LE(server.connections(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace tavoren::backend
