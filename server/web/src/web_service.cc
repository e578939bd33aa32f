#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "assets.h"
#include "event_hub.h"
#include "sessions.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/store_rules.h"
#include "tavoren/web.h"

namespace tavoren::web {

namespace wire = backend::wire;
using http_server::Admission;
using http_server::Request;
using http_server::RequestHead;
using http_server::Response;
using Headers = std::vector<std::pair<std::string, std::string>>;

namespace {

constexpr std::size_t kMostBodyBytes = 4096;
constexpr std::size_t kMostKeptAnswers = 256;

// The headers of every answer under /ui/.
const Headers& security_headers() {
  static const Headers headers = {
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"}};
  return headers;
}

Response with_headers(int status, std::string content_type, std::string body, Headers more = {}) {
  Response response{status, security_headers(), std::move(body)};
  response.headers.emplace_back("Content-Type", std::move(content_type));
  for (auto& header : more) response.headers.push_back(std::move(header));
  return response;
}

Response json_answer(int status, const Json& body, Headers more = {}) {
  more.emplace_back("Cache-Control", "no-store");
  return with_headers(status, "application/json",
                      body.dump(-1, ' ', false, Json::error_handler_t::replace), std::move(more));
}

Response error_answer(int status, const std::string& text) {
  return json_answer(status, Json{{"error", text}});
}

Response redirect(const std::string& to) {
  return with_headers(303, "text/plain", "", {{"Location", to}, {"Cache-Control", "no-store"}});
}

std::string_view content_type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  return "text/javascript; charset=utf-8";
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The query's parameters, decoded ("+" is a blank); the first of a name.
std::map<std::string, std::string> query_of(std::string_view target) {
  std::map<std::string, std::string> query;
  const std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return query;
  auto decode = [](std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        out += ' ';
      } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                 hex_value(text[i + 2]) >= 0) {
        out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  for (const std::string& pair : split(target.substr(mark + 1), '&')) {
    const std::size_t equals = pair.find('=');
    const std::string name = decode(std::string_view(pair).substr(0, equals));
    const std::string value =
        equals == std::string::npos ? "" : decode(std::string_view(pair).substr(equals + 1));
    query.emplace(name, value);
  }
  return query;
}

std::string percent_encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// An identifier of an action or a machine, as the pages may name one.
bool plain_identifier(std::string_view id) {
  return !id.empty() && id.size() <= 128 && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.' ||
           c == ':';
  });
}

// The query's parameter `name`; empty when it has none.
std::string param_of(const std::map<std::string, std::string>& query, const char* name) {
  const auto found = query.find(name);
  return found == query.end() ? std::string() : found->second;
}

// The most of a log one download holds: the whole log is read into memory.
constexpr std::size_t kMostDownloadBytes = 64 * 1024 * 1024;

// The pages: their address and their file.
const std::map<std::string, std::string, std::less<>>& pages() {
  static const std::map<std::string, std::string, std::less<>> all = {
      {"/ui/sign-in", "sign-in.html"},
      {"/ui/fleet", "fleet.html"},
      {"/ui/queue", "queue.html"},
      {"/ui/action", "action.html"},
      {"/ui/machine", "machine.html"}};
  return all;
}

// What the sign-in page needs before there is a session.
bool open_asset(std::string_view name) {
  return name == "sign-in.html" || name == "sign-in.js" || name == "common.js" || name == "app.css";
}

// An action's attempts, from its history's ends and its current state.
Json attempts_of(const Json& shown) {
  Json attempts = Json::array();
  std::int64_t last = 0;
  for (const Json& event : shown.value("history", Json::array())) {
    const Json arguments = event.value("arguments", Json());
    if (event.value("operation", "") != "exit" || !arguments.is_object()) continue;
    last = arguments.value("attempt", last + 1);
    attempts.push_back(Json{{"attempt", last},
                            {"instanceId", arguments.value("instance_id", Json())},
                            {"cause", arguments.value("cause", Json())},
                            {"exitStatus", arguments.value("exit_status", Json())}});
  }
  const std::int64_t current = shown.value("attempt", std::int64_t{0});
  if (shown.value("state", "") == "assigned" && current > last) {
    attempts.push_back(Json{{"attempt", current},
                            {"instanceId", shown.value("assignedTo", Json())},
                            {"cause", nullptr},
                            {"exitStatus", nullptr}});
  }
  return attempts;
}

struct Session {
  std::string access_key;
  wire::Role role = wire::Role::kViewer;
  std::int64_t expires_ms = 0;
};

}  // namespace

