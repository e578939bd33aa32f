#include "fault_proxy.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>

#include "raw_client.h"
#include "test_support.h"
#include "waiting.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;

// A loopback HTTP server behind the proxy. /big answers 10,000 bytes.
class FaultProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_.server().Get("/small", [this](const httplib::Request&, httplib::Response& response) {
      served_.fetch_add(1);
      response.set_content("small answer", "text/plain");
    });
    target_.server().Get("/big", [this](const httplib::Request&, httplib::Response& response) {
      served_.fetch_add(1);
      response.set_content(std::string(10000, 'z'), "text/plain");
    });
    target_.start();
    proxy_ = std::make_unique<FaultProxy>(target_.port());
  }

  LoopbackServer target_;
  std::atomic<int> served_{0};
  std::unique_ptr<FaultProxy> proxy_;
};

TEST_F(FaultProxyTest, PassesRequestsAndCountsConnections) {
  RawClient client(proxy_->port());
  for (int i = 0; i < 3; ++i) {
    auto reply = client.request("GET", "/small");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "small answer");
  }
  auto big = client.request("GET", "/big");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->body.size(), 10000u);
  RawClient second(proxy_->port());
  EXPECT_TRUE(second.request("GET", "/small"));
  EXPECT_EQ(proxy_->accepted(), 2u);
  EXPECT_EQ(proxy_->open(), 2u);
}

TEST_F(FaultProxyTest, DelayHoldsEveryChunkThenPassGoesBackToFast) {
  RawClient client(proxy_->port());
  proxy_->delay(150ms);
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.request("GET", "/small"));
  EXPECT_GE(since(started), 300ms) << "the request and its answer are each held";
  proxy_->pass();
  started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.request("GET", "/small"));
  EXPECT_LT(since(started), 150ms);
}

TEST_F(FaultProxyTest, DropClosesNewConnectionsButLetsOpenOnesGoOn) {
  RawClient open(proxy_->port());
  ASSERT_TRUE(open.request("GET", "/small"));
  proxy_->drop();
  RawClient dropped(proxy_->port());
  EXPECT_TRUE(dropped.closed_within(1s));
  EXPECT_TRUE(dropped.pending().empty());
  EXPECT_TRUE(open.request("GET", "/small"));
  EXPECT_EQ(proxy_->accepted(), 2u);
  EXPECT_EQ(served_.load(), 2);
}

TEST_F(FaultProxyTest, ResetAfterCutsTheAnswerWithATcpReset) {
  RawClient client(proxy_->port());
  ASSERT_TRUE(client.request("GET", "/small")) << "before the fault";
  proxy_->reset_after(100);
  ASSERT_TRUE(client.send("GET /big HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_FALSE(client.read_reply(2s));
  EXPECT_EQ(client.pending().size(), 100u) << "exactly the allowed bytes arrive";
  EXPECT_TRUE(client.saw_reset());
  EXPECT_TRUE(eventually([&] { return proxy_->open() == 0; }));
}

TEST_F(FaultProxyTest, BlackHoleAcceptsButNeverAnswers) {
  proxy_->black_hole();
  RawClient client(proxy_->port());
  ASSERT_TRUE(client.send("GET /small HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_FALSE(client.closed_within(300ms)) << "held open, silent";
  EXPECT_TRUE(client.pending().empty());
  EXPECT_EQ(served_.load(), 0);
  EXPECT_EQ(proxy_->accepted(), 1u);
  proxy_->pass();
  RawClient later(proxy_->port());
  EXPECT_TRUE(later.request("GET", "/small"));
}

TEST_F(FaultProxyTest, ResetOpenConnectionsAndStopAreQuick) {
  RawClient a(proxy_->port()), b(proxy_->port());
  ASSERT_TRUE(a.request("GET", "/small"));
  ASSERT_TRUE(b.request("GET", "/small"));
  proxy_->reset_open_connections();
  EXPECT_TRUE(a.closed_within(1s));
  EXPECT_TRUE(a.saw_reset());
  RawClient c(proxy_->port());
  ASSERT_TRUE(c.request("GET", "/small")) << "new connections are not affected";
  proxy_->delay(10s);
  ASSERT_TRUE(c.send("GET /small HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::this_thread::sleep_for(50ms);
  const auto stopping = std::chrono::steady_clock::now();
  proxy_.reset();  // with one connection in a long delay
  EXPECT_LT(since(stopping), 1s);
  EXPECT_TRUE(c.closed_within(1s));
}

}  // namespace
}  // namespace tavoren::testing
