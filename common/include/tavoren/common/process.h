// Child processes of the agent.
//
// Every child is started with posix_spawnp (the program is found through
// PATH; the agent never forks). Every descriptor the agent opens here
// carries O_CLOEXEC, so a child receives only its three standard streams.
// A Child owns the process: it holds a pidfd for waits with a time limit,
// and its destructor kills (SIGKILL, to the process group where the child
// leads one) and reaps a child that is still running, so no child outlives
// its handle unnoticed and none is left a zombie.
//
// How a child ended is one type everywhere, ExitStatus: it exited with a
// code, or a signal ended it. Its two renderings are named where they are
// used: returncode() (-N for signal N, as the agent's log lines show it) and
// shell_status() (128 + N, as a shell reports it and the embedded backend
// stores it).
//
// Failures: a program that cannot be started throws SpawnError (with the
// errno); a child that ran and exited non-zero is not an exception for the
// run_* helpers (read RunResult::exit_status), and throws ExitError from
// check_output(). A time limit that passes kills the child (and its
// process group when it leads one); run_* report it in RunResult::timed_out,
// check_output() throws TimeoutError.
//
// Threads: a Child is used by one thread at a time (move it between
// threads freely). The free functions are safe from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoren::process {

// How a child process ended.
class ExitStatus {
 public:
  enum class Kind {
    exited,    // it called exit (or returned from main) with code()
    signaled,  // signal() ended it
    unknown,   // its status could not be read (it was reaped elsewhere)
  };

  // A child that exited with `code` (0 to 255).
  static constexpr ExitStatus exited(int code) { return ExitStatus(Kind::exited, code); }
  // A child that signal `signal` ended.
  static constexpr ExitStatus signaled(int signal) { return ExitStatus(Kind::signaled, signal); }
  static constexpr ExitStatus unknown() { return ExitStatus(Kind::unknown, 0); }
  // From a status word of waitpid().
  static ExitStatus from_wait_status(int raw);

  constexpr ExitStatus() = default;  // exited with 0
  constexpr Kind kind() const { return kind_; }
  // Exited with code 0.
  constexpr bool success() const { return kind_ == Kind::exited && value_ == 0; }
  // The exit code; nullopt when it did not exit.
  constexpr std::optional<int> code() const {
    return kind_ == Kind::exited ? std::optional<int>(value_) : std::nullopt;
  }
  // The signal that ended it; nullopt when none did.
  constexpr std::optional<int> signal() const {
    return kind_ == Kind::signaled ? std::optional<int>(value_) : std::nullopt;
  }
  // The code, -N for signal N, -1 when unknown.
  constexpr int returncode() const {
    return kind_ == Kind::exited ? value_ : kind_ == Kind::signaled ? -value_ : -1;
  }
  // The code, 128 + N for signal N, -1 when unknown.
  constexpr int shell_status() const {
    return kind_ == Kind::exited ? value_ : kind_ == Kind::signaled ? 128 + value_ : -1;
  }
  // "exited with status 3", "was ended by signal 9", "ended with an unknown
  // status", for messages after a program's name.
  std::string describe() const;

  constexpr bool operator==(const ExitStatus&) const = default;

 private:
  constexpr ExitStatus(Kind kind, int value) : kind_(kind), value_(value) {}
  Kind kind_ = Kind::exited;
  int value_ = 0;
};

// Prints describe(), for test failure messages.
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

// The program could not be started (not found, not executable, ...).
class SpawnError : public std::runtime_error {
 public:
  SpawnError(const std::string& program, int error_code);
  int error_code() const { return error_code_; }

 private:
  int error_code_;
};

// The program ran and ended with a non-zero status (check_output only).
class ExitError : public std::runtime_error {
 public:
  ExitError(const std::string& program, ExitStatus exit_status, std::string output);
  ExitStatus exit_status() const { return exit_status_; }
  const std::string& output() const { return output_; }

 private:
  ExitStatus exit_status_;
  std::string output_;
};

// The program did not end within its time limit and was killed.
class TimeoutError : public std::runtime_error {
 public:
  TimeoutError(const std::string& program, std::chrono::milliseconds limit);
};

// Where one standard stream of the child goes.
enum class Stream {
  inherit,  // the agent's own descriptor
  pipe,     // a pipe whose other end the Child holds
  null,     // /dev/null
  file,     // a file (standard output and error only): truncated and created
  stdout,   // standard error only: the same place as standard output
};

