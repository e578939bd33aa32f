// The container engine: a client of its HTTP API (Docker Engine API), and
// the one rule that tells which action a container runs.
//
//   engine::Client client;                    // where DOCKER_HOST says
//   Json running = client.list_containers({.filters = {{"status", {"running"}}}, .all = true});
//   Json record = client.inspect_container(running[0]["Id"].get<std::string>());
//   client.stop_container(id);                // the engine's default grace
//   client.stop_container(id, 30);            // 30 seconds of grace
//   client.remove_container(id);              // an ended container, gone for good
//
// Where the engine listens is read as the engine's own command-line tools
// read it, from DOCKER_HOST:
//   unset or empty          unix:///var/run/docker.sock
//   unix://<path>           the unix socket at <path> (shorter than 108 bytes)
//   tcp://<host>[:<port>]   plain HTTP to host:port (port 2375 when left out);
//                           the host may be an IPv6 address in brackets, and a
//                           single trailing "/" is allowed
// Anything else (another scheme, an empty path or host, a bad port, a path
// after the port) is malformed: the constructor throws ValueError naming the
// setting. This client speaks plain HTTP only, so a tcp:// address together
// with a non-empty DOCKER_TLS_VERIFY is refused the same way rather than
// sent unencrypted to an engine that expects TLS.
//
// API version: the first request of a client asks the engine's GET /_ping
// for the version it speaks (its "Api-Version" answer header) and uses the
// lower of that and ClientOptions::api_version, as a "/v<major>.<minor>"
// prefix on every later path. An engine that names no version (or none that
// reads as <major>.<minor>) gets unversioned paths, which it answers at its
// own current version. The agreed version is kept for the client's
// lifetime; a ping that fails leaves it open, to be agreed by the next
// request.
//
// Logs: read_logs() hands the sink each entry as it arrives and keeps no
// more than one frame in memory, whatever the log's size.
//
// Ownership: a Client owns only its settings and the agreed version; every
// request builds and frees its own libcurl handle and connection. Results
// are returned by value.
//
// Threads: every member function may be called from several threads at
// once on the same Client (the agreed version is guarded by a mutex).
//
// Time limits: every request has a limit for the connection
// (connect_timeout) and one for the whole exchange (timeout). Stopping a
// container waits for the container's grace period on the engine's side, so
// its whole-exchange limit is the grace plus stop_margin; when no grace is
// given (the engine applies the container's own), it is timeout plus
// stop_margin.
//
// Failures (all derive from engine::Error, itself a std::runtime_error):
//   ApiError        the engine answered with an error status; carries the
//                   status and the engine's own explanation (the "message"
//                   of its JSON error body, or the body's text).
//   TransportError  no answer: nothing listens, the connection was refused
//                   or closed before a whole answer arrived, a time limit
//                   was reached, or the answer was larger than
//                   max_body_bytes.
//   Error           an answer with a success status whose body is not what
//                   the operation expects (not JSON, or of the wrong kind).
// Arguments that cannot be sent (an empty container identifier, a filter
// that is not an object of texts or lists of texts, a negative grace) throw
// ValueError before anything is sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"

namespace tavoren::engine {

// Base of every failure of an engine request.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The engine answered with an error status.
class ApiError : public Error {
 public:
  // `request` is the method and path, as "POST /v1.41/containers/x/stop".
  ApiError(long status, std::string explanation, const std::string& request);
  long status() const { return status_; }
  // The engine's explanation ("No such container: x"); may be empty.
  const std::string& explanation() const { return explanation_; }

 private:
  long status_;
  std::string explanation_;
};

// No (whole) answer arrived.
class TransportError : public Error {
 public:
  // `request` names the engine and the request, as
  // "at unix:///run/docker.sock to GET /_ping"; `curl_code` is libcurl's
  // CURLcode for the failure.
  TransportError(int curl_code, const std::string& detail, const std::string& request);
  int curl_code() const { return curl_code_; }

