#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "identity_detail.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::host_probe {
namespace {

using std::chrono::milliseconds;
using tavoren::log::Level;
using tavoren::log::LogCapture;
using tavoren::testing::LoopbackServer;
using tavoren::testing::ScopedEnv;
using tavoren::testing::SilentListener;

// A TCP socket on 127.0.0.1, closed on destruction.
class LoopbackSocket {
 public:
  // Binds to 127.0.0.1:`port` (0: any free port); listens when asked.
  explicit LoopbackSocket(bool listening, int port = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        (listening && ::listen(fd_, 0) != 0) ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot set up a loopback socket");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackSocket() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// "127.0.0.1:<port>" of a port that refuses connections: it is bound but
// not listening, so no other process can take it while the test runs.
class RefusedHost {
 public:
  std::string host() const { return "127.0.0.1:" + std::to_string(socket_.port()); }

 private:
  LoopbackSocket socket_{false};
};

// ---------------------------------------------------------------------------
// get_instance_info / get_instance_id

const detail::InstanceInfoTimings kFast{.probe_timeout = milliseconds(300),
                                        .identifier_timeout = milliseconds(300)};

class InstanceInfoTest : public ::testing::Test {
 protected:
  // Points both metadata hosts somewhere; by default at ports that refuse.
  void point_at(const std::string& gcp_host, const std::string& link_local_host) {
    gcp_env_.emplace("TAVOREN_GCP_METADATA_HOST", gcp_host);
    link_local_env_.emplace("TAVOREN_METADATA_ADDRESS", link_local_host);
  }
  void SetUp() override { point_at(refused_gcp_.host(), refused_link_local_.host()); }

  // Every request a server saw: path with query, and the headers of interest.
  struct Seen {
    std::string target;
    std::string metadata;
    std::string flavor;
    std::string authorization;
  };
  // Answers every GET with `status` and `body_for(path)`, recording it.
  void serve_all(LoopbackServer& server, int status,
                 std::function<std::string(const std::string&)> body_for) {
    server.server().Get(
        ".*", [this, status, body_for](const httplib::Request& req, httplib::Response& res) {
          {
            std::lock_guard lock(mutex_);
            std::string target = req.path;
            if (!req.params.empty()) {
              std::string query;
              for (const auto& [name, value] : req.params) {
                query += (query.empty() ? "?" : "&") + name + "=" + value;
              }
              target += query;
            }
            seen_.push_back({target, req.get_header_value("Metadata"),
                             req.get_header_value("Metadata-Flavor"),
                             req.get_header_value("Authorization")});
          }
          res.status = status;
          res.set_content(body_for(req.path), "text/plain");
        });
    server.start();
  }
  std::map<std::string, Seen> seen_by_target() {
    std::lock_guard lock(mutex_);
    std::map<std::string, Seen> result;
    for (const Seen& s : seen_) result[s.target] = s;
    return result;
  }

  ScopedEnv provider_{"SERVICE_PROVIDER", std::nullopt};
  ScopedEnv instance_{"INSTANCE_ID", std::nullopt};
  RefusedHost refused_gcp_;
  RefusedHost refused_link_local_;
  std::optional<ScopedEnv> gcp_env_;
  std::optional<ScopedEnv> link_local_env_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

TEST_F(InstanceInfoTest, LocalWhenNothingIsSetAndNothingAnswers) {
  EXPECT_EQ(detail::get_instance_info(kFast), (InstanceInfo{"LOCAL", ""}));
}

TEST_F(InstanceInfoTest, EnvironmentValuesPassThroughWhenNothingAnswers) {
  ScopedEnv provider("SERVICE_PROVIDER", "LAMBDA");
  ScopedEnv instance("INSTANCE_ID", "lambda-7f3a");
  EXPECT_EQ(detail::get_instance_info(kFast), (InstanceInfo{"LAMBDA", "lambda-7f3a"}));
}

TEST_F(InstanceInfoTest, EmptyServiceProviderCountsAsUnset) {
  ScopedEnv provider("SERVICE_PROVIDER", "");
  EXPECT_EQ(detail::get_instance_info(kFast), (InstanceInfo{"LOCAL", ""}));
}

TEST_F(InstanceInfoTest, GcpAloneGivesItsTrimmedIdentifier) {
  LoopbackServer gcp;
  serve_all(gcp, 200, [](const std::string&) { return "  4711002233\n"; });
  point_at(gcp.host(), refused_link_local_.host());
  ScopedEnv provider("SERVICE_PROVIDER", "LAMBDA");
  ScopedEnv instance("INSTANCE_ID", "from-env");

  EXPECT_EQ(detail::get_instance_info(kFast), (InstanceInfo{"GCP", "4711002233"}));
  auto seen = seen_by_target();
  ASSERT_EQ(seen.size(), 1u);
  ASSERT_TRUE(seen.count("/computeMetadata/v1/instance/id"));
  EXPECT_EQ(seen["/computeMetadata/v1/instance/id"].flavor, "Google");
}

TEST_F(InstanceInfoTest, ErrorPagesEverywhereMakeTheLastProviderWin) {
  LoopbackServer link_local;
  serve_all(link_local, 404, [](const std::string& path) { return "  missing " + path + "\n"; });
  point_at(refused_gcp_.host(), link_local.host());

  EXPECT_EQ(detail::get_instance_info(kFast),
            (InstanceInfo{"AWS", "missing /latest/meta-data/instance-id"}));

  // Every probe and identifier request of the three link-local providers
  // went out, each with its provider's headers.
  auto seen = seen_by_target();
  ASSERT_EQ(seen.size(), 6u);
  const std::string azure_probe = "/metadata/instance?api-version=2020-09-01";
  const std::string azure_id = "/metadata/instance/compute/vmId?api-version=2017-08-01&format=text";
  ASSERT_TRUE(seen.count(azure_probe) && seen.count(azure_id));
  EXPECT_EQ(seen[azure_probe].metadata, "true");
  EXPECT_EQ(seen[azure_id].metadata, "true");
  ASSERT_TRUE(seen.count("/opc/v1/instance/") && seen.count("/opc/v1/instance/id"));
  EXPECT_EQ(seen["/opc/v1/instance/"].authorization, "Bearer MetadataKey");
  EXPECT_EQ(seen["/opc/v1/instance/id"].authorization, "");
  ASSERT_TRUE(seen.count("/latest/meta-data/") && seen.count("/latest/meta-data/instance-id"));
  EXPECT_EQ(seen["/latest/meta-data/"].metadata, "");
  EXPECT_EQ(seen["/latest/meta-data/instance-id"].authorization, "");
}

TEST_F(InstanceInfoTest, LinkLocalProvidersOverrideGcp) {
  LoopbackServer gcp;
  serve_all(gcp, 200, [](const std::string&) { return "gcp-id"; });
  LoopbackServer link_local;
  serve_all(link_local, 200, [](const std::string& path) { return "id of " + path; });
  point_at(gcp.host(), link_local.host());

  EXPECT_EQ(detail::get_instance_info(kFast),
            (InstanceInfo{"AWS", "id of /latest/meta-data/instance-id"}));
  EXPECT_EQ(seen_by_target().size(), 7u);
}

TEST_F(InstanceInfoTest, SilentIdentifierServiceEndsAtItsLimitAndKeepsTheIdentifier) {
  // Probes answer at once; identifier requests hang until the test lets go.
  std::mutex gate_mutex;
  std::condition_variable gate;
  bool released = false;
  LoopbackServer link_local;
  link_local.server().Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    const bool identifier = req.path == "/metadata/instance/compute/vmId" ||
                            req.path == "/opc/v1/instance/id" ||
                            req.path == "/latest/meta-data/instance-id";
    if (identifier) {
      std::unique_lock lock(gate_mutex);
      gate.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
    }
    res.set_content("answer", "text/plain");
  });
  link_local.start();
  point_at(refused_gcp_.host(), link_local.host());
  ScopedEnv instance("INSTANCE_ID", "kept");

  const auto start = std::chrono::steady_clock::now();
  auto info = detail::get_instance_info(
      {.probe_timeout = milliseconds(1000), .identifier_timeout = milliseconds(200)});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard lock(gate_mutex);
    released = true;
  }
  gate.notify_all();

