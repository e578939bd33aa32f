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
// Admission: once a request's head (start line and headers) is read, and
// before its body is, the handler's admit() is called on a worker thread.
// It either lets the request go on (the body is then read, a client that
// sent "Expect: 100-continue" is told to continue, and handle() follows)
// or answers it at once: the body is never read and the connection is
// closed. Until a request is admitted, the server buffers at most
// Limits::max_header_bytes of it plus what it read ahead, within
// kMaxBufferedBeforeAdmission bytes in all.
//
// Bounds, each with a default and each injectable through Limits: header
// size (431 beyond it), body size (413), the time a client has to send a
// whole request once it started (the connection is cut), the time an idle
// keep-alive connection is kept, the time a TLS handshake may take, the
// number of requests in flight (beyond it: 429 with Retry-After, without
// calling the handler) and the number of open connections (beyond it the
// oldest idle connection, one waiting for the first bytes of a request or
// of its TLS handshake, is closed to make room; when none is idle the new
// connection is closed at once). The connection limit must fit within the
// process's descriptor limit (see connections_within and
// raise_descriptor_limit), so that connections are refused by the server
// rather than by a failing accept. A malformed request gets 400. Every
// error answer closes the connection, except a 429 or the handler's
// refusal of a request that has no body. These refusals of the
// server's own are rendered by Options::render_refusal when set (status,
// headers and body); without it they are short plain texts. The server
// adds Retry-After to a rendered 429 or 503 that has none.
//
// TLS: TLS 1.3 when the client has it, else TLS 1.2 with forward-secret
// AEAD suites only (ECDHE with AES-GCM or ChaCha20-Poly1305), with a
// certificate chain file and a private key file (PEM). Plain HTTP is served only when
// Options::plain_http is set explicitly (tests, loopback set-ups); without it, missing certificate
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

#include <any>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavoren::http_server {

// The bounds of one server. Every time limit here is a whole duration;
// none is ever waited beyond.
// The most a connection buffers of a request that is not yet admitted:
// max_header_bytes is capped to fit within it.
inline constexpr std::size_t kMaxBufferedBeforeAdmission = 64 * 1024;

struct Limits {
  // Request line and headers together, in bytes (431 beyond it; at most
  // kMaxBufferedBeforeAdmission is used).
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

// The body of an answer that goes on after its head, piece by piece, for
// as long as both sides want (server-sent events). The handler answers
// with Response::stream set and keeps the stream; any thread may then send
// to it. The server writes the head ("Connection: close", no length), then
// each piece in order as soon as the connection can take it, and closes
// the connection once the stream is closed and its pieces are written.
// A streamed answer holds no place in flight and no worker. Thread-safe.
class BodyStream {
 public:
  // At most `max_queued` bytes wait unwritten: a client that reads more
  // slowly than the stream is fed is cut.
  explicit BodyStream(std::size_t max_queued = 1 << 20);
  BodyStream(const BodyStream&) = delete;
  BodyStream& operator=(const BodyStream&) = delete;

  // Queues `piece` for writing. False, and nothing is queued, once the
  // stream is closed: by close(), by the client leaving, by a write that
  // failed or took longer than Limits::write_time, by the server stopping,
  // or by the queue passing max_queued (which closes it). Never blocks.
  bool send(std::string piece);
  // Ends the answer once what is queued is written. Idempotent.
  void close();
  bool closed() const;

  // The server's side: `wake` is called (from any thread, without the
  // stream's lock) whenever there is something to write or the stream
  // closed; take() hands over what is queued, and whether the stream is
  // closed; drop() closes it from the connection's side.
  void attach(std::function<void()> wake);
  std::pair<std::string, bool> take();
  void drop();

 private:
  void wake_up();

  const std::size_t max_queued_;
  mutable std::mutex mutex_;
  std::string queued_;
  bool closed_ = false;
  std::function<void()> wake_;
};

// The handler's answer. The server sets Content-Length, Server,
// X-Request-Id and Connection itself; headers of those names given here
// are ignored. With `stream` set, `body` is ignored and the answer's body
// is what the stream is sent (see BodyStream).
struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::shared_ptr<BodyStream> stream;
};

// The refusals the server answers by itself, without the handler.
enum class Refusal {
  kMalformed,        // 400: the request cannot be parsed
  kHeadersTooLarge,  // 431 by default: the head exceeds max_header_bytes
  kBodyTooLarge,     // 413: the body exceeds max_body_bytes
  kBusy,             // 429: max_in_flight requests are in the handler's hands
  kShuttingDown,     // 503: begin_shutdown() was called
  kInternal,         // 500: the handler threw, or answered an impossible status
};

// How the refusals are rendered by default: 400, 431, 413, 429, 503 and
// 500 with a short plain text.
Response default_refusal(Refusal refusal);

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
  // Renders the server's own refusals; unset: default_refusal. Called on
  // the I/O and worker threads, several at once: it must be quick,
  // thread-safe, and must not throw. An answer whose status is outside
  // 200..599 is replaced by the default one.
  std::function<Response(Refusal)> render_refusal;
};

// The start line and headers of a request whose body is not read yet, as
// the handler's admit() sees it. Valid during that call only.
class RequestHead {
 public:
  using Header = std::pair<std::string, std::string>;

  RequestHead(std::string method, std::string target, std::vector<Header> headers,
              std::string peer);

  const std::string& method() const { return method_; }
  const std::string& target() const { return target_; }
  // The target without its query ("?..."), not decoded.
  std::string_view path() const;
  // The first header named `name`, compared without regard to case.
  std::optional<std::string_view> header(std::string_view name) const;
  const std::vector<Header>& headers() const { return headers_; }
  const std::string& peer() const { return peer_; }

 private:
  std::string method_;
  std::string target_;
  std::vector<Header> headers_;
  std::string peer_;
};

// One complete request, as the handler sees it. Valid during the
// handler's call only.
class Request {
 public:
  using Header = std::pair<std::string, std::string>;

  Request(std::string method, std::string target, std::vector<Header> headers, std::string body,
          std::string peer, std::string request_id, std::any admission = {});

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
  // What the handler's admit() kept for this request (Admission::context).
  const std::any& admission() const { return admission_; }

 private:
  std::string method_;
  std::string target_;
  std::vector<Header> headers_;
  std::string body_;
  std::string peer_;
  std::string request_id_;
  std::any admission_;
};

// The handler's verdict on a request's head.
struct Admission {
  // Set: the answer, sent at once; the body is not read.
  std::optional<Response> refusal;
  // Handed to handle() with the request (Request::admission()).
  std::any context;

  static Admission admit(std::any context = {}) {
    return Admission{std::nullopt, std::move(context)};
  }
  static Admission refuse(Response response) { return Admission{std::move(response), {}}; }
};

class Handler {
 public:
  virtual ~Handler() = default;
  // Decides, from its head alone, whether a request's body is read. Called
  // on a worker thread, counted in flight like handle(), at most once per
  // request and before handle(); by default every request is admitted.
  // An exception is answered with a 500 and the body is not read.
  virtual Admission admit(const RequestHead& head);
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
  std::uint64_t connections_evicted = 0;  // idle ones closed to make room
};

// The connection limit that fits within `descriptors` (the process's
// soft RLIMIT_NOFILE) with `reserve` of them left for everything else:
// `wanted` or less, at least 1.
std::size_t connections_within(std::uint64_t descriptors, std::size_t wanted, std::size_t reserve);

// Raises the process's soft RLIMIT_NOFILE to its hard limit (as far as
// the kernel allows) and returns the soft limit in force afterwards.
std::uint64_t raise_descriptor_limit();

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
