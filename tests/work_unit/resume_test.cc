// Taking over a running action: where the log file stopped against the
// engine's log, and a work unit that adopts a container and finishes it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <tuple>

#include "engine_log_resume.h"
#include "fake_engine.h"
#include "tavoren/common/files.h"
#include "tavoren/common/text.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using detail::container_output_offset;
using detail::EngineLogCursor;
using ::testing::ElementsAre;

struct Entry {
  std::int64_t time_ns;
  std::string bytes;
};

// One read as the engine answers it: the entries at or after `since`.
std::string read_once(EngineLogCursor& cursor, const std::vector<Entry>& log) {
  std::string appended;
  cursor.begin();
  const std::optional<std::int64_t> since = cursor.since();
  for (const Entry& e : log) {
    if (since && e.time_ns < *since) continue;
    appended += cursor.take({.stream = 1, .time_ns = e.time_ns, .bytes = e.bytes});
  }
  cursor.end();
  return appended;
}

std::string joined(const std::vector<Entry>& log) {
  std::string all;
  for (const Entry& e : log) all += e.bytes;
  return all;
}

TEST(EngineLogCursor, TheFileIsCompletedFromWhereItStoppedEvenInsideAnEntry) {
  const std::vector<Entry> log = {{10, "one\n"}, {20, "two\n"}, {30, "three\n"}};
  for (std::uint64_t covered = 0; covered <= joined(log).size(); ++covered) {
    EngineLogCursor cursor(covered);
    EXPECT_EQ(read_once(cursor, log), joined(log).substr(covered)) << covered;
    // Read again with nothing new: nothing appended twice.
    EXPECT_EQ(read_once(cursor, log), "") << covered;
  }
}

TEST(EngineLogCursor, AnEngineBehindTheFileAppendsNothingUntilItCatchesUp) {
  std::vector<Entry> log = {{10, "abc\n"}};
  EngineLogCursor cursor(9);  // the client wrote bytes the engine has not stored yet
  EXPECT_EQ(read_once(cursor, log), "");
  EXPECT_EQ(cursor.missing(), 5u);
  log.push_back({20, "def\n"});
  EXPECT_EQ(read_once(cursor, log), "");
  log.push_back({30, "ghi\n"});
  EXPECT_EQ(read_once(cursor, log), "hi\n");  // the file held "abc\ndef\ng"
  EXPECT_EQ(cursor.missing(), 0u);
}

// A log growing in bursts, with entries that share a time and times a
// little out of order (two streams copied side by side), read after each
// burst: whatever the cut, the file ends up as the engine's log, once.
TEST(EngineLogCursor, ALogReadAsItGrowsIsAppendedWholeAndOnce) {
  std::mt19937 random(12345);
  for (int round = 0; round < 200; ++round) {
    std::vector<Entry> log;
    std::int64_t now = 1'000'000'000;
    const int bursts = 2 + static_cast<int>(random() % 6);
    std::vector<std::size_t> burst_ends;
    for (int b = 0; b < bursts; ++b) {
      const int entries = static_cast<int>(random() % 5);
      for (int i = 0; i < entries; ++i) {
        const auto step = static_cast<std::int64_t>(random() % 3);  // 0: the same time
        now += step * 7'000'000'000;  // some bursts are further apart than the margin
        const std::int64_t jitter = static_cast<std::int64_t>(random() % 2) * -1'000'000;
        log.push_back({now + jitter, "entry " + std::to_string(log.size()) +
                                         std::string(random() % 4, '.') + "\n"});
      }
      burst_ends.push_back(log.size());
    }
    const std::string all = joined(log);
    const std::uint64_t covered = all.empty() ? 0 : random() % (all.size() + 1);
    EngineLogCursor cursor(covered);
    std::string file = all.substr(0, covered);
    for (std::size_t end : burst_ends) {
      file += read_once(cursor, std::vector<Entry>(log.begin(), log.begin() + end));
    }
    ASSERT_EQ(file, all) << "round " << round << ", covered " << covered;
  }
}

