// A handler for the HTTP server's tests, whose requests can be held at a
// gate.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/http_server.h"
#include "waiting.h"

namespace tavoren::testing {

// Answers:
//   /hold      waits at the gate (up to 10 s), then 200 "held";
//   /throw     throws;
//   /status/N  status N;
//   /headers   200 with the answer headers the test set in extra_headers;
//   /admission 200, the body what admit() kept for it (the path);
//   /refuse... refused by admit() with 401 "refused", its body unread;
//   anything else: 200, the body "<method> <path> x-test=<X-Test header> <body>".
class TestHandler : public http_server::Handler {
 public:
  http_server::Admission admit(const http_server::RequestHead& head) override {
    admits.fetch_add(1);
    if (head.path().starts_with("/refuse")) {
      return http_server::Admission::refuse({401, {{"Content-Type", "text/plain"}}, "refused"});
    }
    return http_server::Admission::admit(std::string(head.path()));
  }

  http_server::Response handle(const http_server::Request& request) override {
    calls.fetch_add(1);
    const std::string path(request.path());
    if (path == "/hold") {
      std::unique_lock lock(mutex_);
      ++holding_;
      held_cv_.notify_all();
      gate_cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
      --holding_;
      return {200, {}, "held"};
    }
    if (path == "/throw") throw std::runtime_error("the handler failed");
    if (path.rfind("/status/", 0) == 0) return {std::stoi(path.substr(8)), {}, "status"};
    if (path == "/headers") return {200, extra_headers, "headers"};
    if (path == "/admission") return {200, {}, std::any_cast<std::string>(request.admission())};
    if (path == "/stream") {
      auto stream = std::make_shared<http_server::BodyStream>(64 * 1024);
      {
        std::lock_guard lock(mutex_);
        streams.push_back(stream);
      }
      streams_cv_.notify_all();
      return {200, {{"Content-Type", "text/event-stream"}}, "", stream};
    }
    std::string body = request.method() + " " + path +
                       " x-test=" + std::string(request.header("x-test").value_or("-")) + " " +
                       request.body();
    return {200, {{"Content-Type", "text/plain"}}, body};
  }

  // Lets every held request (and every later one) through.
  void open_gate() {
    std::lock_guard lock(mutex_);
    open_ = true;
    gate_cv_.notify_all();
  }
  // The stream of the `index`th /stream request, once it came (5 s at most).
  std::shared_ptr<http_server::BodyStream> stream(std::size_t index) {
    std::unique_lock lock(mutex_);
    streams_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return streams.size() > index; });
    return streams.size() > index ? streams[index] : nullptr;
  }
  // Waits up to 5 s until `count` requests are held at the gate.
  bool wait_holding(int count) {
    std::unique_lock lock(mutex_);
    return held_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return holding_ >= count; });
  }

  std::atomic<int> calls{0};
  std::atomic<int> admits{0};
  std::vector<std::pair<std::string, std::string>> extra_headers;

 private:
  std::mutex mutex_;
  std::condition_variable gate_cv_, held_cv_, streams_cv_;
  // The streams of the /stream answers, in their order.
  std::vector<std::shared_ptr<http_server::BodyStream>> streams;
  bool open_ = false;
  int holding_ = 0;
};

}  // namespace tavoren::testing
