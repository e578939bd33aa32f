// What the server decides from a request's headers, before its body: the
// caller is known first, unknown and wrong keys are refused alike (and
// their lines rate-limited), and every refusal, the HTTP server's own
// included, is in the protocol's form.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server_testing.h"
#include "tavoren/common/sealing.h"
#include "tavoren/store_rules.h"

namespace tavoren::server_testing {
namespace {

using namespace std::chrono_literals;

// The resident memory of this process (the server's and the clients').
std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0;
  std::size_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void expect_protocol_failure(const http_server::Response& response, int status,
                             std::string_view error, const std::string& why) {
  EXPECT_EQ(response.status, status) << why;
  const auto failure = wire::read_failure(response.body);
  ASSERT_TRUE(failure.has_value()) << why << ": " << response.body;
  EXPECT_EQ(failure->error, error) << why;
  EXPECT_FALSE(failure->message.empty()) << why;
  bool has_protocol_header = false;
  for (const auto& [name, value] : response.headers) {
    if (name == wire::kProtocolHeader && value == wire::kProtocolVersion)
      has_protocol_header = true;
  }
  EXPECT_TRUE(has_protocol_header) << why;
}

void expect_protocol_failure(const std::optional<testing::Reply>& reply, int status,
                             std::string_view error, const std::string& why) {
  ASSERT_TRUE(reply.has_value()) << why;
  EXPECT_EQ(reply->status, status) << why;
  const auto failure = wire::read_failure(reply->body);
  ASSERT_TRUE(failure.has_value()) << why << ": " << reply->body;
  EXPECT_EQ(failure->error, error) << why;
  EXPECT_EQ(reply->header("x-tavoren-protocol"), "v1") << why;
  EXPECT_EQ(reply->header("content-type"), "application/json") << why;
}

class AdmissionTest : public ServerTest {
 protected:
  // The head of an unsigned request announcing a body of `length` bytes.
  static std::string unsigned_head(std::size_t length, const std::string& extra = "") {
    return "POST " + wire::path_of("update_action_docker_logs") +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(length) + "\r\n" + extra + "\r\n";
  }
};

TEST_F(AdmissionTest, UnsignedUploadsAreRefusedBeforeTheirBodiesAreHeld) {
  constexpr int kUploads = 8;
  constexpr std::size_t kAnnounced = 15 * 1024 * 1024;
  // Each client sends all but the last MiB: a server that reads bodies
  // before it knows the caller holds them all, waiting for the rest.
  const std::string body(kAnnounced - 1024 * 1024, 'x');
  // A write over TLS to a server that closed raises SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  const std::size_t before = resident_bytes();

  std::vector<std::unique_ptr<testing::RawClient>> clients;
  for (int i = 0; i < kUploads; ++i) {
    clients.push_back(std::make_unique<testing::RawClient>(server_.port(), tls_.ca_file()));
  }
  std::vector<std::optional<testing::Reply>> replies(kUploads);
  std::vector<std::thread> uploads;
  for (int i = 0; i < kUploads; ++i) {
    uploads.emplace_back([&, i] {
      testing::RawClient& client = *clients[static_cast<std::size_t>(i)];
      if (!client.send(unsigned_head(kAnnounced))) return;
      // The refusal comes without the body.
      replies[static_cast<std::size_t>(i)] = client.read_reply(5s);
      client.send(body);  // the server may have gone: either is fine
    });
  }
  for (std::thread& upload : uploads) upload.join();
  const std::size_t during = resident_bytes();

  for (const auto& reply : replies) {
    expect_protocol_failure(reply, 401, wire::failure::kNotAuthenticated, "an unsigned upload");
  }
  // 8 bodies of 14 MiB would be 112 MiB.
  EXPECT_LT(during, before + 32 * 1024 * 1024)
      << "resident memory went from " << before << " to " << during << " bytes";
}

TEST_F(AdmissionTest, AnUnsignedRequestExpectingToContinueIsRefusedWithoutTheInterimAnswer) {
  testing::RawClient client(server_.port(), tls_.ca_file());
  ASSERT_TRUE(client.send(unsigned_head(1000, "Expect: 100-continue\r\n")));
  const auto reply = client.read_reply(5s);
  expect_protocol_failure(reply, 401, wire::failure::kNotAuthenticated, "no signature");
  EXPECT_EQ(reply->header("connection"), "close");

  // A signed one is told to go on, and its body is checked against the
  // signed hash once it has come.
  const std::string path = wire::path_of("get_downscaled_ids");
  const std::string body = "{}";
  testing::RawClient signed_client(server_.port(), tls_.ca_file());
  ASSERT_TRUE(signed_client.send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                 header_text(signed_headers(path, body, instance_a_)) +
                                 "Content-Length: 2\r\nExpect: 100-continue\r\n\r\n"));
  const auto interim = signed_client.read_reply(5s);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  ASSERT_TRUE(signed_client.send("{ "));  // not the signed body
  expect_protocol_failure(signed_client.read_reply(5s), 401, wire::failure::kNotAuthenticated,
                          "a body other than the signed one");
}

TEST_F(AdmissionTest, UnknownAndWrongKeysGetTheSameAnswerAndOneLinePerPeriod) {
  const std::string path = wire::path_of("get_downscaled_ids");
  const std::string body = "{}";
  const auto unknown =
      send(path, body, signed_headers(path, body, Session{"TKNOSUCHKEY", instance_a_.secret_key}));
  const auto wrong =
      send(path, body, signed_headers(path, body, Session{instance_a_.access_key, "guessed"}));
  ASSERT_TRUE(unknown && wrong);
  EXPECT_EQ(unknown->status, 401);
  EXPECT_EQ(unknown->status, wrong->status);
  EXPECT_EQ(unknown->body, wrong->body);

  // A flood of one unknown key: one line within the period.
  for (int i = 0; i < 20; ++i) {
    const auto again =
        send(path, body, signed_headers(path, body, Session{"TKFLOOD", instance_a_.secret_key}));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, unknown->body);
  }
  std::size_t flood_lines = 0;
  for (const std::string& line : refusal_lines()) {
    EXPECT_EQ(line.find(instance_a_.secret_key), std::string::npos) << line;
    if (line.find("unknown_key") != std::string::npos) ++flood_lines;
  }
  EXPECT_EQ(flood_lines, 2u) << "one for TKNOSUCHKEY, one for TKFLOOD";
}

