// ZIP archives built by the tests with libzip, and a loopback server that
// serves them.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tavoren/workspace_fetch.h"
#include "test_support.h"

namespace httplib {
class Server;
}

namespace tavoren::workspace_fetch::testing {

struct Entry {
  enum class Kind { file, directory, symlink, char_device, fifo };
  std::string name;
  // File content, or the target of a symbolic link.
  std::string content;
  Kind kind = Kind::file;
  bool deflate = false;
  // Unix permission bits stored in the external attributes.
  mode_t permissions = 0644;
};

Entry file(std::string name, std::string content, bool deflate = false);
Entry directory(std::string name);

// The bytes of a ZIP archive holding `entries` in this order.
std::string make_zip(const std::vector<Entry>& entries);

// Every entry under `root`, as relative paths; directories end with "/".
// Links are listed, never followed.
std::set<std::string> tree(const std::filesystem::path& root);

// An HTTP server on 127.0.0.1 serving registered bodies at /files/<name>
// (404 for the others) and counting every request it receives.
class FileServer {
 public:
  // `more_handlers` may register further routes before the server starts.
  explicit FileServer(const std::function<void(httplib::Server&)>& more_handlers = {});
  void serve(const std::string& name, std::string body);
  std::string url(const std::string& name) const;
  int requests() const { return requests_.load(); }
  tavoren::testing::LoopbackServer& loopback() { return server_; }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> files_;
  // Last, so the server (and its thread) ends before what it serves.
  tavoren::testing::LoopbackServer server_;
  std::atomic<int> requests_{0};
};

// A folder holding "work" (the work file system, absent at first) and
// "sentinel/keep.txt", with a file server; fetch() builds one action's
// workspace from URLs of that server.
class FetchTest : public ::testing::Test {
 protected:
  static constexpr const char* kActionId = "64b7f0c2a1d3e4f5a6b7c8d9";

  FetchTest() { dir_.write("sentinel/keep.txt", "keep"); }

  std::filesystem::path work_fs() const { return dir_.path() / "work"; }
  std::filesystem::path workspace() const { return work_fs() / kActionId; }

  // The test's server is on loopback, which these fetches may use.
  void fetch(const std::string& codebase_url,
             const std::optional<std::string>& requirements_url = "", FetchLimits limits = {}) {
    limits.allow_loopback = true;
    setup_workspace_and_run_task(work_fs().string(), kActionId, codebase_url, requirements_url,
                                 limits);
  }
  // Serves `entries` as "code.zip" and fetches it.
  void fetch_archive(const std::vector<Entry>& entries, const FetchLimits& limits = {}) {
    server_.serve("code.zip", make_zip(entries));
    fetch(server_.url("code.zip"), "", limits);
  }

  // Nothing was left behind: the folder holds the sentinel and at most an
  // empty work file system.
  void expect_nothing_left() const {
    std::set<std::string> entries = tree(dir_.path());
    entries.erase("work/");
    EXPECT_EQ(entries, (std::set<std::string>{"sentinel/", "sentinel/keep.txt"}));
    EXPECT_EQ(tavoren::testing::read_file(dir_.path() / "sentinel/keep.txt"), "keep");
  }

  tavoren::testing::TempDir dir_;
  FileServer server_;
};

}  // namespace tavoren::workspace_fetch::testing
