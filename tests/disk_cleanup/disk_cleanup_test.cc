// Housekeeping of ended actions' files, on temporary folders with a clock
// and free space of the test.
#include "tavoren/disk_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "tavoren/common/logging.h"
#include "test_support.h"

namespace tavoren::disk_cleanup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::UnorderedElementsAre;

constexpr const char* kOld = "aaaaaaaaaaaaaaaaaaaaaaaa";
constexpr const char* kOlder = "bbbbbbbbbbbbbbbbbbbbbbbb";
constexpr const char* kRecent = "cccccccccccccccccccccccc";
constexpr const char* kRunning = "dddddddddddddddddddddddd";

class DiskCleanupTest : public ::testing::Test {
 protected:
  DiskCleanupTest() {
    fs::create_directories(logs_);
    fs::create_directories(data_);
  }

  // The log file and workspace of `id`, last changed `age` before now.
  void leave(const std::string& id, std::chrono::seconds age, bool partial = false) {
    const fs::path log = logs_ / ("model_train_" + id + ".txt");
    std::ofstream(log) << "log of " << id << "\n";
    const fs::path workspace = data_ / (partial ? "." + id + ".partial-x1Y2z3" : id);
    fs::create_directories(workspace / "src");
    std::ofstream(workspace / "src" / "train.py") << "print(1)\n";
    for (const fs::path& path : {log, workspace}) fs::last_write_time(path, now_ - age);
  }

  std::vector<Removal> run(double min_free = 0.10) {
    DiskCleanup cleanup({.retain = 7 * 24h,
                         .min_free = min_free,
                         .min_age = 1h,
                         .now = [this] { return now_; },
                         .free_ratio = [this](const fs::path&) { return free_; }});
    return cleanup.run(logs_, {data_, dir_.path() / "missing"},
                       [](const std::string& id) { return id == kRunning; });
  }

  std::set<std::string> actions_removed(const std::vector<Removal>& removals) {
    std::set<std::string> ids;
    for (const Removal& removal : removals) ids.insert(removal.action_id);
    return ids;
  }

  testing::TempDir dir_;
  fs::path logs_ = dir_.path() / "logs";
  fs::path data_ = dir_.path() / "data";
  fs::file_time_type now_ = fs::file_time_type::clock::now();
  double free_ = 0.5;
};

TEST_F(DiskCleanupTest, RemovesWhatEndedLongerAgoThanTheRetentionAndLogsEachRemoval) {
  log::LogCapture sink;
  leave(kOld, 8 * 24h);
  leave(kOlder, 30 * 24h, /*partial=*/true);
  leave(kRecent, 2 * 24h);
  leave(kRunning, 30 * 24h);
  // Not an action's: never touched, however old.
  fs::create_directories(data_ / "workspace");
  std::ofstream(logs_ / "notes.txt") << "mine\n";
  fs::last_write_time(data_ / "workspace", now_ - 400 * 24h);

  const std::vector<Removal> removed = run();
  EXPECT_EQ(actions_removed(removed), (std::set<std::string>{kOld, kOlder}));
  EXPECT_EQ(removed.size(), 4u);
  for (const Removal& removal : removed) EXPECT_FALSE(removal.for_space);
  EXPECT_FALSE(fs::exists(data_ / kOld));
  EXPECT_FALSE(fs::exists(logs_ / ("model_train_" + std::string(kOld) + ".txt")));
  EXPECT_FALSE(fs::exists(data_ / ("." + std::string(kOlder) + ".partial-x1Y2z3")));
  EXPECT_TRUE(fs::exists(data_ / kRecent));
  EXPECT_TRUE(fs::exists(data_ / kRunning));
  EXPECT_TRUE(fs::exists(logs_ / ("model_train_" + std::string(kRunning) + ".txt")));
  EXPECT_TRUE(fs::exists(data_ / "workspace"));
  EXPECT_TRUE(fs::exists(logs_ / "notes.txt"));
  EXPECT_EQ(sink.count(log::Level::info, "Removed "), 4u);
  EXPECT_TRUE(sink.contains(log::Level::info, "Removed " + (data_ / kOld).string() + " of action " +
                                                  kOld + ", ended 8 days ago (kept long enough)"));
  // A second pass finds nothing more.
  EXPECT_TRUE(run().empty());
}

TEST_F(DiskCleanupTest, UnderTheFreeSpaceFloorTheEarliestEndedGoFirstUntilThereIsRoom) {
  leave(kOld, 3 * 24h);
  leave(kOlder, 5 * 24h);
  leave(kRecent, 2h);
  leave(kRunning, 6 * 24h);
  const std::string fresh = "eeeeeeeeeeeeeeeeeeeeeeee";
  leave(fresh, 10min);  // being set up: too recent to touch

  // Removing the first action makes room (one free-space query each).
  int queried = 0;
  DiskCleanup cleanup({.min_free = 0.10,
                       .now = [this] { return now_; },
                       .free_ratio = [&](const fs::path&) { return ++queried > 1 ? 0.2 : 0.05; }});
  std::vector<Removal> removed =
      cleanup.run(logs_, {data_}, [](const std::string& id) { return id == kRunning; });
  EXPECT_EQ(actions_removed(removed), (std::set<std::string>{kOlder}));
  for (const Removal& removal : removed) EXPECT_TRUE(removal.for_space);

  // Still short of room: everything removable goes, the earliest first.
  free_ = 0.01;
  removed = run();
  ASSERT_EQ(removed.size(), 4u);
  EXPECT_EQ(removed[0].action_id, kOld);
  EXPECT_EQ(removed[2].action_id, kRecent);
  EXPECT_TRUE(fs::exists(data_ / kRunning));
  EXPECT_TRUE(fs::exists(data_ / fresh));

  // The floor at 0 turns the rule off.
  leave(kOld, 3 * 24h);
  EXPECT_TRUE(run(0).empty());
}

TEST_F(DiskCleanupTest, LinksAndNamesThatAreNoActionsAreLeftAlone) {
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  std::ofstream(elsewhere / "precious") << "keep\n";
  fs::create_directory_symlink(elsewhere, data_ / kOld);
  fs::create_directories(data_ / "AAAAAAAAAAAAAAAAAAAAAAAA");  // not lowercase
  fs::create_directories(data_ / ("." + std::string(kOlder) + ".partial"));
  std::ofstream(logs_ / ("x" + std::string(kRecent) + ".txt")) << "no separator\n";
  for (const auto& entry : fs::directory_iterator(data_)) {
    fs::last_write_time(entry.path(), now_ - 30 * 24h);
  }
  fs::last_write_time(logs_ / ("x" + std::string(kRecent) + ".txt"), now_ - 30 * 24h);
  free_ = 0;
  EXPECT_TRUE(run().empty());
  EXPECT_TRUE(fs::exists(elsewhere / "precious"));
}

TEST(ParseDuration, ReadsWholeNumbersWithAUnit) {
  EXPECT_EQ(parse_duration("90"), 90s);
  EXPECT_EQ(parse_duration("15m"), 15min);
  EXPECT_EQ(parse_duration("12h"), 12h);
  EXPECT_EQ(parse_duration("7d"), 7 * 24h);
  for (const char* bad : {"", "d", "-1d", "1.5d", "7w", "7 d", "99999999999999d"}) {
    EXPECT_THROW(parse_duration(bad), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace tavoren::disk_cleanup
