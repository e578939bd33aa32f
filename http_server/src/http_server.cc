#include "tavoren/http_server.h"

#include <openssl/ssl.h>
#include <sys/resource.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "tavoren/common/logging.h"

namespace tavoren::http_server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// Headers the server writes itself; the handler's values for them are
// dropped.
bool reserved_header(std::string_view name) {
  for (std::string_view reserved :
       {"content-length", "transfer-encoding", "connection", "server", "x-request-id"}) {
    if (equal_ignoring_case(name, reserved)) return true;
  }
  return false;
}

// A header that cannot be written as given: an empty name, or a name or
// value that would break the header block.
bool malformed_header(std::string_view name, std::string_view value) {
  if (name.empty()) return true;
  auto bad = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  if (std::any_of(name.begin(), name.end(), [&](char c) { return bad(c) || c == ':' || c == ' '; }))
    return true;
  return std::any_of(value.begin(), value.end(), bad);
}

std::string endpoint_text(const tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(endpoint.port());
}

std::string hex(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xf];
  }
  return text;
}

// A connection as the server's registry sees it, whatever its transport.
class Connection {
 public:
  virtual ~Connection() = default;
  // Closes the connection at once (from any thread; it happens on the
  // connection's own strand).
  virtual void close_now() = 0;
  // Whether it waits for the first bytes of a request (or of its TLS
  // handshake): closing it loses no request.
  virtual bool idle() const = 0;
  // Whether it was idle; it is not any more, so that a connection chosen
  // to be closed is not chosen again while its close is under way.
  virtual bool claim_if_idle() = 0;
};

}  // namespace

std::string access_log_line(const AccessLogEntry& entry) {
  const double ms = static_cast<double>(entry.duration.count()) / 1000.0;
  return log::format(
      "%s %s %d %dB %.1fms peer=%s id=%s",
      {entry.method, entry.path, entry.status, entry.body_bytes, ms, entry.peer, entry.request_id});
}

Response default_refusal(Refusal refusal) {
  switch (refusal) {
    case Refusal::kMalformed:
      return Response{400, {}, "malformed request\n"};
    case Refusal::kHeadersTooLarge:
      return Response{431, {}, "request headers too large\n"};
    case Refusal::kBodyTooLarge:
      return Response{413, {}, "request body too large\n"};
    case Refusal::kBusy:
      return Response{429, {}, "too many requests\n"};
    case Refusal::kShuttingDown:
      return Response{503, {}, "shutting down\n"};
    case Refusal::kInternal:
      break;
  }
  return Response{500, {}, "internal error\n"};
}

