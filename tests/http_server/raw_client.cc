#include "raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace tavoren::testing {

using Clock = std::chrono::steady_clock;

namespace {

int wait_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `fd` to be ready for `events` until `deadline`.
bool ready(int fd, short events, Clock::time_point deadline) {
  pollfd waiting{fd, events, 0};
  return ::poll(&waiting, 1, wait_ms(deadline)) > 0;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

RawClient::RawClient(int port, std::optional<std::filesystem::path> ca_file,
                     const TlsOffer& offer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    throw std::runtime_error("connect failed");
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (!ca_file) return;
  try {
    start_tls(*ca_file, offer);
  } catch (...) {
    release();
    throw;
  }
}

void RawClient::start_tls(const std::filesystem::path& ca_file, const TlsOffer& offer) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  if (offer.max_version != 0) SSL_CTX_set_max_proto_version(ctx_, offer.max_version);
  if (!offer.tls12_suites.empty() &&
      SSL_CTX_set_cipher_list(ctx_, offer.tls12_suites.c_str()) != 1) {
    throw std::runtime_error("the client cannot offer " + offer.tls12_suites);
  }
  if (SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr) != 1) {
    throw std::runtime_error("cannot load the CA file");
  }
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    const int result = SSL_connect(ssl_);
    if (result == 1) return;
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ && ready(fd_, POLLIN, deadline)) continue;
    if (error == SSL_ERROR_WANT_WRITE && ready(fd_, POLLOUT, deadline)) continue;
    ERR_clear_error();
    throw std::runtime_error("TLS handshake failed");
  }
}

std::string RawClient::tls_version() const { return ssl_ == nullptr ? "" : SSL_get_version(ssl_); }

std::string RawClient::tls_suite() const {
  return ssl_ == nullptr ? "" : SSL_get_cipher_name(ssl_);
}

void RawClient::release() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  fd_ = -1;
  ERR_clear_error();
}

RawClient::~RawClient() { release(); }

bool RawClient::send(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!bytes.empty()) {
    if (ssl_ != nullptr) {
      const int n = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_WRITE && ready(fd_, POLLOUT, deadline)) continue;
      if (error == SSL_ERROR_WANT_READ && ready(fd_, POLLIN, deadline)) continue;
      ERR_clear_error();
      return false;
    }
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!ready(fd_, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

RawClient::Read RawClient::read_more(Clock::time_point deadline) {
  char buffer[16 * 1024];
  for (;;) {
    if (ssl_ != nullptr) {
      const int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
        return Read::data;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ) {
        if (!ready(fd_, POLLIN, deadline)) return Read::timeout;
        continue;
      }
      if (error == SSL_ERROR_SYSCALL && errno == ECONNRESET) saw_reset_ = true;
      ERR_clear_error();
      return Read::closed;
    }
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
      return Read::data;
    }
    if (n == 0) return Read::closed;
    if (errno == EAGAIN || errno == EINTR) {
      if (!ready(fd_, POLLIN, deadline)) return Read::timeout;
      continue;
    }
    if (errno == ECONNRESET) saw_reset_ = true;
    return Read::closed;
  }
}

std::optional<Reply> RawClient::read_reply(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (read_more(deadline) != Read::data) return std::nullopt;
  }
  Reply reply;
  const std::string head = pending_.substr(0, end + 2);
  std::size_t line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, line_end);
  if (status_line.size() < 12 || status_line.rfind("HTTP/1.", 0) != 0) return std::nullopt;
  reply.status = std::stoi(status_line.substr(9, 3));
  for (std::size_t at = line_end + 2; at < head.size();) {
    const std::size_t next = head.find("\r\n", at);
    const std::string line = head.substr(at, next - at);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      reply.headers[lower(line.substr(0, colon))] = value;
    }
    at = next + 2;
  }
  const std::size_t length =
      reply.headers.count("content-length") ? std::stoul(reply.headers["content-length"]) : 0;
  while (pending_.size() < end + 4 + length) {
    if (read_more(deadline) != Read::data) return std::nullopt;
  }
  reply.body = pending_.substr(end + 4, length);
  pending_.erase(0, end + 4 + length);
  return reply;
}

std::optional<Reply> RawClient::request(const std::string& method, const std::string& target,
                                        const std::string& body, const std::string& extra_headers) {
  const std::string text =
      method + " " + target +
      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
      extra_headers + "\r\n" + body;
  if (!send(text)) return std::nullopt;
  return read_reply();
}

bool RawClient::read_until(std::string_view text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (pending_.find(text) == std::string::npos) {
    if (read_more(deadline) != Read::data) return false;
  }
  return true;
}

bool RawClient::closed_within(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    switch (read_more(deadline)) {
      case Read::data:
        pending_.clear();
        break;
      case Read::timeout:
        return false;
      case Read::closed:
        return true;
    }
  }
}

}  // namespace tavoren::testing