 private:
  int curl_code_;
};

// Where the engine listens.
struct Endpoint {
  enum class Kind { unix_socket, tcp };
  Kind kind = Kind::unix_socket;
  // Kind::unix_socket: the socket's path.
  std::string socket_path;
  // Kind::tcp: the host (an IPv6 address without brackets) and port.
  std::string host;
  int port = 0;

  // Reads a DOCKER_HOST value; an empty value means the default socket.
  // Throws ValueError when it is malformed.
  static Endpoint parse(std::string_view docker_host);
  // Reads DOCKER_HOST (and DOCKER_TLS_VERIFY) from the environment.
  static Endpoint from_env();

  bool operator==(const Endpoint&) const = default;
};

inline constexpr const char* kDefaultSocket = "/var/run/docker.sock";

struct ClientOptions {
  // Where the engine listens, as a DOCKER_HOST value; nullopt reads the
  // environment.
  std::optional<std::string> host;
  // The highest API version this client speaks, as "<major>.<minor>".
  std::string api_version = "1.41";
  std::chrono::milliseconds connect_timeout{10000};
  // Limit of a whole request.
  std::chrono::milliseconds timeout{60000};
  // Added to the grace period for the limit of a stop request.
  std::chrono::milliseconds stop_margin{10000};
  // The largest answer body accepted.
  std::uint64_t max_body_bytes = 64ull << 20;
};

// Query of list_containers().
struct ListOptions {
  // Filter name to a text or a list of texts, as {"status": ["running"]}.
  // A text stands for a one-element list.
  Json filters = Json::object();
  // Also containers that do not run (the engine lists only running ones
  // otherwise).
  bool all = false;
};

// One entry of a container's log as the engine keeps it: the bytes the
// container wrote to one stream (1: standard output, 2: standard error) at
// one time, in nanoseconds since the epoch (0 when the entry carried no
// timestamp).
struct LogEntry {
  int stream = 1;
  std::int64_t time_ns = 0;
  std::string_view bytes;
};

// Query of read_logs().
struct LogQuery {
  // Only entries at or after this time (nanoseconds since the epoch);
  // nullopt: the whole log.
  std::optional<std::int64_t> since_ns;
};

// Reads the engine's multiplexed log stream (the answer of GET
// /containers/{id}/logs for a container without a terminal): frames of an
// 8-byte header (the stream, three zero bytes, the payload's length as a
// 32-bit big-endian number) and the payload. With timestamps, each payload
// starts with the entry's time (RFC 3339 with up to nine decimals) and a
// space, which the reader takes off into LogEntry::time_ns. Frames may be
// cut anywhere between two feed() calls. Throws engine::Error on a header
// whose stream is not 0, 1 or 2 (a stream that is not multiplexed) or an
// unreadable timestamp. Pure; one thread at a time.
class LogFrameReader {
 public:
  using Sink = std::function<void(const LogEntry&)>;
  LogFrameReader(bool timestamps, Sink sink) : timestamps_(timestamps), sink_(std::move(sink)) {}
  void feed(std::string_view bytes);
  // True when the stream ended between two frames (call once it ended).
  bool complete() const { return pending_.empty(); }

 private:
  void emit(std::string_view payload, int stream);

  bool timestamps_;
  Sink sink_;
  std::string pending_;
};

// The nanoseconds since the epoch of an RFC 3339 time
// ("2024-05-01T10:00:00.123456789Z", an offset in place of Z allowed);
// throws engine::Error when `text` is no such time.
std::int64_t parse_log_time(std::string_view text);
// The engine's form of a time for LogQuery's `since`: seconds, a point and
// nine digits of nanoseconds.
std::string unix_time_text(std::int64_t time_ns);

class Client {
 public:
  // Reads the endpoint (see the top of this file); throws ValueError when it
  // is malformed. Sends nothing: an engine that is down fails the first
  // request, not the construction.
  explicit Client(ClientOptions options = {});
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const Endpoint& endpoint() const { return endpoint_; }

  // GET /_ping: the engine's answer body ("OK"). Agrees the API version
  // anew from the answer.
  std::string ping();
  // The agreed API version ("1.41"), or "" for unversioned paths. Pings
  // when no version is agreed yet.
  std::string api_version();