TEST(EngineLogCursor, LaterReadsStartJustBeforeTheAnchor) {
  std::vector<Entry> log;
  for (int i = 0; i < 30; ++i) log.push_back({i * 1'000'000'000LL, "x\n"});
  EngineLogCursor cursor(0, /*margin_ns=*/5'000'000'000);
  read_once(cursor, log);
  ASSERT_TRUE(cursor.anchor().has_value());
  EXPECT_EQ(*cursor.anchor(), 24'000'000'000);
  EXPECT_EQ(cursor.since(), 24'000'000'000 - 1);
  EXPECT_EQ(cursor.covered(), 12u);  // the six entries from 24 s on
}

TEST(ContainerOutputOffset, TheClientsOwnLinesBeforeTheContainersOutputAreNotCounted) {
  const std::string client = "Pulling from job\nWARNING: IPv4 forwarding is disabled\n";
  const std::string engine = "python3 main.py\njob line 1\n";
  // The file holds the client's lines and part of the container's output.
  EXPECT_EQ(container_output_offset(client + "python3 ma", client.size() + 10, engine),
            client.size());
  EXPECT_EQ(
      container_output_offset(client + engine + "more", client.size() + engine.size() + 4, engine),
      client.size());
  // Nothing of the container yet, or no output at all.
  EXPECT_EQ(container_output_offset(client, client.size(), engine), client.size());
  EXPECT_EQ(container_output_offset(client + "py", client.size() + 2, ""), client.size() + 2);
  EXPECT_EQ(container_output_offset(engine, engine.size(), engine), 0u);
}

// A unit adopting container "c1" of a fake engine, whose `docker wait`
// ends once the test says the container ended.
class Adoption : public ::testing::Test {
 protected:
  Adoption() : docker_host_("DOCKER_HOST", engine_.host()) {
    tools_.add_script("docker", "while [ ! -f '" + (dir_.path() / "ended").string() +
                                    "' ]; do sleep 0.02; done\necho 0\n");
    options_ = running(dir_, "unused");
    options_.on_exit = [this](const std::string& id, process::ExitStatus status, bool complete,
                              std::string_view) {
      std::lock_guard lock(mutex_);
      ends_.push_back({id, status, complete});
    };
    options_.on_progress = [this](const std::string&, std::uint64_t shipped, std::uint64_t) {
      std::lock_guard lock(mutex_);
      progress_.push_back(shipped);
    };
    std::filesystem::create_directories(dir_.path() / "logs");
    scaling_.set_default("get_action_details", backend::Result::ok(action_record()));
  }

  void end_container(int code) {
    engine_.end("c1", code);
    std::ofstream(dir_.path() / "ended") << "";
  }

  std::string shipped() const {
    std::string all;
    for (const std::string& piece : shipped_pieces(scaling_)) all += piece;
    return all;
  }

  struct End {
    std::string id;
    process::ExitStatus status;
    bool complete;
  };
  std::vector<End> ends() {
    std::lock_guard lock(mutex_);
    return ends_;
  }

  TempDir dir_;
  FakeTools tools_;
  FakeEngine engine_;
  ScopedEnv docker_host_;
  FakeScaling scaling_;
  WorkUnitOptions options_;
  std::mutex mutex_;
  std::vector<End> ends_;
  std::vector<std::uint64_t> progress_;
};

TEST_F(Adoption, TheLogGoesOnFromTheEngineAndTheContainersStatusIsRecorded) {
  const std::string client = "Status: Image is up to date\n";
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  // The old client died after writing part of the third entry.
  std::ofstream(log) << client << "line 1\nline 2\nli";
  engine_.add({.id = "c1"});
  engine_.append_log("c1", {{.time_ns = 1'000, .bytes = "line 1\n"},
                            {.time_ns = 2'000, .bytes = "line 2\n"},
                            {.time_ns = 3'000, .bytes = "line 3\n"}});
  WorkUnit unit(scaling_, action_record(), options_);
  const std::uint64_t shipped_before = client.size() + 7;  // up to "line 1\n"
  unit.adopt({.container_id = "c1",
              .log_path = log,
              .shipped = shipped_before,
              .scanned = shipped_before});
  // The unit's process is the watch on the adopted container.
  EXPECT_EQ(unit.cmd(), "docker wait c1");
  ASSERT_TRUE(eventually([&] { return shipped() == "line 2\nline 3\n"; })) << shipped();
  EXPECT_TRUE(unit.is_running());

  engine_.append_log(
      "c1",
      {{.time_ns = 4'000, .bytes = "RuntimeError: CUDA error: out of memory\n", .stream = 2}});
  ASSERT_TRUE(eventually([&] { return scaling_.count("update_action") == 1; }));
  end_container(7);
  ASSERT_TRUE(eventually([&] { return !ends().empty(); }));
  const End end = ends().front();
  EXPECT_EQ(end.id, kActionId);
  EXPECT_EQ(end.status, process::ExitStatus::exited(7));
  EXPECT_TRUE(end.complete);
  EXPECT_EQ(shipped(), "line 2\nline 3\nRuntimeError: CUDA error: out of memory\n");
  EXPECT_EQ(read_file(log),
            client + "line 1\nline 2\nline 3\nRuntimeError: CUDA error: out of memory\n");
  {
    std::lock_guard lock(mutex_);
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.back(), read_file(log).size());
  }
  EXPECT_TRUE(testing::ends(unit));
  EXPECT_EQ(scaling_.count("update_action"), 1u);
}

// The watch's own complaints go to the agent's log, once each, and not to
// the agent's standard error.
TEST_F(Adoption, WhatTheWatchOnTheContainerSaysGoesToTheAgentsLog) {
  tools_.add_script("docker",
                    "echo 'WARNING: the fake engine watches c1 through a slow link' >&2\n"
                    "while [ ! -f '" +
                        (dir_.path() / "ended").string() + "' ]; do sleep 0.02; done\necho 0\n");
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "";
  engine_.add({.id = "c1"});
  log::LogCapture capture;
  ::testing::internal::CaptureStderr();
  {
    WorkUnit unit(scaling_, action_record(), options_);
    unit.adopt({.container_id = "c1", .log_path = log});
    end_container(0);
    EXPECT_TRUE(eventually([&] { return !ends().empty(); }));
  }
  // Only the logger's lines, never the tool's own, reach standard error.
  for (const std::string& line : split(::testing::internal::GetCapturedStderr(), '\n')) {
    EXPECT_FALSE(line.starts_with("WARNING")) << line;
  }
  EXPECT_EQ(capture.count(log::Level::warning,
                          "docker wait: WARNING: the fake engine watches c1 through a slow link"),
            1u);
}

TEST_F(Adoption, AStoppedAdoptedUnitStopsItsContainerThroughTheEngine) {
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "";
  engine_.add({.id = "c1"});
  engine_.on_stop([this](const std::string&) { std::ofstream(dir_.path() / "ended") << ""; });
  WorkUnit unit(scaling_, action_record(), options_);
  unit.adopt({.container_id = "c1", .log_path = log});
  unit.stop();
  EXPECT_FALSE(engine_.running("c1"));
  ASSERT_EQ(ends().size(), 1u);
  EXPECT_EQ(ends()[0].status, process::ExitStatus::exited(143));
}

TEST_F(Adoption, WithoutAContainerTheRestOfTheFileIsShippedAndTheEndRecordedUnknown) {
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "shipped already|the rest\n";
  WorkUnit unit(scaling_, action_record(), options_);
  unit.adopt({.log_path = log, .shipped = 16, .scanned = 16});
  EXPECT_EQ(shipped(), "the rest\n");
  ASSERT_EQ(ends().size(), 1u);
  EXPECT_EQ(ends()[0].status, process::ExitStatus::unknown());
  EXPECT_FALSE(unit.is_running());
  EXPECT_TRUE(tools_.calls("docker").empty());
}

// The piece the previous agent was sending goes first, under the kept
// stream, exactly as it was; each piece carries its place, told before it
// is sent.
TEST_F(Adoption, ThePieceInFlightIsSentAgainFirstUnderTheKeptStream) {
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "shipped already|the rest\n";
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> told;
  options_.on_sending = [&](const std::string& id, const std::string& stream, std::uint64_t start,
                            std::uint64_t end) {
    EXPECT_EQ(id, kActionId);
    told.emplace_back(stream, start, end);
  };
  WorkUnit unit(scaling_, action_record(), options_);
  unit.adopt({.log_path = log, .shipped = 16, .scanned = 16, .log_stream = "kept", .sending = 20});
  const auto calls = scaling_.calls("update_action_docker_logs");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments.at("log_content"), "the ");
  EXPECT_EQ(calls[0].arguments.at("log_stream"), "kept");
  EXPECT_EQ(calls[0].arguments.at("log_start_offset"), 16);
  EXPECT_EQ(calls[0].arguments.at("log_end_offset"), 20);
  EXPECT_EQ(calls[1].arguments.at("log_content"), "rest\n");
  EXPECT_EQ(calls[1].arguments.at("log_stream"), "kept");
  EXPECT_EQ(calls[1].arguments.at("log_start_offset"), 20);
  EXPECT_EQ(calls[1].arguments.at("log_end_offset"), 25);
  EXPECT_THAT(told,
              ElementsAre(std::make_tuple("kept", 16u, 20u), std::make_tuple("kept", 20u, 25u)));
}

TEST_F(Adoption, WithoutAKeptStreamTheLogGoesOnUnderANewOne) {
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "shipped already|the rest\n";
  WorkUnit unit(scaling_, action_record(), options_);
  // A piece in flight beyond the file's end is not taken for one.
  unit.adopt({.log_path = log, .shipped = 16, .scanned = 16, .sending = 400});
  const auto calls = scaling_.calls("update_action_docker_logs");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments.at("log_content"), "the rest\n");
  EXPECT_EQ(calls[0].arguments.at("log_stream").get<std::string>().size(), 32u);
  EXPECT_EQ(calls[0].arguments.at("log_start_offset"), 16);
  EXPECT_EQ(calls[0].arguments.at("log_end_offset"), 25);
}

TEST_F(Adoption, APreviousClientStillRunningIsEndedAndAnotherProcessIsLeftAlone) {
  auto start_of = [](pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::vector<std::string> fields = split_whitespace(stat.substr(stat.rfind(')') + 1));
    return static_cast<std::uint64_t>(std::stoull(fields[19]));
  };
  process::SpawnRequest request{.argv = {"sleep", "30"}};
  process::Child client = process::Child::spawn(request);
  process::Child bystander = process::Child::spawn(request);
  const std::string log = (dir_.path() / "logs" / "job.txt").string();
  std::ofstream(log) << "";
  engine_.add({.id = "c1"});
  {
    // A number that now names another process (another start time).
    WorkUnit other(scaling_, action_record(), options_);
    other.adopt({.container_id = "c1",
                 .log_path = log,
                 .client_pid = bystander.pid(),
                 .client_start = start_of(bystander.pid()) + 1});
    EXPECT_FALSE(bystander.wait_for(std::chrono::milliseconds(100)).has_value());
    other.detach();  // lets go without stopping the container
  }
  EXPECT_TRUE(engine_.running("c1"));
  WorkUnit unit(scaling_, action_record(), options_);
  unit.adopt({.container_id = "c1",
              .log_path = log,
              .client_pid = client.pid(),
              .client_start = start_of(client.pid())});
  EXPECT_EQ(client.wait_for(std::chrono::seconds(5)), process::ExitStatus::signaled(SIGKILL));
  end_container(0);
  EXPECT_TRUE(testing::ends(unit));
  bystander.send_signal(SIGKILL);
  bystander.wait();
}

}  // namespace
}  // namespace tavoren::testing
