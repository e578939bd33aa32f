// A loopback TCP proxy that injects network faults, for tests of clients
// and servers that must survive them.
//
// It listens on 127.0.0.1 at a free port and forwards every connection to
// 127.0.0.1:<target port>. The fault in effect is switched at any time from
// the test:
//   pass()            forward everything (the initial state);
//   delay(d)          hold every chunk, in either direction, d before
//                     forwarding it (open connections too);
//   drop()            close each new connection at once; open ones go on;
//   reset_after(n)    let each connection forward n more bytes of the
//                     server's answer, counted from when it first sees this
//                     fault, then reset both sides (the client sees a TCP
//                     reset: SO_LINGER 0);
//   black_hole()      accept and read but never forward or answer: new
//                     connections never reach the server, open ones swallow
//                     what arrives from either side from then on.
// reset_open_connections() resets every connection open now, whatever the
// fault (a server that dies).
//
// Threads: one thread accepts; each connection has a thread of its own.
// Every member may be called from any thread. Every wait is bounded: the
// threads look at the proxy's state at least every 20 ms, writes give up
// after 5 s, and the destructor closes everything and joins every thread.
// Failures: the constructor throws std::runtime_error when it cannot
// listen. A target that refuses a connection closes the client's.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tavoren::testing {

class FaultProxy {
 public:
  explicit FaultProxy(int target_port);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return port_; }

  void pass();
  void delay(std::chrono::milliseconds per_chunk);
  void drop();
  void reset_after(std::size_t response_bytes);
  void black_hole();
  void reset_open_connections();

  // Connections accepted so far, dropped ones included.
  std::size_t accepted() const { return accepted_.load(); }
  // Connections open now.
  std::size_t open() const { return open_.load(); }

 private:
  enum class Mode { pass, delay, drop, reset_after, black_hole };
  struct Fault {
    Mode mode = Mode::pass;
    std::chrono::milliseconds delay{0};
    std::size_t reset_after = 0;
    std::uint64_t generation = 0;  // bumped by every change
  };
  struct Link;

  void set(Mode mode, std::chrono::milliseconds delay, std::size_t reset_after);
  Fault fault() const;
  void accept_loop();
  void serve(int client);
  // Waits `d`, or less when the proxy stops. False when it stopped.
  bool pause(std::chrono::milliseconds d);

  int listen_fd_ = -1;
  int target_port_ = 0;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> kill_generation_{0};
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> open_{0};
  mutable std::mutex mutex_;
  std::condition_variable stop_cv_;
  Fault fault_;                             // under mutex_
  std::list<std::unique_ptr<Link>> links_;  // under mutex_
  std::thread acceptor_;
};

}  // namespace tavoren::testing