struct WebService::Impl {
  Impl(backend::Store& store, server::AccessKeys& keys, std::string key, WebOptions options)
      : store(store),
        keys(keys),
        session_key(std::move(key)),
        options(std::move(options)),
        hub(store, this->options) {
    for (const Asset& asset : assets()) {
      etags.emplace(std::string(asset.name),
                    "\"" + wire::sha256_hex(asset.body).substr(0, 16) + "\"");
    }
  }

  std::int64_t now_ms() const {
    const auto now = options.clock ? options.clock() : std::chrono::system_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  }

  // The request's session, when its cookie holds one of a key that may
  // still sign in.
  std::optional<Session> session(const Request& request) {
    const std::optional<std::string_view> cookies = request.header("Cookie");
    if (!cookies) return std::nullopt;
    const std::optional<SessionCookie> cookie = session_of(session_key, *cookies, now_ms());
    if (!cookie) return std::nullopt;
    const std::optional<wire::KeyGrant> grant = keys.lookup(cookie->access_key);
    if (!grant || grant->role == wire::Role::kInstance) return std::nullopt;
    return Session{cookie->access_key, grant->role, cookie->expires_ms};
  }

  // A write comes from the pages' own origin: a browser says where a
  // request comes from, and another site's page may not sign anyone in or
  // out.
  static bool same_origin(const Request& request) {
    if (const auto site = request.header("Sec-Fetch-Site")) {
      if (*site != "same-origin") return false;
    }
    const auto origin = request.header("Origin");
    if (!origin) return true;
    const auto host = request.header("Host");
    if (!host) return false;
    const std::size_t scheme = origin->find("://");
    return scheme != std::string_view::npos && origin->substr(scheme + 3) == *host;
  }

  Response asset(const Request& request, std::string_view name) {
    for (const Asset& asset : assets()) {
      if (asset.name != name) continue;
      const std::string& etag = etags.at(std::string(name));
      Headers more = {{"Cache-Control", "no-cache"}, {"ETag", etag}};
      if (request.header("If-None-Match") == std::optional<std::string_view>(etag)) {
        return with_headers(304, std::string(content_type_of(name)), "", std::move(more));
      }
      return with_headers(200, std::string(content_type_of(name)), std::string(asset.body),
                          std::move(more));
    }
    return error_answer(404, "No such file");
  }

  Response challenge() {
    const std::int64_t now = now_ms();
    return json_answer(200, Json{{"challenge", new_challenge(session_key, now)},
                                 {"expiresAt", now + 1000 * options.challenge_time.count()}});
  }