namespace {

std::optional<std::string_view> find_header(
    const std::vector<std::pair<std::string, std::string>>& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (equal_ignoring_case(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

RequestHead::RequestHead(std::string method, std::string target, std::vector<Header> headers,
                         std::string peer)
    : method_(std::move(method)),
      target_(std::move(target)),
      headers_(std::move(headers)),
      peer_(std::move(peer)) {}

std::string_view RequestHead::path() const { return path_of(target_); }

std::optional<std::string_view> RequestHead::header(std::string_view name) const {
  return find_header(headers_, name);
}

Admission Handler::admit(const RequestHead&) { return Admission::admit(); }

Request::Request(std::string method, std::string target, std::vector<Header> headers,
                 std::string body, std::string peer, std::string request_id, std::any admission)
    : method_(std::move(method)),
      target_(std::move(target)),
      headers_(std::move(headers)),
      body_(std::move(body)),
      peer_(std::move(peer)),
      request_id_(std::move(request_id)),
      admission_(std::move(admission)) {}

std::string_view Request::path() const { return path_of(target_); }

std::optional<std::string_view> Request::header(std::string_view name) const {
  return find_header(headers_, name);
}

class HttpServer::Impl {
 public:
  Impl(Options options, Handler& handler);
  ~Impl() { stop(); }

  void start();
  void begin_shutdown() { shutting_down_.store(true); }
  void stop();
  std::uint16_t port() const { return port_.load(); }
  Stats stats() const {
    return Stats{open_connections_.load(), in_flight_.load(), accepted_.load(),
                 refused_.load(),          requests_.load(),  evicted_.load()};
  }

  // For the connections.
  const Options& options() const { return options_; }
  const Limits& limits() const { return options_.limits; }
  Handler& handler() { return handler_; }
  bool shutting_down() const { return shutting_down_.load(); }
  // Counts one more request in the handler's hands, unless the limit is
  // reached.
  bool try_enter() {
    if (in_flight_.fetch_add(1) >= options_.limits.max_in_flight) {
      leave();
      return false;
    }
    return true;
  }
  void leave() {
    if (in_flight_.fetch_sub(1) == 1) notify();
  }
  std::string next_request_id() { return id_prefix_ + "-" + hex(++request_counter_, 8); }
  void run_on_worker(std::function<void()> job) { asio::post(*workers_, std::move(job)); }
  void log_access(const AccessLogEntry& entry);
  void connection_closed(std::uint64_t id);
  // The answer of one of the server's own refusals (see Options).
  Response refusal(Refusal refusal) const;

 private:
  void accept();
  void on_accept(const beast::error_code& error, tcp::socket socket);
  // Closes the oldest idle connection to make room for a new one; false
  // when none is idle.
  bool evict_idle();
  template <class Stream>
  void open_connection(tcp::socket socket);
  void notify() {
    std::lock_guard lock(wait_mutex_);
    wait_cv_.notify_all();
  }
  template <class Predicate>
  void wait_until(Predicate done, std::chrono::milliseconds limit) {
    std::unique_lock lock(wait_mutex_);
    wait_cv_.wait_for(lock, limit, done);
  }

  const Options options_;
  Handler& handler_;
  std::string id_prefix_;

  // Counters and the registry come first: connections still alive when
  // the I/O context is destroyed use them on their way out.
  std::atomic<bool> shutting_down_{false};
  std::atomic<std::size_t> open_connections_{0};
  std::atomic<std::size_t> in_flight_{0};
  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> evicted_{0};
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<std::uint64_t> request_counter_{0};
  std::atomic<std::uint16_t> port_{0};
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
  std::mutex registry_mutex_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> registry_;
  std::uint64_t next_connection_id_ = 0;  // under registry_mutex_

  std::optional<ssl::context> tls_;
  std::mutex stop_mutex_;
  bool started_ = false;  // under stop_mutex_
  bool stopped_ = false;  // under stop_mutex_
  std::optional<asio::io_context> io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::optional<tcp::acceptor> acceptor_;  // used on its own strand only
  std::optional<asio::steady_timer> accept_retry_;
  std::optional<asio::thread_pool> workers_;
  std::vector<std::thread> io_threads_;
};

namespace {

// One client connection: reads requests one after another, hands each to
// the worker pool, writes its answer, and keeps every step within its
// time limit. Every member runs on the connection's strand.
template <class Stream>
class Session final : public Connection, public std::enable_shared_from_this<Session<Stream>> {
 public:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  Session(HttpServer::Impl& server, tcp::socket&& socket, ssl::context* tls, std::string peer,
          std::uint64_t id)
      : server_(server),
        stream_(make_stream(std::move(socket), tls)),
        peer_(std::move(peer)),
        id_(id) {
    buffer_.max_size(kMaxBufferedBeforeAdmission);
  }
  ~Session() override {
    if (body_stream_) body_stream_->drop();
    release_slot();
    server_.connection_closed(id_);
  }

  // Starts serving, on the connection's own strand.
  void start() {
    asio::dispatch(lowest().get_executor(), [self = this->shared_from_this()] { self->begin(); });
  }

  void close_now() override {
    asio::post(lowest().get_executor(), [self = this->shared_from_this()] { self->close(); });
  }
  bool idle() const override { return idle_.load(std::memory_order_relaxed); }
  bool claim_if_idle() override { return idle_.exchange(false); }

 private:
  static Stream make_stream(tcp::socket&& socket, ssl::context* tls) {
    if constexpr (kTls) {
      return Stream(std::move(socket), *tls);
    } else {
      return Stream(std::move(socket));
    }
  }

  void begin() {
    if constexpr (kTls) {
      lowest().expires_after(server_.limits().handshake_time);
      stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](
                                                            const beast::error_code& error) {
        if (error) {
          log::debug("TLS handshake with %s failed: %s", self->peer_, error.message());
          self->close();
          return;
        }
        self->wait_for_request();
      });
    } else {
      wait_for_request();
    }
  }

  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  void close() {
    closed_ = true;
    if (body_stream_) body_stream_->drop();
    lowest().close();
  }

  // Waits, up to the idle limit, for the first byte of the next request.
  void wait_for_request() {
    if (closed_) return;
    if (buffer_.size() > 0) {
      read_request();
      return;
    }
    buffer_.shrink_to_fit();  // idle connections hold no buffer
    idle_ = true;
    lowest().expires_after(server_.limits().idle_time);
    stream_.async_read_some(
        buffer_.prepare(kFirstRead),
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t bytes) {
          if (error) {
            self->close();
            return;
          }
          self->idle_ = false;
          self->buffer_.commit(bytes);
          self->read_request();
        });
  }

  // Reads the head of one request within the request limit; the body
  // waits for the handler's admission.
  void read_request() {
    started_ = Clock::now();
    parser_.emplace();
    // The head fits within what is buffered before admission.
    parser_->header_limit(static_cast<std::uint32_t>(
        std::min(server_.limits().max_header_bytes, kMaxBufferedBeforeAdmission / 2)));
    parser_->body_limit(server_.limits().max_body_bytes);
    lowest().expires_after(server_.limits().request_time);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
          if (error) {
            self->on_read_failed(error);
            return;
          }
          self->on_head();
        });
  }

