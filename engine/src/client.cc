// The container engine's HTTP API through libcurl's easy interface.
//
// Each request builds and frees its own easy handle and connection, so
// requests from several threads share nothing but libcurl's global state,
// which is initialised once. Signals are disabled (CURLOPT_NOSIGNAL): the
// agent is multi-threaded.
#include <curl/curl.h>
#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "tavoren/common/curl.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"

namespace tavoren::engine {
namespace {

using curl::set_option;

// What the callbacks of one request fill in. They must not throw through
// libcurl's C code.
struct Received {
  std::uint64_t max_bytes = 0;
  bool over_limit = false;
  std::string body;
  std::optional<std::string> api_version;
  // When set, the body of a success answer goes here as it arrives instead
  // of into `body` (an error answer's body is kept for its explanation).
  const std::function<void(std::string_view)>* stream = nullptr;
  long status = 0;
  CURL* handle = nullptr;
  // What the stream threw, thrown again once libcurl returned.
  std::exception_ptr stream_failure;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* received = static_cast<Received*>(user);
  const size_t bytes = size * count;
  if (received->stream != nullptr) {
    if (received->status == 0)
      curl_easy_getinfo(received->handle, CURLINFO_RESPONSE_CODE, &received->status);
    if (received->status >= 200 && received->status < 300) {
      try {
        (*received->stream)(std::string_view(data, bytes));
      } catch (...) {
        received->stream_failure = std::current_exception();
        return 0;
      }
      return bytes;
    }
  }
  if (bytes > received->max_bytes - received->body.size()) {
    received->over_limit = true;
    return 0;
  }
  try {
    received->body.append(data, bytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* received = static_cast<Received*>(user);
  const size_t bytes = size * count;
  try {
    const std::string_view line(data, bytes);
    if (starts_with(line, "HTTP/")) {
      // A new answer (after an interim one): forget the previous headers.
      received->api_version.reset();
      return bytes;
    }
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        equals_ignoring_case(trim(line.substr(0, colon)), "Api-Version")) {
      received->api_version = trim(line.substr(colon + 1));
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

// "<major>.<minor>" as two numbers; nullopt for anything else.
std::optional<std::pair<long, long>> parse_version(std::string_view text) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return std::nullopt;
  auto digits = [](std::string_view part) -> std::optional<long> {
    if (part.size() > 6) return std::nullopt;
    long value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    return value;
  };
  auto major = digits(text.substr(0, dot));
  auto minor = digits(text.substr(dot + 1));
  if (!major || !minor) return std::nullopt;
  return std::make_pair(*major, *minor);
}

std::string version_text(std::pair<long, long> version) {
  return std::to_string(version.first) + "." + std::to_string(version.second);
}

// What the engine said about an error: the "message" of its JSON body, or
// the body itself (shortened).
std::string explanation_of(const std::string& body) {
  const std::optional<Json> parsed = try_parse_json(body);
  if (parsed && parsed->is_object()) {
    auto it = parsed->find("message");
    if (it != parsed->end() && it->is_string()) return it->get<std::string>();
  }
  std::string text = trim(body);
  constexpr size_t kMax = 1000;
  if (text.size() > kMax) text = text.substr(0, kMax) + "...";
  return text;
}

std::string without_query(const std::string& path) { return path.substr(0, path.find('?')); }

Json parse_answer(const std::string& body, const std::string& request) {
  try {
    return parse_json(body);
  } catch (const JsonError& e) {
    if (e.beyond_limits()) {
      throw Error("the engine's answer to " + request + " is refused: " + e.what());
    }
    throw Error("the engine's answer to " + request + " is not JSON");
  }
}

void check_id(const std::string& id) {
  if (id.empty()) throw ValueError("a container identifier must not be empty");
}

// The filters as the engine expects them: an object of lists of texts.
Json normalised_filters(const Json& filters) {
  if (!filters.is_object()) throw ValueError("container filters must be an object");
  Json out = Json::object();
  for (const auto& [name, value] : filters.items()) {
    if (value.is_string()) {
      out[name] = Json::array({value});
    } else if (value.is_array() && std::all_of(value.begin(), value.end(),
                                               [](const Json& v) { return v.is_string(); })) {
      out[name] = value;
    } else {
      throw ValueError("the container filter '" + name + "' must be a text or a list of texts");
    }
  }
  return out;
}

[[noreturn]] void malformed(std::string_view value, const std::string& why) {
  throw ValueError("malformed DOCKER_HOST '" + std::string(value) + "': " + why);
}

bool is_host_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// "host:port" of a TCP endpoint, an IPv6 host in brackets.
std::string authority(const Endpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

// A limit for libcurl, where 0 would mean none.
long limit_ms(std::chrono::milliseconds limit) {
  return std::max<long>(1, static_cast<long>(limit.count()));
}

}  // namespace

ApiError::ApiError(long status, std::string explanation, const std::string& request)
    : Error("engine answered " + std::to_string(status) + " to " + request +
            (explanation.empty() ? "" : ": " + explanation)),
      status_(status),
      explanation_(std::move(explanation)) {}

TransportError::TransportError(int curl_code, const std::string& detail, const std::string& request)
    : Error("no answer from the engine " + request + ": " + detail), curl_code_(curl_code) {}

Endpoint Endpoint::parse(std::string_view value) {
  Endpoint endpoint;
  if (value.empty()) {
    endpoint.socket_path = kDefaultSocket;
    return endpoint;
  }
  if (value.find('\0') != std::string_view::npos) malformed(value, "it holds a NUL byte");
  if (starts_with(value, "unix://")) {
    const std::string_view path = value.substr(7);
    if (path.empty()) malformed(value, "no socket path");
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
      malformed(value, "the socket path is longer than a unix socket address allows");
    }
    endpoint.socket_path = std::string(path);
    return endpoint;
  }
  if (!starts_with(value, "tcp://")) malformed(value, "only unix:// and tcp:// are supported");
  std::string_view rest = value.substr(6);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  endpoint.kind = Kind::tcp;
  std::string_view port_text;
  if (starts_with(rest, "[")) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) malformed(value, "unclosed '['");
    endpoint.host = std::string(rest.substr(1, close - 1));
    for (char c : endpoint.host) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') {
        malformed(value, "not an IPv6 address in brackets");
      }
    }
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') malformed(value, "only a port may follow the address");
      port_text = rest.substr(1);
      if (port_text.empty()) malformed(value, "empty port");
    }
  } else {
    const size_t colon = rest.find(':');
    endpoint.host = std::string(rest.substr(0, colon));
    for (char c : endpoint.host) {
      if (!is_host_char(c)) malformed(value, "only a host and a port may follow tcp://");
    }
    if (colon != std::string_view::npos) {
      port_text = rest.substr(colon + 1);
      if (port_text.empty()) malformed(value, "empty port");
    }
  }
  if (endpoint.host.empty()) malformed(value, "no host");
  endpoint.port = 2375;
  if (!port_text.empty()) {
    if (port_text.size() > 5 || !std::all_of(port_text.begin(), port_text.end(),
                                             [](char c) { return c >= '0' && c <= '9'; })) {
      malformed(value, "the port is not a number");
    }
    endpoint.port = std::stoi(std::string(port_text));
    if (endpoint.port < 1 || endpoint.port > 65535) malformed(value, "the port is out of range");
  }
  return endpoint;
}

