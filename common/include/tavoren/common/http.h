// Short HTTP requests through libcurl.
//
// get() succeeds when any HTTP answer arrives within the time limit,
// whatever its status (a 404 page is an answer); it throws TransportError
// when none does (name not resolved, no route, connection refused, time
// limit reached, TLS failure). Redirects are not followed.
//
// Threads: safe from any thread; each call uses its own handle. libcurl's
// global state is initialised once, on first use.
#pragma once

#include <chrono>
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
};

struct Response {
  long status = 0;
  std::string body;
};

Response get(const Request& request);

}  // namespace tavoren::http
