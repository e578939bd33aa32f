// setup_workspace_and_run_task end to end, against a loopback server.
#include "tavoren/workspace_fetch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "tavoren/common/logging.h"
#include "test_archives.h"

namespace tavoren::workspace_fetch {
namespace {

using namespace testing;
using tavoren::testing::read_file;
namespace fs = std::filesystem;

// The tests' servers are on loopback.
constexpr FetchLimits kLoopback{.allow_loopback = true};

mode_t permissions_of(const fs::path& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// ---------------------------------------------------------------------------
// Flattening

class FlattenTest : public FetchTest {};

TEST_F(FlattenTest, OneTopDirectoryIsLiftedIntoTheWorkspace) {
  const std::vector<Entry> entries = {directory("project/"), file("project/main.py", "print(1)\n"),
                                      directory("project/utils/"),
                                      file("project/utils/io.py", std::string(5000, 'i'), true)};
  const std::string archive = make_zip(entries);
  server_.serve("code.zip", archive);
  fetch(server_.url("code.zip"));
  // utils was emptied after project was visited, so only the prune saw it
  // empty; project still listed utils then and stays, empty.
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "main.py", "io.py", "project/"}));
  EXPECT_EQ(read_file(workspace() / "main.py"), "print(1)\n");
  EXPECT_EQ(read_file(workspace() / "io.py"), std::string(5000, 'i'));
  EXPECT_EQ(read_file(workspace() / "file.zip"), archive);
}

TEST_F(FlattenTest, SubdirectoryFileReplacesTopLevelFile) {
  fetch_archive({file("main.py", "top"), file("src/main.py", "from src"), file("README", "r")});
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "main.py", "README"}));
  EXPECT_EQ(read_file(workspace() / "main.py"), "from src");
  EXPECT_EQ(read_file(workspace() / "README"), "r");
}

TEST_F(FlattenTest, MemberNamedLikeTheArchiveReplacesIt) {
  fetch_archive({file("data/file.zip", "inner member")});
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip"}));
  EXPECT_EQ(read_file(workspace() / "file.zip"), "inner member");
}

TEST_F(FlattenTest, TopLevelMemberNamedLikeTheArchiveReplacesIt) {
  fetch_archive({file("file.zip", "top member"), file("after.txt", "still read")});
  EXPECT_EQ(read_file(workspace() / "file.zip"), "top member");
  EXPECT_EQ(read_file(workspace() / "after.txt"), "still read");
}

TEST_F(FlattenTest, CollidingNamesKeepTheFileVisitedLast) {
  fetch_archive({file("d/x.txt", "outer"), file("d/e/x.txt", "inner")});
  EXPECT_EQ(read_file(workspace() / "x.txt"), "inner");
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "x.txt", "d/"}));
}

TEST_F(FlattenTest, NestedTreeEmptiedByTheWalkKeepsItsParent) {
  fetch_archive({file("a/b/f.txt", "f")});
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "f.txt", "a/"}));
}

TEST_F(FlattenTest, DirectoriesWithoutFilesDisappear) {
  // a/b is removed while a is visited; then a and e are empty when pruned.
  fetch_archive({directory("a/"), directory("a/b/"), directory("e/"), file("keep.txt", "k")});
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "keep.txt"}));
}

TEST_F(FlattenTest, FileOverADirectoryFailsAndLeavesNothing) {
  EXPECT_THROW(fetch_archive({file("src/x.py", "x"), file("lib/src", "not a dir")}),
               std::system_error);
  expect_nothing_left();
}

TEST_F(FlattenTest, ModesOfFilesAndDirectories) {
  Entry script = file("bin/run.sh", "#!/bin/sh\n");
  script.permissions = 0777;
  Entry secret = file("bin/data.txt", "d");
  secret.permissions = 0600;
  fetch_archive({script, secret, file("bin/sub/x", "x")});
  const mode_t mask = current_umask();
  EXPECT_EQ(permissions_of(workspace() / "run.sh"), 0755 & ~mask);
  EXPECT_EQ(permissions_of(workspace() / "data.txt"), 0644 & ~mask);
  EXPECT_EQ(permissions_of(workspace() / "bin"), 0755 & ~mask);
  EXPECT_EQ(permissions_of(workspace() / "file.zip"), 0644);
  EXPECT_EQ(permissions_of(workspace()), 0755);
}

// ---------------------------------------------------------------------------
// Requirements file

class RequirementsTest : public FetchTest {};

TEST_F(RequirementsTest, DownloadedBesideTheCodeAndReplacingTheArchivedOne) {
  server_.serve("code.zip", make_zip({file("pkg/requirements.txt", "old==1\n")}));
  server_.serve("req.txt", "numpy==1.26\ntorch\n");
  fetch(server_.url("code.zip"), server_.url("req.txt"));
  EXPECT_EQ(read_file(workspace() / "requirements.txt"), "numpy==1.26\ntorch\n");
  EXPECT_EQ(server_.requests(), 2);
}