  // Refuses the request at once (stopping, busy), or hands its head to the
  // handler's admit() on a worker, counted in flight from then on.
  void on_head() {
    const auto& head = parser_->get();
    keep_alive_ = head.keep_alive();
    method_ = std::string(head.method_string());
    target_ = std::string(head.target());
    request_id_ = server_.next_request_id();
    if (server_.shutting_down()) {
      refuse(server_.refusal(Refusal::kShuttingDown));
      return;
    }
    if (!server_.try_enter()) {
      refuse(server_.refusal(Refusal::kBusy));
      return;
    }
    counted_ = true;
    std::vector<RequestHead::Header> headers;
    for (const auto& field : head) {
      headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    auto request_head = std::make_shared<RequestHead>(method_, target_, std::move(headers), peer_);
    lowest().expires_never();  // the handler's time is bounded by the handler
    if (body_came_with_head()) {
      admit_and_handle(std::move(request_head));
      return;
    }
    server_.run_on_worker([self = this->shared_from_this(), request_head] {
      Admission admission = self->admitted(*request_head);
      asio::post(self->lowest().get_executor(), [self, admission = std::move(admission)]() mutable {
        self->on_admission(std::move(admission));
      });
    });
  }

  // The handler's admission of `head`; a failure of it is a refusal (500).
  Admission admitted(const RequestHead& head) {
    try {
      return server_.handler().admit(head);
    } catch (const std::exception& e) {
      log::error("admission of %s %s (id %s) failed: %s", head.method(), head.path(), request_id_,
                 e.what());
    } catch (...) {
      log::error("admission of %s %s (id %s) failed", head.method(), head.path(), request_id_);
    }
    return Admission::refuse(server_.refusal(Refusal::kInternal));
  }

  // The handler's answer to `request`; a failure of it is a 500.
  Response handled(const Request& request) {
    try {
      return server_.handler().handle(request);
    } catch (const std::exception& e) {
      log::error("request %s %s (id %s) failed: %s", request.method(), request.path(),
                 request.request_id(), e.what());
    } catch (...) {
      log::error("request %s %s (id %s) failed", request.method(), request.path(),
                 request.request_id());
    }
    return server_.refusal(Refusal::kInternal);
  }

  // Whether the request is whole already: it has no body, or its body (of a
  // stated length within the limit) came in the bytes read with its head,
  // which are then parsed. Nothing more is read from the connection: the
  // bytes are those buffered before admission anyway.
  bool body_came_with_head() {
    if (parser_->is_done()) return true;
    const auto length = parser_->content_length();
    if (!length || *length > server_.limits().max_body_bytes || buffer_.size() < *length) {
      return false;
    }
    parser_->eager(true);
    beast::error_code error;
    const std::size_t used = parser_->put(buffer_.data(), error);
    if (error) return false;  // the ordinary path reads it again and says why
    buffer_.consume(used);
    return parser_->is_done();
  }

  // A whole request admitted and handled in one turn of a worker: one
  // hand-over between threads fewer than a body read after admission.
  void admit_and_handle(std::shared_ptr<RequestHead> head) {
    auto message = std::make_shared<http::request<http::string_body>>(parser_->release());
    parser_.reset();
    keep_alive_ = message->keep_alive();
    server_.run_on_worker([self = this->shared_from_this(), head, message] {
      Admission admission = self->admitted(*head);
      Response response;
      if (admission.refusal) {
        response = std::move(*admission.refusal);
      } else {
        std::vector<Request::Header> headers;
        for (const auto& field : *message) {
          headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        const Request request(head->method(), head->target(), std::move(headers),
                              std::move(message->body()), head->peer(), self->request_id_,
                              std::move(admission.context));
        response = self->handled(request);
      }
      asio::post(self->lowest().get_executor(), [self, response = std::move(response)]() mutable {
        self->send(std::move(response));
      });
    });
  }

  void on_admission(Admission admission) {
    if (closed_) {
      release_slot();
      return;
    }
    if (admission.refusal) {
      refuse(std::move(*admission.refusal));
      return;
    }
    admission_ = std::move(admission.context);
    lowest().expires_after(server_.limits().request_time - (Clock::now() - started_));
    continue_if_expected();
  }

  // Answers a request whose body was not read; the connection goes on only
  // when it has no body to skip.
  void refuse(Response response) {
    if (!parser_->is_done()) keep_alive_ = false;
    parser_.reset();
    send(std::move(response));
  }

  // Tells a client that waits before sending its body to go on.
  void continue_if_expected() {
    const auto& request = parser_->get();
    auto expect = request.find(http::field::expect);
    if (parser_->is_done() || expect == request.end() ||
        !beast::iequals(expect->value(), "100-continue")) {
      read_body();
      return;
    }
    auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                      request.version());
    http::async_write(
        stream_, *interim,
        [self = this->shared_from_this(), interim](const beast::error_code& error, std::size_t) {
          if (error) {
            self->release_slot();
            self->close();
            return;
          }
          self->read_body();
        });
  }

  void read_body() {
    if (parser_->is_done()) {
      on_request();
      return;
    }
    http::async_read(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
          if (error) {
            self->on_read_failed(error);
            return;
          }
          self->on_request();
        });
  }

