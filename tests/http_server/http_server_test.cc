#include "tavoren/http_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "server_testing.h"
#include "tavoren/common/logging.h"

namespace tavoren::http_server {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::RawClient;
using testing::since;
using testing::TestHandler;

Options plain_options() {
  Options options;
  options.plain_http = true;
  options.io_threads = 2;
  options.worker_threads = 4;
  options.server_name = "tavoren-test/1.2";
  options.drain_time = 2s;
  return options;
}

// A plain-HTTP server on loopback with the test handler.
class HttpServerTest : public ::testing::Test {
 protected:
  void start(Options options = plain_options()) {
    server_ = std::make_unique<HttpServer>(std::move(options), handler_);
    server_->start();
  }
  void TearDown() override {
    handler_.open_gate();
    if (server_) server_->stop();
  }
  int port() const { return server_->port(); }

  TestHandler handler_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpServerTest, ServesManyRequestsOnOneKeptAliveConnection) {
  start();
  RawClient client(port());
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    auto reply = client.request("POST", "/echo?n=" + std::to_string(i), "body" + std::to_string(i),
                                "X-TEST: v" + std::to_string(i) + "\r\n");
    ASSERT_TRUE(reply) << i;
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "POST /echo x-test=v" + std::to_string(i) + " body" + std::to_string(i));
    EXPECT_EQ(reply->header("server"), "tavoren-test/1.2");
    EXPECT_EQ(reply->header("content-type"), "text/plain");
    ids.insert(reply->header("x-request-id"));
  }
  EXPECT_EQ(ids.size(), 50u) << "every request has an identifier of its own";
  EXPECT_EQ(server_->stats().connections_accepted, 1u);
  // Counted once each answer is written, which the client may see first.
  EXPECT_TRUE(eventually([&] { return server_->stats().requests == 50u; }));
}

TEST_F(HttpServerTest, ConnectionCloseAndPipelinedRequestsAreHonoured) {
  start();
  {
    RawClient client(port());
    // Two requests in one write come back as two answers, in order.
    ASSERT_TRUE(
        client.send("GET /one HTTP/1.1\r\nHost: x\r\n\r\nGET /two HTTP/1.1\r\nHost: x\r\n\r\n"));
    auto first = client.read_reply();
    auto second = client.read_reply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->body, "GET /one x-test=- ");
    EXPECT_EQ(second->body, "GET /two x-test=- ");
  }
  RawClient client(port());
  auto reply = client.request("GET", "/bye", "", "Connection: close\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->header("connection"), "close");
  EXPECT_TRUE(client.closed_within(2s));
}

TEST_F(HttpServerTest, HandlerFailuresAndBadAnswersBecome500OnALiveConnection) {
  start();
  handler_.extra_headers = {{"X-Good", "yes"},
                            {"X-Bad", "a\r\nX-Injected: 1"},
                            {"Content-Length", "999"},
                            {"Server", "other"}};
  testing::RawClient client(port());
  {
    log::LogCapture capture;
    auto reply = client.request("GET", "/throw");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 500);
    EXPECT_EQ(capture.count(log::Level::error, "the handler failed"), 1u);
  }
  auto reply = client.request("GET", "/status/42");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 500) << "a status outside 200-599 is not sent";
  reply = client.request("GET", "/status/404");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 404);
  reply = client.request("GET", "/headers");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header("x-good"), "yes");
  EXPECT_EQ(reply->headers.count("x-bad"), 0u);
  EXPECT_EQ(reply->headers.count("x-injected"), 0u);
  EXPECT_EQ(reply->header("content-length"), "7");
  EXPECT_EQ(reply->header("server"), "tavoren-test/1.2");
}

