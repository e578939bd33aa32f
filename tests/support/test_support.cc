#include "test_support.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tavoren/common/hex.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"

namespace tavoren::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tavoren-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path TempDir::write(const std::string& name, const std::string& content) const {
  fs::path p = path_ / name;
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << content;
  f.close();
  if (!f) throw std::runtime_error("cannot write " + p.string());
  return p;
}

std::string sha256_hex(const std::string& data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL could not compute a SHA-256 digest");
  }
  return lower_hex(digest.data(), size);
}

std::string read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(get_env(name_.c_str())) {
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

FakeTools::FakeTools() {
  std::string path = dir_.path().string();
  if (auto old = get_env("PATH")) path += ":" + *old;
  path_env_ = std::make_unique<ScopedEnv>("PATH", path);
}

FakeTools::~FakeTools() = default;

namespace {

// The first lines of every fake: record the arguments, one call per line.
std::string recorder(const fs::path& dir, const std::string& name) {
  std::string calls = shell_quote((dir / (name + ".calls")).string());
  return "#!/bin/sh\n"
         "line=''\n"
         "for a in \"$@\"; do\n"
         // Only a word holding a quote needs sed (a process per word slows
         // the fakes that many agents call at once).
         "  case \"$a\" in\n"
         "    *\\'*) q=$(printf '%s' \"$a\" | sed \"s/'/'\\\"'\\\"'/g\") ;;\n"
         "    *) q=$a ;;\n"
         "  esac\n"
         "  case \"$a\" in\n"
         "    ''|*[!A-Za-z0-9@%+=:,./_-]*) q=\"'$q'\" ;;\n"
         "  esac\n"
         "  line=\"${line:+$line }$q\"\n"
         "done\n"
         "printf '%s\\n' \"$line\" >> " +
         calls + "\n";
}

void write_executable(const fs::path& path, const std::string& content) {
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
  }
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

}  // namespace

void FakeTools::add(const std::string& name, const std::string& stdout_text, int exit_status) {
  fs::path out = dir_.write(name + ".stdout", stdout_text);
  write_executable(dir_.path() / name, recorder(dir_.path(), name) + "cat " +
                                           shell_quote(out.string()) + "\nexit " +
                                           std::to_string(exit_status) + "\n");
}

void FakeTools::add_script(const std::string& name, const std::string& script_body) {
  write_executable(dir_.path() / name, recorder(dir_.path(), name) + script_body + "\n");
}

void FakeTools::add_reading_stdin(const std::string& name, const std::string& stdout_text,
                                  int exit_status) {
  fs::path out = dir_.write(name + ".stdout", stdout_text);
  fs::path in = dir_.path() / (name + ".stdin");
  write_executable(dir_.path() / name,
                   recorder(dir_.path(), name) + "cat >> " + shell_quote(in.string()) + "\ncat " +
                       shell_quote(out.string()) + "\nexit " + std::to_string(exit_status) + "\n");
}

void FakeTools::add_hanging(const std::string& name) {
  const fs::path pid_file = dir_.path() / (name + ".pid");
  const fs::path grandchild_file = dir_.path() / (name + ".grandchild");
  std::error_code ec;
  fs::remove(pid_file, ec);
  fs::remove(grandchild_file, ec);
  // The grandchild's id is written first, so a written tool id means both.
  add_script(name, "sleep 600 &\necho $! > " + shell_quote(grandchild_file.string()) +
                       "\necho $$ > " + shell_quote(pid_file.string()) + ".tmp && mv " +
                       shell_quote(pid_file.string()) + ".tmp " + shell_quote(pid_file.string()) +
                       "\nwait");
}

std::optional<std::pair<pid_t, pid_t>> FakeTools::hanging_pids(const std::string& name) const {
  const fs::path pid_file = dir_.path() / (name + ".pid");
  if (!fs::exists(pid_file)) return std::nullopt;
  const std::string tool = trim(read_file(pid_file));
  const std::string grandchild = trim(read_file(dir_.path() / (name + ".grandchild")));
  return std::pair{static_cast<pid_t>(parse_int(tool)), static_cast<pid_t>(parse_int(grandchild))};
}

bool process_ended(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    const std::string content((std::istreambuf_iterator<char>(stat)), {});
    const std::size_t close = content.rfind(')');
    if (close != std::string::npos && content.size() > close + 2 && content[close + 2] == 'Z') {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void FakeTools::remove(const std::string& name) {
  std::error_code ec;
  fs::remove(dir_.path() / name, ec);
}

std::vector<std::string> FakeTools::calls(const std::string& name) const {
  std::string text = read_file(dir_.path() / (name + ".calls"));
  std::vector<std::string> lines = split(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string FakeTools::calls_stdin(const std::string& name) const {
  return read_file(dir_.path() / (name + ".stdin"));
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}

LoopbackServer::~LoopbackServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void LoopbackServer::start() {
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string LoopbackServer::host() const { return "127.0.0.1:" + std::to_string(port_); }
std::string LoopbackServer::url() const { return "http://" + host(); }

int listen_on_loopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// In the body: port_ is initialised after fd_, which would reset the port
// written by listen_on_loopback.
SilentListener::SilentListener() { fd_ = listen_on_loopback(port_); }

SilentListener::~SilentListener() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace tavoren::testing