  void on_read_failed(const beast::error_code& error) {
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
      reply_error(Refusal::kHeadersTooLarge);
    } else if (error == http::error::body_limit) {
      reply_error(Refusal::kBodyTooLarge);
    } else if (error.category() == beast::error_code(http::error::end_of_stream).category() &&
               error != http::error::end_of_stream && error != http::error::partial_message) {
      reply_error(Refusal::kMalformed);
    } else {
      if (error == beast::error::timeout) {
        log::debug("cut connection from %s: request not complete within %d ms", peer_,
                   server_.limits().request_time.count());
      }
      release_slot();
      close();
    }
  }

  // Answers a request that was not read whole, and closes.
  void reply_error(Refusal refusal) {
    keep_alive_ = false;
    // The start line is known once it was read, even when what follows it
    // failed.
    const auto& partial = parser_->get();
    method_ = partial.method_string().empty() ? "-" : std::string(partial.method_string());
    target_ = partial.target().empty() ? "-" : std::string(partial.target());
    if (request_id_.empty()) request_id_ = server_.next_request_id();
    parser_.reset();
    send(server_.refusal(refusal));
  }

  void on_request() {
    auto message = parser_->release();
    parser_.reset();
    keep_alive_ = message.keep_alive();
    std::vector<Request::Header> headers;
    for (const auto& field : message) {
      headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    auto request =
        std::make_shared<Request>(method_, target_, std::move(headers), std::move(message.body()),
                                  peer_, request_id_, std::move(admission_));
    admission_.reset();
    lowest().expires_never();  // the handler's time is bounded by the handler
    server_.run_on_worker([self = this->shared_from_this(), request] {
      Response response = self->handled(*request);
      asio::post(self->lowest().get_executor(), [self, response = std::move(response)]() mutable {
        self->send(std::move(response));
      });
    });
  }

  // Gives back the request's place in flight, if it holds one.
  void release_slot() {
    if (counted_) server_.leave();
    counted_ = false;
  }

  // Writes one answer, and ends the request's place in flight.
  void send(Response response) {
    if (response.status < 200 || response.status > 599) {
      log::error("request %s (id %s): the handler answered status %d; sent 500 instead", target_,
                 request_id_, response.status);
      response = server_.refusal(Refusal::kInternal);
    }
    if (response.stream) {
      send_streamed(std::move(response));
      return;
    }
    auto message = std::make_shared<http::response<http::string_body>>();
    message->version(11);
    message->result(static_cast<unsigned>(response.status));
    message->set(http::field::server, server_.options().server_name);
    message->set("X-Request-Id", request_id_);
    for (const auto& [name, value] : response.headers) {
      if (reserved_header(name)) continue;
      if (malformed_header(name, value)) {
        log::warning("request %s (id %s): a header of the answer is malformed and was dropped",
                     target_, request_id_);
        continue;
      }
      message->insert(name, value);
    }
    message->body() = std::move(response.body);
    if (server_.shutting_down()) keep_alive_ = false;
    message->keep_alive(keep_alive_);
    message->prepare_payload();
    if (closed_) {
      finish_request(message->result_int(), message->body().size());
      return;
    }
    lowest().expires_after(server_.limits().write_time);
    http::async_write(
        stream_, *message,
        [self = this->shared_from_this(), message](const beast::error_code& error, std::size_t) {
          self->finish_request(message->result_int(), message->body().size());
          if (error) {
            self->close();
          } else if (!self->keep_alive_) {
            self->shut_down();
          } else {
            self->wait_for_request();
          }
        });
  }

  void finish_request(unsigned status, std::size_t body_bytes) {
    release_slot();
    const auto duration =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_);
    server_.log_access(AccessLogEntry{method_, std::string(path_of(target_)),
                                      static_cast<int>(status), body_bytes, duration, peer_,
                                      request_id_});
    request_id_.clear();
  }

  // A streamed answer: its head, written at once (the request leaves the
  // in-flight count and the access log then), then its body's pieces as
  // the handler sends them, while a read waits for the client to leave.
  void send_streamed(Response response) {
    body_stream_ = std::move(response.stream);
    keep_alive_ = false;
    const auto status = static_cast<unsigned>(response.status);
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                       std::string(http::obsolete_reason(http::int_to_status(status))) + "\r\n";
    head += "Server: " + server_.options().server_name + "\r\nX-Request-Id: " + request_id_ +
            "\r\nConnection: close\r\n";
    for (const auto& [name, value] : response.headers) {
      if (reserved_header(name) || malformed_header(name, value)) continue;
      head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    finish_request(status, 0);
    if (closed_) {
      body_stream_->drop();
      return;
    }
    auto text = std::make_shared<std::string>(std::move(head));
    lowest().expires_after(server_.limits().write_time);
    asio::async_write(
        stream_, asio::buffer(*text),
        [self = this->shared_from_this(), text](const beast::error_code& error, std::size_t) {
          if (error) {
            self->close();
            return;
          }
          self->lowest().expires_never();
          self->watch_for_leaving();
          std::weak_ptr<Session> weak = self;
          self->body_stream_->attach([weak] {
            if (auto session = weak.lock()) {
              asio::post(session->lowest().get_executor(),
                         [session] { session->write_streamed(); });
            }
          });
          self->write_streamed();
        });
  }

  // Writes what the stream has queued, one write at a time; shuts the
  // connection down once the stream is closed and written.
  void write_streamed() {
    if (closed_ || writing_) return;
    auto [pieces, ended] = body_stream_->take();
    if (pieces.empty()) {
      if (ended) end_streamed();
      return;
    }
    writing_ = true;
    auto text = std::make_shared<std::string>(std::move(pieces));
    lowest().expires_after(server_.limits().write_time);
    asio::async_write(
        stream_, asio::buffer(*text),
        [self = this->shared_from_this(), text](const beast::error_code& error, std::size_t) {
          self->writing_ = false;
          if (error) {
            self->close();
            return;
          }
          self->lowest().expires_never();
          self->write_streamed();
        });
  }

  // Ends a streamed answer whose pieces are all written. The read that
  // watches for the client's leaving is still pending (a second one may
  // not be): it sees the client's end of the connection, or the close
  // limit, and closes it. TLS closes at once, without the close
  // notification, whose exchange would need a read of its own.
  void end_streamed() {
    lowest().expires_after(server_.limits().close_time);
    if constexpr (kTls) {
      close();
    } else {
      beast::error_code ignored;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  // A streamed answer's client sends nothing more: whatever it sends is
  // dropped, and its leaving closes the stream.
  void watch_for_leaving() {
    buffer_.clear();
    stream_.async_read_some(
        buffer_.prepare(kFirstRead),
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
          if (error) {
            if (!self->closed_) self->close();
            return;
          }
          self->watch_for_leaving();
        });
  }

  // Ends the connection in order: the TLS close notification, or the end
  // of our side of TCP; then waits, up to the close limit, for the peer to
  // finish, so that an answer to a refused request is not lost to a reset.
  void shut_down() {
    if (closed_) return;
    lowest().expires_after(server_.limits().close_time);
    if constexpr (kTls) {
      stream_.async_shutdown(
          [self = this->shared_from_this()](const beast::error_code&) { self->close(); });
    } else {
      beast::error_code ignored;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      drain();
    }
  }

  void drain() {
    buffer_.clear();
    stream_.async_read_some(
        buffer_.prepare(kFirstRead),
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
          if (error) {
            self->close();
            return;
          }
          self->drain();
        });
  }

  static constexpr std::size_t kFirstRead = 4096;

  HttpServer::Impl& server_;
  Stream stream_;
  const std::string peer_;
  const std::uint64_t id_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Clock::time_point started_ = Clock::now();
  bool keep_alive_ = true;
  bool closed_ = false;
  // The request holds a place in flight (from its admission to its answer).
  bool counted_ = false;
  // Waiting for a peer's first bytes (see Connection::idle); read from the
  // accepting strand.
  std::atomic<bool> idle_{true};
  // What the handler's admit() kept for the request being read.
  std::any admission_;
  // The body of a streamed answer, once one is being sent; a write of it
  // is under way.
  std::shared_ptr<BodyStream> body_stream_;
  bool writing_ = false;
  std::string method_;
  std::string target_;
  std::string request_id_;
};

}  // namespace