TEST_F(HttpServerTest, ExpectContinueGetsTheInterimAnswer) {
  start();
  RawClient client(port());
  ASSERT_TRUE(client.send(
      "PUT /up HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
  auto interim = client.read_reply();
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  ASSERT_TRUE(client.send("hello"));
  auto reply = client.read_reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "PUT /up x-test=- hello");
}

TEST_F(HttpServerTest, ARequestRefusedFromItsHeadIsAnsweredBeforeItsBodyIsRead) {
  start();
  {
    // No interim answer: the refusal comes first, and the connection ends
    // since the body was not read.
    RawClient client(port());
    ASSERT_TRUE(
        client.send("PUT /refuse HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n"
                    "Expect: 100-continue\r\n\r\n"));
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 401);
    EXPECT_EQ(reply->body, "refused");
    EXPECT_EQ(reply->header("connection"), "close");
    EXPECT_TRUE(client.closed_within(3s));
  }
  {
    // Without a body the connection goes on.
    RawClient client(port());
    auto refused = client.request("GET", "/refuse");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    auto served = client.request("POST", "/admission", "body");
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, "/admission") << "what admit() kept reaches handle()";
  }
  {
    // A small body that came with its head: still admitted before it is
    // handled, a refusal still keeps the handler out, and the next request
    // on the connection (sent at once) is served.
    RawClient client(port());
    ASSERT_TRUE(
        client.send("POST /refuse HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
                    "POST /admission HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody"));
    auto refused = client.read_reply();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    auto served = client.read_reply();
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, "/admission");
  }
  EXPECT_EQ(handler_.admits.load(), 5);
  EXPECT_EQ(handler_.calls.load(), 2);
  ASSERT_TRUE(eventually([&] { return server_->stats().in_flight == 0; }));
}

TEST_F(HttpServerTest, AnAdmittedBodyLargerThanTheBufferBeforeAdmissionIsReadWhole) {
  start();
  RawClient client(port());
  const std::string body(3 * 1024 * 1024 + 17, 'b');
  auto reply = client.request("POST", "/big", body);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->body, "POST /big x-test=- " + body);
}

TEST_F(HttpServerTest, TheServersOwnRefusalsAreRenderedByTheOptions) {
  Options options = plain_options();
  options.limits.max_body_bytes = 100;
  options.limits.max_header_bytes = 1024;
  options.limits.max_in_flight = 1;
  options.limits.retry_after = 4s;
  options.render_refusal = [](Refusal refusal) {
    if (refusal == Refusal::kHeadersTooLarge) return Response{413, {}, "rendered headers"};
    if (refusal == Refusal::kMalformed) return Response{42, {}, "impossible status"};
    Response response = default_refusal(refusal);
    response.body = "rendered " + std::to_string(response.status);
    response.headers.emplace_back("X-Rendered", "yes");
    return response;
  };
  start(options);
  {
    RawClient client(port());
    auto reply = client.request("POST", "/x", std::string(101, 'a'));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
    EXPECT_EQ(reply->body, "rendered 413");
    EXPECT_EQ(reply->header("x-rendered"), "yes");
  }
  {
    RawClient client(port());
    auto reply = client.request("GET", "/x", "", "X-Big: " + std::string(2000, 'h') + "\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
    EXPECT_EQ(reply->body, "rendered headers");
  }
  {
    RawClient client(port());
    ASSERT_TRUE(client.send("GET /x HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n"));
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400) << "an impossible status falls back to the default";
  }
  RawClient holder(port());
  ASSERT_TRUE(holder.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(1));
  {
    RawClient client(port());
    auto reply = client.request("GET", "/x");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 429);
    EXPECT_EQ(reply->body, "rendered 429");
    EXPECT_EQ(reply->header("retry-after"), "4") << "added when the rendering has none";
  }
  server_->begin_shutdown();
  {
    RawClient client(port());
    auto reply = client.request("GET", "/x");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 503);
    EXPECT_EQ(reply->body, "rendered 503");
    EXPECT_EQ(reply->header("retry-after"), "4");
  }
  handler_.open_gate();
}

TEST_F(HttpServerTest, SizeLimitsAndMalformedRequestsAreRefused) {
  Options options = plain_options();
  options.limits.max_body_bytes = 1000;
  options.limits.max_header_bytes = 2048;
  start(options);
  {
    RawClient client(port());
    auto reply = client.request("POST", "/x", std::string(1000, 'a'));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200) << "a body at the limit passes";
  }
  {
    RawClient client(port());
    auto reply = client.request("POST", "/x", std::string(1001, 'a'));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
    EXPECT_EQ(reply->header("connection"), "close");
    EXPECT_TRUE(client.closed_within(3s));
  }
  {
    // A chunked body is counted as it arrives.
    RawClient client(port());
    ASSERT_TRUE(client.send("POST /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                            std::string("3e8\r\n") + std::string(1000, 'b') + "\r\n" +
                            "10\r\n0123456789abcdef\r\n0\r\n\r\n"));
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
  }
  {
    RawClient client(port());
    auto reply = client.request("GET", "/x", "", "X-Big: " + std::string(3000, 'h') + "\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 431);
  }
  {
    RawClient client(port());
    ASSERT_TRUE(client.send("GET /x HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n"));
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400);
  }
  EXPECT_EQ(handler_.calls.load(), 1) << "refused requests never reach the handler";
}

