// HTTP GET requests through libcurl's easy interface: short ones into
// memory, downloads straight into files.
//
// Each call builds and frees its own easy handle, so calls from several
// threads never share libcurl state apart from the global initialisation,
// which runs exactly once. Signals are disabled (CURLOPT_NOSIGNAL) because
// the agent is multi-threaded; name resolution is then bounded by the
// request's time limit only with libcurl's threaded resolver, which is the
// one Debian's libcurl ships with.
#include "tavoren/common/http.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "tavoren/common/curl.h"
#include "tavoren/common/hex.h"

namespace tavoren::curl {

void ensure_initialised() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl initialisation failed: ") +
                             curl_easy_strerror(result));
  }
}

namespace {

// libcurl opens its connections without close-on-exec; every handle opens
// them here instead, so a child spawned during a request inherits none.
curl_socket_t open_socket_cloexec(void*, curlsocktype, curl_sockaddr* address) {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

}  // namespace

Easy new_handle() {
  ensure_initialised();
  Easy handle(curl_easy_init());
  if (!handle) throw std::runtime_error("libcurl could not create a request handle");
  set_option(handle.get(), CURLOPT_OPENSOCKETFUNCTION, &open_socket_cloexec);
  return handle;
}

Slist header_list(const std::vector<std::string>& lines) {
  Slist list;
  for (const std::string& line : lines) {
    curl_slist* appended = curl_slist_append(list.get(), line.c_str());
    if (appended == nullptr) throw std::bad_alloc();
    list.release();
    list.reset(appended);
  }
  return list;
}

}  // namespace tavoren::curl

namespace tavoren::http {
namespace {

using curl::set_option;

// libcurl's write callback: appends the received bytes to the body. It must
// not throw through C code; returning less than asked aborts the transfer
// with CURLE_WRITE_ERROR.
size_t append_body(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  try {
    static_cast<std::string*>(user)->append(data, bytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

// Where a download's body goes: an open file, with a running count of the
// bytes stored and the reason when the write callback gave up.
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

struct FileSink {
  int fd = -1;
  std::uint64_t max_bytes = 0;
  std::uint64_t written = 0;
  bool over_limit = false;
  int write_errno = 0;
  // The SHA-256 of what was written, when one is expected.
  EVP_MD_CTX* digest = nullptr;
  bool digest_failed = false;
};

// A new SHA-256 computation.
DigestContext new_sha256() {
  DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL could not start a SHA-256 digest");
  }
  return context;
}

// The digest's value in lowercase hexadecimal.
std::string hex_of(EVP_MD_CTX* context) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context, digest.data(), &size) != 1) {
    throw std::runtime_error("OpenSSL could not finish a SHA-256 digest");
  }
  return lower_hex(digest.data(), size);
}

size_t write_to_file(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<FileSink*>(user);
  const size_t bytes = size * count;
  if (bytes > sink->max_bytes - sink->written) {
    sink->over_limit = true;
    return 0;
  }
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::write(sink->fd, data + done, bytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      sink->write_errno = errno;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  if (sink->digest != nullptr && EVP_DigestUpdate(sink->digest, data, bytes) != 1) {
    sink->digest_failed = true;
    return 0;
  }
  sink->written += bytes;
  return bytes;
}

// The temporary file of one download: removed on destruction unless it was
// renamed onto its destination.
class PartFile {
 public:
  explicit PartFile(const std::filesystem::path& destination) {
    const std::filesystem::path dir =
        destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
    std::string name = (dir / ("." + destination.filename().string() + ".part-XXXXXX")).string();
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot create a file beside " + destination.string());
    }
    path_ = name;
  }
  ~PartFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Gives the file its final mode, closes it and renames it onto
  // `destination`.
  void commit(const std::filesystem::path& destination) {
    if (::fchmod(fd_, 0644) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot set the mode of " + path_);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot write " + path_);
    }
    if (::rename(path_.c_str(), destination.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot move the download to " + destination.string());
    }
    committed_ = true;
  }

 private:
  int fd_ = -1;
  std::string path_;
  bool committed_ = false;
};

std::string limit_detail(std::uint64_t max_bytes) {
  return "the body is larger than the limit of " + std::to_string(max_bytes) + " bytes";
}

}  // namespace

TransportError::TransportError(const std::string& url, int curl_code, const std::string& detail)
    : std::runtime_error("GET " + url + " failed: " + detail), curl_code_(curl_code) {}

