#include "tavoren/common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace tavoren::process {
namespace {

using Clock = std::chrono::steady_clock;

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Pipes for the child's standard streams. Both ends carry O_CLOEXEC; the
// spawn's dup2 gives the child its copy without the flag.
struct Pipe {
  int read = -1;
  int write = -1;
  void open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    close_fd(read);
    close_fd(write);
  }
};

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }
  void dup2(int from, int to) { check(::posix_spawn_file_actions_adddup2(&actions_, from, to)); }
  void open(int fd, const char* path, int flags, mode_t mode) {
    check(::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, mode));
  }
  // Closes every descriptor from `first` on in the child.
  void close_from(int first) {
    check(::posix_spawn_file_actions_addclosefrom_np(&actions_, first));
  }

 private:
  static void check(int rc) {
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn_file_actions");
  }
  posix_spawn_file_actions_t actions_;
};

class Attributes {
 public:
  Attributes() { ::posix_spawnattr_init(&attr_); }
  ~Attributes() { ::posix_spawnattr_destroy(&attr_); }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

}  // namespace

SpawnError::SpawnError(const std::string& program, int error_code)
    : std::runtime_error("could not start " + program + ": " + std::strerror(error_code)),
      error_code_(error_code) {}

ExitStatus ExitStatus::from_wait_status(int raw) {
  if (WIFEXITED(raw)) return exited(WEXITSTATUS(raw));
  if (WIFSIGNALED(raw)) return signaled(WTERMSIG(raw));
  return unknown();
}

std::string ExitStatus::describe() const {
  switch (kind_) {
    case Kind::exited:
      return "exited with status " + std::to_string(value_);
    case Kind::signaled:
      return "was ended by signal " + std::to_string(value_);
    case Kind::unknown:
      break;
  }
  return "ended with an unknown status";
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  return out << status.describe();
}

ExitError::ExitError(const std::string& program, ExitStatus exit_status, std::string output)
    : std::runtime_error(program + " " + exit_status.describe()),
      exit_status_(exit_status),
      output_(std::move(output)) {}

TimeoutError::TimeoutError(const std::string& program, std::chrono::milliseconds limit)
    : std::runtime_error(program + " did not finish within " + std::to_string(limit.count()) +
                         " ms") {}

namespace {

// The child's standard streams as `request` asks, through `actions`; the
// pipes asked for are opened.
void redirect_streams(const SpawnRequest& request, FileActions& actions, Pipe& in, Pipe& out,
                      Pipe& err) {
  switch (request.stdin_stream) {
    case Stream::inherit:
      break;
    case Stream::pipe:
      in.open();
      actions.dup2(in.read, STDIN_FILENO);
      break;
    case Stream::null:
      actions.open(STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      break;
    default:
      throw std::invalid_argument("spawn: unsupported standard input");
  }
  switch (request.stdout_stream) {
    case Stream::inherit:
      break;
    case Stream::pipe:
      out.open();
      actions.dup2(out.write, STDOUT_FILENO);
      break;
    case Stream::null:
      actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      break;
    case Stream::file:
      actions.open(STDOUT_FILENO, request.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      break;
    case Stream::stdout:
      throw std::invalid_argument("spawn: standard output cannot go to itself");
  }
  switch (request.stderr_stream) {
    case Stream::inherit:
      break;
    case Stream::pipe:
      err.open();
      actions.dup2(err.write, STDERR_FILENO);
      break;
    case Stream::null:
      actions.open(STDERR_FILENO, "/dev/null", O_WRONLY, 0);
      break;
    case Stream::file:
      if (request.stdout_stream == Stream::file && request.output_path.size() > 0) {
        actions.dup2(STDOUT_FILENO, STDERR_FILENO);
      } else {
        actions.open(STDERR_FILENO, request.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                     0644);
      }
      break;
    case Stream::stdout:
      actions.dup2(STDOUT_FILENO, STDERR_FILENO);
      break;
  }
}

// The child's session or process group as `request` asks, an empty signal
// mask and default dispositions.
void set_group_and_signals(const SpawnRequest& request, Attributes& attributes) {
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.new_session) {
    flags |= POSIX_SPAWN_SETSID;
  } else if (request.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    ::posix_spawnattr_setpgroup(attributes.get(), 0);
  }
  ::posix_spawnattr_setflags(attributes.get(), flags);
  sigset_t empty;
  sigemptyset(&empty);
  ::posix_spawnattr_setsigmask(attributes.get(), &empty);
  // Signals the agent ignores or handles go back to their defaults.
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
}

}  // namespace

Child Child::spawn(const SpawnRequest& request) {
  if (request.argv.empty()) throw std::invalid_argument("spawn: empty argument vector");
  FileActions actions;
  Attributes attributes;
  Pipe in, out, err;
  redirect_streams(request, actions, in, out, err);
  // Only the three standard streams reach the child, even from a
  // descriptor a library opened without close-on-exec (libcurl's internal
  // socket pairs, for one) on another thread at this moment.
  actions.close_from(STDERR_FILENO + 1);

  set_group_and_signals(request, attributes);

  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const auto& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  char** env = environ;
  if (request.environment) {
    for (const auto& e : *request.environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    env = envp.data();
  }

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), env);
  if (rc != 0) throw SpawnError(request.argv[0], rc);