TEST_F(HttpServerTest, SlowAndIdleClientsAreCutWhileOthersAreServed) {
  Options options = plain_options();
  options.limits.request_time = 400ms;
  options.limits.idle_time = 300ms;
  start(options);

  RawClient idle(port());
  RawClient slow(port());
  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> slow_cut{false};
  std::thread dribble([&] {
    const std::string request = "GET /slow HTTP/1.1\r\nHost: x\r\nX-Long: aaaaaaaaaaaaaaaa\r\n\r\n";
    for (char c : request) {
      if (!slow.send(std::string(1, c))) break;
      std::this_thread::sleep_for(40ms);
    }
    slow_cut = slow.closed_within(2s);
  });
  // Meanwhile another client is answered at once, again and again.
  RawClient fast(port());
  for (int i = 0; i < 10; ++i) {
    const auto asked = std::chrono::steady_clock::now();
    auto reply = fast.request("GET", "/fast");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_LT(since(asked), 200ms);
    std::this_thread::sleep_for(20ms);
  }
  dribble.join();
  EXPECT_TRUE(slow_cut.load());
  // The whole request would take 2.3 s; it is cut at its limit.
  EXPECT_LT(since(started), 2s);
  EXPECT_TRUE(idle.closed_within(2s)) << "an idle connection is closed after its limit";
  EXPECT_EQ(handler_.calls.load(), 10);
}

TEST_F(HttpServerTest, RequestsBeyondTheInFlightLimitGet429WithoutReachingTheHandler) {
  Options options = plain_options();
  options.limits.max_in_flight = 2;
  options.limits.retry_after = 7s;
  start(options);

  RawClient first(port()), second(port()), third(port());
  ASSERT_TRUE(first.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(second.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(2));
  EXPECT_EQ(server_->stats().in_flight, 2u);

  auto refused = third.request("GET", "/other");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(refused->header("retry-after"), "7");
  EXPECT_EQ(handler_.calls.load(), 2);

  handler_.open_gate();
  for (RawClient* client : {&first, &second}) {
    auto reply = client->read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "held");
  }
  ASSERT_TRUE(eventually([&] { return server_->stats().in_flight == 0; }));
  auto again = third.request("GET", "/other");
  ASSERT_TRUE(again) << "a 429 keeps the connection open";
  EXPECT_EQ(again->status, 200);
}

TEST_F(HttpServerTest, ABlockedHandlerDoesNotStallOtherConnections) {
  Options options = plain_options();
  options.io_threads = 1;
  options.worker_threads = 2;
  start(options);
  RawClient held(port());
  ASSERT_TRUE(held.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(1));
  for (int i = 0; i < 5; ++i) {
    RawClient other(port());
    const auto asked = std::chrono::steady_clock::now();
    auto reply = other.request("GET", "/other");
    ASSERT_TRUE(reply);
    EXPECT_LT(since(asked), 500ms);
  }
  handler_.open_gate();
  EXPECT_TRUE(held.read_reply());
}

TEST_F(HttpServerTest, BeginShutdownFinishesRequestsInFlightAndRefusesNewOnes) {
  start();
  RawClient in_flight(port());
  RawClient kept(port());
  ASSERT_TRUE(kept.request("GET", "/before"));
  ASSERT_TRUE(in_flight.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(1));

  server_->begin_shutdown();
  for (RawClient* client : {&kept}) {
    auto refused = client->request("GET", "/after");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_EQ(refused->header("retry-after"), "1");
    EXPECT_EQ(refused->header("connection"), "close");
    EXPECT_TRUE(client->closed_within(2s));
  }
  RawClient late(port());
  auto refused = late.request("GET", "/after");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);

  std::thread release([&] {
    std::this_thread::sleep_for(100ms);
    handler_.open_gate();
  });
  const auto stopping = std::chrono::steady_clock::now();
  server_->stop();
  release.join();
  EXPECT_LT(since(stopping), 1500ms);
  auto reply = in_flight.read_reply(1s);
  ASSERT_TRUE(reply) << "the request in flight is answered before the server stops";
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->header("connection"), "close");
  EXPECT_EQ(handler_.calls.load(), 2);
}

TEST_F(HttpServerTest, StopClosesIdleKeptAliveConnectionsQuickly) {
  start();  // idle limit 60 s
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<RawClient>(port()));
    ASSERT_TRUE(clients.back()->request("GET", "/x"));
  }
  const auto stopping = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(since(stopping), 1s);
  for (auto& client : clients) EXPECT_TRUE(client->closed_within(1s));
  EXPECT_EQ(server_->stats().open_connections, 0u);
  server_->stop();  // again: nothing to do
}