Response get(const Request& request) {
  curl::Easy handle = curl::new_handle();
  curl::Slist headers = curl::header_list(request.headers);

  Response response;
  std::array<char, CURL_ERROR_SIZE> error_buffer{};
  // libcurl treats a limit of 0 as "no limit"; a limit is always meant here.
  const long timeout_ms = std::max<long>(1, static_cast<long>(request.timeout.count()));

  CURL* h = handle.get();
  set_option(h, CURLOPT_URL, request.url.c_str());
  set_option(h, CURLOPT_HTTPGET, 1L);
  if (request.put) {
    // An empty body, said so (Content-Length: 0), as PUT.
    set_option(h, CURLOPT_POSTFIELDS, "");
    set_option(h, CURLOPT_POSTFIELDSIZE, 0L);
    set_option(h, CURLOPT_CUSTOMREQUEST, "PUT");
  }
  set_option(h, CURLOPT_PROTOCOLS_STR, "http,https");
  set_option(h, CURLOPT_FOLLOWLOCATION, 0L);
  set_option(h, CURLOPT_NOSIGNAL, 1L);
  set_option(h, CURLOPT_TIMEOUT_MS, timeout_ms);
  set_option(h, CURLOPT_ERRORBUFFER, error_buffer.data());
  set_option(h, CURLOPT_WRITEFUNCTION, &append_body);
  set_option(h, CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
  if (headers) set_option(h, CURLOPT_HTTPHEADER, headers.get());

  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    std::string detail = error_buffer[0] != '\0' ? error_buffer.data() : curl_easy_strerror(code);
    throw TransportError(request.url, static_cast<int>(code), detail);
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace tavoren::http

namespace tavoren::http {

StatusError::StatusError(const std::string& url, long status)
    : std::runtime_error("GET " + url + " failed: HTTP status " + std::to_string(status)),
      status_(status) {}

std::string url_for_messages(const std::string& url) {
  const size_t cut = url.find_first_of("?#");
  std::string shown = url.substr(0, cut);
  const size_t scheme_end = shown.find("://");
  if (scheme_end != std::string::npos) {
    const size_t authority = scheme_end + 3;
    const size_t path = std::min(shown.find('/', authority), shown.size());
    const size_t at = shown.rfind('@', path);
    if (at != std::string::npos && at >= authority && at < path) {
      shown.erase(authority, at + 1 - authority);
    }
  }
  if (cut != std::string::npos && url[cut] == '?') shown += "?<hidden>";
  return shown;
}

namespace {

// Why a download may not connect to `address`; empty when it may.
std::string refusal_of(const sockaddr* address, bool allow_loopback) {
  std::array<unsigned char, 4> v4{};
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    std::memcpy(v4.data(), &in->sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    const unsigned char* b = in6->sin6_addr.s6_addr;
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(b, kMapped, 12) != 0) {
      static constexpr unsigned char kAwsMetadata[16] = {0xfd, 0x00, 0x0e, 0xc2, 0, 0, 0,    0,
                                                         0,    0,    0,    0,    0, 0, 0x02, 0x54};
      if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) return "a link-local address";
      if (std::memcmp(b, kAwsMetadata, 16) == 0) return "a metadata address";
      if (IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr)) return "the unspecified address";
      if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) && !allow_loopback) return "a loopback address";
      return "";
    }
    std::memcpy(v4.data(), b + 12, 4);
  } else {
    return "not an internet address";
  }
  if (v4[0] == 169 && v4[1] == 254) return "a link-local address";
  if (v4 == std::array<unsigned char, 4>{100, 100, 100, 200}) return "a metadata address";
  if (v4[0] == 0) return "the unspecified address";
  if (v4[0] == 127 && !allow_loopback) return "a loopback address";
  return "";
}

struct AddressRule {
  bool allow_loopback = false;
  std::string refused;  // why the last refused connection was
};

