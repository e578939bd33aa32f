// The settings of "tavoren-backend serve": its options read and checked,
// before anything is opened, bound or started.
//
// Failures: read_serve_settings throws UsageError (command_line.h) for a
// missing, malformed or refused option; it opens no file and changes no
// state of the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "tavoren/common/logging.h"
#include "tavoren/http_server.h"
#include "tavoren/metrics_endpoint.h"
#include "tavoren/store_core.h"

namespace tavoren::server::cli {

// The server's settings of a store.
struct StoreSettings {
  std::int64_t log_limit_bytes = 0;
  std::optional<std::pair<int, int>> port_range;
  int assign_batch = 1;
  // Liveness, limits and requeueing of machines; a server takes at most
  // one poll a second from each machine.
  backend::FleetRules fleet{.min_poll_interval = std::chrono::seconds(1)};
};

struct ListenAddress {
  std::string host;  // without the brackets of an IPv6 address
  std::uint16_t port = 0;
};

// "HOST:PORT" of --listen, "[::1]:8443" for IPv6.
ListenAddress listen_address(const std::string& text);

bool is_loopback(const std::string& host);

// `host` as it stands before ":PORT": an IPv6 address in brackets.
std::string format_host(const std::string& host);

struct ServeSettings {
  // --help: nothing else was read.
  bool help = false;
  log::Level log_level = log::Level::info;
  // sqlite:PATH or a postgresql:// URL.
  std::string store;
  StoreSettings store_settings;
  ListenAddress address;
  // The address, TLS files, limits and name of the HTTPS server.
  http_server::Options server;
  // Where /metrics and /healthz are served; none: nowhere.
  std::optional<metrics_endpoint::ListenAddress> metrics_address;
  // The master key, and the previous one during a rotation.
  std::optional<std::string> master_key_file;
  std::optional<std::string> previous_master_key_file;
};

// The arguments after "serve", read and checked in a fixed order: the
// first problem found is the one reported.
ServeSettings read_serve_settings(const std::vector<std::string>& args);

}  // namespace tavoren::server::cli
