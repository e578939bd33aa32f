#include "tavoren/common/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "tavoren/common/text.h"
#include "test_support.h"

namespace tavoren::process {
namespace {

using namespace std::chrono_literals;
using tavoren::testing::read_file;
using tavoren::testing::TempDir;

// Whether a process is gone (or only a zombie waiting for someone else).
bool process_gone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    auto close = content.rfind(')');
    if (close != std::string::npos && content.size() > close + 2 && content[close + 2] == 'Z') {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(Run, CapturesOutputAndExitStatus) {
  RunResult ok =
      run_capture({"sh", "-c", "printf 'out'; printf 'err' >&2; exit 3"}, {.capture_stderr = true});
  EXPECT_EQ(ok.exit_status, ExitStatus::exited(3));
  EXPECT_EQ(ok.out, "out");
  EXPECT_EQ(ok.err, "err");
  EXPECT_FALSE(ok.timed_out);

  EXPECT_EQ(run_inherit({"true"}).exit_status, ExitStatus::exited(0));
  EXPECT_EQ(run_inherit({"false"}).exit_status, ExitStatus::exited(1));
  EXPECT_EQ(run_shell("exit 7").exit_status, ExitStatus::exited(7));
  EXPECT_EQ(run_capture({"sh", "-c", "kill -TERM $$"}).exit_status, ExitStatus::signaled(SIGTERM));
}

TEST(Run, EnvironmentAdditionsGoOnTopOfTheAgentsOwn) {
  tavoren::testing::ScopedEnv locale("LC_ALL", "de_DE.UTF-8");
  tavoren::testing::ScopedEnv kept("TAVOREN_TEST_KEPT", "yes");
  const std::string script = "printf '%s %s' \"$LC_ALL\" \"$TAVOREN_TEST_KEPT\"";
  EXPECT_EQ(run_shell(script, {.environment = {"LC_ALL=C"}}).out, "C yes");
  EXPECT_EQ(run_shell(script).out, "de_DE.UTF-8 yes");
  // The variable is set once, not twice.
  EXPECT_EQ(
      run_capture({"sh", "-c", "env | grep -c '^LC_ALL='"}, {.environment = {"LC_ALL=C"}}).out,
      "1\n");
}

TEST(Run, InheritedOutputReportsItsTimeLimit) {
  RunResult late = run_inherit({"sleep", "5"}, {.timeout = 50ms});
  EXPECT_TRUE(late.timed_out);
  EXPECT_EQ(late.exit_status, ExitStatus::signaled(SIGKILL));
  RunResult done = run_inherit({"sh", "-c", "exit 4"}, {.timeout = 5s});
  EXPECT_FALSE(done.timed_out);
  EXPECT_EQ(done.exit_status, ExitStatus::exited(4));
}

// How a child ended is one value with two renderings: the log lines' code
// (-N for signal N) and the shell's (128 + N).
TEST(ExitStatus, OneValueTwoRenderings) {
  const ExitStatus three = ExitStatus::exited(3);
  EXPECT_EQ(three.code(), 3);
  EXPECT_EQ(three.signal(), std::nullopt);
  EXPECT_FALSE(three.success());
  EXPECT_EQ(three.returncode(), 3);
  EXPECT_EQ(three.shell_status(), 3);
  EXPECT_EQ(three.describe(), "exited with status 3");
  const ExitStatus killed = ExitStatus::signaled(SIGKILL);
  EXPECT_EQ(killed.code(), std::nullopt);
  EXPECT_EQ(killed.signal(), SIGKILL);
  EXPECT_EQ(killed.returncode(), -SIGKILL);
  EXPECT_EQ(killed.shell_status(), 128 + SIGKILL);
  EXPECT_EQ(killed.describe(), "was ended by signal 9");
  EXPECT_NE(killed, ExitStatus::exited(128 + SIGKILL));
  EXPECT_TRUE(ExitStatus().success());
  EXPECT_EQ(ExitStatus::unknown().returncode(), -1);
  // From real wait statuses.
  EXPECT_EQ(run_shell("exit 255").exit_status.shell_status(), 255);
  EXPECT_EQ(run_shell("kill -INT $$").exit_status.shell_status(), 128 + SIGINT);
}

TEST(Run, ArgumentsReachTheProgramUnchangedWithoutAShell) {
  std::vector<std::string> argv = {"printf", "%s|", "two words", "$(id)", "`id`", "'", ""};
  EXPECT_EQ(check_output(argv), "two words|$(id)|`id`|'||");
}

TEST(Run, AProgramThatCannotStartIsNotANonZeroExit) {
  try {
    run_capture({"tavoren-no-such-program"});
    FAIL() << "expected SpawnError";
  } catch (const SpawnError& e) {
    EXPECT_EQ(e.error_code(), ENOENT);
  }
  EXPECT_THROW(run_inherit({"/etc/passwd"}), SpawnError);  // not executable
  try {
    check_output({"sh", "-c", "echo partial; exit 2"});
    FAIL() << "expected ExitError";
  } catch (const ExitError& e) {
    EXPECT_EQ(e.exit_status(), ExitStatus::exited(2));
    EXPECT_STREQ(e.what(), "sh exited with status 2");
    EXPECT_EQ(e.output(), "partial\n");
  }
}

TEST(Run, StandardInputLargerThanAPipeBuffer) {
  std::string input(1 << 20, 'x');
  for (std::size_t i = 0; i < input.size(); i += 97) input[i] = '\n';
  RunResult r = run_capture({"cat"}, {.input = input});
  EXPECT_TRUE(r.exit_status.success());
  EXPECT_EQ(r.out, input);
  // A child that ignores its input and exits early does not hurt the agent.
  RunResult early = run_capture({"true"}, {.input = input});
  EXPECT_TRUE(early.exit_status.success());
  // Without input, standard input is empty.
  EXPECT_EQ(check_output({"cat"}), "");
}

TEST(Run, TimeLimitKillsTheWholeProcessGroup) {
  TempDir dir;
  auto pid_file = dir.path() / "grandchild.pid";
  auto start = std::chrono::steady_clock::now();
  RunResult r =
      run_shell("sleep 30 & echo $! > '" + pid_file.string() + "'; wait", {.timeout = 300ms});
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_status, ExitStatus::signaled(SIGKILL));
  EXPECT_LT(elapsed, 5s);
  pid_t grandchild = static_cast<pid_t>(parse_int(read_file(pid_file)));
  EXPECT_TRUE(process_gone(grandchild));
  EXPECT_THROW(check_output({"sleep", "5"}, {.timeout = 50ms}), TimeoutError);
}

TEST(Run, ChildrenDoNotInheritTheAgentsDescriptors) {
  // Another child's pipe ends held by the agent stay out of every child.
  Child holder = Child::spawn({.argv = {"sleep", "5"},
                               .stdin_stream = Stream::pipe,
                               .stdout_stream = Stream::pipe,
                               .stderr_stream = Stream::pipe});
  for (int fd : {holder.stdin_fd(), holder.stdout_fd(), holder.stderr_fd()}) {
    ASSERT_GE(fd, 3);
    std::string probe = "test -e /proc/$$/fd/" + std::to_string(fd);
    EXPECT_EQ(run_shell(probe).exit_status, ExitStatus::exited(1))
        << "descriptor " << fd << " leaked";
    // The probe itself is sound: the same check finds a standard stream.
    EXPECT_TRUE(run_shell("test -e /proc/$$/fd/1").exit_status.success());
  }
}

TEST(ChildProcess, OwnSessionOutputFileAndGroupSignals) {
  TempDir dir;
  auto log = dir.path() / "job.txt";
  { std::ofstream(log) << "stale content that must be truncated\n"; }
  Child child = Child::spawn({.argv = {"sh", "-c", "echo out; echo err >&2; sleep 30 & wait"},
                              .stdin_stream = Stream::null,
                              .stdout_stream = Stream::file,
                              .stderr_stream = Stream::stdout,
                              .output_path = log.string(),
                              .new_session = true});
  EXPECT_TRUE(child.leads_group());
  EXPECT_EQ(::getpgid(child.pid()), child.pid());
  EXPECT_EQ(::getsid(child.pid()), child.pid());
  EXPECT_FALSE(child.wait_for(100ms).has_value());
  EXPECT_FALSE(child.poll().has_value());
  child.signal_group(SIGTERM);
  auto status = child.wait_for(5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, ExitStatus::signaled(SIGTERM));
  EXPECT_EQ(read_file(log), "out\nerr\n");
  // Signals after the child is reaped are harmless.
  child.signal_group(SIGKILL);
  child.send_signal(SIGKILL);
  EXPECT_EQ(child.wait(), ExitStatus::signaled(SIGTERM));
}

TEST(ChildProcess, DestroyingARunningChildKillsAndReapsIt) {
  pid_t pid;
  {
    Child child = Child::spawn({.argv = {"sleep", "30"}, .new_session = true});
    pid = child.pid();
    Child moved = std::move(child);
    EXPECT_EQ(moved.pid(), pid);
  }
  EXPECT_TRUE(process_gone(pid));
  EXPECT_NE(::kill(pid, 0), 0);  // reaped: the id no longer names our child
}

TEST(ChildProcess, WaitForReturnsAsSoonAsTheChildEnds) {
  Child child = Child::spawn({.argv = {"sh", "-c", "sleep 0.1; exit 4"}});
  auto start = std::chrono::steady_clock::now();
  auto status = child.wait_for(10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, ExitStatus::exited(4));
  EXPECT_EQ(child.exit_status(), ExitStatus::exited(4));
}

// The process ids of this process's children, zombies included.
std::set<pid_t> own_children() {
  std::set<pid_t> children;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    for (const auto& pid : split_whitespace(read_file(task.path() / "children"))) {
      children.insert(static_cast<pid_t>(std::stoi(pid)));
    }
  }
  return children;
}

// Uses up every descriptor the process may open (under a lowered soft
// limit) for its lifetime, then gives them back and restores the limit.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0)
      throw std::system_error(errno, std::generic_category());
    struct rlimit lowered = saved_;
    lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
      throw std::system_error(errno, std::generic_category());
    int fd;
    while ((fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) fillers_.push_back(fd);
    error_ = errno;
  }
  ~DescriptorsExhausted() {
    for (int fd : fillers_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  int error() const { return error_; }

 private:
  struct rlimit saved_ = {};
  std::vector<int> fillers_;
  int error_ = 0;
};

// With no descriptor left for its pidfd, the child cannot be watched: the
// spawn ends it at once and reports the failure instead of waiting for it
// (which would hold the caller for the child's whole run).
TEST(ChildProcess, NoDescriptorForThePidfdKillsTheChildAndReportsIt) {
  const std::set<pid_t> before = own_children();
  // UndefinedBehaviorSanitizer checks a call on an error category against
  // its dynamic type, looked up once in the program's mapped files, which
  // takes a descriptor: looked up here, before they run out.
  static_cast<void>(std::system_error(EMFILE, std::generic_category()).what());
  static_cast<void>(std::system_error(EMFILE, std::system_category()).what());
  for (bool own_group : {false, true}) {
    SCOPED_TRACE(own_group ? "own process group" : "agent's process group");
    const auto start = std::chrono::steady_clock::now();
    // Only kept while descriptors are exhausted, and looked at afterwards:
    // the sanitizers' runtime needs descriptors to check what it touches.
    std::exception_ptr thrown;
    {
      DescriptorsExhausted exhausted;
      ASSERT_EQ(exhausted.error(), EMFILE);
      try {
        Child::spawn({.argv = {"sleep", "30"}, .new_process_group = own_group});
      } catch (...) {
        thrown = std::current_exception();
      }
    }
    std::optional<std::system_error> failure;
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const std::system_error& e) {
      failure = e;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    ASSERT_TRUE(failure.has_value()) << "the spawn did not fail";
    EXPECT_EQ(failure->code().value(), EMFILE);
    EXPECT_NE(std::string(failure->what()).find("pidfd_open for sleep"), std::string::npos)
        << failure->what();
    EXPECT_EQ(own_children(), before) << "a child was left behind";
  }
  // Descriptors back, spawning works again.
  EXPECT_TRUE(run_inherit({"true"}).exit_status.success());
}

// ---------------------------------------------------------------------------
// Children started in the background

// Whether `pid` is gone entirely: reaped by someone, not even a zombie.
bool reaped_by_someone(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (!std::filesystem::exists("/proc/" + std::to_string(pid))) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// The reaper thread's state letter and CPU ticks (user + system), read
// from /proc; nullopt while no such thread exists.
struct ThreadSample {
  char state;
  long long ticks;
};
std::optional<ThreadSample> reaper_thread() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (trim(read_file(task.path() / "comm")) != "tavoren-reaper") continue;
    std::string stat = read_file(task.path() / "stat");
    auto fields = split_whitespace(stat.substr(stat.rfind(')') + 1));
    return ThreadSample{fields.at(0)[0], std::stoll(fields.at(11)) + std::stoll(fields.at(12))};
  }
  return std::nullopt;
}

TEST(BackgroundChild, EachChildIsReapedWhenItEndsWhileOthersRun) {
  // A long-running child first: the quick ones that follow must not wait
  // for it.
  pid_t long_running = spawn_background({.argv = {"sleep", "30"}});
  std::vector<pid_t> quick;
  for (int i = 0; i < 12; ++i) {
    quick.push_back(spawn_background(
        {.argv = {"sh", "-c", "exit " + std::to_string(i)}, .stdin_stream = Stream::null}));
  }
  for (pid_t pid : quick) EXPECT_TRUE(reaped_by_someone(pid)) << "child " << pid << " left over";
  ASSERT_TRUE(std::filesystem::exists("/proc/" + std::to_string(long_running)));
  // Ended from outside, it is reaped too.
  ASSERT_EQ(::kill(long_running, SIGKILL), 0);
  EXPECT_TRUE(reaped_by_someone(long_running));
}

TEST(BackgroundChild, TheReaperSleepsWithoutChildrenAndWakesForANewOne) {
  EXPECT_TRUE(reaped_by_someone(spawn_background({.argv = {"true"}})));
  auto before = reaper_thread();
  ASSERT_TRUE(before.has_value());
  std::this_thread::sleep_for(200ms);
  auto after = reaper_thread();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->state, 'S');
  // A busy thread would use about 20 ticks in that time.
  EXPECT_LE(after->ticks - before->ticks, 1);
  // A child added while it sleeps is still reaped.
  TempDir dir;
  auto marker = dir.path() / "ran";
  pid_t pid = spawn_background({.argv = {"touch", marker.string()}});
  EXPECT_TRUE(reaped_by_someone(pid));
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(BackgroundChild, AProgramThatCannotStartThrowsAndLeavesNothing) {
  try {
    spawn_background({.argv = {"tavoren-no-such-program"}});
    FAIL() << "expected SpawnError";
  } catch (const SpawnError& e) {
    EXPECT_EQ(e.error_code(), ENOENT);
  }
  // Arguments reach the program as they are, and its output goes to the
  // file it was given.
  TempDir dir;
  auto out = dir.path() / "out.txt";
  pid_t pid = spawn_background({.argv = {"printf", "%s|", "a; touch x", "$(id)"},
                                .stdin_stream = Stream::null,
                                .stdout_stream = Stream::file,
                                .stderr_stream = Stream::null,
                                .output_path = out.string()});
  EXPECT_TRUE(reaped_by_someone(pid));
  EXPECT_EQ(read_file(out), "a; touch x|$(id)|");
}

}  // namespace
}  // namespace tavoren::process
