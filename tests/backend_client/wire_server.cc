#include "wire_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <stdexcept>

#include "tavoren/common/process.h"
#include "tavoren/protocol.h"
#include "test_support.h"

namespace tavoren::testing {

namespace wire = backend::wire;

Certificates make_certificates(const std::filesystem::path& dir, const std::string& name) {
  std::filesystem::create_directories(dir);
  const std::string base = (dir / name).string();
  Certificates made{base + "-ca.pem", base + "-server.pem", base + "-server.key"};
  const std::string extensions = base + "-ext.cnf";
  {
    std::FILE* file = std::fopen(extensions.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + extensions);
    std::fputs(
        "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
        "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n",
        file);
    std::fclose(file);
  }
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                       "-nodes"};
  std::vector<std::string> ca = {"openssl", "req", "-x509"};
  ca.insert(ca.end(), ec.begin(), ec.end());
  ca.insert(ca.end(), {"-keyout", base + "-ca.key", "-out", made.ca.string(), "-days", "2", "-subj",
                       "/CN=Test CA " + name, "-addext", "basicConstraints=critical,CA:TRUE",
                       "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
  std::vector<std::string> request = {"openssl", "req"};
  request.insert(request.end(), ec.begin(), ec.end());
  request.insert(request.end(), {"-keyout", made.key.string(), "-out", base + "-server.csr",
                                 "-subj", "/CN=127.0.0.1"});
  std::vector<std::string> sign = {"openssl",
                                   "x509",
                                   "-req",
                                   "-in",
                                   base + "-server.csr",
                                   "-CA",
                                   made.ca.string(),
                                   "-CAkey",
                                   base + "-ca.key",
                                   "-CAcreateserial",
                                   "-out",
                                   made.certificate.string(),
                                   "-days",
                                   "2",
                                   "-extfile",
                                   extensions};
  const process::RunOptions quiet{.timeout = std::chrono::seconds(30), .capture_stderr = true};
  for (const auto* argv : {&ca, &request, &sign}) process::check_output(*argv, quiet);
  return made;
}

namespace {

backend::wire::VerifierOptions verifier_options() {
  return {.keys = [](const std::string& key) -> std::optional<wire::KeyGrant> {
    if (key == kInstanceKeys.access_key) {
      return wire::KeyGrant{kInstanceKeys.secret_key, wire::Role::kInstance, "instance-a"};
    }
    if (key == kOperatorKeys.access_key) {
      return wire::KeyGrant{kOperatorKeys.secret_key, wire::Role::kOperator, ""};
    }
    return std::nullopt;
  }};
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

WireServer::WireServer(const Certificates* certificates) : verifier_(verifier_options()) {
  if (certificates != nullptr) {
    server_ = std::make_unique<httplib::SSLServer>(certificates->certificate.c_str(),
                                                   certificates->key.c_str());
    tls_ = true;
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) throw std::runtime_error("the test server could not be set up");
  server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
  server_->set_keep_alive_max_count(100000);
  server_->set_tcp_nodelay(true);
  handler_ = [](const Seen& request, int) {
    if (!request.verification.ok()) {
      return failure(request.verification.status(), wire::failure::kNotAuthenticated,
                     request.verification.detail);
    }
    Json data = Json::object();
    data["path"] = request.path;
    data["arguments"] = Json::parse(request.body);
    return answer(backend::Result::ok(data));
  };
}

WireServer::~WireServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void WireServer::start() {
  server_->Post(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    Seen seen;
    seen.path = req.path;
    seen.body = req.body;
    for (const auto& [name, value] : req.headers) seen.headers[lowercase(name)] = value;
    seen.verification =
        verifier_.verify({req.method, req.path, req.body,
                          [&req](std::string_view name) -> std::optional<std::string> {
                            const std::string key(name);
                            if (!req.has_header(key)) return std::nullopt;
                            return req.get_header_value(key);
                          }});
    seen.connection = req.remote_addr + ":" + std::to_string(req.remote_port);
    int number = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      connections_.insert(seen.connection);
      seen_.push_back(seen);
      number = static_cast<int>(seen_.size());
    }
    Reply reply = handler_(seen, number);
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    res.set_header(std::string(wire::kProtocolHeader), std::string(wire::kProtocolVersion));
    if (reply.drop) {
      res.set_content_provider(reply.body.size() + 100, "application/json",
                               [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    } else {
      res.set_content(reply.body, "application/json");
    }
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string WireServer::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<WireServer::Seen> WireServer::seen() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

std::size_t WireServer::connections() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

WireServer::Reply WireServer::answer(const backend::Result& result) {
  return Reply{.status = 200, .body = wire::write_answer(result)};
}

WireServer::Reply WireServer::failure(int status, std::string_view error, std::string_view message,
                                      std::optional<std::string> retry_after) {
  Reply reply{.status = status, .body = wire::write_failure(error, message)};
  if (retry_after) reply.headers.emplace_back("Retry-After", *retry_after);
  return reply;
}

ClosingListener::ClosingListener() {
  fd_ = listen_on_loopback(port_);
  thread_ = std::thread([this] {
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++accepted_;
      ::close(client);
    }
  });
}

ClosingListener::~ClosingListener() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

}  // namespace tavoren::testing
