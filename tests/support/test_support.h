// Helpers shared by the agent's tests: temporary folders, environment
// overrides, fake host tools first on PATH, and loopback HTTP servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace tavoren::testing {

// A fresh folder under the system's temporary folder, removed on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to path()/name (parents created) and returns its path.
  std::filesystem::path write(const std::string& name, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

// Lowercase hexadecimal SHA-256 of `data`.
std::string sha256_hex(const std::string& data);

// Sets (or, with nullopt, unsets) one environment variable for the lifetime
// of the object and restores the previous state afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Fake host tools: executable shell scripts in a temporary folder that is
// put first on PATH for the lifetime of the object. Each fake appends one
// line per call to a record file: its arguments, each shell-quoted, joined
// by blanks; standard input is recorded when asked.
class FakeTools {
 public:
  FakeTools();
  ~FakeTools();

  // A tool that records its call, prints `stdout_text` exactly, and exits
  // with `exit_status`.
  void add(const std::string& name, const std::string& stdout_text, int exit_status = 0);
  // A tool whose body is the given /bin/sh script (after the recording
  // line). The script sees the arguments as "$@".
  void add_script(const std::string& name, const std::string& script_body);
  // Like add(), and also records its standard input to calls_stdin(name).
  void add_reading_stdin(const std::string& name, const std::string& stdout_text,
                         int exit_status = 0);
  // A tool that records its call, starts a grandchild (a long sleep) in its
  // own process group, writes both process ids (see hanging_pids) and then
  // waits: it never ends by itself within a test.
  void add_hanging(const std::string& name);
  // Removes the tool, so that it cannot be found through PATH.
  void remove(const std::string& name);
  // The process ids the hanging tool `name` wrote at its latest call: the
  // tool's and its grandchild's. nullopt until it has written them.
  std::optional<std::pair<pid_t, pid_t>> hanging_pids(const std::string& name) const;

  // Every call so far, each as its argument line (shell-quoted words).
  std::vector<std::string> calls(const std::string& name) const;
  std::string calls_stdin(const std::string& name) const;
  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::unique_ptr<ScopedEnv> path_env_;
};

// Whether process `pid` has ended (or is a zombie left for its new parent
// to reap), waiting up to `limit` for it to do so.
bool process_ended(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(2));

// An HTTP server on 127.0.0.1 at a free port, running on its own thread
// until destroyed. Register handlers on server() before calling start().
class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  httplib::Server& server() { return *server_; }
  // Starts listening; returns once the server accepts connections.
  void start();
  int port() const { return port_; }
  // "127.0.0.1:<port>"
  std::string host() const;
  // "http://127.0.0.1:<port>"
  std::string url() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A listening TCP socket (close-on-exec) on 127.0.0.1 at a port the kernel
// picks, stored in `port`. Throws std::runtime_error when none can be had.
int listen_on_loopback(int& port);

// A TCP socket on 127.0.0.1 that accepts connections but never answers
// (a server that hangs). port() tells where.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace tavoren::testing
