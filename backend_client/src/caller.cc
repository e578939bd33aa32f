// The signed, retried POST under the remote clients.

#include "caller.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tavoren/common/curl.h"
#include "tavoren/common/errors.h"
#include "tavoren/protocol.h"
#include "tavoren/protocol_signing.h"

namespace tavoren::backend::detail {
namespace {

namespace wire = backend::wire;

constexpr std::size_t kMaxFailureText = 300;

// The base URL without its trailing "/", checked.
std::string checked_base_url(const std::string& url, bool allow_plain_http) {
  std::string_view rest = url;
  if (rest.rfind("https://", 0) == 0) {
    rest.remove_prefix(8);
  } else if (rest.rfind("http://", 0) == 0) {
    if (!allow_plain_http) {
      throw ValueError("the backend URL must use https:// (plain http is for loopback tests)");
    }
    rest.remove_prefix(7);
  } else {
    throw ValueError("the backend URL must start with https://");
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.empty() || rest.front() == ':') throw ValueError("the backend URL names no host");
  for (const char c : rest) {
    if (c == '/' || c == '?' || c == '#' || c == '@' ||
        std::isspace(static_cast<unsigned char>(c))) {
      throw ValueError(
          "the backend URL must be scheme://host[:port], without a path, query or user "
          "information");
    }
  }
  return url.substr(0, url.size() - (url.back() == '/' ? 1 : 0));
}

std::string for_message(std::string_view text) {
  std::string shown;
  for (const char c : text.substr(0, kMaxFailureText)) {
    shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  if (text.size() > kMaxFailureText) shown += "...";
  return shown;
}

double default_random() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

// Seconds the server asks to wait: delta-seconds or an HTTP date.
std::optional<std::chrono::milliseconds> parse_retry_after(const std::string& value) {
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (value.size() > 9) return std::chrono::milliseconds::max();
    return std::chrono::seconds(std::stol(value));
  }
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  const time_t now = std::time(nullptr);
  return std::chrono::seconds(when > now ? when - now : 0);
}

// One attempt's answer as it arrives.
struct Exchange {
  std::string body;
  std::size_t max_bytes = 0;
  bool too_large = false;
  std::string retry_after;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  if (exchange->body.size() + bytes > exchange->max_bytes) {
    exchange->too_large = true;
    return 0;  // ends the transfer
  }
  exchange->body.append(data, bytes);
  return bytes;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) {
    exchange->retry_after.clear();  // a new answer (after an interim one)
    return bytes;
  }
  constexpr std::string_view kName = "retry-after:";
  if (line.size() < kName.size()) return bytes;
  for (std::size_t i = 0; i < kName.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i]) return bytes;
  }
  line.remove_prefix(kName.size());
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
    line.remove_prefix(1);
  }
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
    line.remove_suffix(1);
  }
  exchange->retry_after = std::string(line);
  return bytes;
}

// Transport failures that another attempt cannot mend.
bool is_final_curl_failure(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
      return true;
    default:
      return false;
  }
}

// One call's request, the same on every attempt.
struct Request {
  const wire::Operation* operation = nullptr;
  std::string path;
  std::string body;
  // A write's: the SHA-256 of its operation and body, and its key.
  std::string fingerprint;
  std::string idempotency_key;
};

// The request's header lines, signed anew (a fresh nonce) for one attempt.
curl::Slist signed_headers(const Request& request, const Session& session) {
  std::vector<std::string> lines = {"Content-Type: application/json", "Accept: application/json",
                                    "Expect:"};
  for (const wire::HeaderField& field : wire::sign_request({.method = "POST",
                                        .path = request.path,
                                        .body = request.body,
                                        .idempotency_key = request.idempotency_key},
                                                           session)) {
    lines.push_back(field.name + ": " + field.value);
  }
  return curl::header_list(lines);
}

// What one attempt brought back.
struct Attempt {
  CURLcode code = CURLE_OK;
  long status = 0;  // when an answer came
  Exchange exchange;
  std::string error_text;  // libcurl's own words on a failure
};

// How one attempt ended, when it brought no answer to return.
struct Outcome {
  std::optional<Result> answer;
  CURLcode code = CURLE_OK;  // a transport failure, else CURLE_OK
  long status = 0;
  std::string failure;  // for the message
  bool retryable = false;
  // The server did not serve: the next attempt goes to the next one.
  bool move_on = false;
  std::optional<std::chrono::milliseconds> asked_wait;
};

