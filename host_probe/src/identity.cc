// Instance identity: the cloud provider and instance identifier from the
// environment and the providers' instance-metadata services, and the public
// reachability of a TCP port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "identity_detail.h"
#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/http.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {
namespace {

using std::chrono::milliseconds;

// One provider's metadata requests. The identifier comes from a second
// request, or, without one, from the probe's own answer.
struct ProviderQuery {
  std::string name;
  http::Request probe;
  std::optional<http::Request> identifier;
};

// What one provider's requests brought: whether its probe answered, and
// the raw identifier answer when one arrived.
struct ProviderOutcome {
  bool answered = false;
  std::optional<std::string> identifier;
};

// The four providers in the order their answers are applied: a later one
// overrides an earlier one.
std::vector<ProviderQuery> provider_queries(const detail::InstanceInfoTimings& timings) {
  const std::string gcp = "http://" + config::gcp_metadata_host();
  const std::string link_local = "http://" + config::metadata_address();
  const milliseconds probe = timings.probe_timeout;
  const milliseconds ident = timings.identifier_timeout;

  std::vector<ProviderQuery> queries;
  queries.push_back({"GCP",
                     {gcp + "/computeMetadata/v1/instance/id", {"Metadata-Flavor: Google"}, probe},
                     std::nullopt});
  queries.push_back(
      {"AZURE",
       {link_local + "/metadata/instance?api-version=2020-09-01", {"Metadata:true"}, probe},
       http::Request{
           link_local + "/metadata/instance/compute/vmId?api-version=2017-08-01&format=text",
           {"Metadata:true"},
           ident}});
  queries.push_back(
      {"OCI",
       {link_local + "/opc/v1/instance/", {"Authorization: Bearer MetadataKey"}, probe},
       http::Request{link_local + "/opc/v1/instance/id", {}, ident}});
  queries.push_back({"AWS",
                     {link_local + "/latest/meta-data/", {}, probe},
                     http::Request{link_local + "/latest/meta-data/instance-id", {}, ident}});
  return queries;
}

// Runs one provider's requests. Only "no answer" (TransportError) is a
// normal outcome here; anything else propagates and fails the operation.
ProviderOutcome query_provider(const ProviderQuery& query) {
  ProviderOutcome outcome;
  http::Response probe;
  try {
    probe = http::get(query.probe);
  } catch (const http::TransportError&) {
    return outcome;
  }
  outcome.answered = true;
  if (!query.identifier) {
    outcome.identifier = std::move(probe.body);
    return outcome;
  }
  try {
    outcome.identifier = http::get(*query.identifier).body;
  } catch (const http::TransportError&) {
  }
  return outcome;
}

// A socket descriptor closed on destruction.
class Socket {
 public:
  explicit Socket(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in ipv4_address(in_addr_t address, int port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(static_cast<uint16_t>(port));
  result.sin_addr.s_addr = address;
  return result;
}

// The caller's public IPv4 address as the echo service reports it.
in_addr_t public_address(milliseconds timeout) {
  const std::string text = get_public_ip_address(timeout, IpFamily::ipv4);
  in_addr address{};
  ::inet_pton(AF_INET, text.c_str(), &address);
  return address.s_addr;
}

// Whether a TCP connection to (address, port) is established within
// `timeout`. Every failure to connect counts as "no".
bool connects(in_addr_t address, int port, milliseconds timeout) {
  Socket socket(SOCK_STREAM | SOCK_NONBLOCK);
  const sockaddr_in target = ipv4_address(address, port);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    return true;
  }
  if (errno != EINPROGRESS) return false;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd entry{socket.fd(), POLLOUT, 0};
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) break;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

// Binds and listens on (all local addresses, port), then lets go. Throws
// when the port cannot be taken (typically because it is already bound).
void claim_locally(int port) {
  Socket socket(SOCK_STREAM);
  const int on = 1;
  if (::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    throw std::system_error(errno, std::generic_category(), "setsockopt SO_REUSEADDR");
  }
  const sockaddr_in local = ipv4_address(htonl(INADDR_ANY), port);
  if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind to port " + std::to_string(port));
  }
  if (::listen(socket.fd(), 1) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "listen on port " + std::to_string(port));
  }
}

}  // namespace

