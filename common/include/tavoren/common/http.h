// HTTP requests through libcurl: short GETs into memory and downloads of
// whole resources into files.
//
// get() succeeds when any HTTP answer arrives within the time limit,
// whatever its status (a 404 page is an answer); it throws TransportError
// when none does (name not resolved, no route, connection refused, time
// limit reached, TLS failure). Redirects are not followed.
//
// download_to_file() is stricter: only a 2xx answer counts, and only its
// body ever reaches the destination (see below).
//
// Threads: safe from any thread; each call uses its own handle. libcurl's
// global state is initialised once, on first use.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoren::http {

class TransportError : public std::runtime_error {
 public:
  TransportError(const std::string& url, int curl_code, const std::string& detail);
  int curl_code() const { return curl_code_; }

 private:
  int curl_code_;
};

struct Request {
  std::string url;
  // Whole header lines, as "Name: value".
  std::vector<std::string> headers;
  // Limit for the whole request, connection included.
  std::chrono::milliseconds timeout{5000};
  // PUT instead of GET (without a body: a metadata service's session
  // token).
  bool put = false;
};

struct Response {
  long status = 0;
  std::string body;
};

Response get(const Request& request);

// A download whose final answer (after redirects) has a status outside
// 200..299.
class StatusError : public std::runtime_error {
 public:
  StatusError(const std::string& url, long status);
  long status() const { return status_; }

 private:
  long status_;
};

struct DownloadRequest {
  std::string url;
  // Whole header lines, as "Name: value".
  std::vector<std::string> headers;
  // The largest body accepted. A larger one (announced or received) ends the
  // transfer with TransportError (code CURLE_FILESIZE_EXCEEDED).
  std::uint64_t max_bytes = std::numeric_limits<std::uint64_t>::max();
  // Limit for establishing the connection (name resolution included).
  std::chrono::milliseconds connect_timeout{30000};
  // There is no limit on the whole transfer, so large bodies may take as
  // long as they need; a transfer slower than low_speed_bytes per second
  // for low_speed_time is abandoned (TransportError, CURLE_OPERATION_TIMEDOUT).
  std::uint64_t low_speed_bytes = 1024;
  std::chrono::seconds low_speed_time{60};
  // Redirects followed (http and https targets only; from an https URL,
  // https targets only) before giving up.
  long max_redirects = 5;
  // Whether loopback addresses may serve it (tests); see below.
  bool allow_loopback = false;
  // The body's SHA-256 (64 lowercase hexadecimal digits), when known: a
  // body with another is not stored (IntegrityError).
  std::optional<std::string> sha256;
  // The certificates that verify an https server; the system's when absent.
  std::optional<std::filesystem::path> ca_file;
};

// A body that arrived whole but is not the one expected.
class IntegrityError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fetches request.url with GET and stores its body at `path`; returns the
// number of bytes stored.
//
// The body goes to a new file beside `path` (".<name>.part-XXXXXX", opened
// with O_CLOEXEC) that is renamed onto `path` only once the whole body has
// arrived; it has mode 0644. On any failure that file is removed and `path`
// is left as it was: an error page is never stored. An existing file at
// `path` is replaced; an existing directory makes the download fail.
//
// Addresses: a connection (a redirect's included, checked on the address
// the name resolved to) is refused before it is made when the address is
// link-local (169.254.0.0/16, fe80::/10, where the clouds' instance metadata
// lives), a cloud's metadata address (100.100.100.200, fd00:ec2::254),
// unspecified (0.0.0.0, ::) or, unless allow_loopback, loopback
// (127.0.0.0/8, ::1); IPv4 addresses mapped into IPv6 count as themselves.
//
// Failures: TransportError (no answer, time limits, too many redirects, an
// https URL redirected to http, a refused address, body over max_bytes),
// IntegrityError (a body whose SHA-256 is not request.sha256), StatusError (an answer outside 2xx),
// std::system_error or std::filesystem::filesystem_error (the file could not
// be created, written or renamed). Error messages name the URL without its
// query and user information, which may hold credentials (signed URLs).
std::uint64_t download_to_file(const DownloadRequest& request, const std::filesystem::path& path);

// `url` without user information, query and fragment, for messages: signed
// URLs carry their credentials there.
std::string url_for_messages(const std::string& url);

}  // namespace tavoren::http