  Child child;
  child.pid_ = pid;
  child.program_ = request.argv[0];
  child.leads_group_ = request.new_session || request.new_process_group;
  child.pidfd_ = pidfd_open(pid);  // carries O_CLOEXEC by definition
  if (child.pidfd_ < 0) {
    // Without a pidfd the child cannot be watched: end it (with everything
    // it started, when it leads a group) rather than wait for it, and
    // report the failure. It is not reaped yet, so its id is still ours.
    const int saved = errno;
    ::kill(child.leads_group_ ? -pid : pid, SIGKILL);
    child.reap_blocking();
    throw std::system_error(saved, std::generic_category(),
                            "pidfd_open for " + request.argv[0] + " (the child was killed)");
  }
  child.stdin_fd_ = in.write;
  in.write = -1;
  child.stdout_fd_ = out.read;
  out.read = -1;
  child.stderr_fd_ = err.read;
  err.read = -1;
  return child;
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    stdin_fd_ = std::exchange(other.stdin_fd_, -1);
    stdout_fd_ = std::exchange(other.stdout_fd_, -1);
    stderr_fd_ = std::exchange(other.stderr_fd_, -1);
    leads_group_ = other.leads_group_;
    status_ = other.status_;
    program_ = std::move(other.program_);
  }
  return *this;
}

Child::~Child() { release(); }

void Child::release() {
  if (pid_ > 0 && !status_) {
    signal_group(SIGKILL);
    reap_blocking();
  }
  close_fds();
  close_fd(pidfd_);
  pid_ = -1;
  status_.reset();
}

void Child::close_fds() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
}

void Child::close_stdin() { close_fd(stdin_fd_); }

void Child::reap_blocking() {
  if (pid_ <= 0 || status_) return;
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &raw, 0);
  } while (r < 0 && errno == EINTR);
  status_ = r == pid_ ? ExitStatus::from_wait_status(raw) : ExitStatus::unknown();
}

std::optional<ExitStatus> Child::poll() {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &raw, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    status_ = ExitStatus::from_wait_status(raw);
  } else if (r < 0) {
    status_ = ExitStatus::unknown();  // not our child any more (reaped elsewhere)
  }
  return status_;
}

std::optional<ExitStatus> Child::wait_for(std::chrono::milliseconds limit) {
  if (auto s = poll()) return s;
  auto deadline = Clock::now() + limit;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    struct pollfd p = {pidfd_, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (rc < 0 && errno == EINTR) continue;
    if (auto s = poll()) return s;
    if (rc == 0 || Clock::now() >= deadline) return std::nullopt;
  }
}

