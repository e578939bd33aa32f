// The event streams of the open pages, fed by one thread: each topic that
// a stream follows is looked at once per period, however many streams
// follow it, and each stream is told what changed (see tavoren/web.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/http_server.h"
#include "tavoren/store.h"
#include "tavoren/web.h"

namespace tavoren::web {

class EventHub {
 public:
  EventHub(backend::Store& store, const WebOptions& options);
  // Stops the thread and closes every stream.
  ~EventHub();

  // A new stream of `topic` ("fleet", "queue", "machine:ID", "action:ID"),
  // starting an action's log at `log_offset`; nullptr when max_streams are
  // open.
  std::shared_ptr<http_server::BodyStream> open(const std::string& topic, std::int64_t log_offset);
  std::size_t open_streams() const;

 private:
  struct Follower {
    std::shared_ptr<http_server::BodyStream> stream;
    std::string topic;
    // An action's: the attempt and offset its log was sent to.
    std::int64_t attempt = -1;
    std::int64_t log_offset = 0;
    // What the topic looked like when this stream was last told; empty
    // before its first look.
    std::string seen;
  };
  struct Topic {
    std::string token;
    std::int64_t attempt = -1;
    std::chrono::steady_clock::time_point next_look;
  };

  void run();
  // One look at every followed topic that is due, and what each stream is
  // told; then the keep-alive lines.
  void look(std::chrono::steady_clock::time_point now);
  struct Look {
    // A text that changes when the topic's page does.
    std::string token;
    // An action's current attempt; -1 otherwise.
    std::int64_t attempt = -1;
  };
  Look look_at(const std::string& topic);
  // The pieces of logs read in one look, by action and offset: the
  // streams that follow one action share each reading.
  using LogReads = std::map<std::pair<std::string, std::int64_t>, backend::LogChunk>;
  // An action stream's new log bytes, sent as log events.
  void send_log(Follower& follower, const std::string& id, std::int64_t attempt, LogReads& read);

  backend::Store& store_;
  const WebOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<Follower>> followers_;
  // A stream opened since the last look: its topic is looked at now.
  bool fresh_ = false;
  std::map<std::string, Topic> topics_;  // the event thread's own
  std::chrono::steady_clock::time_point last_keep_alive_;
  std::thread thread_;
};

// "event: NAME\ndata: DATA\n\n", with "id: ID\n" first when given.
std::string event_text(std::string_view name, const Json& data, std::string_view id = {});

}  // namespace tavoren::web
