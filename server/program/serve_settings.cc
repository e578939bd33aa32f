#include "serve_settings.h"

#include <stdexcept>

namespace tavoren::server::cli {
namespace {

log::Level log_level(const Parsed& parsed) {
  const std::string level = parsed.get("--log-level").value_or("info");
  if (level == "debug") return log::Level::debug;
  if (level == "info") return log::Level::info;
  if (level == "warning") return log::Level::warning;
  if (level == "error") return log::Level::error;
  throw UsageError("--log-level takes debug, info, warning or error");
}

StoreSettings store_settings(const Parsed& parsed) {
  StoreSettings store;
  store.log_limit_bytes = std::int64_t{1} << 30;
  if (const auto limit = parsed.get("--log-limit")) {
    store.log_limit_bytes = number(*limit, "--log-limit");
    if (store.log_limit_bytes < 1) throw UsageError("--log-limit must be positive");
  }
  store.port_range = std::make_pair(30000, 32767);
  if (const auto range = parsed.get("--port-range")) {
    const std::size_t dash = range->find('-');
    if (dash == std::string::npos) throw UsageError("--port-range takes LOW-HIGH");
    const std::int64_t low = number(range->substr(0, dash), "The low end of --port-range");
    const std::int64_t high = number(range->substr(dash + 1), "The high end of --port-range");
    if (low < 1 || high > 65535 || low > high) throw UsageError("--port-range is out of range");
    store.port_range = std::make_pair(static_cast<int>(low), static_cast<int>(high));
  }
  auto seconds_of = [&](const char* name, std::chrono::seconds fallback) {
    const auto given = parsed.get(name);
    if (!given) return fallback;
    const std::int64_t n = number(*given, name);
    if (n < 1 || n > 7 * 24 * 3600)
      throw UsageError(std::string(name) + " takes 1 to 604800 seconds");
    return std::chrono::seconds(n);
  };
  store.fleet.unresponsive_after =
      seconds_of("--unresponsive-after", store.fleet.unresponsive_after);
  store.fleet.lost_after = seconds_of("--lost-after", store.fleet.lost_after);
  if (store.fleet.lost_after <= store.fleet.unresponsive_after) {
    throw UsageError("--lost-after must be longer than --unresponsive-after");
  }
  if (const auto requeues = parsed.get("--requeue-lost")) {
    const std::int64_t n = number(*requeues, "--requeue-lost");
    if (n < 0 || n > 1000) throw UsageError("--requeue-lost takes 0 to 1000");
    store.fleet.requeue_lost = static_cast<int>(n);
  }
  if (const auto batch = parsed.get("--assign-batch")) {
    const std::int64_t n = number(*batch, "--assign-batch");
    if (n < 1 || n > 1000) throw UsageError("--assign-batch takes 1 to 1000");
    store.assign_batch = static_cast<int>(n);
  }
  return store;
}

http_server::Options server_options(const Parsed& parsed, const ListenAddress& address) {
  http_server::Options server;
  server.address = address.host;
  server.port = address.port;
  server.server_name = "tavoren-backend/0.1.0";
  server.plain_http = parsed.has("--plain-http");
  if (server.plain_http) {
    if (!is_loopback(address.host)) {
      throw UsageError("--plain-http is refused on a non-loopback address: serve TLS instead");
    }
    if (parsed.has("--tls-cert") || parsed.has("--tls-key")) {
      throw UsageError("--plain-http takes no --tls-cert or --tls-key");
    }
  } else {
    server.certificate_chain_file = required(parsed, "--tls-cert");
    server.private_key_file = required(parsed, "--tls-key");
  }
  if (const auto in_flight = parsed.get("--max-in-flight")) {
    const std::int64_t n = number(*in_flight, "--max-in-flight");
    if (n < 1) throw UsageError("--max-in-flight must be positive");
    server.limits.max_in_flight = static_cast<std::size_t>(n);
  }
  return server;
}

std::optional<metrics_endpoint::ListenAddress> metrics_address(const Parsed& parsed) {
  const std::string text = parsed.get("--metrics-listen").value_or("127.0.0.1:9465");
  if (text.empty()) return std::nullopt;
  try {
    return metrics_endpoint::parse_listen_address(text);
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--metrics-listen: ") + e.what());
  }
}

}  // namespace

ListenAddress listen_address(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("--listen takes HOST:PORT");
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
    address.host = address.host.substr(1, address.host.size() - 2);
  }
  const std::int64_t port = number(text.substr(colon + 1), "The port of --listen");
  if (port < 0 || port > 65535) throw UsageError("The port of --listen is out of range");
  address.port = static_cast<std::uint16_t>(port);
  return address;
}

bool is_loopback(const std::string& host) { return host == "::1" || host.starts_with("127."); }

std::string format_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

ServeSettings read_serve_settings(const std::vector<std::string>& args) {
  const Parsed parsed = parse(
      args,
      {"--store", "--listen", "--tls-cert", "--tls-key", "--max-in-flight", "--log-limit",
       "--port-range", "--assign-batch", "--unresponsive-after", "--lost-after", "--requeue-lost",
       "--master-key-file", "--previous-master-key-file", "--log-level", "--metrics-listen"},
      {"--plain-http"});
  ServeSettings settings;
  if (parsed.help) {
    settings.help = true;
    return settings;
  }
  if (!parsed.words.empty()) throw UsageError("Unexpected argument " + parsed.words.front());
  settings.log_level = log_level(parsed);
  settings.store = store_text(parsed);
  settings.store_settings = store_settings(parsed);
  settings.address = listen_address(required(parsed, "--listen"));
  settings.server = server_options(parsed, settings.address);
  settings.metrics_address = metrics_address(parsed);
  settings.master_key_file = parsed.get("--master-key-file");
  settings.previous_master_key_file = parsed.get("--previous-master-key-file");
  return settings;
}

}  // namespace tavoren::server::cli