ExitStatus Child::wait() {
  reap_blocking();
  return *status_;
}

void Child::send_signal(int signal) {
  if (pid_ <= 0 || status_) return;
  // Through the pidfd, so a reused process id can never be hit.
  ::syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0);
}

void Child::signal_group(int signal) {
  if (pid_ <= 0 || status_) return;
  if (leads_group_) {
    // The child is not reaped yet, so its id (and its group's) is still ours.
    ::kill(-pid_, signal);
  } else {
    send_signal(signal);
  }
}

// ---------------------------------------------------------------------------

namespace {

// Writes `input` to the child's standard input and reads its pipes until
// both reach end of file or the deadline passes. Returns false on timeout.
bool communicate(Child& child, const std::optional<std::string>& input, std::string& out,
                 std::string& err, std::optional<Clock::time_point> deadline) {
  std::size_t written = 0;
  int in_fd = child.stdin_fd();
  if (in_fd >= 0) {
    int fl = ::fcntl(in_fd, F_GETFL);
    ::fcntl(in_fd, F_SETFL, fl | O_NONBLOCK);
    if (!input || input->empty()) {
      child.close_stdin();
      in_fd = -1;
    }
  }
  bool out_open = child.stdout_fd() >= 0;
  bool err_open = child.stderr_fd() >= 0;
  char buffer[65536];
  while (in_fd >= 0 || out_open || err_open) {
    struct pollfd fds[3];
    int n = 0;
    int in_i = -1, out_i = -1, err_i = -1;
    if (in_fd >= 0) {
      in_i = n;
      fds[n++] = {in_fd, POLLOUT, 0};
    }
    if (out_open) {
      out_i = n;
      fds[n++] = {child.stdout_fd(), POLLIN, 0};
    }
    if (err_open) {
      err_i = n;
      fds[n++] = {child.stderr_fd(), POLLIN, 0};
    }
    int timeout_ms = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return false;
      timeout_ms = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    int rc = ::poll(fds, n, timeout_ms);
    if (rc < 0) {
      if (errno == EINTR) continue;
      throw_errno("poll");
    }
    if (rc == 0) return false;
    if (in_i >= 0 && fds[in_i].revents != 0) {
      ssize_t w = ::write(in_fd, input->data() + written, input->size() - written);
      if (w > 0) written += static_cast<std::size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || written >= input->size()) {
        child.close_stdin();  // done, or the child closed its end (EPIPE)
        in_fd = -1;
      }
    }
    auto drain = [&](int idx, int fd, std::string& sink, bool& open) {
      if (idx < 0 || fds[idx].revents == 0) return;
      ssize_t r = ::read(fd, buffer, sizeof buffer);
      if (r > 0) {
        sink.append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        open = false;
      }
    };
    drain(out_i, child.stdout_fd(), out, out_open);
    drain(err_i, child.stderr_fd(), err, err_open);
  }
  return true;
}

RunResult run_request(const SpawnRequest& request, const RunOptions& options) {
  std::optional<Clock::time_point> deadline;
  if (options.timeout) deadline = Clock::now() + *options.timeout;
  // SIGPIPE on a child that closes its standard input early must not end the agent.
  static const bool sigpipe_ignored = [] {
    struct sigaction sa = {};
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)sigpipe_ignored;

  Child child = Child::spawn(request);
  RunResult result;
  bool finished = communicate(child, options.input, result.out, result.err, deadline);
  if (finished) {
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() < 0) left = std::chrono::milliseconds(0);
      if (auto status = child.wait_for(left)) {
        result.exit_status = *status;
        return result;
      }
    } else {
      result.exit_status = child.wait();
      return result;
    }
  }
  child.signal_group(SIGKILL);
  result.exit_status = child.wait();
  result.timed_out = true;
  return result;
}

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::string>& additions) {
  auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const bool replaced = std::any_of(additions.begin(), additions.end(), [&](const auto& added) {
      return name_of(added) == name_of(current);
    });
    if (!replaced) merged.emplace_back(current);
  }
  merged.insert(merged.end(), additions.begin(), additions.end());
  return merged;
}

