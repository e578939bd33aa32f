#include "tavoren/common/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "test_support.h"

namespace tavoren {
namespace {

using tavoren::testing::TempDir;

// A text of `size` bytes that uses every byte value, NUL included.
std::string every_byte(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7) % 256);
  return text;
}

TEST(ReadFile, WholeContentAndMissingOrUnreadablePaths) {
  TempDir dir;
  const std::string content = every_byte(100000);  // several reads' worth
  const auto big = dir.write("big.bin", content);
  EXPECT_EQ(read_file(big), content);
  EXPECT_EQ(read_file_if_present(big), content);

  const auto empty = dir.write("empty", "");
  EXPECT_EQ(read_file(empty), "");

  const auto missing = dir.path() / "missing";
  EXPECT_EQ(read_file_if_present(missing), std::nullopt);
  try {
    read_file(missing);
    FAIL() << "expected std::system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
  }
  // A directory opens but cannot be read: that is an error, not "absent".
  EXPECT_THROW(read_file(dir.path()), std::system_error);
  EXPECT_THROW(read_file_if_present(dir.path()), std::system_error);
}

// A thread's file under /proc reads as absent once the thread has ended,
// also when it ends between the open and the read (the kernel then answers
// the read with ESRCH): in a few hundred short threads that happens many
// times.
TEST(ReadFile, AProcFileOfAThreadThatEndsWhileItIsReadIsAbsent) {
  for (int i = 0; i < 300; ++i) {
    std::atomic<pid_t> tid = 0;
    std::thread worker([&] {
      tid = static_cast<pid_t>(::syscall(SYS_gettid));
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
    while (tid == 0) std::this_thread::yield();
    const std::string stat = "/proc/self/task/" + std::to_string(tid.load()) + "/stat";
    while (true) {
      std::optional<std::string> content;
      ASSERT_NO_THROW(content = read_file_if_present(stat)) << "thread " << i;
      if (!content) break;
      EXPECT_THAT(*content, ::testing::StartsWith(std::to_string(tid.load()) + " ("));
    }
    worker.join();
  }
}

// The descriptors a child finds open: its three standard streams and the
// directory its own listing opens.
std::vector<std::string> child_descriptors() {
  const process::RunResult listing = process::run_capture({"ls", "/proc/self/fd"});
  EXPECT_TRUE(listing.exit_status.success());
  return split_whitespace(listing.out);
}

// Files read on other threads never reach a child spawned meanwhile: each
// child finds the same descriptors as one spawned while nothing was read.
TEST(ReadFile, ChildrenSpawnedMeanwhileInheritNoDescriptor) {
  TempDir dir;
  // Large, so each descriptor stays open a while.
  const auto big = dir.write("big.bin", every_byte(1 << 20));

  const std::vector<std::string> expected = child_descriptors();
  for (const char* standard : {"0", "1", "2", "3"}) {
    ASSERT_NE(std::find(expected.begin(), expected.end(), standard), expected.end()) << standard;
  }

  std::atomic<bool> done = false;
  std::atomic<long> reads = 0;
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done) {
        read_file(big);
        read_file_if_present("/proc/meminfo");
        read_file("/proc/stat");
        ++reads;
      }
    });
  }
  while (reads == 0) std::this_thread::yield();

  int leaks = 0;
  for (int i = 0; i < 60 && leaks < 3; ++i) {
    const std::vector<std::string> fds = child_descriptors();
    if (fds != expected) {
      ++leaks;
      ADD_FAILURE() << "child " << i << " holds descriptors: " << ::testing::PrintToString(fds);
    }
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_GT(reads, 0);
}

// A descriptor left inheritable in the agent (as a library may open one)
// still never reaches a child: children get their standard streams only.
TEST(ReadFile, ChildrenGetOnlyTheirStandardStreamsEvenBesideAnInheritableDescriptor) {
  int leaked[2];
  ASSERT_EQ(::pipe(leaked), 0);  // no close-on-exec, on purpose
  EXPECT_EQ(child_descriptors(), (std::vector<std::string>{"0", "1", "2", "3"}));
  ::close(leaked[0]);
  ::close(leaked[1]);
}

}  // namespace
}  // namespace tavoren