namespace {
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
}  // namespace

HttpServer::Impl::Impl(Options options, Handler& handler)
    : options_(std::move(options)), handler_(handler) {
  if (options_.plain_http) {
    if (!options_.certificate_chain_file.empty() || !options_.private_key_file.empty()) {
      throw std::invalid_argument("plain HTTP is served without certificate files");
    }
  } else {
    if (options_.certificate_chain_file.empty() || options_.private_key_file.empty()) {
      throw std::invalid_argument(
          "a certificate chain file and a private key file are needed (or plain_http)");
    }
    tls_.emplace(ssl::context::tls_server);
    tls_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                      ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(tls_->native_handle(), TLS1_2_VERSION);
    // TLS 1.3's suites are all AEAD with forward secrecy; TLS 1.2 is held
    // to the same, in the server's order.
    if (SSL_CTX_set_cipher_list(tls_->native_handle(), kTls12Suites) != 1) {
      throw std::runtime_error("the TLS 1.2 cipher suites are not available");
    }
    SSL_CTX_set_options(tls_->native_handle(),
                        SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    // Idle connections give their read and write buffers back.
    SSL_CTX_set_mode(tls_->native_handle(), SSL_MODE_RELEASE_BUFFERS);
    beast::error_code error;
    tls_->use_certificate_chain_file(options_.certificate_chain_file.string(), error);
    if (error) {
      throw std::runtime_error("cannot use the certificate chain file " +
                               options_.certificate_chain_file.string() + ": " + error.message());
    }
    tls_->use_private_key_file(options_.private_key_file.string(), ssl::context::pem, error);
    if (error) {
      throw std::runtime_error("cannot use the private key file " +
                               options_.private_key_file.string() + ": " + error.message());
    }
    if (SSL_CTX_check_private_key(tls_->native_handle()) != 1) {
      throw std::runtime_error("the private key file " + options_.private_key_file.string() +
                               " does not match the certificate");
    }
  }
  if (options_.limits.max_in_flight == 0 || options_.limits.max_connections == 0) {
    throw std::invalid_argument("max_in_flight and max_connections must be at least 1");
  }
  std::random_device random;
  id_prefix_ = hex(random(), 8);
}

void HttpServer::Impl::start() {
  std::lock_guard lock(stop_mutex_);
  if (started_) throw std::logic_error("the server was started already");
  started_ = true;
  io_.emplace();
  work_.emplace(io_->get_executor());
  beast::error_code error;
  const auto address = asio::ip::make_address(options_.address, error);
  if (error) throw std::invalid_argument("not an IP address: " + options_.address);
  const tcp::endpoint endpoint(address, options_.port);
  acceptor_.emplace(asio::make_strand(*io_));
  acceptor_->open(endpoint.protocol(), error);
  if (!error) acceptor_->set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor_->bind(endpoint, error);
  if (!error) acceptor_->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    const auto message = "cannot listen on " + endpoint_text(endpoint) + ": " + error.message();
    acceptor_.reset();
    work_.reset();
    io_.reset();
    stopped_ = true;
    throw std::runtime_error(message);
  }
  port_.store(acceptor_->local_endpoint().port());
  accept_retry_.emplace(acceptor_->get_executor());
  workers_.emplace(options_.worker_threads == 0 ? 8 : options_.worker_threads);
  unsigned io_threads = options_.io_threads;
  if (io_threads == 0) io_threads = std::max(2u, std::thread::hardware_concurrency());
  accept();
  for (unsigned i = 0; i < io_threads; ++i) {
    io_threads_.emplace_back([this] {
      for (;;) {
        try {
          io_->run();
          return;
        } catch (const std::exception& e) {
          log::error("HTTP server I/O thread: %s", e.what());
        }
      }
    });
  }
}