Endpoint Endpoint::from_env() {
  const std::string value = get_env("DOCKER_HOST").value_or("");
  Endpoint endpoint = parse(value);
  if (endpoint.kind == Kind::tcp && !get_env("DOCKER_TLS_VERIFY").value_or("").empty()) {
    malformed(value, "DOCKER_TLS_VERIFY asks for TLS, which this client does not speak");
  }
  return endpoint;
}

std::string url_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

Client::Client(ClientOptions options)
    : options_(std::move(options)),
      endpoint_(options_.host ? Endpoint::parse(*options_.host) : Endpoint::from_env()) {
  if (!parse_version(options_.api_version)) {
    throw ValueError("the engine API version '" + options_.api_version +
                     "' is not <major>.<minor>");
  }
}

Client::Reply Client::send(const char* method, const std::string& path,
                           std::chrono::milliseconds timeout,
                           const std::function<void(std::string_view)>* stream) {
  const std::string request = std::string(method) + " " + without_query(path);
  curl::Easy handle = curl::new_handle();
  CURL* h = handle.get();

  std::string url;
  if (endpoint_.kind == Endpoint::Kind::unix_socket) {
    set_option(h, CURLOPT_UNIX_SOCKET_PATH, endpoint_.socket_path.c_str());
    url = "http://localhost" + path;
  } else {
    url = "http://" + authority(endpoint_) + path;
  }
  Received received;
  received.max_bytes = options_.max_body_bytes;
  received.stream = stream;
  received.handle = h;
  char error_buffer[CURL_ERROR_SIZE] = {};
  // No content type for the empty bodies of POST requests.
  curl::Slist headers = curl::header_list({"Content-Type:"});

  set_option(h, CURLOPT_URL, url.c_str());
  set_option(h, CURLOPT_PROTOCOLS_STR, "http");
  // The engine is reached directly, whatever proxies the environment names.
  set_option(h, CURLOPT_PROXY, "");
  set_option(h, CURLOPT_NOSIGNAL, 1L);
  set_option(h, CURLOPT_FOLLOWLOCATION, 0L);
  set_option(h, CURLOPT_CONNECTTIMEOUT_MS, limit_ms(options_.connect_timeout));
  set_option(h, CURLOPT_TIMEOUT_MS, limit_ms(timeout));
  set_option(h, CURLOPT_ERRORBUFFER, error_buffer);
  set_option(h, CURLOPT_WRITEFUNCTION, on_body);
  set_option(h, CURLOPT_WRITEDATA, &received);
  set_option(h, CURLOPT_HEADERFUNCTION, on_header);
  set_option(h, CURLOPT_HEADERDATA, &received);
  set_option(h, CURLOPT_HTTPHEADER, headers.get());
  if (std::string_view(method) == "POST") {
    set_option(h, CURLOPT_POST, 1L);
    set_option(h, CURLOPT_POSTFIELDS, "");
    set_option(h, CURLOPT_POSTFIELDSIZE, 0L);
  } else if (std::string_view(method) != "GET") {
    set_option(h, CURLOPT_CUSTOMREQUEST, method);
  }

  const CURLcode code = curl_easy_perform(h);
  if (received.stream_failure) std::rethrow_exception(received.stream_failure);
  if (code != CURLE_OK) {
    std::string detail;
    if (received.over_limit) {
      detail = "the answer is larger than " + std::to_string(options_.max_body_bytes) + " bytes";
    } else if (code == CURLE_COULDNT_CONNECT || error_buffer[0] == '\0') {
      // libcurl's own text names a TCP port even for unix sockets.
      detail = curl_easy_strerror(code);
      long os_errno = 0;
      curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
      if (os_errno != 0)
        detail += " (" + std::string(std::strerror(static_cast<int>(os_errno))) + ")";
    } else {
      detail = trim(error_buffer);
    }
    throw TransportError(static_cast<int>(code), detail, where() + " to " + request);
  }
  Reply reply;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.body = std::move(received.body);
  reply.api_version_header = std::move(received.api_version);
  return reply;
}