TEST_F(RequirementsTest, EmptyOrAbsentUrlWritesNoFile) {
  server_.serve("code.zip", make_zip({file("main.py", "m")}));
  for (const std::optional<std::string>& url :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    fs::remove_all(workspace());
    fetch(server_.url("code.zip"), url);
    EXPECT_EQ(tree(workspace()), (std::set<std::string>{"file.zip", "main.py"}));
  }
  EXPECT_EQ(server_.requests(), 2);
}

// ---------------------------------------------------------------------------
// An existing workspace is reused as it is

class ExistingWorkspaceTest : public FetchTest {};

TEST_F(ExistingWorkspaceTest, NoRequestAndContentsUntouched) {
  dir_.write("work/" + std::string(kActionId) + "/half.txt", "left by someone");
  fetch(server_.url("code.zip"), server_.url("req.txt"));
  EXPECT_EQ(server_.requests(), 0);
  EXPECT_EQ(tree(workspace()), (std::set<std::string>{"half.txt"}));
  EXPECT_EQ(read_file(workspace() / "half.txt"), "left by someone");
}

TEST_F(ExistingWorkspaceTest, AnyEntryCountsEvenADanglingLink) {
  fs::create_directories(work_fs());
  fs::create_symlink(dir_.path() / "nowhere", workspace());
  fetch(server_.url("code.zip"));
  EXPECT_TRUE(fs::is_symlink(workspace()));
  fs::remove(workspace());
  dir_.write("work/" + std::string(kActionId), "a plain file");
  fetch(server_.url("code.zip"));
  EXPECT_EQ(read_file(workspace()), "a plain file");
  EXPECT_EQ(server_.requests(), 0);
}

TEST_F(ExistingWorkspaceTest, SecondCallReusesTheFirstOnesWorkspace) {
  server_.serve("code.zip", make_zip({file("main.py", "v1")}));
  fetch(server_.url("code.zip"));
  server_.serve("code.zip", make_zip({file("main.py", "v2")}));
  fetch(server_.url("code.zip"));
  EXPECT_EQ(server_.requests(), 1);
  EXPECT_EQ(read_file(workspace() / "main.py"), "v1");
}

// ---------------------------------------------------------------------------
// Failed downloads and bad identifiers leave nothing behind

class FetchFailureTest : public FetchTest {};

TEST_F(FetchFailureTest, MissingCodebaseIsRaisedAndLogged) {
  tavoren::log::LogCapture capture;
  try {
    fetch(server_.url("missing.zip"));
    FAIL() << "no exception";
  } catch (const http::StatusError& error) {
    EXPECT_EQ(error.status(), 404);
  }
  EXPECT_TRUE(capture.contains(tavoren::log::Level::error,
                               "Error in setup_workspace_and_run_task: GET " +
                                   server_.url("missing.zip") + " failed: HTTP status 404"))
      << (capture.lines().empty() ? "" : capture.lines().back().message);
  EXPECT_EQ(capture.count(tavoren::log::Level::error), 1u);
  expect_nothing_left();
}

TEST_F(FetchFailureTest, MissingRequirementsDiscardsTheBuiltWorkspace) {
  server_.serve("code.zip", make_zip({file("main.py", "m")}));
  try {
    fetch(server_.url("code.zip"), server_.url("missing.txt"));
    FAIL() << "no exception";
  } catch (const http::StatusError& error) {
    EXPECT_EQ(error.status(), 404);
  }
  expect_nothing_left();
  // Nothing half-built blocks the next try.
  server_.serve("missing.txt", "six\n");
  fetch(server_.url("code.zip"), server_.url("missing.txt"));
  EXPECT_EQ(read_file(workspace() / "requirements.txt"), "six\n");
}

TEST_F(FetchFailureTest, ServerErrorStatusIsAFailedDownload) {
  FileServer failing([](httplib::Server& server) {
    server.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("PK\x03\x04 looks like an archive", "application/zip");
    });
  });
  try {
    fetch(failing.loopback().url() + "/broken");
    FAIL() << "no exception";
  } catch (const http::StatusError& error) {
    EXPECT_EQ(error.status(), 500);
  }
  expect_nothing_left();
}

TEST_F(FetchFailureTest, UnreachableServer) {
  int port;
  {
    FileServer gone;
    port = gone.loopback().port();
  }
  EXPECT_THROW(fetch("http://127.0.0.1:" + std::to_string(port) + "/code.zip"),
               http::TransportError);
  expect_nothing_left();
}

// The archive's digest, named by the codebase URL, is checked before
// anything is unpacked; a malformed one is refused before any download.
TEST_F(FetchFailureTest, AnArchiveWithAnotherDigestIsNeverUnpacked) {
  const std::string archive = make_zip({file("main.py", "m")});
  server_.serve("code.zip", archive);
  EXPECT_THROW(fetch(server_.url("code.zip") + "#sha256=" + std::string(64, 'a')),
               http::IntegrityError);
  expect_nothing_left();
  for (const std::string& bad :
       std::vector<std::string>{"#sha256=", "#sha256=abc", "#sha256=" + std::string(64, 'g')}) {
    EXPECT_THROW(fetch(server_.url("code.zip") + bad), ValueError) << bad;
  }
  EXPECT_EQ(server_.requests(), 1);
  expect_nothing_left();
  std::string digest = tavoren::testing::sha256_hex(archive);
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  fetch(server_.url("code.zip") + "#sha256=" + digest);
  EXPECT_EQ(read_file(workspace() / "main.py"), "m");
}

