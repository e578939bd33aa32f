// A stand-in container engine for tests: HTTP/1.1 on a unix socket of its
// own, served by one thread, one connection at a time.
//
// It keeps a small table of containers and answers the requests the agent
// makes (ping, list with `all` and `status` and `label` filters, inspect,
// stop, logs, remove) the way the engine does, with paths under an optional
// "/v<major>.<minor>" prefix. The list's summaries hold "Id", "State" and
// (for a container with labels) "Labels"; a stop marks the record's
// "State" as not running; a removal drops a container that does not run
// (409 for one that runs).
// Scripted replies for a method and path (without the version prefix) take
// precedence, in order; a reply may also close the connection without an
// answer, or never answer. Every request is recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/engine.h"
#include "test_support.h"

namespace tavoren::testing {

class FakeEngine {
 public:
  struct Request {
    std::string method;
    std::string target;                        // path and query, as sent
    std::string path;                          // without the query
    std::map<std::string, std::string> query;  // decoded
    std::string body;
  };
  struct Reply {
    enum class Mode { answer, close, hang };
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    Mode mode = Mode::answer;
  };
  static Reply error_reply(int status, const std::string& message);
  static Reply closing() { return {.mode = Reply::Mode::close}; }
  static Reply hanging() { return {.mode = Reply::Mode::hang}; }

  FakeEngine();
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // "unix://<socket path>"
  std::string host() const;
  std::string docker_host() const { return host(); }
  // Client options for this engine, with time limits of a test.
  engine::ClientOptions options() const;

  // The version the ping answers in its Api-Version header (none: nullopt).
  void set_api_version(std::optional<std::string> version);
  // A container as the agent's readers see it: its inspection record holds
  // "Id", "Args", "Config"."Labels" (when labels is not null) and "State"
  // ("Running", "StartedAt"); its statistics are `stats` (when not null),
  // answered with stats_status.
  struct ContainerSetup {
    std::string id;
    Json args = Json::array();
    Json labels = nullptr;
    Json stats = nullptr;
    std::string started_at = "2024-01-01T00:00:00.123456789Z";
    // An answer status for the statistics other than 200 (404: gone).
    int stats_status = 200;
    bool running = true;
    // "State"."ExitCode" of the inspection record.
    int exit_code = 0;
    // "State"."FinishedAt": when a container that does not run ended (the
    // engine's zero time for one that never did).
    std::string finished_at = "0001-01-01T00:00:00Z";
  };
  void add(const ContainerSetup& setup);
  // A container whose inspection record is {"Id": id, "Args": args}.
  void add_container(const std::string& id, const std::vector<std::string>& args,
                     bool running = true);
  // A container with the given inspection record.
  void add_container_record(const std::string& id, Json record, bool running = true);
  bool running(const std::string& id) const;
  // Whether the engine still has the container (not removed).
  bool has(const std::string& id) const;
  // Ends a running container with `exit_code` (as if its process exited),
  // at `finished_at` (RFC 3339; nullopt: now).
  void end(const std::string& id, int exit_code,
           std::optional<std::string> finished_at = std::nullopt);
  // One entry of a container's log: its time (nanoseconds since the
  // epoch), its stream (1 or 2) and its bytes. GET /containers/{id}/logs
  // answers the entries at or after `since` as the engine's multiplexed
  // stream, each payload with its time (RFC 3339, nine decimals) first.
  struct LogLine {
    std::int64_t time_ns = 0;
    std::string bytes;
    int stream = 1;
  };
  void append_log(const std::string& id, std::vector<LogLine> lines);

  void push(const std::string& method, const std::string& path, Reply reply);

  std::vector<Request> requests() const;
  // "METHOD target" of every request, in order.
  std::vector<std::string> lines() const;
  // The path of every request (version prefix included), in order.
  std::vector<std::string> paths() const;
  // Called with a running container's id when a stop ends it (on the
  // engine's thread, before the answer is sent).
  void on_stop(std::function<void(const std::string&)> hook);
  void clear_requests();

 private:
  struct Container {
    std::string id;
    Json record;
    bool running = true;
    Json stats = nullptr;
    int stats_status = 200;
    std::vector<LogLine> log;
  };

  void serve();
  void handle(int fd);
  Reply answer(const Request& request);

  TempDir dir_;
  std::string socket_path_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::vector<int> held_;  // connections left unanswered (server thread only)

  mutable std::mutex mutex_;
  std::optional<std::string> api_version_ = "1.43";
  std::vector<Container> containers_;
  std::map<std::string, std::deque<Reply>> scripted_;
  std::vector<Request> requests_;
  std::function<void(const std::string&)> on_stop_;
};

}  // namespace tavoren::testing