TEST_F(AdmissionTest, AnUnknownKeyIsRememberedForTheCacheTime) {
  const std::string later = "TKADDEDLATER";
  EXPECT_FALSE(keys_.lookup(later).has_value());
  backend::AccessKeyRecord record;
  record.access_key = later;
  record.sealed_secret = testing::test_keyring()->seal(
      "a-secret", sealing::Purpose::kAccessKeys, backend::store_rules::access_key_binding(later));
  record.role = "operator";
  store_.add_access_key(record);
  // Without a database read: still unknown until the cache time (200 ms)
  // has passed.
  EXPECT_FALSE(keys_.lookup(later).has_value());
  std::this_thread::sleep_for(250ms);
  const auto found = keys_.lookup(later);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->secret_key, "a-secret");
}

TEST_F(AdmissionTest, TheServersOwnRefusalsAreInTheProtocolsForm) {
  {
    testing::RawClient client(server_.port(), tls_.ca_file());
    ASSERT_TRUE(client.send(unsigned_head(64 * 1024 * 1024)));
    expect_protocol_failure(client.read_reply(5s), 413, wire::failure::kTooLarge, "a body");
  }
  {
    testing::RawClient client(server_.port(), tls_.ca_file());
    expect_protocol_failure(client.request("POST", wire::path_of("get_downscaled_ids"), "{}",
                                           "X-Padding: " + std::string(40 * 1024, 'p') + "\r\n"),
                            413, wire::failure::kTooLarge, "headers");
  }
  {
    testing::RawClient client(server_.port(), tls_.ca_file());
    ASSERT_TRUE(client.send("POST /v1/x HTTP/1.1\r\nHost: x\r\nNot A Header\r\n\r\n"));
    expect_protocol_failure(client.read_reply(5s), 400, wire::failure::kMalformed, "malformed");
  }
  // The busy and stopping answers, as the HTTP server is given them.
  using http_server::Refusal;
  const struct {
    Refusal refusal;
    int status;
    std::string_view error;
  } cases[] = {{Refusal::kMalformed, 400, wire::failure::kMalformed},
               {Refusal::kHeadersTooLarge, 413, wire::failure::kTooLarge},
               {Refusal::kBodyTooLarge, 413, wire::failure::kTooLarge},
               {Refusal::kBusy, 429, wire::failure::kBusy},
               {Refusal::kShuttingDown, 503, wire::failure::kUnavailable},
               {Refusal::kInternal, 500, wire::failure::kInternalError}};
  for (const auto& c : cases) {
    const http_server::Response response = server::render_refusal(c.refusal);
    expect_protocol_failure(response, c.status, c.error, std::to_string(c.status));
    bool retry_after = false;
    for (const auto& [name, value] : response.headers) retry_after |= name == "Retry-After";
    EXPECT_EQ(retry_after, c.status == 429 || c.status == 503) << c.status;
  }
}

TEST_F(AdmissionTest, AnEmbeddedStoreKeepsNoncesOnlyWhenAskedAndSweepsExpiredOnes) {
  // One server per SQLite store: its nonces stay in the server's memory.
  EXPECT_FALSE(store_.shares_nonces());
  const std::int64_t later = 4'000'000'000;
  EXPECT_TRUE(store_.remember_nonce("TKNEW", "n1", later));
  EXPECT_FALSE(store_.remember_nonce("TKNEW", "n1", later));
  EXPECT_TRUE(store_.remember_nonce("TKNEW", "n2", later));
  // An expired nonce is swept before the next is remembered.
  EXPECT_TRUE(store_.remember_nonce("TKOLD", "n1", 1));
  EXPECT_TRUE(store_.remember_nonce("TKOLD", "n1", 1));
}

TEST(RateLimitedLogTest, OneLinePerSubjectAndPeriodNamingTheOnesLeftOut) {
  std::vector<std::string> lines;
  server::RateLimitedLog log(10s, [&](const std::string& line) { lines.push_back(line); });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) log.write("a", "refused a", start + std::chrono::seconds(i));
  log.write("b", "refused b", start + 1s);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "refused a");
  EXPECT_EQ(lines[1], "refused b");
  log.write("a", "refused a", start + 10s);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "refused a (4 more like it since the last line)");
  log.write("a", "refused a", start + 21s);
  EXPECT_EQ(lines.back(), "refused a");
  // Many subjects at once stay bounded: the ones beyond share one line.
  lines.clear();
  for (int i = 0; i < 10000; ++i) log.write("s" + std::to_string(i), "x", start + 30s);
  EXPECT_LE(lines.size(), 4097u);
  EXPECT_GE(lines.size(), 4000u);
}

}  // namespace
}  // namespace tavoren::server_testing