// Sorts one attempt's result: an answer, or a failure another attempt may
// or may not mend. Throws RemoteCallError for an answer too large or not
// of the protocol, which no attempt mends.
Outcome classify(const Attempt& sent, const std::string& what, int attempt,
                 std::size_t max_answer_bytes) {
  Outcome outcome;
  outcome.code = sent.code;
  outcome.status = sent.status;
  if (sent.code != CURLE_OK) {
    if (sent.exchange.too_large || sent.code == CURLE_FILESIZE_EXCEEDED) {
      throw RemoteCallError(
          what + ": the answer exceeds " + std::to_string(max_answer_bytes) + " bytes", 0,
          CURLE_FILESIZE_EXCEEDED, attempt);
    }
    outcome.failure = std::string(curl_easy_strerror(sent.code));
    if (!sent.error_text.empty()) outcome.failure += " (" + for_message(sent.error_text) + ")";
    outcome.retryable = !is_final_curl_failure(sent.code);
    outcome.move_on = outcome.retryable;
    return outcome;
  }
  if (sent.status == wire::status::kOk) {
    try {
      outcome.answer =
          wire::read_answer(sent.exchange.body, JsonLimits{.max_bytes = max_answer_bytes});
      return outcome;
    } catch (const wire::ProtocolError& e) {
      throw RemoteCallError(what + ": " + e.what(), sent.status, CURLE_OK, attempt);
    }
  }
  outcome.failure = "HTTP " + std::to_string(sent.status);
  // A nonce the server saw before: this very request reached it once
  // already (libcurl sends a request again by itself when a reused
  // connection dies before its answer). Signed anew, it is tried again.
  outcome.retryable = wire::is_retryable_status(sent.status);
  if (const std::optional<wire::Failure> body_failure = wire::read_failure(sent.exchange.body)) {
    outcome.failure += " " + for_message(body_failure->error);
    if (!body_failure->message.empty()) {
      outcome.failure += ": " + for_message(body_failure->message);
    }
    if (sent.status == wire::status::kNotAuthenticated &&
        body_failure->error == wire::failure::kReplayedNonce) {
      outcome.retryable = true;
    }
  }
  outcome.move_on = sent.status == 502 || sent.status == 503 || sent.status == 504;
  outcome.asked_wait = parse_retry_after(sent.exchange.retry_after);
  return outcome;
}

// The error that ends a call after its last attempt's `outcome`.
RemoteCallError final_failure(const std::string& what, const Outcome& outcome, int attempt) {
  if (outcome.code != CURLE_OK) {
    return RemoteCallError(what + ": no answer after " + std::to_string(attempt) +
                               (attempt == 1 ? " attempt: " : " attempts: ") + outcome.failure,
                           0, outcome.code, attempt, outcome.retryable);
  }
  return RemoteCallError(
      what + ": " + outcome.failure +
          (attempt > 1 ? " (after " + std::to_string(attempt) + " attempts)" : std::string()),
      outcome.status, CURLE_OK, attempt, outcome.retryable);
}

}  // namespace

struct RemoteCaller::State {
  RemoteOptions options;
  // base_url, then the fallback URLs.
  std::vector<std::string> base_urls;
  // The server calls go to: base_urls[current % size] (moved on by an
  // attempt that got no answer from it).
  std::atomic<std::size_t> current{0};

  // The caches every request handle shares: resolved names and TLS
  // sessions (a new connection resumes a session instead of a full
  // handshake). libcurl asks for a lock per kind of data; one mutex each.
  // Connections are not shared through it: each pooled handle keeps its
  // own connection alive between calls, so a call in flight never waits
  // for another's connection, and there are never more connections than
  // calls in flight.
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> share_locks;

  std::mutex pool_mutex;
  std::vector<curl::Easy> idle;

  // The keys of writes that got no answer, by the SHA-256 of their
  // operation and body, oldest first (see remote_backend.h).
  std::mutex unanswered_mutex;
  std::deque<std::pair<std::string, std::string>> unanswered;

  // The key for a write of `fingerprint`: the one of the same write left
  // unanswered before, else a new one.
  std::string idempotency_key_for(const std::string& fingerprint) {
    {
      const std::lock_guard<std::mutex> lock(unanswered_mutex);
      for (const auto& [print, key] : unanswered) {
        if (print == fingerprint) return key;
      }
    }
    return wire::new_idempotency_key();
  }

  void keep_unanswered(const std::string& fingerprint, const std::string& key) {
    if (options.unanswered_writes == 0) return;
    const std::lock_guard<std::mutex> lock(unanswered_mutex);
    for (const auto& entry : unanswered) {
      if (entry.first == fingerprint) return;
    }
    unanswered.emplace_back(fingerprint, key);
    while (unanswered.size() > options.unanswered_writes) unanswered.pop_front();
  }

  void forget_unanswered(const std::string& fingerprint) {
    const std::lock_guard<std::mutex> lock(unanswered_mutex);
    std::erase_if(unanswered, [&](const auto& entry) { return entry.first == fingerprint; });
  }