void HttpServer::Impl::accept() {
  acceptor_->async_accept(asio::make_strand(*io_),
                          [this](const beast::error_code& error, tcp::socket socket) {
                            on_accept(error, std::move(socket));
                          });
}

void HttpServer::Impl::on_accept(const beast::error_code& error, tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor_->is_open()) return;
  if (error) {
    // Out of descriptors or memory: try again shortly instead of spinning.
    log::warning("HTTP server cannot accept a connection: %s", error.message());
    accept_retry_->expires_after(std::chrono::milliseconds(100));
    accept_retry_->async_wait([this](const beast::error_code& wait_error) {
      if (!wait_error && acceptor_->is_open()) accept();
    });
    return;
  }
  accepted_.fetch_add(1);
  if (open_connections_.load() >= options_.limits.max_connections && !evict_idle()) {
    refused_.fetch_add(1);
    beast::error_code ignored;
    socket.close(ignored);
  } else if (tls_) {
    open_connection<TlsStream>(std::move(socket));
  } else {
    open_connection<PlainStream>(std::move(socket));
  }
  accept();
}

template <class Stream>
void HttpServer::Impl::open_connection(tcp::socket socket) {
  beast::error_code error;
  socket.set_option(tcp::no_delay(true), error);
  const auto peer = socket.remote_endpoint(error);
  if (error) return;  // the peer is gone already
  open_connections_.fetch_add(1);
  std::uint64_t id;
  {
    std::lock_guard lock(registry_mutex_);
    id = ++next_connection_id_;
  }
  auto session = std::make_shared<Session<Stream>>(
      *this, std::move(socket), tls_ ? &*tls_ : nullptr, endpoint_text(peer), id);
  {
    std::lock_guard lock(registry_mutex_);
    registry_.emplace(id, session);
  }
  session->start();
}