struct SpawnRequest {
  // argv[0] is the program, found through PATH.
  std::vector<std::string> argv;
  Stream stdin_stream = Stream::inherit;
  Stream stdout_stream = Stream::inherit;
  Stream stderr_stream = Stream::inherit;
  // The file for Stream::file (created with mode 0644).
  std::string output_path;
  // Start the child in a new session, so it leads its own process group
  // and signal_group() reaches everything it starts.
  bool new_session = false;
  // Start the child in a new process group of the agent's session (ignored
  // with new_session), so signal_group() reaches everything it starts.
  bool new_process_group = false;
  // The child's environment; nullopt passes the agent's own unchanged.
  std::optional<std::vector<std::string>> environment;
};

class Child {
 public:
  // Starts the child. Throws SpawnError when the program cannot be started
  // and std::system_error when the agent runs out of descriptors (a child
  // already started then is killed and reaped first).
  static Child spawn(const SpawnRequest& request);

  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // The pidfd of the child (readable once it has ended), for waiting on
  // several children with poll(). -1 once the handle is released.
  int pidfd() const { return pidfd_; }
  // Whether the child leads its own process group.
  bool leads_group() const { return leads_group_; }
  // Pipe ends held by the agent; -1 when that stream is not a pipe.
  int stdin_fd() const { return stdin_fd_; }
  int stdout_fd() const { return stdout_fd_; }
  int stderr_fd() const { return stderr_fd_; }
  void close_stdin();

  // The exit status when the child has ended (and reaps it), else nullopt.
  std::optional<ExitStatus> poll();
  // Waits at most `limit` for the child to end. nullopt when it is still
  // running afterwards.
  std::optional<ExitStatus> wait_for(std::chrono::milliseconds limit);
  // Waits as long as it takes.
  ExitStatus wait();
  // The exit status once reaped.
  std::optional<ExitStatus> exit_status() const { return status_; }

  // Sends `signal` to the child alone. No effect once it is reaped.
  void send_signal(int signal);
  // Sends `signal` to the child's process group when it leads one, else to
  // the child alone. No effect once it is reaped.
  void signal_group(int signal);

 private:
  Child() = default;
  void close_fds();
  void reap_blocking();
  void release();

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  bool leads_group_ = false;
  std::optional<ExitStatus> status_;
  std::string program_;
};

struct RunOptions {
  // nullopt: no time limit.
  std::optional<std::chrono::milliseconds> timeout;
  // Written to the child's standard input, which is then closed. Without
  // it the child's standard input is /dev/null.
  std::optional<std::string> input;
  // Capture standard error too (into RunResult::err); otherwise it goes to
  // the agent's own standard error.
  bool capture_stderr = false;
  // "NAME=value" entries set in the child's environment on top of the
  // agent's own (an entry replaces a variable of the same name); everything
  // else is passed unchanged. Empty: the agent's environment as it is.
  std::vector<std::string> environment;
};

struct RunResult {
  // Signaled(SIGKILL) when the time limit passed.
  ExitStatus exit_status;
  std::string out;
  std::string err;
  bool timed_out = false;
};

// The run_* helpers start the child in its own process group (a time limit
// ends everything it started) with standard input from /dev/null unless
// RunOptions::input is given.

// Runs `argv` without a shell and captures its standard output.
RunResult run_capture(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs `argv` without a shell; its output goes to the agent's own streams
// (RunResult::out and err stay empty).
RunResult run_inherit(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs `script` through "/bin/sh -c" and captures its standard output.
RunResult run_shell(const std::string& script, const RunOptions& options = {});
// run_capture(), then the standard output; ExitError on a non-zero status,
// TimeoutError when the time limit passed.
std::string check_output(const std::vector<std::string>& argv, const RunOptions& options = {});

// The agent's environment with `additions` ("NAME=value") set on top of
// it: an addition replaces a variable of the same name. For
// SpawnRequest::environment, to hand a child values that must not show on
// its command line (a process's environment is readable by its own user
// only).
std::vector<std::string> environment_with(const std::vector<std::string>& additions);

// Starts `request` and leaves it to run on its own: nobody waits for it or
// reads its status. One process-wide reaper thread (started on first use,
// asleep while it has no children) reaps each such child as soon as it
// ends, so none is left a zombie. A child still running when the agent
// exits keeps running. Returns the child's process id. Throws like
// Child::spawn; nothing is started then.
pid_t spawn_background(const SpawnRequest& request);

}  // namespace tavoren::process
