#include "tavoren/common/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "tavoren/http_server.h"
#include "test_support.h"
#include "test_tls.h"

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
    http.Get("/to-metadata", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("http://169.254.169.254/latest/meta-data/");
    });
    server_.start();
  }

  std::filesystem::path target() const { return dir_.path() / "out.bin"; }

  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(HttpDownloadTest, StoresTheBodyAndReplacesAnExistingFile) {
  dir_.write("out.bin", "old content");
  EXPECT_EQ(download_to_file({.url = server_.url() + "/body", .allow_loopback = true}, target()),
            100u);
  EXPECT_EQ(read_file(target()), std::string(100, 'b'));
  EXPECT_EQ(std::filesystem::status(target()).permissions(),
            static_cast<std::filesystem::perms>(0644));
  EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
}

TEST_F(HttpDownloadTest, FollowsUpToTheRedirectLimit) {
  EXPECT_EQ(
      download_to_file(
          {.url = server_.url() + "/hop/5", .max_redirects = 5, .allow_loopback = true}, target()),
      7u);
  EXPECT_EQ(read_file(target()), "arrived");
  std::filesystem::remove(target());
  try {
    download_to_file({.url = server_.url() + "/hop/6", .max_redirects = 5, .allow_loopback = true},
                     target());
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
      download_to_file(
          {.url = server_.url() + "/status/" + std::to_string(status), .allow_loopback = true},
          target());
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
      download_to_file({.url = server_.url() + path, .max_bytes = 99, .allow_loopback = true},
                       target());
      FAIL() << "no exception for " << path;
    } catch (const TransportError& error) {
      EXPECT_EQ(error.curl_code(), CURLE_FILESIZE_EXCEEDED) << path;
      EXPECT_NE(std::string(error.what()).find("larger than the limit of 99 bytes"),
                std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(target()));
    EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
    EXPECT_EQ(
        download_to_file({.url = server_.url() + path, .max_bytes = 100, .allow_loopback = true},
                         target()),
        100u);
    std::filesystem::remove(target());
  }
}

TEST_F(HttpDownloadTest, DestinationThatIsADirectoryFails) {
  std::filesystem::create_directory(target());
  EXPECT_THROW(download_to_file({.url = server_.url() + "/body", .allow_loopback = true}, target()),
               std::system_error);
  EXPECT_TRUE(std::filesystem::is_directory(target()));
  EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
}

TEST_F(HttpDownloadTest, MessagesHideQueriesAndUserInformation) {
  try {
    download_to_file({.url = "http://user:pw@" + server_.host() +
                             "/status/404?X-Amz-Signature=s3cr3t&token=t0k3n#frag",
                      .allow_loopback = true},
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
                      .low_speed_time = std::chrono::seconds(1),
                      .allow_loopback = true},
                     dir.path() / "out");
    FAIL() << "no exception";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.curl_code(), CURLE_OPERATION_TIMEDOUT);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(5000));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// No connection is ever made to where the clouds keep their instance
// metadata, to another link-local address, or (unless allowed) to loopback:
// neither by the URL nor by a redirect.
TEST_F(HttpDownloadTest, RefusedAddressesAreNeverConnectedTo) {
  const std::string port = std::to_string(server_.port());
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"http://169.254.169.254/latest/meta-data/", "link-local"},
      {"http://[fe80::1]:" + port + "/body", "link-local"},
      {"http://[::ffff:169.254.169.254]/", "link-local"},
      {"http://100.100.100.200/latest/meta-data/", "metadata"},
      {"http://[fd00:ec2::254]/latest/meta-data/", "metadata"},
      {"http://0.0.0.0:" + port + "/body", "unspecified"},
      {"http://127.0.0.1:" + port + "/body", "loopback"},
      {"http://[::1]:" + port + "/body", "loopback"},
  };
  for (const auto& [url, why] : refused) {
    try {
      download_to_file({.url = url, .connect_timeout = milliseconds(2000)}, target());
      FAIL() << url << " was fetched";
    } catch (const TransportError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
    }
  }
  // A redirect from an allowed server to a refused address.
  try {
    download_to_file({.url = server_.url() + "/to-metadata", .allow_loopback = true}, target());
    FAIL() << "the redirect was followed";
  } catch (const TransportError& error) {
    EXPECT_NE(std::string(error.what()).find("link-local"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(std::filesystem::exists(target()));
}

// A body whose SHA-256 is not the one named is never stored.
TEST_F(HttpDownloadTest, ABodyWithAnotherDigestIsNotStored) {
  DownloadRequest request{.url = server_.url() + "/body", .allow_loopback = true};
  request.sha256 = std::string(64, '0');
  EXPECT_THROW(download_to_file(request, target()), IntegrityError);
  EXPECT_FALSE(std::filesystem::exists(target()));
  EXPECT_TRUE(other_entries(dir_.path(), "out.bin").empty());
  request.sha256 = tavoren::testing::sha256_hex(std::string(100, 'b'));
  EXPECT_EQ(download_to_file(request, target()), 100u);
  EXPECT_EQ(read_file(target()), std::string(100, 'b'));
}

// A download that starts on https never follows a redirect to http; one to
// https it follows.
TEST(HttpsDownloadTest, ARedirectToHttpIsRefused) {
  LoopbackServer plain;
  std::atomic<int> plain_requests{0};
  plain.server().Get("/x", [&](const httplib::Request&, httplib::Response& res) {
    ++plain_requests;
    res.set_content("plain", "text/plain");
  });
  plain.start();
  struct Redirecting : http_server::Handler {
    std::string plain_url;
    http_server::Response handle(const http_server::Request& request) override {
      if (request.path() == "/final") return {200, {}, "secure"};
      if (request.path() == "/stay") return {302, {{"Location", "/final"}}, ""};
      return {302, {{"Location", plain_url}}, ""};
    }
  } handler;
  handler.plain_url = plain.url() + "/x";
  const tavoren::testing::TestTls tls;
  http_server::Options options;
  options.certificate_chain_file = tls.server_chain_file();
  options.private_key_file = tls.server_key_file();
  http_server::HttpServer server(options, handler);
  server.start();
  const std::string base = "https://127.0.0.1:" + std::to_string(server.port());
  TempDir dir;
  DownloadRequest request{.url = base + "/away", .allow_loopback = true};
  request.ca_file = tls.ca_file();
  try {
    download_to_file(request, dir.path() / "out");
    ADD_FAILURE() << "followed a redirect to http";
  } catch (const TransportError& error) {
    EXPECT_NE(std::string(error.what()).find("away from https"), std::string::npos) << error.what();
  }
  EXPECT_EQ(plain_requests.load(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "out"));
  request.url = base + "/stay";
  EXPECT_EQ(download_to_file(request, dir.path() / "out"), 6u);
  server.stop();
}

}  // namespace
}  // namespace tavoren::http
