// An HTTPS/1.1 server for many long-lived connections, independent of what
// the requests mean.
//
// Connections are served by a small, fixed set of I/O threads (an event
// loop each); no thread is held per connection, so a server holds
// thousands of idle keep-alive connections with the same threads it
// starts with. Requests are parsed and bounded on the I/O threads; every
// complete request is handed to the Handler on a separate, bounded pool of
// worker threads. A handler may therefore block (on a database, a lock,
// a disk) without stalling accepts, TLS handshakes or reads of other
// connections: only its own connection waits for its answer.
//
// Bounds, each with a default and each injectable through Limits: header
// size (431 beyond it), body size (413), the time a client has to send a
// whole request once it started (the connection is cut), the time an idle
// keep-alive connection is kept, the time a TLS handshake may take, the
// number of requests in flight (beyond it: 429 with Retry-After, without
// calling the handler) and the number of open connections (beyond it a
// new connection is closed at once). A malformed request gets 400. Every
// error answer closes the connection except 429.
//
// TLS: TLS 1.3 when the client has it, else TLS 1.2 with forward-secret
// AEAD suites only (ECDHE with AES-GCM or ChaCha20-Poly1305), with a
// certificate chain file and a private key file (PEM). Plain HTTP is served only when Options::plain_http is set
// explicitly (tests, loopback set-ups); without it, missing certificate
// files are an error.
//
// Shutting down: begin_shutdown() makes every request that arrives from
// then on get 503 with Retry-After and "Connection: close" (connections
// are still accepted, so that clients learn it at once); requests already
// handed to the handler finish and are answered. begin_shutdown() returns
// at once. stop() blocks: it waits up to Options::drain_time for those
// requests, then closes every connection (waiting up to
// Limits::close_time for them to go) and joins every thread, a handler
// still running included. Both may be called from any thread, a
// signal-watching thread included; never from a signal handler itself,
// nor from the handler or the access log, whose threads stop() joins.
//
// Access log: one line per answered request (method, path without its
// query, status, body bytes, duration, peer, request id) through the
// process-wide logger at info level, or through Options::access_log when
// set. Headers, queries and bodies never reach it: they may hold secrets.
//
// Ownership: the server owns its threads and connections. It keeps a
// reference to the Handler, which must outlive it.
// Threads: every member function may be called from any thread. The
// handler is called from several worker threads at once and must allow it.
// Failures: the constructor throws std::invalid_argument for inconsistent
// options and std::runtime_error for unreadable certificate or key files
// (naming the file, never its content); start() throws std::runtime_error
// when the address cannot be bound. An exception thrown by the handler is
// logged (its message only) and answered with 500.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavoren::http_server {

// The bounds of one server. Every time limit here is a whole duration;
// none is ever waited beyond.
struct Limits {
  // Request line and headers together, in bytes (431 beyond it).
  std::size_t max_header_bytes = 16 * 1024;
  // Request body, in bytes (413 beyond it).
  std::size_t max_body_bytes = 16 * 1024 * 1024;
  // From a request's first byte to its last: a slower client is cut.
  std::chrono::milliseconds request_time = std::chrono::seconds(30);
  // How long an open connection may wait for its next request.
  std::chrono::milliseconds idle_time = std::chrono::seconds(60);
  // How long a TLS handshake may take.
  std::chrono::milliseconds handshake_time = std::chrono::seconds(10);
  // How long writing one answer may take (a client that does not read).
  std::chrono::milliseconds write_time = std::chrono::seconds(30);
  // How long a closing connection waits for its peer's side of the
  // close (the TLS close notification, or the rest of a refused body).
  std::chrono::milliseconds close_time = std::chrono::seconds(2);
  // Requests handed to the handler and not yet answered.
  std::size_t max_in_flight = 256;
  // Open connections, TLS handshakes included.
  std::size_t max_connections = 20000;
  // The Retry-After of 429 and 503 answers.
  std::chrono::seconds retry_after = std::chrono::seconds(1);
};

// One line of the access log.
struct AccessLogEntry {
  std::string method;
  std::string path;  // the target without its query
  int status = 0;
  std::size_t body_bytes = 0;             // of the answer
  std::chrono::microseconds duration{0};  // first byte read to answer written
  std::string peer;                       // "address:port"
  std::string request_id;
};