std::string get_public_ip_address(milliseconds timeout, IpFamily family) {
  const http::Response response = http::get({config::public_ip_url(), {}, timeout});
  if (response.status != 200) {
    throw ValueError("the public address service answered with status " +
                     std::to_string(response.status));
  }
  if (!is_valid_utf8(response.body)) {
    throw ValueError("the public address service answered with text that is not UTF-8");
  }
  // The service may end its answer with a line break.
  const std::string text = trim(response.body);
  in_addr ipv4{};
  in6_addr ipv6{};
  const bool valid = ::inet_pton(AF_INET, text.c_str(), &ipv4) == 1 ||
                     (family == IpFamily::any && ::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1);
  if (!valid) {
    constexpr std::size_t kShown = 64;
    throw ValueError(std::string("the public address service answered with no ") +
                     (family == IpFamily::any ? "IP" : "IPv4") + " address: '" +
                     text.substr(0, kShown) + (text.size() > kShown ? "...'" : "'"));
  }
  return text;
}

namespace detail {

std::optional<InstanceInfo> get_instance_info(const InstanceInfoTimings& timings) {
  return log_errors(
      "get_instance_info",
      {.default_return = std::nullopt, .raise_exception = false, .log_error = false},
      [&]() -> std::optional<InstanceInfo> {
        InstanceInfo info;
        const std::optional<std::string> provider = config::service_provider();
        info.provider = provider && !provider->empty() ? *provider : "LOCAL";
        const std::optional<std::string> instance_id = get_env("INSTANCE_ID");
        info.instance_id = instance_id ? *instance_id : "";

        // The providers are asked at the same time, so the call lasts as
        // long as the slowest provider rather than all of them together.
        const std::vector<ProviderQuery> queries = provider_queries(timings);
        std::vector<std::future<ProviderOutcome>> pending;
        pending.reserve(queries.size());
        for (const ProviderQuery& query : queries) {
          pending.push_back(std::async(std::launch::async, query_provider, std::cref(query)));
        }
        std::vector<ProviderOutcome> outcomes;
        outcomes.reserve(pending.size());
        for (auto& future : pending) outcomes.push_back(future.get());

        for (std::size_t i = 0; i < queries.size(); ++i) {
          const ProviderOutcome& outcome = outcomes[i];
          if (!outcome.answered) continue;
          info.provider = queries[i].name;
          if (!outcome.identifier) continue;
          if (!is_valid_utf8(*outcome.identifier)) {
            throw ValueError("the " + queries[i].name +
                             " metadata service answered with text that is not UTF-8");
          }
          info.instance_id = trim(*outcome.identifier);
        }
        return info;
      });
}

bool check_public_port_exposure(int port, const PortExposureOptions& options) {
  return log_errors("check_public_port_exposure", {.default_return = false}, [&] {
    if (port < 0 || port > 65535) {
      throw ValueError("port out of range: " + std::to_string(port));
    }
    const in_addr_t address = public_address(options.echo_timeout);
    const bool publicly_exposed = connects(address, port, options.connect_timeout);
    if (options.before_local_test) options.before_local_test();
    claim_locally(port);
    if (!publicly_exposed) {
      log::debug("Port %d is not publicly exposed", port);
      return false;
    }
    return true;
  });
}

}  // namespace detail

std::optional<InstanceInfo> get_instance_info() { return detail::get_instance_info({}); }

std::string get_instance_id() {
  return log_errors("get_instance_id", {.default_return = std::string()}, [] {
    std::optional<std::string> value = get_env("INSTANCE_ID");
    if (!value) throw KeyError("environment variable INSTANCE_ID is not set");
    return *value;
  });
}

bool check_public_port_exposure(int port) { return detail::check_public_port_exposure(port, {}); }

}  // namespace tavoren::host_probe
