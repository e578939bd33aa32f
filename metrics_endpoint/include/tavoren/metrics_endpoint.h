// The operator's view of a program over plain HTTP: its metrics
// (GET /metrics, the text exposition format of tavoren/metrics.h) and its
// health (GET /healthz and /healthz/live, /healthz/ready).
//
// /healthz answers 200 when the program is alive and ready, else 503;
// /healthz/live and /healthz/ready answer 200 or 503 on one of the two.
// Each body is a JSON object {"alive": bool, "ready": bool, "checks":
// {name: text, ...}}. Other paths get 404, other methods 405.
//
// Nothing served holds a secret, so no TLS and no authentication: the
// default address is a loopback one, and an operator who listens on
// another does so knowingly.
//
// Ownership: the endpoint owns its listener and threads (one I/O thread,
// one worker); it keeps the registry and calls the health function, both of
// which must outlive it.
// Threads: the health function and the registry's collect hooks run on the
// endpoint's worker thread while other threads go on; they must be
// thread-safe and quick. The constructor and destructor may run on any
// thread.
// Failures: parse_listen_address throws std::invalid_argument; the
// constructor throws std::runtime_error when the address cannot be bound.
// Time limits: a client gets 10 s to send its request and a scrape
// connection is closed after 30 s of idleness; stopping waits at most 2 s
// for a request in progress.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/metrics.h"

namespace tavoren::metrics_endpoint {

struct HealthReport {
  // The program does its work (its main loop turns).
  bool alive = true;
  // The program can do useful work now (its checks passed, what it depends
  // on answers).
  bool ready = true;
  // Short findings for people, by name, in order.
  std::vector<std::pair<std::string, std::string>> checks;
};

struct ListenAddress {
  std::string host;  // an IP address literal, without brackets
  std::uint16_t port = 0;
};

// "HOST:PORT", with an IPv6 address in brackets ("[::1]:9464"). Port 0
// picks a free one.
ListenAddress parse_listen_address(std::string_view text);

struct EndpointOptions {
  ListenAddress address{"127.0.0.1", 9464};
  metrics::Registry* registry = &metrics::Registry::process_wide();
  // Empty: always alive and ready.
  std::function<HealthReport()> health;
  // The "Server:" header.
  std::string server_name = "tavoren";
};

class MetricsEndpoint {
 public:
  // Binds and starts serving.
  explicit MetricsEndpoint(EndpointOptions options);
  // Stops serving and joins the threads.
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The bound port.
  std::uint16_t port() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavoren::metrics_endpoint
