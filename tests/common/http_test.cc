#include "tavoren/common/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

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

namespace tavoren::http {
namespace {

using std::chrono::milliseconds;
using tavoren::testing::LoopbackServer;
using tavoren::testing::read_file;
using tavoren::testing::TempDir;

// Entries of `dir` other than `keep`: leftovers of a download.
std::vector<std::string> other_entries(const std::filesystem::path& dir, const std::string& keep) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename() != keep) names.push_back(entry.path().filename().string());
  }
  return names;
}

class HttpDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& http = server_.server();
    http.Get("/body", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(100, 'b'), "application/octet-stream");
    });
    // No Content-Length: the size is known only by counting.
    http.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/octet-stream",
                                       [](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 100) {
                                           sink.done();
                                         } else {
                                           sink.write(std::string(10, 'c').data(), 10);
                                         }
                                         return true;
                                       });
    });
    http.Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      const int hop = std::stoi(req.matches[1]);
      if (hop == 0) {
        res.set_content("arrived", "text/plain");
      } else {
        res.set_redirect("/hop/" + std::to_string(hop - 1));
      }
    });
    http.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.matches[1]);
      res.set_content("error page", "text/html");
    });
    server_.start();
  }

  std::filesystem::path target() const { return dir_.path() / "out.bin"; }

  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(HttpDownloadTest, StoresTheBodyAndReplacesAnExistingFile) {
  dir_.write("out.bin", "old content");
  EXPECT_EQ(download_to_file({.url = server_.url() + "/body"}, target()), 100u);
  EXPECT_EQ(read_file(target()), std::string(100, 'b'));
  EXPECT_EQ(std::filesystem::status(target()).permissions(),
            static_cast<std::filesystem::perms>(0644));
  EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
}

TEST_F(HttpDownloadTest, FollowsUpToTheRedirectLimit) {
  EXPECT_EQ(download_to_file({.url = server_.url() + "/hop/5", .max_redirects = 5}, target()), 7u);
  EXPECT_EQ(read_file(target()), "arrived");
  std::filesystem::remove(target());
  try {
    download_to_file({.url = server_.url() + "/hop/6", .max_redirects = 5}, target());
    FAIL() << "no exception";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.curl_code(), CURLE_TOO_MANY_REDIRECTS);
  }
  EXPECT_FALSE(std::filesystem::exists(target()));
}

TEST_F(HttpDownloadTest, ErrorStatusFailsAndStoresNothing) {
  dir_.write("out.bin", "previous");
  for (int status : {404, 500, 403}) {
    try {
      download_to_file({.url = server_.url() + "/status/" + std::to_string(status)}, target());
      FAIL() << "no exception for " << status;
    } catch (const StatusError& error) {
      EXPECT_EQ(error.status(), status);
      EXPECT_EQ(std::string(error.what()), "GET " + server_.url() + "/status/" +
                                               std::to_string(status) + " failed: HTTP status " +
                                               std::to_string(status));
    }
    EXPECT_EQ(read_file(target()), "previous");
    EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
  }
}

TEST_F(HttpDownloadTest, BodyOverTheLimitStopsTheDownload) {
  // Announced by Content-Length, then counted while arriving.
  for (const char* path : {"/body", "/chunked"}) {
    try {
      download_to_file({.url = server_.url() + path, .max_bytes = 99}, target());
      FAIL() << "no exception for " << path;
    } catch (const TransportError& error) {
      EXPECT_EQ(error.curl_code(), CURLE_FILESIZE_EXCEEDED) << path;
      EXPECT_NE(std::string(error.what()).find("larger than the limit of 99 bytes"),
                std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(target()));
    EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
    EXPECT_EQ(download_to_file({.url = server_.url() + path, .max_bytes = 100}, target()), 100u);
    std::filesystem::remove(target());
  }
}

TEST_F(HttpDownloadTest, DestinationThatIsADirectoryFails) {
  std::filesystem::create_directory(target());
  EXPECT_THROW(download_to_file({.url = server_.url() + "/body"}, target()), std::system_error);
  EXPECT_TRUE(std::filesystem::is_directory(target()));
  EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
}

TEST_F(HttpDownloadTest, MessagesHideQueriesAndUserInformation) {
  try {
    download_to_file({.url = "http://user:pw@" + server_.host() +
                             "/status/404?X-Amz-Signature=s3cr3t&token=t0k3n#frag"},
                     target());
    FAIL() << "no exception";
  } catch (const StatusError& error) {
    EXPECT_EQ(std::string(error.what()),
              "GET " + server_.url() + "/status/404?<hidden> failed: HTTP status 404");
  }
  EXPECT_EQ(url_for_messages("https://h.example:8443/a/b?q=1"),
            "https://h.example:8443/a/b?<hidden>");
  EXPECT_EQ(url_for_messages("https://u@h/p#f"), "https://h/p");
  EXPECT_EQ(url_for_messages("https://h/p@q"), "https://h/p@q");
  EXPECT_EQ(url_for_messages("not a url?x"), "not a url?<hidden>");
}

// A server that accepts the connection but sends nothing: abandoned after
// the low-speed window instead of waiting forever.
TEST(HttpDownloadStallTest, StalledTransferIsAbandoned) {
  tavoren::testing::SilentListener silent;
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  try {
    download_to_file({.url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/x",
                      .low_speed_bytes = 1,
                      .low_speed_time = std::chrono::seconds(1)},
                     dir.path() / "out");
    FAIL() << "no exception";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.curl_code(), CURLE_OPERATION_TIMEDOUT);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace tavoren::http