namespace {

SpawnRequest request_for(const std::vector<std::string>& argv, const RunOptions& options,
                         bool capture_out) {
  SpawnRequest request;
  request.argv = argv;
  request.stdin_stream = options.input ? Stream::pipe : Stream::null;
  request.stdout_stream = capture_out ? Stream::pipe : Stream::inherit;
  request.stderr_stream = options.capture_stderr ? Stream::pipe : Stream::inherit;
  // Its own process group, so a time limit ends everything it started.
  request.new_process_group = true;
  if (!options.environment.empty()) request.environment = environment_with(options.environment);
  return request;
}

}  // namespace

RunResult run_capture(const std::vector<std::string>& argv, const RunOptions& options) {
  return run_request(request_for(argv, options, true), options);
}

RunResult run_inherit(const std::vector<std::string>& argv, const RunOptions& options) {
  RunOptions inherited = options;
  inherited.capture_stderr = false;
  SpawnRequest request = request_for(argv, inherited, false);
  return run_request(request, inherited);
}

RunResult run_shell(const std::string& script, const RunOptions& options) {
  return run_capture({"/bin/sh", "-c", script}, options);
}

std::string check_output(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result = run_capture(argv, options);
  if (result.timed_out) throw TimeoutError(argv.at(0), *options.timeout);
  if (!result.exit_status.success()) {
    throw ExitError(argv.at(0), result.exit_status, std::move(result.out));
  }
  return std::move(result.out);
}

// ---------------------------------------------------------------------------

namespace {

// Reaps the children started by spawn_background. One thread waits with
// poll() on the pidfds of the children it holds and on an eventfd that a
// new child's arrival writes to; with no children it sleeps in poll() on
// the eventfd alone. The reaper lives as long as the process: it is never
// destroyed, so its thread never outlives it.
class BackgroundReaper {
 public:
  static BackgroundReaper& instance() {
    static BackgroundReaper* const reaper = new BackgroundReaper();
    return *reaper;
  }

  pid_t adopt(Child child) {
    const pid_t pid = child.pid();
    {
      std::lock_guard lock(mutex_);
      // Should the thread fail to start, `child` is killed and reaped on
      // the way out, and the caller learns of the failure.
      if (!started_) {
        std::thread(&BackgroundReaper::run, this).detach();
        started_ = true;
      }
      children_.push_back(std::move(child));
    }
    wake();
    return pid;
  }

 private:
  BackgroundReaper() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_fd_ < 0) throw_errno("eventfd");
  }

  void wake() {
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can fail here.
    [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
  }

  void run() {
    ::pthread_setname_np(::pthread_self(), "tavoren-reaper");
    std::vector<struct pollfd> fds;
    while (true) {
      fds.clear();
      fds.push_back({wake_fd_, POLLIN, 0});
      {
        // Only this thread removes children, so their pidfds stay open
        // while it polls them.
        std::lock_guard lock(mutex_);
        for (const Child& child : children_) fds.push_back({child.pidfd(), POLLIN, 0});
      }
      const int rc = ::poll(fds.data(), fds.size(), -1);
      if (rc < 0) {
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(wake_fd_, &count, sizeof count);
      }
      std::lock_guard lock(mutex_);
      std::erase_if(children_, [](Child& child) { return child.poll().has_value(); });
    }
  }

  const int wake_fd_;
  std::mutex mutex_;
  bool started_ = false;
  std::vector<Child> children_;
};

}  // namespace

pid_t spawn_background(const SpawnRequest& request) {
  BackgroundReaper& reaper = BackgroundReaper::instance();
  return reaper.adopt(Child::spawn(request));
}

}  // namespace tavoren::process
