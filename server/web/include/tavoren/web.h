// The operator's pages: the fleet, the queue, each action and each machine,
// served under /ui/ by the backend server on its own listener, with the
// data calls the pages make and one server-sent event stream per page
// (docs/web.md describes the addresses, the answers and the sign-in).
//
// Everything a page needs is built into the program. Signing in: the page
// signs a one-time challenge with the key pair's secret (HMAC-SHA256 in
// the browser), so the secret never travels; the session is a cookie that
// names the access key and its expiry, signed with the web-session key
// that every server of the store derives from its master key, so any of
// them accepts it. Operator and viewer keys may sign in; instance keys,
// revoked keys and unknown keys may not, and a revoked key's sessions end
// within the key cache's time. Every page and data call needs a session,
// except the sign-in page, its script and style, and the challenge. No
// answer holds a secret: action records are masked
// (store_rules::masked_secrets), and neither key pairs, tokens nor
// passwords are ever read for a page.
//
// Every answer under /ui/ carries the security headers (a
// Content-Security-Policy without inline script or style, frame-ancestors
// 'none', nosniff, no referrer). A write (sign-in, sign-out) must come
// from the page's own origin.
//
// Live pages: the event streams are fed by one thread of the service,
// which looks at each topic that open streams follow (the fleet, the
// queue, one machine, one action and its log) once per period whatever
// the number of streams that follow it, and tells each stream what
// changed; an action's new log bytes are sent within EventOptions::
// log_period of their arrival at the store.
//
// Ownership: the caller owns the store and the keys, which must outlive
// the service. Threads: every member may be called from several threads at
// once. Failures: handle() answers every failure (a store failure is a 500
// without detail) and throws nothing. Time limits: every store call waits
// at most the store's own limits; the event thread's writes never block.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tavoren/http_server.h"
#include "tavoren/server.h"
#include "tavoren/store.h"

namespace tavoren::web {

struct WebOptions {
  // The pages are served over plain HTTP (loopback tests): the session
  // cookie then goes without "Secure".
  bool plain_http = false;
  // How long a session lasts from its sign-in.
  std::chrono::seconds session_time = std::chrono::hours(12);
  // How long a sign-in challenge may be used.
  std::chrono::seconds challenge_time = std::chrono::seconds(60);
  // How often the event thread looks at an action's log and state, and at
  // the fleet, the queue and the machines.
  std::chrono::milliseconds log_period = std::chrono::milliseconds(500);
  std::chrono::milliseconds topic_period = std::chrono::seconds(2);
  // A comment line on every open stream this often, so that proxies keep
  // it open and a client that left is noticed.
  std::chrono::seconds keep_alive = std::chrono::seconds(15);
  // The fleet, queue and machine pages are told to fetch again at least
  // this often, for the figures (utilisation, last contact) that change all
  // the time; a change of a machine's liveness or mode is told at once.
  std::chrono::seconds refresh = std::chrono::seconds(30);
  // How long an answer of the fleet and queue calls is kept: the pages told
  // of a change fetch at once, and one reading serves them all.
  std::chrono::milliseconds answer_keep = std::chrono::seconds(1);
  // Open event streams at most; beyond, a new one gets 503.
  std::size_t max_streams = 2000;
  // The time now; empty: the system clock.
  std::function<std::chrono::system_clock::time_point()> clock;
};

class WebService {
 public:
  // `session_key`: the web-session subkey (sealing::Purpose::kWebSessions).
  WebService(backend::Store& store, server::AccessKeys& keys, std::string session_key,
             WebOptions options = {});
  // Stops the event thread and closes every open stream.
  ~WebService();
  WebService(const WebService&) = delete;
  WebService& operator=(const WebService&) = delete;

  // Whether `path` is one of the pages' ("/ui" and everything under "/ui/").
  static bool serves(std::string_view path);

  // GET and POST only (405), a body of at most 4 KiB with its length given
  // (413).
  http_server::Admission admit(const http_server::RequestHead& head);
  http_server::Response handle(const http_server::Request& request);

  // Event streams open now.
  std::size_t open_streams() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The server's handler: requests under /ui to the web service, every other
// to `rest` (the backend protocol). Both must outlive the router.
class Router final : public http_server::Handler {
 public:
  Router(WebService& web, http_server::Handler& rest) : web_(web), rest_(rest) {}
  http_server::Admission admit(const http_server::RequestHead& head) override;
  http_server::Response handle(const http_server::Request& request) override;

 private:
  WebService& web_;
  http_server::Handler& rest_;
};

}  // namespace tavoren::web