bool HttpServer::Impl::evict_idle() {
  // The connections being evicted close within moments; beyond this many
  // over the limit, new ones are refused instead.
  constexpr std::size_t kEvictionSlack = 16;
  if (open_connections_.load() >= options_.limits.max_connections + kEvictionSlack) return false;
  while (true) {
    std::shared_ptr<Connection> oldest;
    {
      std::lock_guard lock(registry_mutex_);
      std::uint64_t oldest_id = UINT64_MAX;
      for (const auto& [id, weak] : registry_) {
        if (id >= oldest_id) continue;
        auto connection = weak.lock();
        if (connection && connection->idle()) {
          oldest_id = id;
          oldest = std::move(connection);
        }
      }
    }
    if (!oldest) return false;
    // It may have had a request meanwhile; then the next oldest idle one.
    if (oldest->claim_if_idle()) {
      // Counted before the peer can see it closed.
      evicted_.fetch_add(1);
      oldest->close_now();
      return true;
    }
  }
}

void HttpServer::Impl::connection_closed(std::uint64_t id) {
  {
    std::lock_guard lock(registry_mutex_);
    registry_.erase(id);
  }
  if (open_connections_.fetch_sub(1) == 1) notify();
}

Response HttpServer::Impl::refusal(Refusal refusal) const {
  Response response = default_refusal(refusal);
  if (options_.render_refusal) {
    Response rendered = options_.render_refusal(refusal);
    if (rendered.status >= 200 && rendered.status <= 599) response = std::move(rendered);
  }
  if ((refusal == Refusal::kBusy || refusal == Refusal::kShuttingDown) &&
      !find_header(response.headers, "Retry-After")) {
    response.headers.emplace_back("Retry-After",
                                  std::to_string(options_.limits.retry_after.count()));
  }
  return response;
}

