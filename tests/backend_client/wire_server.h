// A loopback server of the backend protocol for the client's tests: plain
// HTTP or TLS on 127.0.0.1, every request verified with the protocol's own
// verifier and recorded, answers scripted by the test, accepted connections
// counted.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/protocol_signing.h"

namespace httplib {
class Server;
}

namespace tavoren::testing {

// The instance key pair the server knows.
inline const backend::Session kInstanceKeys{"AKTESTINSTANCE01", "s3cret-instance-key-0f9e"};
// The operator key pair the server knows.
inline const backend::Session kOperatorKeys{"AKTESTOPERATOR01", "s3cret-operator-key-7a1b"};

// A CA and a server certificate it signed for 127.0.0.1, made with the
// openssl command in `dir`.
struct Certificates {
  std::filesystem::path ca;
  std::filesystem::path certificate;
  std::filesystem::path key;
};
Certificates make_certificates(const std::filesystem::path& dir, const std::string& name);

class WireServer {
 public:
  struct Seen {
    std::string path;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lowercase
    backend::wire::Verification verification;
    std::string connection;  // peer address and port
  };
  struct Reply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Announce the body's length, then close the connection without it.
    bool drop = false;
  };
  // `number` counts the requests so far, this one included (from 1).
  using Handler = std::function<Reply(const Seen& request, int number)>;

  // Plain HTTP, or TLS with `certificates`.
  explicit WireServer(const Certificates* certificates = nullptr);
  ~WireServer();

  // Before start(). Default: refuse unverified requests with 401, answer
  // verified ones with data {"path": ..., "arguments": ...}.
  void set_handler(Handler handler) { handler_ = std::move(handler); }
  void start();
  std::string url() const;

  std::vector<Seen> seen() const;
  std::size_t connections() const;

  static Reply answer(const backend::Result& result);
  static Reply failure(int status, std::string_view error, std::string_view message,
                       std::optional<std::string> retry_after = std::nullopt);

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  std::thread thread_;
  int port_ = 0;
  Handler handler_;
  backend::wire::RequestVerifier verifier_;
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
  std::set<std::string> connections_;
};

// A loopback TCP listener that accepts each connection and closes it at
// once, without reading or answering. Counts what it accepted.
class ClosingListener {
 public:
  ClosingListener();
  ~ClosingListener();
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace tavoren::testing