// A codebase from a loopback address is refused unless allowed (tests).
TEST_F(FetchFailureTest, LoopbackServesNoCodebaseUnlessAllowed) {
  server_.serve("code.zip", make_zip({file("main.py", "m")}));
  try {
    setup_workspace_and_run_task(work_fs().string(), kActionId, server_.url("code.zip"), "");
    FAIL() << "fetched from loopback";
  } catch (const http::TransportError& error) {
    EXPECT_NE(std::string(error.what()).find("loopback"), std::string::npos) << error.what();
  }
  EXPECT_EQ(server_.requests(), 0);
  expect_nothing_left();
}

TEST_F(FetchFailureTest, IdentifiersThatCannotNameOneDirectory) {
  for (const std::string& id :
       std::vector<std::string>{"", ".", "..", "../escape", "a/b", std::string("a\0b", 3)}) {
    EXPECT_THROW(setup_workspace_and_run_task(work_fs().string(), id, server_.url("code.zip"), ""),
                 ValueError)
        << id;
  }
  EXPECT_EQ(server_.requests(), 0);
  EXPECT_EQ(tree(dir_.path()), (std::set<std::string>{"sentinel/", "sentinel/keep.txt"}));
}

// ---------------------------------------------------------------------------
// Building aside and publishing

TEST(PublishTest, WorkspaceAppearsOnlyWhenComplete) {
  tavoren::testing::TempDir dir;
  const fs::path work_fs = dir.path() / "work";
  const std::string id = "0123456789abcdef01234567";
  // Written on the server's thread; the lock makes the handoff visible to
  // race detectors, which cannot see it through the socket.
  std::mutex seen_mutex;
  std::set<std::string> seen;
  FileServer server([&](httplib::Server& http) {
    http.Get("/req.txt", [&](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(seen_mutex);
      seen = tree(work_fs);  // runs on the server's thread, before publishing
      res.set_content("req\n", "text/plain");
    });
  });
  server.serve("code.zip", make_zip({file("src/main.py", "m")}));
  setup_workspace_and_run_task(work_fs.string(), id, server.url("code.zip"),
                               server.loopback().url() + "/req.txt", kLoopback);

  std::set<std::string> seen_while_building;
  {
    std::lock_guard lock(seen_mutex);
    seen_while_building = seen;
  }
  // The final path is absent; the build directory holds the flattened
  // code and the requirements download still in progress.
  ASSERT_EQ(seen_while_building.size(), 4u);
  auto entry = seen_while_building.begin();
  const std::string partial = *entry++;
  EXPECT_TRUE(partial.starts_with("." + id + ".partial-")) << partial;
  EXPECT_TRUE(entry->starts_with(partial + ".requirements.txt.part-")) << *entry;
  EXPECT_EQ(*++entry, partial + "file.zip");
  EXPECT_EQ(*++entry, partial + "main.py");
  EXPECT_EQ(tree(work_fs), (std::set<std::string>{id + "/", id + "/file.zip", id + "/main.py",
                                                  id + "/requirements.txt"}));
}

TEST(PublishTest, ConcurrentCallsForOneActionBothSucceed) {
  tavoren::testing::TempDir dir;
  const fs::path work_fs = dir.path() / "work";
  const std::string id = "0123456789abcdef01234567";
  const std::string archive = make_zip({file("main.py", "m"), file("lib/util.py", "u")});
  std::mutex mutex;
  std::condition_variable arrived;
  int waiting = 0;
  FileServer server([&](httplib::Server& http) {
    http.Get("/slow.zip", [&](const httplib::Request&, httplib::Response& res) {
      // Both calls must be past their existence check before either gets
      // the archive, so both build a workspace and one must lose the race.
      std::unique_lock lock(mutex);
      ++waiting;
      arrived.notify_all();
      arrived.wait_for(lock, std::chrono::seconds(10), [&] { return waiting >= 2; });
      res.set_content(archive, "application/zip");
    });
  });
  const std::string url = server.loopback().url() + "/slow.zip";
  std::exception_ptr failures[2];
  std::thread callers[2];
  for (int i = 0; i < 2; ++i) {
    callers[i] = std::thread([&, i] {
      try {
        setup_workspace_and_run_task(work_fs.string(), id, url, "", kLoopback);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_FALSE(failures[0]);
  EXPECT_FALSE(failures[1]);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(waiting, 2);
  }
  EXPECT_EQ(tree(work_fs),
            (std::set<std::string>{id + "/", id + "/file.zip", id + "/main.py", id + "/util.py"}));
}

}  // namespace
}  // namespace tavoren::workspace_fetch