  ~State() {
    idle.clear();  // every handle leaves the share before it goes
    if (share != nullptr) curl_share_cleanup(share);
  }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<State*>(user)->share_locks[static_cast<std::size_t>(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<State*>(user)->share_locks[static_cast<std::size_t>(data)].unlock();
  }

  void set_up_share() {
    curl::ensure_initialised();
    share = curl_share_init();
    if (share == nullptr) throw std::runtime_error("libcurl could not create a share handle");
    bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &State::lock) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &State::unlock) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_USERDATA, this) == CURLSHE_OK;
    for (const curl_lock_data data : {CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
      ok = ok && curl_share_setopt(share, CURLSHOPT_SHARE, data) == CURLSHE_OK;
    }
    if (!ok) throw std::runtime_error("libcurl could not set up its shared caches");
  }

  curl::Easy new_handle() const {
    curl::Easy handle = curl::new_handle();
    CURL* h = handle.get();
    curl::set_option(h, CURLOPT_SHARE, share);
    curl::set_option(h, CURLOPT_NOSIGNAL, 1L);
    curl::set_option(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.connect_timeout.count()));
    curl::set_option(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.attempt_timeout.count()));
    const char* protocols = options.allow_plain_http ? "http,https" : "https";
    curl::set_option(h, CURLOPT_PROTOCOLS_STR, protocols);
    curl::set_option(h, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl::set_option(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl::set_option(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl::set_option(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl::set_option(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (options.ca_file) curl::set_option(h, CURLOPT_CAINFO, options.ca_file->c_str());
    curl::set_option(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl::set_option(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl::set_option(h, CURLOPT_USERAGENT, options.user_agent.c_str());
    curl::set_option(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.max_answer_bytes));
    curl::set_option(h, CURLOPT_WRITEFUNCTION, &on_body);
    curl::set_option(h, CURLOPT_HEADERFUNCTION, &on_header);
    curl::set_option(h, CURLOPT_POST, 1L);
    return handle;
  }

  curl::Easy acquire() {
    {
      const std::lock_guard<std::mutex> lock(pool_mutex);
      if (!idle.empty()) {
        curl::Easy handle = std::move(idle.back());
        idle.pop_back();
        return handle;
      }
    }
    return new_handle();
  }

  void release(curl::Easy handle) {
    const std::lock_guard<std::mutex> lock(pool_mutex);
    if (idle.size() < options.idle_handles) idle.push_back(std::move(handle));
  }

  // The request of `operation_name`. A write made again after it got no
  // answer keeps its first key.
  Request prepare(std::string_view operation_name, const Json& arguments) {
    Request request;
    request.operation = wire::find_operation(operation_name);
    if (request.operation == nullptr) {
      throw std::logic_error("no backend operation " + std::string(operation_name));
    }
    request.path = wire::path_of(request.operation->name);
    request.body = wire::write_arguments(arguments);
    if (request.operation->write) {
      request.fingerprint =
          wire::sha256_hex(std::string(request.operation->name) + "\n" + request.body);
      request.idempotency_key = idempotency_key_for(request.fingerprint);
    }
    return request;
  }

  // One attempt on a pooled handle, within the handle's time limits
  // (connect_timeout, attempt_timeout).
  Attempt send(const std::string& url, const std::string& body, const curl::Slist& headers) {
    Attempt sent;
    sent.exchange.max_bytes = options.max_answer_bytes;
    std::array<char, CURL_ERROR_SIZE> error_buffer{};
    curl::Easy handle = acquire();
    CURL* h = handle.get();
    curl::set_option(h, CURLOPT_URL, url.c_str());
    curl::set_option(h, CURLOPT_POSTFIELDS, body.data());
    curl::set_option(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl::set_option(h, CURLOPT_HTTPHEADER, headers.get());
    curl::set_option(h, CURLOPT_WRITEDATA, &sent.exchange);
    curl::set_option(h, CURLOPT_HEADERDATA, &sent.exchange);
    curl::set_option(h, CURLOPT_ERRORBUFFER, error_buffer.data());
    sent.code = curl_easy_perform(h);
    if (sent.code == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &sent.status);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
    release(std::move(handle));
    sent.error_text = error_buffer.data();
    return sent;
  }

  // The next attempt, and later calls, go to the server after `server`
  // (unless another call moved on already).
  void move_on(std::size_t server) {
    if (base_urls.size() > 1) current.compare_exchange_strong(server, server + 1);
  }

  // Waits before attempt `attempt` + 1: the backoff, and at least the
  // server's Retry-After (capped at max_delay).
  void wait_before_retry(int attempt, std::optional<std::chrono::milliseconds> asked_wait) const {
    std::chrono::milliseconds wait = backoff(attempt);
    if (asked_wait) wait = std::max(wait, std::min(*asked_wait, options.retry.max_delay));
    if (options.retry.sleep) {
      options.retry.sleep(wait);
    } else {
      std::this_thread::sleep_for(wait);
    }
  }

  std::chrono::milliseconds backoff(int attempt) const {
    const RetryPolicy& retry = options.retry;
    const double ceiling =
        std::min(static_cast<double>(retry.max_delay.count()),
                 static_cast<double>(retry.base_delay.count()) * std::ldexp(1.0, attempt - 1));
    const double draw = retry.random ? retry.random() : default_random();
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(std::clamp(draw, 0.0, 1.0) * ceiling));
  }
};

RemoteCaller::RemoteCaller(RemoteOptions options) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.base_urls.push_back(checked_base_url(options.base_url, options.allow_plain_http));
  for (const std::string& url : options.fallback_urls) {
    s.base_urls.push_back(checked_base_url(url, options.allow_plain_http));
  }
  if (options.session.access_key.empty()) throw ValueError("the backend access key is empty");
  if (options.session.secret_key.empty()) throw ValueError("the backend secret key is empty");
  if (options.retry.max_attempts < 1) throw ValueError("a backend call needs at least 1 attempt");
  if (options.connect_timeout.count() <= 0 || options.attempt_timeout.count() <= 0) {
    throw ValueError("the backend time limits must be positive");
  }
  if (options.ca_file && ::access(options.ca_file->c_str(), R_OK) != 0) {
    throw ValueError("the CA file " + options.ca_file->string() + " cannot be read");
  }
  s.options = std::move(options);
  s.set_up_share();
}

RemoteCaller::~RemoteCaller() = default;

const Session& RemoteCaller::session() const { return state_->options.session; }

Result RemoteCaller::call(std::string_view operation_name, const Json& arguments) {
  State& s = *state_;
  const Request request = s.prepare(operation_name, arguments);
  // Whatever ends the call: an answer (or a refusal) settles the write; no
  // answer after a last attempt that may pass keeps its key for next time.
  struct Settle {
    State& state;
    const std::string& fingerprint;
    const std::string& key;
    bool unanswered = false;
    ~Settle() {
      if (fingerprint.empty()) return;
      if (unanswered) {
        state.keep_unanswered(fingerprint, key);
      } else {
        state.forget_unanswered(fingerprint);
      }
    }
  } settle{s, request.fingerprint, request.idempotency_key};

  for (int attempt = 1;; ++attempt) {
    const std::size_t server = s.current.load();
    const std::string& base_url = s.base_urls[server % s.base_urls.size()];
    const std::string what =
        "backend call " + std::string(request.operation->name) + " to " + base_url;
    const curl::Slist headers = signed_headers(request, s.options.session);
    const Attempt sent = s.send(base_url + request.path, request.body, headers);
    Outcome outcome = classify(sent, what, attempt, s.options.max_answer_bytes);
    if (outcome.answer) return std::move(*outcome.answer);
    if (outcome.move_on) s.move_on(server);
    const bool try_again = outcome.retryable && attempt < s.options.retry.max_attempts;
    if (!try_again) {
      settle.unanswered = outcome.retryable;
      throw final_failure(what, outcome, attempt);
    }
    s.wait_before_retry(attempt, outcome.asked_wait);
  }
}

Json RemoteCaller::call_for_value(std::string_view operation, const Json& arguments) {
  Result result = call(operation, arguments);
  if (result.has_error_set()) {
    const std::string what = "the backend refused " + std::string(operation) + ": " +
                             (result.message.empty() ? *result.error : result.message);
    if (result.kind == wire::refusal::kNotConfigured) throw NotConfiguredError(what);
    throw std::runtime_error(what);
  }
  return std::move(result.data);
}

Json RemoteCaller::call_or_throw(std::string_view operation, const Json& arguments) {
  Result result = call(operation, arguments);
  if (!result.has_error_set()) return std::move(result.data);
  const std::string& kind = result.kind;
  const std::string message = result.message.empty() ? *result.error : result.message;
  if (kind == wire::refusal::kValueError) throw ValueError(message);
  if (kind == wire::refusal::kTypeError) throw TypeError(message);
  if (kind == wire::refusal::kKeyError) throw KeyError(message);
  if (kind == wire::refusal::kNotConfigured) throw NotConfiguredError(message);
  if (kind == wire::refusal::kNotCurrent) throw NotCurrentError(message);
  throw std::runtime_error("the backend refused " + std::string(operation) + ": " + message);
}

}  // namespace tavoren::backend::detail