Client::Reply Client::call(const char* method, const std::string& path,
                           std::chrono::milliseconds timeout, long also_success,
                           const std::function<void(std::string_view)>* stream) {
  Reply reply = send(method, path, timeout, stream);
  const bool success = (reply.status >= 200 && reply.status < 300) ||
                       (also_success != 0 && reply.status == also_success);
  if (!success) {
    throw ApiError(reply.status, explanation_of(reply.body),
                   std::string(method) + " " + without_query(path));
  }
  return reply;
}

std::string Client::where() const {
  if (endpoint_.kind == Endpoint::Kind::unix_socket) return "at unix://" + endpoint_.socket_path;
  return "at tcp://" + authority(endpoint_);
}

std::string Client::ping() {
  Reply reply = send("GET", "/_ping", options_.timeout);
  const bool success = reply.status >= 200 && reply.status < 300;
  std::optional<std::string> agreed;
  if (reply.api_version_header) {
    const auto theirs = parse_version(*reply.api_version_header);
    const auto ours = parse_version(options_.api_version);
    agreed = theirs ? version_text(std::min(*theirs, *ours)) : "";
  } else if (success) {
    agreed = "";
  }
  if (agreed) {
    std::lock_guard lock(version_mutex_);
    agreed_version_ = agreed;
  }
  if (!success) throw ApiError(reply.status, explanation_of(reply.body), "GET /_ping");
  return reply.body;
}

