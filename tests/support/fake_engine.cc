#include "fake_engine.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <stdexcept>

#include "tavoren/common/text.h"

namespace tavoren::testing {
namespace {

std::string percent_decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 304:
      return "Not Modified";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    default:
      return status >= 500 ? "Server Error" : "Other";
  }
}

void send_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads one request from `fd`; false when the client sent none in time.
bool read_request(int fd, FakeEngine::Request& request) {
  std::string data;
  char buffer[4096];
  size_t header_end = std::string::npos;
  size_t length = 0;
  while (true) {
    if (header_end == std::string::npos) {
      header_end = data.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        std::smatch m;
        const std::string head = data.substr(0, header_end);
        static const std::regex content_length("\r\ncontent-length:\\s*(\\d+)", std::regex::icase);
        if (std::regex_search(head, m, content_length)) length = std::stoul(m[1]);
      }
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + length) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
  }
  const std::string line = data.substr(0, data.find("\r\n"));
  const auto words = split(line, ' ');
  if (words.size() != 3) return false;
  request.method = words[0];
  request.target = words[1];
  const size_t q = request.target.find('?');
  request.path = request.target.substr(0, q);
  if (q != std::string::npos) {
    for (const std::string& pair : split(request.target.substr(q + 1), '&')) {
      const size_t eq = pair.find('=');
      request.query[percent_decode(pair.substr(0, eq))] =
          eq == std::string::npos ? "" : percent_decode(pair.substr(eq + 1));
    }
  }
  request.body = data.substr(header_end + 4, length);
  return true;
}

// The time now as the engine writes it.
std::string rfc3339_now() {
  const std::time_t seconds = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return stamp;
}

}  // namespace

FakeEngine::Reply FakeEngine::error_reply(int status, const std::string& message) {
  return {.status = status, .body = Json{{"message", message}}.dump()};
}

FakeEngine::FakeEngine() : socket_path_((dir_.path() / "engine.sock").string()) {
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path_.c_str(), sizeof(address.sun_path) - 1);
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    throw std::runtime_error("the fake engine cannot listen at " + socket_path_);
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

FakeEngine::~FakeEngine() {
  const uint64_t one = 1;
  const ssize_t written = ::write(wake_fd_, &one, sizeof one);
  (void)written;
  thread_.join();
  for (int fd : held_) ::close(fd);
  ::close(listen_fd_);
  ::close(wake_fd_);
}

std::string FakeEngine::host() const { return "unix://" + socket_path_; }

engine::ClientOptions FakeEngine::options() const {
  return {.host = host(),
          .connect_timeout = std::chrono::milliseconds(2000),
          .timeout = std::chrono::milliseconds(3000),
          .stop_margin = std::chrono::milliseconds(1000)};
}

void FakeEngine::set_api_version(std::optional<std::string> version) {
  std::lock_guard lock(mutex_);
  api_version_ = std::move(version);
}

void FakeEngine::add_container(const std::string& id, const std::vector<std::string>& args,
                               bool running) {
  add_container_record(id, Json{{"Id", id}, {"Args", args}}, running);
}

void FakeEngine::add_container_record(const std::string& id, Json record, bool running) {
  std::lock_guard lock(mutex_);
  containers_.push_back({id, std::move(record), running});
}

void FakeEngine::add(const ContainerSetup& setup) {
  Json record = {{"Id", setup.id}, {"Args", setup.args}};
  if (!setup.labels.is_null()) record["Config"] = {{"Labels", setup.labels}};
  record["State"] = {{"Running", setup.running},
                     {"StartedAt", setup.started_at},
                     {"FinishedAt", setup.finished_at},
                     {"ExitCode", setup.exit_code}};
  std::lock_guard lock(mutex_);
  containers_.push_back(
      {setup.id, std::move(record), setup.running, setup.stats, setup.stats_status});
}

bool FakeEngine::running(const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (const Container& c : containers_) {
    if (c.id == id) return c.running;
  }
  return false;
}

