// The server over TLS, and many connections on a few threads.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "raw_client.h"
#include "server_testing.h"
#include "tavoren/http_server.h"
#include "test_tls.h"

namespace tavoren::http_server {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::RawClient;
using testing::since;
using testing::TestHandler;

class HttpsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.certificate_chain_file = tls_.server_chain_file();
    options.private_key_file = tls_.server_key_file();
    options.io_threads = 2;
    options.worker_threads = 2;
    options.limits.handshake_time = 300ms;
    server_ = std::make_unique<HttpServer>(options, handler_);
    server_->start();
  }
  void TearDown() override { server_->stop(); }

  testing::TestTls tls_;
  TestHandler handler_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpsServerTest, ClientTrustingTheCaIsServedOverOneConnection) {
  RawClient client(server_->port(), tls_.ca_file());
  for (int i = 0; i < 5; ++i) {
    auto reply = client.request("POST", "/tls", "b" + std::to_string(i));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "POST /tls x-test=- b" + std::to_string(i));
  }
  EXPECT_EQ(server_->stats().connections_accepted, 1u);
  auto bye = client.request("GET", "/bye", "", "Connection: close\r\n");
  ASSERT_TRUE(bye);
  EXPECT_TRUE(client.closed_within(3s)) << "closed after the TLS close notification";
}

// A streamed answer over TLS: its pieces as they are sent, while the
// connection's read waits for the client; closed by the handler, the
// connection ends.
TEST_F(HttpsServerTest, AStreamedAnswerGoesOverTlsPieceByPiece) {
  RawClient client(server_->port(), tls_.ca_file());
  ASSERT_TRUE(client.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_TRUE(client.read_until("\r\n\r\n", 5s));
  std::shared_ptr<BodyStream> stream = handler_.stream(0);
  ASSERT_TRUE(stream);
  for (int i = 0; i < 20; ++i) {
    const std::string piece = "data: " + std::to_string(i) + "\n\n";
    ASSERT_TRUE(stream->send(piece));
    ASSERT_TRUE(client.read_until(piece, 5s)) << i;
  }
  stream->close();
  EXPECT_TRUE(client.closed_within(3s));
}

TEST_F(HttpsServerTest, ClientTrustingAnotherCaRefusesTheServer) {
  EXPECT_THROW(RawClient(server_->port(), tls_.other_ca_file()), std::runtime_error);
  RawClient good(server_->port(), tls_.ca_file());
  EXPECT_TRUE(good.request("GET", "/after"));
}

// TLS 1.3 when the client has it; TLS 1.2 only with forward-secret AEAD
// suites: no RSA key exchange, no CBC, no SHA-1.
TEST_F(HttpsServerTest, OnlyForwardSecretAeadSuitesAreAgreedOn) {
  EXPECT_EQ(RawClient(server_->port(), tls_.ca_file()).tls_version(), "TLSv1.3");
  const auto tls12 = [&](const std::string& suites) {
    return RawClient(server_->port(), tls_.ca_file(), testing::TlsOffer{TLS1_2_VERSION, suites});
  };
  for (const char* refused : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA384",
                              "ECDHE-ECDSA-AES128-SHA256", "AES128-GCM-SHA256"}) {
    EXPECT_THROW(tls12(refused), std::runtime_error) << refused;
  }
  const RawClient agreed = tls12("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-GCM-SHA384");
  EXPECT_EQ(agreed.tls_version(), "TLSv1.2");
  EXPECT_EQ(agreed.tls_suite(), "ECDHE-ECDSA-AES256-GCM-SHA384");
}