  // GET /containers/json: the engine's array of container summaries (each
  // an object with "Id", "Names", "Image", "State", ...), in its order.
  Json list_containers(const ListOptions& options = {});
  // GET /containers/{id}/json: the container's inspection record (an
  // object with "Id", "Args", "Config", "State", ...).
  Json inspect_container(const std::string& id);
  // POST /containers/{id}/stop: stops the container, waiting up to
  // `grace_seconds` (the engine's default for the container when nullopt)
  // before the engine kills it. A container that was not running (answer
  // 304) counts as stopped.
  void stop_container(const std::string& id, std::optional<int> grace_seconds = std::nullopt);
  // DELETE /containers/{id}?v=1: removes a container that does not run,
  // with its anonymous volumes (named volumes stay). Never forced: the
  // engine refuses a running container (ApiError 409). A container that is
  // gone already (404) counts as removed.
  void remove_container(const std::string& id);
  // GET /containers/{id}/stats?stream=false: one sample of the container's
  // resource usage (an object with "cpu_stats", "precpu_stats",
  // "memory_stats", ...). The engine takes about a second to answer.
  Json container_stats(const std::string& id);
  // GET /containers/{id}/logs?stdout=1&stderr=1&timestamps=1: the
  // container's log as the engine has it now (it does not wait for more),
  // each entry handed to `sink` as it arrives, in the engine's order, with
  // its timestamp. For containers run without a terminal (as the agent runs
  // them). Limited like any request (timeout); what the sink throws ends
  // the request and is thrown here. Throws engine::Error for a stream cut
  // inside a frame.
  void read_logs(const std::string& id, const LogQuery& query,
                 const std::function<void(const LogEntry&)>& sink);

 private:
  struct Reply {
    long status = 0;
    std::string body;
    std::optional<std::string> api_version_header;
  };

  // Sends one request to `path` (already versioned, query included).
  // A success answer's body goes to `stream` as it arrives, when given.
  Reply send(const char* method, const std::string& path, std::chrono::milliseconds timeout,
             const std::function<void(std::string_view)>* stream = nullptr);
  // "at unix://<path>" or "at tcp://<host>:<port>", for messages.
  std::string where() const;
  // `path` with the agreed version's prefix (agreeing it first if needed).
  std::string versioned(const std::string& path);
  // Sends a request and throws ApiError unless the status is 2xx or one of
  // `also_success`.
  Reply call(const char* method, const std::string& path, std::chrono::milliseconds timeout,
             long also_success = 0, const std::function<void(std::string_view)>* stream = nullptr);

  ClientOptions options_;
  Endpoint endpoint_;
  std::mutex version_mutex_;
  std::optional<std::string> agreed_version_;
};

// The label that marks each container the agent starts with the identifier
// of its action.
inline constexpr std::string_view kActionIdLabel = "tavoren.action-id";
// The label that marks each container the agent starts with the identifier
// of the agent's instance, so that an agent tells its own containers from
// those of other agents on the same engine.
inline constexpr std::string_view kInstanceLabel = "tavoren.instance-id";

// The action a container runs, from its inspection record (as
// Client::inspect_container returns it): the value of its label
// kActionIdLabel when it has one that is not empty (every container a work
// unit starts carries it; their commands hold the identifier inside a shell
// script); else the first of its command arguments ("Args", after the entry
// point) that is exactly as long as an action identifier
// (backend::has_action_id_length: characters, not bytes); else nullopt (the container belongs to no
// action). Throws KeyError when the record has no "Args" (and no label), TypeError when they are
// not a list of texts. `container_id` names the container in those messages. Pure; safe from any
// thread.
std::optional<std::string> action_of_container(const Json& inspection,
                                               const std::string& container_id);

// Percent-encodes every byte except A-Z a-z 0-9 - . _ ~ (for query values
// and path segments).
std::string url_encode(std::string_view text);

}  // namespace tavoren::engine
