#include "tavoren/metrics_endpoint.h"

#include <arpa/inet.h>

#include <charconv>
#include <stdexcept>

#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"
#include "tavoren/http_server.h"

namespace tavoren::metrics_endpoint {
namespace {

using http_server::Request;
using http_server::Response;

bool is_ip_literal(const std::string& host) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

Response json_answer(int status, const HealthReport& report) {
  Json checks = Json::object();
  for (const auto& [name, text] : report.checks) checks[name] = text;
  Json body{{"alive", report.alive}, {"ready", report.ready}, {"checks", checks}};
  return Response{status, {{"Content-Type", "application/json"}}, body.dump() + "\n"};
}

}  // namespace

ListenAddress parse_listen_address(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw std::invalid_argument("an address is HOST:PORT, not \"" + std::string(text) + "\"");
  }
  ListenAddress address;
  std::string_view host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  address.host = std::string(host);
  if (!is_ip_literal(address.host)) {
    throw std::invalid_argument("the host of \"" + std::string(text) + "\" is not an IP address");
  }
  const std::string_view port = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || value > 65535) {
    throw std::invalid_argument("the port of \"" + std::string(text) + "\" is not 0 to 65535");
  }
  address.port = static_cast<std::uint16_t>(value);
  return address;
}

class MetricsEndpoint::Impl final : public http_server::Handler {
 public:
  explicit Impl(EndpointOptions options) : options_(std::move(options)) {}

  void start() {
    http_server::Options server;
    server.address = options_.address.host;
    server.port = options_.address.port;
    server.plain_http = true;
    server.io_threads = 1;
    server.worker_threads = 1;
    server.server_name = options_.server_name;
    server.limits.max_body_bytes = 4096;
    server.limits.request_time = std::chrono::seconds(10);
    server.limits.idle_time = std::chrono::seconds(30);
    server.limits.max_in_flight = 8;
    server.limits.max_connections = 64;
    server.drain_time = std::chrono::seconds(2);
    // A scrape every few seconds is no news: at debug level only.
    server.access_log = [](const http_server::AccessLogEntry& entry) {
      log::debug("%s", http_server::access_log_line(entry));
    };
    server_ = std::make_unique<http_server::HttpServer>(server, *this);
    server_->start();
  }

  void stop() {
    if (server_) server_->stop();
  }

  std::uint16_t port() const { return server_->port(); }

  Response handle(const Request& request) override {
    const std::string_view path = request.path();
    const bool known = path == "/metrics" || path == "/healthz" || path == "/healthz/live" ||
                       path == "/healthz/ready";
    if (!known) return Response{404, {{"Content-Type", "text/plain"}}, "not found\n"};
    if (request.method() != "GET") {
      return Response{405, {{"Allow", "GET"}, {"Content-Type", "text/plain"}}, "GET only\n"};
    }
    if (path == "/metrics") {
      return Response{
          200, {{"Content-Type", metrics::kTextContentType}}, options_.registry->render()};
    }
    HealthReport report = options_.health ? options_.health() : HealthReport{};
    bool good = report.alive && report.ready;
    if (path == "/healthz/live") good = report.alive;
    if (path == "/healthz/ready") good = report.ready;
    return json_answer(good ? 200 : 503, report);
  }

 private:
  EndpointOptions options_;
  std::unique_ptr<http_server::HttpServer> server_;
};

MetricsEndpoint::MetricsEndpoint(EndpointOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->start();
}

MetricsEndpoint::~MetricsEndpoint() { impl_->stop(); }

std::uint16_t MetricsEndpoint::port() const { return impl_->port(); }

}  // namespace tavoren::metrics_endpoint