TEST_F(HttpsServerTest, PlainHttpOnTheTlsPortFailsCleanly) {
  RawClient plain(server_->port());
  ASSERT_TRUE(plain.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(plain.closed_within(2s));
  EXPECT_EQ(plain.pending().find("HTTP/1.1"), std::string::npos);
  EXPECT_EQ(handler_.calls.load(), 0);
  RawClient good(server_->port(), tls_.ca_file());
  EXPECT_TRUE(good.request("GET", "/after")) << "the server goes on serving";
}

TEST_F(HttpsServerTest, SilentClientIsCutAtTheHandshakeLimit) {
  RawClient silent(server_->port());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.closed_within(3s));
  EXPECT_GE(since(started), 250ms);
  EXPECT_LT(since(started), 2s);
  EXPECT_TRUE(eventually([&] { return server_->stats().open_connections == 0; }));
}

TEST(HttpsServerOptionsTest, KeyThatDoesNotMatchTheCertificateIsRefused) {
  testing::TestTls tls;
  TestHandler handler;
  Options options;
  options.certificate_chain_file = tls.server_chain_file();
  options.private_key_file = tls.other_server_key_file();
  EXPECT_THROW(HttpServer(options, handler), std::runtime_error);
}

std::size_t thread_count() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

std::size_t resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

// Opens `count` connections to `server` (over TLS with `ca`), each served
// one request and left idle: the number of threads must not change, and
// every connection is served again afterwards.
void hold_idle_connections(HttpServer& server, int count,
                           const std::optional<std::filesystem::path>& ca, const char* kind) {
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlim_t needed = static_cast<rlim_t>(2 * count + 100);
  if (files.rlim_cur < needed) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, needed);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < needed) GTEST_SKIP() << "too few descriptors allowed";

  std::vector<std::unique_ptr<RawClient>> clients;
  clients.push_back(std::make_unique<RawClient>(server.port(), ca));
  ASSERT_TRUE(clients.back()->request("GET", "/first"));
  const std::size_t threads_with_one = thread_count();
  const std::size_t memory_with_one = resident_kib();

  for (int i = 1; i < count; ++i) {
    clients.push_back(std::make_unique<RawClient>(server.port(), ca));
    ASSERT_TRUE(clients.back()->send("GET /x HTTP/1.1\r\nHost: x\r\n\r\n")) << i;
  }
  for (std::size_t i = 1; i < clients.size(); ++i) {
    auto reply = clients[i]->read_reply();
    ASSERT_TRUE(reply) << i;
    ASSERT_EQ(reply->status, 200);
  }
  EXPECT_EQ(server.stats().open_connections, static_cast<std::size_t>(count));
  EXPECT_EQ(thread_count(), threads_with_one) << "no thread per connection";
  std::cout << "[ figures  ] " << count << " idle " << kind << " connections: " << thread_count()
            << " threads in the process, about "
            << (resident_kib() - memory_with_one) * 1024 / static_cast<std::size_t>(count)
            << " bytes each (both ends, the test's client included)\n";

  for (auto& client : clients) ASSERT_TRUE(client->request("GET", "/again"));
  const auto stopping = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(since(stopping), 2s);
  EXPECT_TRUE(clients.back()->closed_within(1s));
}

TEST(HttpServerScaleTest, ThousandIdleConnectionsHeldWithAFixedSetOfThreads) {
  TestHandler handler;
  Options options;
  options.plain_http = true;
  options.io_threads = 2;
  options.worker_threads = 2;
  // Every connection's first request is sent before any answer is read:
  // all of them may be in flight at once, which is not what this measures.
  options.limits.max_in_flight = 2000;
  HttpServer server(options, handler);
  server.start();
  hold_idle_connections(server, 1000, std::nullopt, "plain");
}

TEST(HttpServerScaleTest, IdleTlsConnectionsHeldWithAFixedSetOfThreads) {
  testing::TestTls tls;
  TestHandler handler;
  Options options;
  options.certificate_chain_file = tls.server_chain_file();
  options.private_key_file = tls.server_key_file();
  options.io_threads = 2;
  options.worker_threads = 2;
  options.limits.max_in_flight = 2000;
  HttpServer server(options, handler);
  server.start();
  hold_idle_connections(server, 200, tls.ca_file(), "TLS");
}

}  // namespace
}  // namespace tavoren::http_server