  Response sign_in(const Request& request) {
    const Json body = Json::parse(request.body(), nullptr, false);
    static const std::string kRefused = "The key pair or the challenge was not accepted";
    if (!body.is_object()) return error_answer(400, "The body must be a JSON object");
    const std::string access_key = body.value("accessKey", std::string());
    const std::string text = body.value("challenge", std::string());
    const std::string signature = body.value("signature", std::string());
    const std::int64_t now = now_ms();
    const std::optional<Challenge> challenge = check_challenge(
        session_key, text, now,
        std::chrono::duration_cast<std::chrono::milliseconds>(options.challenge_time));
    // A challenge serves one try, good or bad.
    if (!challenge || !used.use(challenge->nonce, challenge->expires_ms, now)) {
      return error_answer(401, kRefused);
    }
    const std::optional<wire::KeyGrant> grant =
        access_key.empty() ? std::nullopt : keys.lookup(access_key);
    if (!grant || grant->role == wire::Role::kInstance ||
        !same_text(signature, wire::hmac_sha256_hex(grant->secret_key, text))) {
      // Only a known key is named: a secret pasted into the access key's
      // field must not reach the log.
      log::warning("A sign-in to the pages was refused (%s)",
                   grant ? "access key " + access_key : std::string("an unknown access key"));
      return error_answer(401, kRefused);
    }
    const std::int64_t expires = now + 1000 * options.session_time.count();
    std::string cookie = std::string(kSessionCookie) + "=" +
                         session_value(session_key, access_key, expires) +
                         "; Path=/ui/; HttpOnly; SameSite=Strict; Max-Age=" +
                         std::to_string(options.session_time.count());
    if (!options.plain_http) cookie += "; Secure";
    log::info("%s key %s signed in to the pages", wire::role_name(grant->role), access_key);
    return json_answer(200,
                       Json{{"accessKey", access_key},
                            {"role", wire::role_name(grant->role)},
                            {"expiresAt", expires}},
                       {{"Set-Cookie", std::move(cookie)}});
  }

  Response sign_out() {
    std::string cookie =
        std::string(kSessionCookie) + "=; Path=/ui/; HttpOnly; SameSite=Strict; Max-Age=0";
    if (!options.plain_http) cookie += "; Secure";
    return json_answer(200, Json::object(), {{"Set-Cookie", std::move(cookie)}});
  }

  Response fleet(const std::map<std::string, std::string>& query) {
    backend::FleetQuery fleet;
    auto get = [&](const char* name) { return param_of(query, name); };
    fleet.liveness = get("liveness");
    fleet.mode = get("mode");
    fleet.search = get("q");
    if (!get("sort").empty()) fleet.sort = get("sort");
    const std::string order = get("order");
    if (order != "" && order != "asc" && order != "desc") {
      return error_answer(400, "The order is \"asc\" or \"desc\"");
    }
    fleet.descending = order == "desc";
    if (!get("offset").empty()) {
      const auto offset = plain_count(get("offset"));
      if (!offset) return error_answer(400, "The offset is a whole number");
      fleet.offset = *offset;
    }
    if (!get("limit").empty()) {
      const auto limit = plain_count(get("limit"));
      if (!limit || *limit < 1 || *limit > 200) {
        return error_answer(400, "A page holds 1 to 200 machines");
      }
      fleet.limit = *limit;
    }
    return kept_answer("fleet:" + std::string(query_key(query)), [&] {
      Json page = store.fleet_page(fleet);
      page["now"] = now_ms();
      return page;
    });
  }

  // The answer of `key` kept for options.answer_keep, else read anew.
  Response kept_answer(const std::string& key, const std::function<Json()>& read) {
    const auto now = std::chrono::steady_clock::now();
    {
      std::scoped_lock lock(kept_mutex);
      const auto found = kept.find(key);
      if (found != kept.end() && now - found->second.first < options.answer_keep) {
        return with_headers(200, "application/json", found->second.second,
                            {{"Cache-Control", "no-store"}});
      }
    }
    std::string answer = read().dump(-1, ' ', false, Json::error_handler_t::replace);
    std::scoped_lock lock(kept_mutex);
    std::erase_if(
        kept, [&](const auto& entry) { return now - entry.second.first >= options.answer_keep; });
    if (kept.size() < kMostKeptAnswers) kept.insert_or_assign(key, std::make_pair(now, answer));
    return with_headers(200, "application/json", std::move(answer),
                        {{"Cache-Control", "no-store"}});
  }

  static std::string query_key(const std::map<std::string, std::string>& query) {
    std::string key;
    for (const auto& [name, value] : query) key += name + "=" + value + "&";
    return key;
  }

  Response queue(const std::map<std::string, std::string>& query) {
    std::int64_t limit = 200;
    if (const std::string given = param_of(query, "limit"); !given.empty()) {
      const auto number = plain_count(given);
      if (!number || *number < 1 || *number > 1000) {
        return error_answer(400, "A page of the queue holds 1 to 1000 actions");
      }
      limit = *number;
    }
    return kept_answer("queue:" + std::to_string(limit), [&] {
      Json page = store.queue(limit);
      page["now"] = now_ms();
      return page;
    });
  }

