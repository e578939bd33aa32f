#include "tavoren/common/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
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
  EXPECT_EQ(ok.exit_status, 3);
  EXPECT_EQ(ok.out, "out");
  EXPECT_EQ(ok.err, "err");
  EXPECT_FALSE(ok.timed_out);

  EXPECT_EQ(run_inherit({"true"}), 0);
  EXPECT_EQ(run_inherit({"false"}), 1);
  EXPECT_EQ(run_shell("exit 7").exit_status, 7);
  EXPECT_EQ(run_capture({"sh", "-c", "kill -TERM $$"}).exit_status, -SIGTERM);
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
    EXPECT_EQ(e.exit_status(), 2);
    EXPECT_EQ(e.output(), "partial\n");
  }
}

TEST(Run, StandardInputLargerThanAPipeBuffer) {
  std::string input(1 << 20, 'x');
  for (std::size_t i = 0; i < input.size(); i += 97) input[i] = '\n';
  RunResult r = run_capture({"cat"}, {.input = input});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, input);
  // A child that ignores its input and exits early does not hurt the agent.
  RunResult early = run_capture({"true"}, {.input = input});
  EXPECT_EQ(early.exit_status, 0);
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
  EXPECT_EQ(r.exit_status, -SIGKILL);
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
    EXPECT_EQ(run_shell(probe).exit_status, 1) << "descriptor " << fd << " leaked";
    // The probe itself is sound: the same check finds a standard stream.
    EXPECT_EQ(run_shell("test -e /proc/$$/fd/1").exit_status, 0);
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
  EXPECT_EQ(*status, -SIGTERM);
  EXPECT_EQ(read_file(log), "out\nerr\n");
  // Signals after the child is reaped are harmless.
  child.signal_group(SIGKILL);
  child.send_signal(SIGKILL);
  EXPECT_EQ(child.wait(), -SIGTERM);
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
  EXPECT_EQ(*status, 4);
  EXPECT_EQ(child.exit_status(), 4);
}

}  // namespace
}  // namespace tavoren::process