void HttpServer::Impl::log_access(const AccessLogEntry& entry) {
  requests_.fetch_add(1);
  if (options_.access_log) {
    options_.access_log(entry);
  } else {
    log::info("%s", access_log_line(entry));
  }
}

void HttpServer::Impl::stop() {
  std::lock_guard lock(stop_mutex_);
  if (stopped_) return;
  stopped_ = true;
  begin_shutdown();
  if (!started_) return;
  wait_until([this] { return in_flight_.load() == 0; }, options_.drain_time);
  asio::post(acceptor_->get_executor(), [this] {
    beast::error_code ignored;
    acceptor_->close(ignored);
    accept_retry_->cancel();
  });
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard registry_lock(registry_mutex_);
    for (const auto& [id, weak] : registry_) {
      if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
  }
  for (const auto& connection : open) connection->close_now();
  open.clear();
  wait_until([this] { return open_connections_.load() == 0; }, options_.limits.close_time);
  // Handlers still running are waited for; queued ones are dropped.
  workers_->stop();
  workers_->join();
  work_.reset();
  io_->stop();
  for (auto& thread : io_threads_) thread.join();
  io_threads_.clear();
  workers_.reset();
  accept_retry_.reset();
  acceptor_.reset();
  io_.reset();  // connections still held by pending steps close here
}

std::size_t connections_within(std::uint64_t descriptors, std::size_t wanted, std::size_t reserve) {
  if (descriptors <= reserve) return 1;
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, descriptors - reserve)));
}

std::uint64_t raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit is capped by the kernel's own bound.
    if (raised.rlim_cur == RLIM_INFINITY) raised.rlim_cur = 1 << 20;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? std::uint64_t{1} << 20 : limit.rlim_cur;
}

BodyStream::BodyStream(std::size_t max_queued) : max_queued_(max_queued) {}

bool BodyStream::send(std::string piece) {
  {
    std::scoped_lock lock(mutex_);
    if (closed_) return false;
    if (queued_.size() + piece.size() > max_queued_) {
      closed_ = true;
      queued_.clear();
    } else {
      queued_ += piece;
    }
  }
  wake_up();
  return !closed();
}

void BodyStream::close() {
  {
    std::scoped_lock lock(mutex_);
    if (closed_) return;
    closed_ = true;
  }
  wake_up();
}

bool BodyStream::closed() const {
  std::scoped_lock lock(mutex_);
  return closed_;
}

void BodyStream::attach(std::function<void()> wake) {
  {
    std::scoped_lock lock(mutex_);
    wake_ = std::move(wake);
  }
  wake_up();
}

std::pair<std::string, bool> BodyStream::take() {
  std::scoped_lock lock(mutex_);
  return {std::exchange(queued_, {}), closed_};
}

void BodyStream::drop() {
  std::scoped_lock lock(mutex_);
  closed_ = true;
  queued_.clear();
  wake_ = nullptr;
}

void BodyStream::wake_up() {
  std::function<void()> wake;
  {
    std::scoped_lock lock(mutex_);
    wake = wake_;
  }
  if (wake) wake();
}

HttpServer::HttpServer(Options options, Handler& handler)
    : impl_(std::make_unique<Impl>(std::move(options), handler)) {}
HttpServer::~HttpServer() = default;
void HttpServer::start() { impl_->start(); }
std::uint16_t HttpServer::port() const { return impl_->port(); }
void HttpServer::begin_shutdown() { impl_->begin_shutdown(); }
void HttpServer::stop() { impl_->stop(); }
Stats HttpServer::stats() const { return impl_->stats(); }

}  // namespace tavoren::http_server