  Response action(const std::string& id) {
    Json shown = backend::store_rules::masked_secrets(store.show(id));
    shown["attempts"] = attempts_of(shown);
    return json_answer(200, Json{{"now", now_ms()}, {"action", std::move(shown)}});
  }

  // A log's piece: the current attempt's, or an earlier one's.
  backend::LogChunk log_piece(const std::string& id, std::optional<std::int64_t> attempt,
                              std::int64_t offset) {
    return attempt ? store.attempt_log(id, *attempt, offset) : store.logs(id, offset);
  }

  Response log(const std::string& id, std::optional<std::int64_t> attempt, std::int64_t offset) {
    const backend::LogChunk chunk = log_piece(id, attempt, offset);
    return json_answer(200, Json{{"content", chunk.content}, {"nextOffset", chunk.next_offset}});
  }

  Response download(const std::string& id, std::optional<std::int64_t> attempt) {
    std::string whole;
    for (std::int64_t offset = 0;;) {
      const backend::LogChunk chunk = log_piece(id, attempt, offset);
      if (chunk.content.empty()) break;
      if (whole.size() + chunk.content.size() > kMostDownloadBytes) {
        return error_answer(413, "The log is larger than 64 MiB: read it with tavoren-agent logs");
      }
      whole += chunk.content;
      offset = chunk.next_offset;
    }
    const std::string file =
        id + (attempt ? "-attempt-" + std::to_string(*attempt) : std::string()) + ".log";
    return with_headers(200, "text/plain; charset=utf-8", std::move(whole),
                        {{"Content-Disposition", "attachment; filename=\"" + file + "\""},
                         {"Cache-Control", "no-store"}});
  }