  EXPECT_EQ(info, (InstanceInfo{"AWS", "kept"}));
  // The three identifier requests run side by side, not one after another.
  EXPECT_LT(elapsed, milliseconds(550));
}

TEST_F(InstanceInfoTest, SilentProbesCountAsNoAnswer) {
  SilentListener silent_gcp;
  SilentListener silent_link_local;
  point_at("127.0.0.1:" + std::to_string(silent_gcp.port()),
           "127.0.0.1:" + std::to_string(silent_link_local.port()));
  ScopedEnv instance("INSTANCE_ID", "i-0abc");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(detail::get_instance_info({.probe_timeout = milliseconds(150)}),
            (InstanceInfo{"LOCAL", "i-0abc"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
}

TEST_F(InstanceInfoTest, AnswerThatIsNotUtf8FailsSilently) {
  LoopbackServer gcp;
  serve_all(gcp, 200, [](const std::string&) { return std::string("id-\xff\xfe"); });
  point_at(gcp.host(), refused_link_local_.host());
  LogCapture capture;

  EXPECT_EQ(detail::get_instance_info(kFast), std::nullopt);
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(InstanceInfoTest, InvalidIdentifierFailsEvenWhenALaterProviderAnswers) {
  LoopbackServer link_local;
  serve_all(link_local, 200, [](const std::string& path) {
    return path == "/opc/v1/instance/id" ? std::string("\xc3(") : std::string("fine");
  });
  point_at(refused_gcp_.host(), link_local.host());

  EXPECT_EQ(detail::get_instance_info(kFast), std::nullopt);
}

TEST(InstanceIdTest, ReadsInstanceIdAndFallsBackToEmptyWithAnErrorLine) {
  {
    ScopedEnv instance("INSTANCE_ID", " i-123 ");
    EXPECT_EQ(get_instance_id(), " i-123 ");
  }
  ScopedEnv instance("INSTANCE_ID", std::nullopt);
  LogCapture capture;
  EXPECT_EQ(get_instance_id(), "");
  EXPECT_EQ(capture.count(Level::error, "Error in get_instance_id: "), 1u);
}

// ---------------------------------------------------------------------------
// check_public_port_exposure

class PortExposureTest : public ::testing::Test {
 protected:
  // Starts the echo service answering `body`, and points the agent at it.
  void echo(std::string body) {
    echo_.server().Get("/ip", [body](const httplib::Request&, httplib::Response& res) {
      res.set_content(body, "text/plain");
    });
    echo_.start();
    echo_env_.emplace("TAVOREN_PUBLIC_IP_URL", echo_.url() + "/ip");
  }

  static detail::PortExposureOptions fast() {
    return {.echo_timeout = milliseconds(1000), .connect_timeout = milliseconds(300)};
  }

  LoopbackServer echo_;
  std::optional<ScopedEnv> echo_env_;
  LogCapture capture_;
};

std::string not_exposed(int port) {
  return "Port " + std::to_string(port) + " is not publicly exposed";
}

TEST_F(PortExposureTest, ListeningAndFreeAfterwardsIsExposed) {
  echo("127.0.0.1\n");
  LoopbackSocket listener(true);
  auto options = fast();
  // The public test reaches the listener; then the port is let go, so the
  // local test can take it.
  options.before_local_test = [&] { listener.close(); };

  EXPECT_TRUE(detail::check_public_port_exposure(listener.port(), options));
  EXPECT_EQ(capture_.count(Level::debug, "is not"), 0u);
  EXPECT_EQ(capture_.count(Level::error), 0u);
}

TEST_F(PortExposureTest, NothingListeningIsNotExposed) {
  echo("127.0.0.1\n");
  int port = 0;
  {
    LoopbackSocket probe(false);
    port = probe.port();
  }

  EXPECT_FALSE(detail::check_public_port_exposure(port, fast()));
  EXPECT_TRUE(capture_.contains(Level::debug, not_exposed(port)));
  EXPECT_EQ(capture_.count(Level::error), 0u);
}

TEST_F(PortExposureTest, PortTakenByALocalListenerFailsTheLocalTest) {
  echo("127.0.0.1");
  LoopbackServer local;
  local.start();

  EXPECT_FALSE(detail::check_public_port_exposure(local.port(), fast()));
  EXPECT_EQ(capture_.count(Level::error, "Error in check_public_port_exposure: bind to port " +
                                             std::to_string(local.port())),
            1u);
  EXPECT_EQ(capture_.count(Level::debug, "is not"), 0u);
}

TEST_F(PortExposureTest, ConnectionThatHangsEndsAtItsLimit) {
  echo("127.0.0.1");
  // A listener whose accept queue is full drops further connection
  // attempts, so the public test waits for its limit.
  LoopbackSocket listener(true);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(static_cast<uint16_t>(listener.port()));
  std::vector<int> clients;
  for (int i = 0; i < 4; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
    clients.push_back(fd);
  }
  auto options = fast();
  options.before_local_test = [&] { listener.close(); };

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(detail::check_public_port_exposure(listener.port(), options));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  for (int fd : clients) ::close(fd);

  EXPECT_TRUE(capture_.contains(Level::debug, not_exposed(listener.port())));
  EXPECT_GE(elapsed, milliseconds(300));
  EXPECT_LT(elapsed, milliseconds(900));
}

TEST_F(PortExposureTest, UnusableEchoAnswersAndPortsAreFailures) {
  LoopbackSocket listener(true);
  echo("<html>busy</html>");
  EXPECT_FALSE(detail::check_public_port_exposure(listener.port(), fast()));
  EXPECT_EQ(capture_.count(Level::error, "no IPv4 address: '<html>busy</html>'"), 1u);
  EXPECT_FALSE(detail::check_public_port_exposure(70000, fast()));
  EXPECT_EQ(capture_.count(Level::error, "port out of range: 70000"), 1u);
}

// The address reader shared with the broker: a 200 answer holding one
// address, IPv6 only where asked for.
TEST(PublicAddressTest, OnlyAnOkAnswerHoldingAnAddressCounts) {
  std::mutex mutex;
  std::string body;
  int status = 200;
  LoopbackServer echo;
  echo.server().Get("/ip", [&](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(mutex);
    res.status = status;
    res.set_content(body, "text/plain");
  });
  echo.start();
  ScopedEnv url("TAVOREN_PUBLIC_IP_URL", echo.url() + "/ip");
  const auto answer = [&](std::string text, int code) {
    std::lock_guard lock(mutex);
    body = std::move(text);
    status = code;
  };
  const milliseconds limit(2000);

  answer(" 198.51.100.4\n", 200);
  EXPECT_EQ(get_public_ip_address(limit, IpFamily::ipv4), "198.51.100.4");
  EXPECT_EQ(get_public_ip_address(limit, IpFamily::any), "198.51.100.4");
  answer("2001:db8::4\n", 200);
  EXPECT_EQ(get_public_ip_address(limit, IpFamily::any), "2001:db8::4");
  EXPECT_THROW(get_public_ip_address(limit, IpFamily::ipv4), ValueError);

  answer("198.51.100.4", 500);
  try {
    get_public_ip_address(limit, IpFamily::any);
    ADD_FAILURE() << "a 500 answer was accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "the public address service answered with status 500");
  }
  answer(std::string(70, 'x'), 200);
  try {
    get_public_ip_address(limit, IpFamily::any);
    ADD_FAILURE() << "a text that is no address was accepted";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "the public address service answered with no IP address: '" +
                                         std::string(64, 'x') + "...'");
  }
  for (const std::string text : {"", "198.51.100", "198.51.100.4/24", "::ffff:1.2.3.4.5"}) {
    answer(text, 200);
    EXPECT_THROW(get_public_ip_address(limit, IpFamily::any), ValueError) << text;
  }
}

TEST(PortExposureEchoTest, UnreachableEchoServiceIsAFailure) {
  RefusedHost refused;
  ScopedEnv url("TAVOREN_PUBLIC_IP_URL", "http://" + refused.host() + "/ip");
  LogCapture capture;
  EXPECT_FALSE(check_public_port_exposure(1));
  EXPECT_EQ(capture.count(Level::error, "Error in check_public_port_exposure: GET http://"), 1u);
}

}  // namespace
}  // namespace tavoren::host_probe