std::string Client::api_version() {
  {
    std::lock_guard lock(version_mutex_);
    if (agreed_version_) return *agreed_version_;
  }
  ping();
  std::lock_guard lock(version_mutex_);
  return agreed_version_.value_or("");
}

std::string Client::versioned(const std::string& path) {
  const std::string version = api_version();
  return version.empty() ? path : "/v" + version + path;
}

Json Client::list_containers(const ListOptions& options) {
  const Json filters = normalised_filters(options.filters);
  std::string query;
  if (options.all) query += "all=1";
  if (!filters.empty())
    query += (query.empty() ? "" : "&") + ("filters=" + url_encode(filters.dump()));
  const std::string path = versioned("/containers/json" + (query.empty() ? "" : "?" + query));
  Json answer =
      parse_answer(call("GET", path, options_.timeout).body, "GET " + without_query(path));
  if (!answer.is_array()) throw Error("the engine's container list is not an array");
  return answer;
}

Json Client::inspect_container(const std::string& id) {
  check_id(id);
  const std::string path = versioned("/containers/" + url_encode(id) + "/json");
  Json answer = parse_answer(call("GET", path, options_.timeout).body, "GET " + path);
  if (!answer.is_object())
    throw Error("the engine's record of container " + id + " is not an object");
  return answer;
}

void Client::stop_container(const std::string& id, std::optional<int> grace_seconds) {
  check_id(id);
  if (grace_seconds && *grace_seconds < 0) throw ValueError("a grace period must not be negative");
  std::string path = "/containers/" + url_encode(id) + "/stop";
  if (grace_seconds) path += "?t=" + std::to_string(*grace_seconds);
  const std::chrono::milliseconds wait =
      grace_seconds ? std::chrono::milliseconds(std::chrono::seconds(*grace_seconds))
                    : options_.timeout;
  call("POST", versioned(path), wait + options_.stop_margin, /*also_success=*/304);
}

void Client::remove_container(const std::string& id) {
  check_id(id);
  call("DELETE", versioned("/containers/" + url_encode(id) + "?v=1"), options_.timeout,
       /*also_success=*/404);
}

Json Client::container_stats(const std::string& id) {
  check_id(id);
  const std::string path = versioned("/containers/" + url_encode(id) + "/stats?stream=false");
  Json answer =
      parse_answer(call("GET", path, options_.timeout).body, "GET " + without_query(path));
  if (!answer.is_object()) throw Error("the engine's statistics of " + id + " are not an object");
  return answer;
}

void Client::read_logs(const std::string& id, const LogQuery& query,
                       const std::function<void(const LogEntry&)>& sink) {
  check_id(id);
  std::string path = "/containers/" + url_encode(id) + "/logs?stdout=1&stderr=1&timestamps=1";
  if (query.since_ns) path += "&since=" + unix_time_text(*query.since_ns);
  LogFrameReader reader(true, sink);
  const std::function<void(std::string_view)> stream = [&](std::string_view bytes) {
    reader.feed(bytes);
  };
  call("GET", versioned(path), options_.timeout, 0, &stream);
  if (!reader.complete()) {
    throw Error("the engine's log of container " + id + " ended inside a frame");
  }
}

}  // namespace tavoren::engine