  Response events(const Request& request, const std::map<std::string, std::string>& query) {
    const auto topic = query.find("topic");
    const bool known =
        topic != query.end() &&
        (topic->second == "fleet" || topic->second == "queue" ||
         ((topic->second.starts_with("machine:") || topic->second.starts_with("action:")) &&
          plain_identifier(topic->second.substr(topic->second.find(':') + 1))));
    if (!known) return error_answer(400, "The topic is fleet, queue, machine:ID or action:ID");
    std::int64_t offset = 0;
    if (const auto last = request.header("Last-Event-ID")) {
      offset = plain_count(std::string(*last)).value_or(0);
    } else if (const std::string given = param_of(query, "offset"); !given.empty()) {
      offset = plain_count(given).value_or(0);
    }
    std::shared_ptr<http_server::BodyStream> stream = hub.open(topic->second, offset);
    if (!stream) {
      return with_headers(503, "text/plain", "Too many open event streams",
                          {{"Retry-After", "10"}});
    }
    Response response = with_headers(200, "text/event-stream", "",
                                     {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}});
    response.stream = std::move(stream);
    return response;
  }

  // The data calls of a signed-in page.
  Response data_call(const Request& request, std::string_view path, const Session& session) {
    const std::map<std::string, std::string> query = query_of(request.target());
    auto param = [&](const char* name) { return param_of(query, name); };
    if (path == "/ui/api/me") {
      return json_answer(200, Json{{"accessKey", session.access_key},
                                   {"role", wire::role_name(session.role)},
                                   {"expiresAt", session.expires_ms}});
    }
    if (path == "/ui/api/fleet") return fleet(query);
    if (path == "/ui/api/queue") return queue(query);
    if (path == "/ui/api/events") return events(request, query);
    const std::string id = param("id");
    if (!plain_identifier(id)) return error_answer(400, "Give the identifier as id");
    if (path == "/ui/api/action") return action(id);
    if (path == "/ui/api/machine") {
      return json_answer(200, Json{{"now", now_ms()}, {"machine", store.machine(id)}});
    }
    std::optional<std::int64_t> attempt;
    if (!param("attempt").empty()) {
      attempt = plain_count(param("attempt"));
      if (!attempt || *attempt < 1) return error_answer(400, "An attempt is a number from 1 on");
    }
    if (path == "/ui/api/log") {
      const std::optional<std::int64_t> offset =
          param("offset").empty() ? std::optional<std::int64_t>(0) : plain_count(param("offset"));
      if (!offset) return error_answer(400, "The offset is a whole number");
      return log(id, attempt, *offset);
    }
    if (path == "/ui/api/log/download") return download(id, attempt);
    return error_answer(404, "No such call");
  }

  Response route(const Request& request) {
    const std::string_view path = request.path();
    const bool post = request.method() == "POST";
    if (post && !same_origin(request)) {
      return error_answer(403, "A write must come from the pages' own origin");
    }
    if (path == "/ui" || path == "/ui/") return redirect("/ui/fleet");
    if (path == "/ui/api/challenge") {
      return post ? challenge() : error_answer(405, "Use POST");
    }
    if (path == "/ui/api/sign-in") return post ? sign_in(request) : error_answer(405, "Use POST");
    if (path == "/ui/api/sign-out") return post ? sign_out() : error_answer(405, "Use POST");
    if (post) return error_answer(405, "Use GET");
    const std::optional<Session> signed_in = session(request);
    if (path.starts_with("/ui/assets/")) {
      const std::string_view name = path.substr(11);
      if (!signed_in && !open_asset(name)) return error_answer(401, "Sign in first");
      return asset(request, name);
    }
    if (const auto page = pages().find(path); page != pages().end()) {
      if (!signed_in && page->second != "sign-in.html") {
        std::string next(request.target());
        return redirect("/ui/sign-in?next=" + percent_encoded(next));
      }
      return asset(request, page->second);
    }
    if (path.starts_with("/ui/api/")) {
      if (!signed_in) return error_answer(401, "Sign in first");
      return data_call(request, path, *signed_in);
    }
    return error_answer(404, "No such page");
  }

  backend::Store& store;
  server::AccessKeys& keys;
  const std::string session_key;
  const WebOptions options;
  UsedChallenges used;
  std::map<std::string, std::string> etags;
  std::mutex kept_mutex;
  // Answers as sent, with when they were read.
  std::map<std::string, std::pair<std::chrono::steady_clock::time_point, std::string>> kept;
  EventHub hub;
};

WebService::WebService(backend::Store& store, server::AccessKeys& keys, std::string session_key,
                       WebOptions options)
    : impl_(std::make_unique<Impl>(store, keys, std::move(session_key), std::move(options))) {}

WebService::~WebService() = default;

bool WebService::serves(std::string_view path) { return path == "/ui" || path.starts_with("/ui/"); }

Admission WebService::admit(const RequestHead& head) {
  const std::string& method = head.method();
  if (method != "GET" && method != "POST") {
    return Admission::refuse(error_answer(405, "Use GET or POST"));
  }
  if (const auto length = head.header("Content-Length")) {
    const auto bytes = plain_count(std::string(*length));
    if (!bytes || static_cast<std::size_t>(*bytes) > kMostBodyBytes) {
      return Admission::refuse(error_answer(413, "The body is too large"));
    }
  }
  if (head.header("Transfer-Encoding")) {
    return Admission::refuse(error_answer(413, "A body must give its length"));
  }
  return Admission::admit();
}

Response WebService::handle(const Request& request) {
  try {
    return impl_->route(request);
  } catch (const KeyError& e) {
    return error_answer(404, e.what());
  } catch (const ValueError& e) {
    return error_answer(400, e.what());
  } catch (const std::exception& e) {
    log::error("A page's call %s failed: %s", std::string(request.path()), e.what());
    return error_answer(500, "The server failed; it is logged");
  }
}

std::size_t WebService::open_streams() const { return impl_->hub.open_streams(); }

Admission Router::admit(const RequestHead& head) {
  return WebService::serves(head.path()) ? web_.admit(head) : rest_.admit(head);
}

Response Router::handle(const Request& request) {
  return WebService::serves(request.path()) ? web_.handle(request) : rest_.handle(request);
}

}  // namespace tavoren::web