// Opens each connection's socket once its address is known, or refuses it.
curl_socket_t open_checked_socket(void* rule_pointer, curlsocktype, curl_sockaddr* address) {
  auto* rule = static_cast<AddressRule*>(rule_pointer);
  const std::string refused = refusal_of(&address->addr, rule->allow_loopback);
  if (!refused.empty()) {
    rule->refused = refused;
    return CURL_SOCKET_BAD;
  }
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The download's time limits, redirect limit and size limit.
void set_limits(CURL* h, const DownloadRequest& request) {
  set_option(h, CURLOPT_MAXREDIRS, request.max_redirects);
  // libcurl treats 0 as "its own default" (connect) or "off" (low speed).
  set_option(h, CURLOPT_CONNECTTIMEOUT_MS,
             std::max<long>(1, static_cast<long>(request.connect_timeout.count())));
  set_option(h, CURLOPT_LOW_SPEED_LIMIT,
             static_cast<long>(std::min<std::uint64_t>(request.low_speed_bytes, LONG_MAX)));
  set_option(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.low_speed_time.count()));
  if (request.max_bytes <= static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max())) {
    set_option(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_bytes));
  }
}

}  // namespace

std::uint64_t download_to_file(const DownloadRequest& request, const std::filesystem::path& path) {
  const std::string shown_url = url_for_messages(request.url);
  curl::Easy handle = curl::new_handle();
  curl::Slist headers = curl::header_list(request.headers);

  PartFile part(path);
  FileSink sink{.fd = part.fd(), .max_bytes = request.max_bytes};
  DigestContext digest(nullptr, &EVP_MD_CTX_free);
  if (request.sha256) {
    digest = new_sha256();
    sink.digest = digest.get();
  }
  std::array<char, CURL_ERROR_SIZE> error_buffer{};

  CURL* h = handle.get();
  set_option(h, CURLOPT_URL, request.url.c_str());
  set_option(h, CURLOPT_HTTPGET, 1L);
  set_option(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // An https download stays https: a redirect never downgrades it.
  const bool secure = request.url.rfind("https://", 0) == 0;
  set_option(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  set_option(h, CURLOPT_FOLLOWLOCATION, 1L);
  if (request.ca_file) set_option(h, CURLOPT_CAINFO, request.ca_file->c_str());
  AddressRule rule{.allow_loopback = request.allow_loopback};
  set_option(h, CURLOPT_OPENSOCKETFUNCTION, &open_checked_socket);
  set_option(h, CURLOPT_OPENSOCKETDATA, static_cast<void*>(&rule));
  set_option(h, CURLOPT_FAILONERROR, 1L);
  set_option(h, CURLOPT_NOSIGNAL, 1L);
  set_limits(h, request);
  set_option(h, CURLOPT_BUFFERSIZE, 512L * 1024L);
  set_option(h, CURLOPT_ERRORBUFFER, error_buffer.data());
  set_option(h, CURLOPT_WRITEFUNCTION, &write_to_file);
  set_option(h, CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  if (headers) set_option(h, CURLOPT_HTTPHEADER, headers.get());

  const CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_HTTP_RETURNED_ERROR) throw StatusError(shown_url, status);
  if (code == CURLE_FILESIZE_EXCEEDED || (code == CURLE_WRITE_ERROR && sink.over_limit)) {
    throw TransportError(shown_url, CURLE_FILESIZE_EXCEEDED, limit_detail(request.max_bytes));
  }
  if (code == CURLE_WRITE_ERROR && sink.digest_failed) {
    throw std::runtime_error("OpenSSL could not digest the body of " + shown_url);
  }
  if (code == CURLE_WRITE_ERROR && sink.write_errno != 0) {
    throw std::system_error(sink.write_errno, std::generic_category(),
                            "cannot write " + part.path());
  }
  if (code == CURLE_COULDNT_CONNECT && !rule.refused.empty()) {
    throw TransportError(
        shown_url, static_cast<int>(code),
        "the address resolved is " + rule.refused + ", which downloads may not come from");
  }
  if (code == CURLE_UNSUPPORTED_PROTOCOL && secure) {
    throw TransportError(shown_url, static_cast<int>(code),
                         "redirected away from https, which downloads never follow");
  }
  if (code != CURLE_OK) {
    std::string detail = error_buffer[0] != '\0' ? error_buffer.data() : curl_easy_strerror(code);
    throw TransportError(shown_url, static_cast<int>(code), detail);
  }
  if (status < 200 || status > 299) throw StatusError(shown_url, status);
  if (request.sha256) {
    const std::string received = hex_of(digest.get());
    if (received != *request.sha256) {
      throw IntegrityError(shown_url + ": the body's SHA-256 is " + received + ", not " +
                           *request.sha256);
    }
  }
  part.commit(path);
  return sink.written;
}

}  // namespace tavoren::http
