#include "tavoren/common/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>

#include "test_support.h"

namespace tavoren::http {
namespace {

using std::chrono::milliseconds;
using tavoren::testing::LoopbackServer;
using tavoren::testing::SilentListener;

// A loopback port on which nothing listens: the socket holding it is bound
// but never listens, so connections are refused and no other process can
// take the port meanwhile.
class RefusedPort {
 public:
  RefusedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot reserve a loopback port");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~RefusedPort() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

class HttpGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get("/text", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      last_flavor_ = req.get_header_value("Metadata-Flavor");
      last_extra_ = req.get_header_value("X-Extra");
      res.set_content("hello\n", "text/plain");
    });
    server_.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/text");
      res.body = "see elsewhere";
    });
    server_.server().set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      res.set_content("no such page: " + req.path, "text/plain");
    });
    server_.start();
  }

  LoopbackServer server_;
  std::mutex mutex_;
  std::string last_flavor_;
  std::string last_extra_;
};

TEST_F(HttpGetTest, AnswersOfEveryStatusAreResponsesWithTheirBodies) {
  Response ok = get({.url = server_.url() + "/text"});
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "hello\n");

  Response missing = get({.url = server_.url() + "/absent"});
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "no such page: /absent");
}

TEST_F(HttpGetTest, SendsTheGivenHeaderLines) {
  get({.url = server_.url() + "/text", .headers = {"Metadata-Flavor: Google", "X-Extra: a b"}});
  std::lock_guard lock(mutex_);
  EXPECT_EQ(last_flavor_, "Google");
  EXPECT_EQ(last_extra_, "a b");
}

TEST_F(HttpGetTest, DoesNotFollowRedirects) {
  Response moved = get({.url = server_.url() + "/moved"});
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.body, "see elsewhere");
}

// Runs `request` and returns the TransportError it must throw, failing the
// test when it returns or takes longer than `within`.
TransportError expect_transport_error(const Request& request, milliseconds within) {
  const auto start = std::chrono::steady_clock::now();
  try {
    get(request);
  } catch (const TransportError& error) {
    EXPECT_LT(std::chrono::steady_clock::now() - start, within);
    return error;
  }
  ADD_FAILURE() << "no TransportError for " << request.url;
  return TransportError(request.url, -1, "none");
}

TEST(HttpGetFailureTest, RefusedConnectionIsATransportError) {
  RefusedPort refused;
  const std::string url = "http://127.0.0.1:" + std::to_string(refused.port()) + "/x";
  TransportError error =
      expect_transport_error({.url = url, .timeout = milliseconds(2000)}, milliseconds(1000));
  EXPECT_EQ(error.curl_code(), CURLE_COULDNT_CONNECT);
  EXPECT_NE(std::string(error.what()).find(url), std::string::npos) << error.what();
}

TEST(HttpGetFailureTest, ServerThatNeverAnswersEndsAtTheTimeLimit) {
  SilentListener silent;
  const std::string url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/x";
  const auto start = std::chrono::steady_clock::now();
  TransportError error =
      expect_transport_error({.url = url, .timeout = milliseconds(150)}, milliseconds(1000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
  EXPECT_EQ(error.curl_code(), CURLE_OPERATION_TIMEDOUT);
}

TEST(HttpGetFailureTest, OnlyHttpAndHttpsUrlsAreFetched) {
  tavoren::testing::TempDir dir;
  const auto file = dir.write("local.txt", "private");
  TransportError error = expect_transport_error(
      {.url = "file://" + file.string(), .timeout = milliseconds(1000)}, milliseconds(1000));
  EXPECT_EQ(error.curl_code(), CURLE_UNSUPPORTED_PROTOCOL);
}

}  // namespace
}  // namespace tavoren::http
