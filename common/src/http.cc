// Short HTTP GET requests through libcurl's easy interface.
//
// Each call builds and frees its own easy handle, so calls from several
// threads never share libcurl state apart from the global initialisation,
// which runs exactly once. Signals are disabled (CURLOPT_NOSIGNAL) because
// the agent is multi-threaded; name resolution is then bounded by the
// request's time limit only with libcurl's threaded resolver, which is the
// one Debian's libcurl ships with.
#include "tavoren/common/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <new>

namespace tavoren::http {
namespace {

void ensure_global_init() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl initialisation failed: ") +
                             curl_easy_strerror(result));
  }
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

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

// Throws std::runtime_error when setting an option fails (an option that
// this libcurl does not know, or out of memory): a request configured only
// in part must never be sent.
template <typename T>
void set_option(CURL* handle, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl option could not be set: ") +
                             curl_easy_strerror(code));
  }
}

}  // namespace

TransportError::TransportError(const std::string& url, int curl_code, const std::string& detail)
    : std::runtime_error("GET " + url + " failed: " + detail), curl_code_(curl_code) {}

Response get(const Request& request) {
  ensure_global_init();

  std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
  if (!handle) throw std::runtime_error("libcurl could not create a request handle");

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const std::string& line : request.headers) {
    curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
    if (appended == nullptr) throw std::bad_alloc();
    headers.release();
    headers.reset(appended);
  }

  Response response;
  std::array<char, CURL_ERROR_SIZE> error_buffer{};
  // libcurl treats a limit of 0 as "no limit"; a limit is always meant here.
  const long timeout_ms = std::max<long>(1, static_cast<long>(request.timeout.count()));

  CURL* h = handle.get();
  set_option(h, CURLOPT_URL, request.url.c_str());
  set_option(h, CURLOPT_HTTPGET, 1L);
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