bool FakeEngine::has(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return std::any_of(containers_.begin(), containers_.end(),
                     [&](const Container& c) { return c.id == id; });
}

void FakeEngine::end(const std::string& id, int exit_code, std::optional<std::string> finished_at) {
  std::lock_guard lock(mutex_);
  for (Container& c : containers_) {
    if (c.id != id) continue;
    c.running = false;
    c.record["State"]["Running"] = false;
    c.record["State"]["ExitCode"] = exit_code;
    c.record["State"]["FinishedAt"] = finished_at.value_or(rfc3339_now());
  }
}

void FakeEngine::append_log(const std::string& id, std::vector<LogLine> lines) {
  std::lock_guard lock(mutex_);
  for (Container& c : containers_) {
    if (c.id == id) c.log.insert(c.log.end(), lines.begin(), lines.end());
  }
}

void FakeEngine::push(const std::string& method, const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  scripted_[method + " " + path].push_back(std::move(reply));
}

std::vector<FakeEngine::Request> FakeEngine::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> FakeEngine::lines() const {
  std::vector<std::string> out;
  for (const Request& r : requests()) out.push_back(r.method + " " + r.target);
  return out;
}

std::vector<std::string> FakeEngine::paths() const {
  std::vector<std::string> out;
  for (const Request& r : requests()) out.push_back(r.path);
  return out;
}

void FakeEngine::on_stop(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(mutex_);
  on_stop_ = std::move(hook);
}

void FakeEngine::clear_requests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void FakeEngine::serve() {
  while (true) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) handle(fd);
  }
}

void FakeEngine::handle(int fd) {
  Request request;
  if (!read_request(fd, request)) {
    ::close(fd);
    return;
  }
  const Reply reply = answer(request);
  if (reply.mode == Reply::Mode::hang) {
    held_.push_back(fd);
    return;
  }
  if (reply.mode == Reply::Mode::answer) {
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                       "\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) text += name + ": " + value + "\r\n";
    if (reply.status != 204 && reply.status != 304) {
      text +=
          "Content-Type: application/json\r\nContent-Length: " + std::to_string(reply.body.size()) +
          "\r\n\r\n" + reply.body;
    } else {
      text += "\r\n";
    }
    send_all(fd, text);
  }
  ::close(fd);
}

