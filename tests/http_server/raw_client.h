// A byte-level HTTP/1.1 client for the server's tests: it sends exactly
// the bytes a test gives (partial, malformed, pipelined, dribbled) and
// reads answers within a time limit, over plain TCP or TLS (OpenSSL,
// verified against a given CA file). Used by one thread at a time.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tavoren::testing {

struct Reply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& lower_case_name) const {
    auto it = headers.find(lower_case_name);
    return it == headers.end() ? "" : it->second;
  }
};

// What a TLS client offers: its highest version (0: OpenSSL's highest)
// and its TLS 1.2 cipher suites in OpenSSL's names (empty: OpenSSL's
// defaults).
struct TlsOffer {
  int max_version = 0;
  std::string tls12_suites;
};

class RawClient {
 public:
  // Connects to 127.0.0.1:port. With `ca_file`, performs a TLS handshake
  // that verifies the server's certificate for 127.0.0.1 against it;
  // throws std::runtime_error when the handshake fails or takes over 5 s.
  explicit RawClient(int port, std::optional<std::filesystem::path> ca_file = std::nullopt,
                     const TlsOffer& offer = {});
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Sends `bytes`; false when the connection is gone.
  bool send(std::string_view bytes);
  // Reads one whole answer (Content-Length bodies) within `limit`;
  // nullopt when the connection ends or the limit passes first.
  std::optional<Reply> read_reply(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Sends a request with Content-Length and reads its answer.
  std::optional<Reply> request(const std::string& method, const std::string& target,
                               const std::string& body = "", const std::string& extra_headers = "");
  // Reads until what was received and not consumed holds `text`, within
  // `limit`; false when the connection ends or the limit passes first.
  bool read_until(std::string_view text, std::chrono::milliseconds limit);
  // Whether the server ends the connection (end of stream or reset)
  // within `limit`, discarding anything it sends first.
  bool closed_within(std::chrono::milliseconds limit);
  // Bytes received and not yet consumed by read_reply().
  const std::string& pending() const { return pending_; }
  // Whether the last failed read saw a TCP reset.
  bool saw_reset() const { return saw_reset_; }
  int fd() const { return fd_; }
  // The TLS version and cipher suite agreed on, in OpenSSL's names.
  std::string tls_version() const;
  std::string tls_suite() const;

 private:
  void start_tls(const std::filesystem::path& ca_file, const TlsOffer& offer);
  void release();

  enum class Read { data, timeout, closed };
  // Reads more into pending_ until `deadline`: data, the deadline, or the
  // end of the connection (end of stream or an error).
  Read read_more(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string pending_;
  bool saw_reset_ = false;
};

}  // namespace tavoren::testing
