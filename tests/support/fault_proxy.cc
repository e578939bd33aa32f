#include "fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoren::testing {

namespace {

constexpr int kPollMs = 20;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// Writes all of `data`; false when the peer is gone or stalls past the
// socket's send limit.
bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Closes `fd` so that its peer sees a reset.
void close_with_reset(int fd) {
  linger option{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(fd);
}

void set_send_limit(int fd) {
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

struct FaultProxy::Link {
  std::thread thread;
  std::atomic<bool> done{false};
};

FaultProxy::FaultProxy(int target_port) : target_port_(target_port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("fault proxy: socket failed");
  int yes = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 1024) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("fault proxy: cannot listen: " + std::string(std::strerror(errno)));
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

FaultProxy::~FaultProxy() {
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true);
  }
  stop_cv_.notify_all();
  acceptor_.join();
  // The acceptor has ended: no link is added any more.
  for (auto& link : links_) link->thread.join();
  ::close(listen_fd_);
}

void FaultProxy::set(Mode mode, std::chrono::milliseconds delay, std::size_t reset_after) {
  std::lock_guard lock(mutex_);
  fault_ = Fault{mode, delay, reset_after, fault_.generation + 1};
}

void FaultProxy::pass() { set(Mode::pass, {}, 0); }
void FaultProxy::delay(std::chrono::milliseconds per_chunk) { set(Mode::delay, per_chunk, 0); }
void FaultProxy::drop() { set(Mode::drop, {}, 0); }
void FaultProxy::reset_after(std::size_t response_bytes) {
  set(Mode::reset_after, {}, response_bytes);
}
void FaultProxy::black_hole() { set(Mode::black_hole, {}, 0); }
void FaultProxy::reset_open_connections() { kill_generation_.fetch_add(1); }

FaultProxy::Fault FaultProxy::fault() const {
  std::lock_guard lock(mutex_);
  return fault_;
}

bool FaultProxy::pause(std::chrono::milliseconds d) {
  std::unique_lock lock(mutex_);
  return !stop_cv_.wait_for(lock, d, [this] { return stopping_.load(); });
}

void FaultProxy::accept_loop() {
  while (!stopping_.load()) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (::poll(&waiting, 1, kPollMs) <= 0) continue;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    accepted_.fetch_add(1);
    if (fault().mode == Mode::drop) {
      ::close(client);
      continue;
    }
    std::lock_guard lock(mutex_);
    // Joins the threads of connections that have ended.
    for (auto it = links_.begin(); it != links_.end();) {
      if ((*it)->done.load()) {
        (*it)->thread.join();
        it = links_.erase(it);
      } else {
        ++it;
      }
    }
    auto link = std::make_unique<Link>();
    Link& ref = *link;
    open_.fetch_add(1);
    link->thread = std::thread([this, client, &ref] {
      serve(client);
      open_.fetch_sub(1);
      ref.done.store(true);
    });
    links_.push_back(std::move(link));
  }
}

void FaultProxy::serve(int client) {
  set_send_limit(client);
  const Fault initial = fault();
  const std::uint64_t kill_generation = kill_generation_.load();
  int server = -1;
  if (initial.mode != Mode::black_hole) {
    server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target = loopback(target_port_);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      if (server >= 0) ::close(server);
      ::close(client);
      return;
    }
    set_send_limit(server);
    int yes = 1;
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }
  bool client_open = true;  // the client may still send
  bool server_open = server >= 0;
  std::uint64_t seen_generation = initial.generation;
  std::size_t answered = 0;  // answer bytes forwarded under the current fault
  std::vector<char> buffer(64 * 1024);
  auto reset_both = [&] {
    close_with_reset(client);
    if (server >= 0) close_with_reset(server);
    client = server = -1;
  };

  while (!stopping_.load() && (client_open || server_open)) {
    if (kill_generation_.load() != kill_generation) {
      reset_both();
      return;
    }
    pollfd fds[2] = {{client_open ? client : -1, POLLIN, 0},
                     {server_open ? server : -1, POLLIN, 0}};
    if (::poll(fds, 2, kPollMs) <= 0) continue;
    Fault now = fault();
    if (now.generation != seen_generation) {
      seen_generation = now.generation;
      answered = 0;
    }
    if (fds[0].revents != 0) {
      const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        client_open = false;
        if (n < 0 || server < 0) break;
        ::shutdown(server, SHUT_WR);  // the client is done sending
        if (!server_open) break;
      } else if (now.mode != Mode::black_hole && server >= 0) {
        if (now.mode == Mode::delay && !pause(now.delay)) break;
        if (!write_all(server, buffer.data(), static_cast<std::size_t>(n))) break;
      }
    }
    if (fds[1].revents != 0) {
      const ssize_t n = ::recv(server, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        server_open = false;
        if (n < 0) break;
        ::shutdown(client, SHUT_WR);  // the server is done answering
        if (!client_open) break;
      } else if (now.mode == Mode::reset_after) {
        const std::size_t left = now.reset_after - answered;
        const std::size_t size = static_cast<std::size_t>(n);
        if (size >= left) {
          write_all(client, buffer.data(), left);
          reset_both();
          return;
        }
        answered += size;
        if (!write_all(client, buffer.data(), size)) break;
      } else if (now.mode != Mode::black_hole) {
        if (now.mode == Mode::delay && !pause(now.delay)) break;
        if (!write_all(client, buffer.data(), static_cast<std::size_t>(n))) break;
      }
    }
  }
  if (client >= 0) ::close(client);
  if (server >= 0) ::close(server);
}

}  // namespace tavoren::testing
