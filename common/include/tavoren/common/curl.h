// The small pieces every libcurl user of the agent needs: one-time global
// initialisation, owning handles, and option setting that refuses to send a
// request configured only in part. Include only from code that links
// libcurl itself.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoren::curl {

// Initialises libcurl once per process (thread-safe). Throws
// std::runtime_error when that failed.
void ensure_initialised();

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

// A new request handle, libcurl initialised first; the connections it
// opens carry close-on-exec. Throws std::runtime_error when either fails.
Easy new_handle();

// The header list of `lines` ("Name: value" each); empty for none. Throws
// std::bad_alloc when libcurl cannot extend the list.
Slist header_list(const std::vector<std::string>& lines);

// Throws std::runtime_error when setting an option fails (an option that
// this libcurl does not know, or out of memory).
template <typename T>
void set_option(CURL* handle, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl option could not be set: ") +
                             curl_easy_strerror(code));
  }
}

}  // namespace tavoren::curl