// The access log line of `entry`, as the default access log writes it:
// "<method> <path> <status> <bytes>B <ms>ms peer=<peer> id=<request id>".
std::string access_log_line(const AccessLogEntry& entry);

struct Options {
  // The address to listen on (IPv4 or IPv6 literal) and its port; port 0
  // picks a free one (see HttpServer::port()).
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  // PEM files: the server's certificate followed by its chain, and its
  // private key. Both are needed unless plain_http is set.
  std::filesystem::path certificate_chain_file;
  std::filesystem::path private_key_file;
  // Serve plain HTTP instead of TLS. Only for tests and loopback set-ups;
  // certificate files given with it are an error.
  bool plain_http = false;
  // I/O threads; 0: the hardware's concurrency (at least 2).
  unsigned io_threads = 0;
  // Threads that run the handler; 0: 8.
  unsigned worker_threads = 0;
  // The value of the "Server:" header of every answer, such as
  // "tavoren-backend/0.1.0".
  std::string server_name = "tavoren";
  Limits limits;
  // How long stop() waits for requests already in the handler's hands.
  std::chrono::milliseconds drain_time = std::chrono::seconds(10);
  // Receives one entry per answered request; unset: one info line per
  // request through the process-wide logger. Called on the I/O threads,
  // several at once: it must be quick, thread-safe, and must not throw.
  std::function<void(const AccessLogEntry&)> access_log;
};

// One complete request, as the handler sees it. Valid during the
// handler's call only.
class Request {
 public:
  using Header = std::pair<std::string, std::string>;

  Request(std::string method, std::string target, std::vector<Header> headers, std::string body,
          std::string peer, std::string request_id);

  // "GET", "POST", ...
  const std::string& method() const { return method_; }
  // The request target as sent: the path and any query.
  const std::string& target() const { return target_; }
  // The target without its query ("?..."), not decoded.
  std::string_view path() const;
  // The first header named `name`, compared without regard to case.
  std::optional<std::string_view> header(std::string_view name) const;
  // Every header, in the order received.
  const std::vector<Header>& headers() const { return headers_; }
  const std::string& body() const { return body_; }
  // The client's address and port, "address:port".
  const std::string& peer() const { return peer_; }
  // An identifier of this request, unique within the server's run; it is
  // also sent back in the X-Request-Id header and written to the access
  // log.
  const std::string& request_id() const { return request_id_; }

 private:
  std::string method_;
  std::string target_;
  std::vector<Header> headers_;
  std::string body_;
  std::string peer_;
  std::string request_id_;
};

// The handler's answer. The server sets Content-Length, Server,
// X-Request-Id and Connection itself; headers of those names given here
// are ignored.
struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class Handler {
 public:
  virtual ~Handler() = default;
  // Answers one request. Called on a worker thread; may block, but a
  // request that is never answered holds its worker and its connection,
  // and holds up stop() (which joins the workers): bound its waits.
  virtual Response handle(const Request& request) = 0;
};

// Counters of a running server, for tests and metrics.
struct Stats {
  std::size_t open_connections = 0;  // accepted and not yet closed
  std::size_t in_flight = 0;         // handed to the handler, not yet answered
  std::uint64_t connections_accepted = 0;
  std::uint64_t connections_refused = 0;  // closed at once: too many open
  std::uint64_t requests = 0;             // answered, whatever the status
};

class HttpServer {
 public:
  // Checks the options and loads the certificate and key; listens only
  // from start().
  HttpServer(Options options, Handler& handler);
  // stop(), when it was not called.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds, listens and starts the threads. Once it returns, connections
  // are accepted. Called at most once.
  void start();
  // The bound port (after start()).
  std::uint16_t port() const;

  // New requests get 503 from now on. Idempotent.
  void begin_shutdown();
  // begin_shutdown(), waits up to Options::drain_time for the requests in
  // the handler's hands to be answered, closes every connection and joins
  // every thread. It returns within drain_time plus Limits::close_time,
  // unless a handler is still running past them: that one is waited for
  // (see Handler). Idempotent.
  void stop();

  Stats stats() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavoren::http_server