TEST_F(HttpServerTest, AtTheConnectionLimitTheOldestIdleConnectionMakesRoomElseTheNewOneIsClosed) {
  Options options = plain_options();
  options.limits.max_connections = 3;
  start(options);
  // Two connections with a request in the handler's hands, one that has
  // sent nothing yet.
  RawClient busy_1(port()), busy_2(port()), idle(port());
  ASSERT_TRUE(busy_1.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(busy_2.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(2));
  ASSERT_TRUE(eventually([&] { return server_->stats().open_connections == 3; }));

  // The idle connection is closed for the new one, which is served.
  RawClient extra(port());
  EXPECT_TRUE(idle.closed_within(2s));
  EXPECT_EQ(server_->stats().connections_evicted, 1u);
  ASSERT_TRUE(extra.send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(handler_.wait_holding(3));

  // With none idle, a new connection is closed at once.
  // (The idle connection closed above, whose close may still be under way
  // on the server, is not evicted a second time in its place.)
  RawClient refused(port());
  EXPECT_TRUE(refused.closed_within(2s));
  EXPECT_EQ(server_->stats().connections_refused, 1u);
  EXPECT_EQ(server_->stats().connections_evicted, 1u);
  handler_.open_gate();
  for (RawClient* client : {&busy_1, &busy_2, &extra}) {
    auto reply = client->read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "held");
  }
}

// A streamed answer: its head at once, then each piece as it is sent,
// holding no place in flight; it ends when the handler closes it, when the
// client leaves, or when the server stops.
TEST_F(HttpServerTest, AStreamedAnswerGoesOnPieceByPieceUntilEitherSideEndsIt) {
  Options options = plain_options();
  options.limits.max_in_flight = 1;
  start(options);
  RawClient watcher(port());
  ASSERT_TRUE(watcher.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_TRUE(watcher.read_until("\r\n\r\n", 5s));
  const std::string head = watcher.pending();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Type: text/event-stream\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  std::shared_ptr<BodyStream> stream = handler_.stream(0);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(stream->send("data: one\n\n"));
  ASSERT_TRUE(watcher.read_until("data: one\n\n", 5s));

  // The open stream holds no place in flight: another request is served.
  RawClient other(port());
  auto reply = other.request("GET", "/plain");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  // Its place is given back once the server saw its answer written, which
  // may come after the client read it; with one place, the next stream
  // would be refused as busy.
  ASSERT_TRUE(eventually([&] { return server_->stats().in_flight == 0; }));

  // Closed by the handler: what was sent before is written, then the end.
  ASSERT_TRUE(stream->send("data: two\n\n"));
  stream->close();
  EXPECT_FALSE(stream->send("data: three\n\n"));
  ASSERT_TRUE(watcher.read_until("data: two\n\n", 5s));
  EXPECT_TRUE(watcher.closed_within(5s));

  // Ended by the client: the stream learns it, and refuses more.
  {
    RawClient leaving(port());
    ASSERT_TRUE(leaving.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(leaving.read_until("\r\n\r\n", 5s));
  }
  std::shared_ptr<BodyStream> left = handler_.stream(1);
  ASSERT_TRUE(left);
  EXPECT_TRUE(eventually([&] { return left->closed(); }));
  EXPECT_FALSE(left->send("data: nobody\n\n"));

  // Ended by the server: stop() does not wait for an open stream.
  RawClient last(port());
  ASSERT_TRUE(last.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_TRUE(last.read_until("\r\n\r\n", 5s));
  std::shared_ptr<BodyStream> open = handler_.stream(2);
  ASSERT_TRUE(open);
  const auto stopping = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(since(stopping), 2s);
  EXPECT_TRUE(open->closed());
  EXPECT_TRUE(last.closed_within(2s));
}

// A stream fed faster than its client reads is cut, not grown without end.
TEST(BodyStreamTest, AQueuePastItsBoundClosesTheStream) {
  BodyStream stream(16);
  int wakes = 0;
  stream.attach([&] { ++wakes; });
  EXPECT_TRUE(stream.send("0123456789"));
  EXPECT_EQ(stream.take(), std::make_pair(std::string("0123456789"), false));
  EXPECT_TRUE(stream.send("0123456789"));
  EXPECT_FALSE(stream.send("0123456789")) << "26 bytes would wait";
  EXPECT_TRUE(stream.closed());
  EXPECT_EQ(stream.take(), std::make_pair(std::string(), true)) << "a cut stream writes no more";
  EXPECT_GE(wakes, 3);
}

TEST(HttpServerDescriptorsTest, TheConnectionLimitLeavesTheReserveFree) {
  EXPECT_EQ(connections_within(65536, 20000, 128), 20000u);
  EXPECT_EQ(connections_within(1024, 20000, 128), 896u);
  EXPECT_EQ(connections_within(256, 20000, 128), 128u);
  EXPECT_EQ(connections_within(100, 20000, 128), 1u);
  const std::uint64_t soft = raise_descriptor_limit();
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(soft, limit.rlim_cur);
  if (limit.rlim_max != RLIM_INFINITY) {
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
  }
}

TEST_F(HttpServerTest, AccessLogHasOneLinePerRequestAndNoSecrets) {
  start();
  log::LogCapture capture;
  RawClient client(port());
  auto reply = client.request("POST", "/v1/op?token=query-secret", "body-secret",
                              "Authorization: header-secret\r\n");
  ASSERT_TRUE(reply);
  const std::string id = reply->header("x-request-id");
  ASSERT_TRUE(eventually([&] { return capture.count(log::Level::info, id) == 1; }));
  std::string line;
  for (const auto& l : capture.lines()) {
    if (l.message.find(id) != std::string::npos) line = l.message;
  }
  EXPECT_EQ(line.rfind("POST /v1/op 200 " + std::to_string(reply->body.size()) + "B ", 0), 0u)
      << line;
  EXPECT_NE(line.find("peer=127.0.0.1:"), std::string::npos) << line;
  for (const auto& l : capture.lines()) {
    for (const char* secret : {"query-secret", "body-secret", "header-secret"}) {
      EXPECT_EQ(l.message.find(secret), std::string::npos) << l.message;
    }
  }
}

TEST_F(HttpServerTest, AccessLogHookReceivesEveryAnsweredRequest) {
  std::mutex mutex;
  std::vector<AccessLogEntry> entries;
  Options options = plain_options();
  options.access_log = [&](const AccessLogEntry& entry) {
    std::lock_guard lock(mutex);
    entries.push_back(entry);
  };
  options.limits.max_body_bytes = 10;
  start(options);
  RawClient client(port());
  ASSERT_TRUE(client.request("GET", "/a?q=1"));
  RawClient big(port());
  ASSERT_TRUE(big.request("PUT", "/b", std::string(11, 'x')));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return entries.size() == 2;
  }));
  std::lock_guard lock(mutex);
  // Each entry is written once its answer went out, so the two may come in
  // either order.
  std::sort(entries.begin(), entries.end(),
            [](const AccessLogEntry& a, const AccessLogEntry& b) { return a.method < b.method; });
  EXPECT_EQ(entries[0].method, "GET");
  EXPECT_EQ(entries[0].path, "/a");
  EXPECT_EQ(entries[0].status, 200);
  EXPECT_EQ(entries[0].body_bytes, std::string("GET /a x-test=- ").size());
  EXPECT_EQ(entries[1].method, "PUT");
  EXPECT_EQ(entries[1].path, "/b");
  EXPECT_EQ(entries[1].status, 413);
  EXPECT_NE(entries[0].request_id, entries[1].request_id);
  EXPECT_EQ(access_log_line(AccessLogEntry{"GET", "/p", 204, 0, 2500us, "1.2.3.4:5", "id-1"}),
            "GET /p 204 0B 2.5ms peer=1.2.3.4:5 id=id-1");
}

TEST(HttpServerOptionsTest, InconsistentOptionsAreRefused) {
  TestHandler handler;
  EXPECT_THROW(HttpServer(Options{}, handler), std::invalid_argument)
      << "TLS without certificate files";
  Options plain = plain_options();
  plain.certificate_chain_file = "/nonexistent/chain.pem";
  EXPECT_THROW(HttpServer(plain, handler), std::invalid_argument);
  Options missing;
  missing.certificate_chain_file = "/nonexistent/chain.pem";
  missing.private_key_file = "/nonexistent/key.pem";
  try {
    HttpServer server(missing, handler);
    FAIL() << "a missing certificate file is an error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/chain.pem"), std::string::npos);
  }
  Options taken = plain_options();
  HttpServer first(taken, handler);
  first.start();
  taken.port = first.port();
  HttpServer second(taken, handler);
  EXPECT_THROW(second.start(), std::runtime_error) << "the port is taken";
}

}  // namespace
}  // namespace tavoren::http_server
