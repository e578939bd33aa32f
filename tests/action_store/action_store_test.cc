// The kept actions' file: what a later agent reads back, whole or torn.

#include "tavoren/action_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tavoren/common/files.h"
#include "test_support.h"

namespace tavoren::action_store {
namespace {

using tavoren::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

KeptAction sample(const std::string& id) {
  KeptAction action;
  action.action_id = id;
  action.record = Json{{"_id", id}, {"action", "model_train"}, {"actionDetails", {{"x", 1}}}};
  action.log_path = "logs/job_" + id + ".txt";
  action.cid_path = "logs/job_" + id + ".cid";
  action.started_at_ms = 1'700'000'000'123;
  action.client_pid = 4321;
  action.client_start = 987654;
  return action;
}

std::vector<std::string> ids_of(const std::vector<KeptAction>& actions) {
  std::vector<std::string> ids;
  for (const KeptAction& a : actions) ids.push_back(a.action_id);
  return ids;
}

TEST(ActionStore, WhatIsKeptProgressedAndForgottenIsWhatALaterStoreReadsBack) {
  TempDir dir;
  const auto file = dir.path() / "state" / "kept.state";
  {
    Store store(file);
    EXPECT_TRUE(store.load().actions.empty());  // no file yet
    store.keep(sample("a"));
    store.keep(sample("b"));
    store.keep(sample("c"));
    store.record_progress("b", 1000, 1200);
    store.record_container("b", "cafe01");
    store.record_progress("nobody", 5, 5);  // not kept: nothing
    store.forget("a");
  }
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Store later(file);
  const Recovery recovery = later.load();
  EXPECT_TRUE(recovery.problems.empty());
  EXPECT_THAT(ids_of(recovery.actions), ElementsAre("b", "c"));
  KeptAction expected = sample("b");
  expected.shipped = 1000;
  expected.scanned = 1200;
  expected.container_id = "cafe01";
  EXPECT_EQ(recovery.actions[0], expected);
  EXPECT_EQ(recovery.actions[1], sample("c"));
  // Kept again: replaced in place, not added.
  later.keep(sample("c"));
  EXPECT_EQ(later.actions().size(), 2u);
  EXPECT_EQ(later.find("b")->shipped, 1000u);
  EXPECT_FALSE(later.find("a").has_value());
}

// The piece in flight is what a later agent sends again first: it is read
// back until an offset at or past its end is kept, and a file of an agent
// that kept none reads as none.
TEST(ActionStore, APieceInFlightIsReadBackUntilTheOffsetPassesItsEnd) {
  TempDir dir;
  const auto file = dir.path() / "kept.state";
  Store store(file);
  store.keep(sample("a"));
  store.record_progress("a", 100, 100);
  store.record_sending("a", "stream-1", 180);
  store.record_sending("nobody", "stream-9", 5);  // not kept: nothing
  {
    Store later(file);
    const Recovery recovery = later.load();
    ASSERT_EQ(recovery.actions.size(), 1u);
    EXPECT_EQ(recovery.actions[0].log_stream, "stream-1");
    EXPECT_EQ(recovery.actions[0].sending, 180u);
    EXPECT_EQ(recovery.actions[0].shipped, 100u);
  }
  // Scanned further, the piece not yet accepted: still in flight.
  store.record_progress("a", 100, 180);
  EXPECT_EQ(store.find("a")->sending, 180u);
  // Accepted: over, the stream kept for the next pieces.
  store.record_progress("a", 180, 180);
  {
    Store later(file);
    const KeptAction read = later.load().actions.at(0);
    EXPECT_EQ(read.sending, 0u);
    EXPECT_EQ(read.log_stream, "stream-1");
    EXPECT_EQ(read.shipped, 180u);
  }
  // A record written before streams were kept.
  KeptAction old = sample("b");
  old.shipped = 7;
  std::string line = to_line(old);
  EXPECT_THAT(line, ::testing::Not(HasSubstr("log_stream")));
  const KeptAction read = from_line(line);
  EXPECT_EQ(read.log_stream, "");
  EXPECT_EQ(read.sending, 0u);
  EXPECT_THROW(from_line(R"({"action_id":"c","record":{},"log_path":"l","sending":-1})"),
               std::runtime_error);
}

TEST(ActionStore, ATornFileYieldsEveryWholeRecordAndNamesWhatIsLost) {
  TempDir dir;
  const auto file = dir.path() / "kept.state";
  {
    Store store(file);
    store.keep(sample("a"));
    store.keep(sample("b"));
  }
  std::string content = read_file(file);
  // Cut inside the last record (as a disk may leave a file), and a line
  // that is JSON but no record in the middle.
  const std::size_t last = content.rfind("{\"action_id\":\"b\"");
  ASSERT_NE(last, std::string::npos);
  content = content.substr(0, last) + "[1,2]\n" + content.substr(last, 40);
  std::ofstream(file, std::ios::trunc) << content;
  // A write cut off before its renaming.
  std::ofstream(file.string() + ".partial-x1Y2z3") << "{\"format\"";

  Store store(file);
  const Recovery recovery = store.load();
  EXPECT_THAT(ids_of(recovery.actions), ElementsAre("a"));
  ASSERT_EQ(recovery.problems.size(), 3u);
  EXPECT_THAT(recovery.problems[0],
              HasSubstr("did not finish was discarded (kept.state.partial-x1Y2z3)"));
  EXPECT_THAT(recovery.problems[1],
              HasSubstr("line 3 of " + file.string() + " could not be recovered (not an object)"));
  EXPECT_THAT(recovery.problems[2], HasSubstr("line 4 of"));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".partial-x1Y2z3"));
  // The next write leaves a whole file again.
  store.keep(sample("c"));
  Store again(file);
  const Recovery reread = again.load();
  EXPECT_TRUE(reread.problems.empty());
  EXPECT_THAT(ids_of(reread.actions), ElementsAre("a", "c"));
}

TEST(ActionStore, RecordsThatAreNotTheStoresAreRefusedLineByLine) {
  EXPECT_EQ(from_line(to_line(sample("z"))), sample("z"));
  EXPECT_THROW(from_line(R"({"action_id":"","record":{},"log_path":"x"})"), std::runtime_error);
  EXPECT_THROW(from_line(R"({"action_id":"a","record":[],"log_path":"x"})"), std::runtime_error);
  EXPECT_THROW(from_line(R"({"action_id":"a","record":{},"log_path":"x","shipped":-1})"),
               std::runtime_error);
  EXPECT_THROW(from_line(R"({"action_id":"a","record":{}})"), std::runtime_error);

  TempDir dir;
  const auto file = dir.path() / "kept.state";
  std::ofstream(file) << "something else\n" << to_line(sample("a")) << "\n";
  const Recovery recovery = Store(file).load();
  EXPECT_TRUE(recovery.actions.empty());
  ASSERT_EQ(recovery.problems.size(), 1u);
  EXPECT_THAT(recovery.problems[0], HasSubstr("does not start with its format line"));
}

TEST(ActionStore, AProcessStartTimeTellsAProcessFromALaterOneWithItsNumber) {
  const std::optional<std::uint64_t> mine = process_start_time(::getpid());
  ASSERT_TRUE(mine.has_value());
  EXPECT_EQ(process_start_time(::getpid()), mine);
  EXPECT_GT(*mine, 0u);
  EXPECT_FALSE(process_start_time(0).has_value());
  EXPECT_FALSE(process_start_time(-5).has_value());
  EXPECT_FALSE(process_start_time(4'194'304).has_value());  // above the kernel's pid limit
}

}  // namespace
}  // namespace tavoren::action_store