FakeEngine::Reply FakeEngine::answer(const Request& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  static const std::regex versioned("^/v\\d+\\.\\d+(/.*)$");
  std::smatch m;
  const std::string path = std::regex_match(request.path, m, versioned) ? m[1].str() : request.path;

  auto scripted = scripted_.find(request.method + " " + path);
  if (scripted != scripted_.end() && !scripted->second.empty()) {
    Reply reply = std::move(scripted->second.front());
    scripted->second.pop_front();
    return reply;
  }
  if (request.method == "GET" && path == "/_ping") {
    Reply reply{.body = "OK"};
    if (api_version_) reply.headers.emplace_back("Api-Version", *api_version_);
    return reply;
  }
  if (request.method == "GET" && path == "/containers/json") {
    Json states = Json::array();
    Json labels = Json::array();
    if (auto f = request.query.find("filters"); f != request.query.end()) {
      const Json filters = Json::parse(f->second, nullptr, /*allow_exceptions=*/false);
      if (!filters.is_object()) return error_reply(400, "invalid filters: " + f->second);
      states = filters.value("status", Json::array());
      labels = filters.value("label", Json::array());
    }
    const bool all = request.query.count("all") != 0 && request.query.at("all") != "0";
    Json list = Json::array();
    for (const Container& c : containers_) {
      const std::string state = c.running ? "running" : "exited";
      if (!all && !c.running) continue;
      if (!states.empty() && std::find(states.begin(), states.end(), state) == states.end()) {
        continue;
      }
      const Json config = c.record.value("Config", Json::object());
      const Json own = config.is_object() ? config.value("Labels", Json::object()) : Json();
      const bool labelled = std::all_of(labels.begin(), labels.end(), [&](const Json& wanted) {
        const std::string text = wanted.get<std::string>();
        const std::size_t equals = text.find('=');
        const std::string key = text.substr(0, equals);
        if (!own.is_object() || !own.contains(key)) return false;
        return equals == std::string::npos || own[key] == text.substr(equals + 1);
      });
      if (!labelled) continue;
      Json summary = {{"Id", c.id}, {"State", state}};
      if (own.is_object() && !own.empty()) summary["Labels"] = own;
      list.push_back(std::move(summary));
    }
    return {.body = list.dump()};
  }
  static const std::regex container_path("^/containers/([^/]+)/(json|stop|stats|logs)$");
  if (std::regex_match(path, m, container_path)) {
    const std::string id = percent_decode(m[1].str());
    auto c = std::find_if(containers_.begin(), containers_.end(),
                          [&](const Container& x) { return x.id == id; });
    if (c == containers_.end()) return error_reply(404, "No such container: " + id);
    if (request.method == "GET" && m[2] == "json") return {.body = c->record.dump()};
    if (request.method == "GET" && m[2] == "stats") {
      if (c->stats_status != 200) return error_reply(c->stats_status, "cannot read statistics");
      if (!c->stats.is_null()) return {.body = c->stats.dump()};
      return {.body = Json{{"id", id}, {"memory_stats", {{"usage", 1024}}}}.dump()};
    }
    if (request.method == "GET" && m[2] == "logs") {
      std::int64_t since = 0;
      if (auto q = request.query.find("since"); q != request.query.end()) {
        // seconds[.nanoseconds]
        const std::string text = q->second;
        const std::size_t dot = text.find('.');
        since = std::stoll(text.substr(0, dot)) * 1'000'000'000;
        if (dot != std::string::npos) {
          std::string nanos = text.substr(dot + 1);
          nanos.resize(9, '0');
          since += std::stoll(nanos);
        }
      }
      std::string body;
      for (const LogLine& line : c->log) {
        if (line.time_ns < since) continue;
        const std::time_t seconds = static_cast<std::time_t>(line.time_ns / 1'000'000'000);
        std::tm parts{};
        ::gmtime_r(&seconds, &parts);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%09lldZ ",
                      parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                      parts.tm_min, parts.tm_sec,
                      static_cast<long long>(line.time_ns % 1'000'000'000));
        const std::string payload = stamp + line.bytes;
        const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
        body += static_cast<char>(line.stream);
        body.append(3, '\0');
        body += static_cast<char>(length >> 24);
        body += static_cast<char>((length >> 16) & 0xff);
        body += static_cast<char>((length >> 8) & 0xff);
        body += static_cast<char>(length & 0xff);
        body += payload;
      }
      return {.body = body};
    }
    if (request.method == "POST" && m[2] == "stop") {
      if (!c->running) return {.status = 304};
      c->running = false;
      if (c->record.contains("State") && c->record["State"].is_object()) {
        c->record["State"]["Running"] = false;
        c->record["State"]["ExitCode"] = 143;
      }
      if (on_stop_) on_stop_(id);
      return {.status = 204};
    }
  }
  static const std::regex container_itself("^/containers/([^/]+)$");
  if (request.method == "DELETE" && std::regex_match(path, m, container_itself)) {
    const std::string id = percent_decode(m[1].str());
    auto c = std::find_if(containers_.begin(), containers_.end(),
                          [&](const Container& x) { return x.id == id; });
    if (c == containers_.end()) return error_reply(404, "No such container: " + id);
    if (c->running) {
      return error_reply(409, "cannot remove container " + id +
                                  ": container is running: stop the container before removing");
    }
    containers_.erase(c);
    return {.status = 204};
  }
  return error_reply(404, "page not found");
}

}  // namespace tavoren::testing
