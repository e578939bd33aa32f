#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "tavoren/common/files.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using backend::Result;
using log::Level;
using log::LogCapture;

const std::string kMarker(kCudaOutOfMemory);

// A file the test creates to let a waiting child go on.
class Gate {
 public:
  explicit Gate(const TempDir& dir, const std::string& name) : path_(dir.path() / name) {}
  // Shell code that waits for the gate.
  std::string wait() const {
    return "while [ ! -e " + shell_quote(path_.string()) + " ]; do sleep 0.005; done";
  }
  void open() const { std::ofstream(path_).put('x'); }

 private:
  std::filesystem::path path_;
};

// Blocks the backend's answers until released.
class Latch {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::string sh(const std::string& script) { return shell_join({"sh", "-c", script}); }

Json current_record() {
  Json record = action_record();
  record["jobParams"] = Json{{"epochs", 5}, {"batch", 16}};
  return record;
}

// ---------------------------------------------------------------------------
// The streaming loop

TEST(LogStreaming, ShipsWhatWasAppendedSinceTheLastCycleAndNothingWhenIdle) {
  TempDir dir;
  FakeScaling fake;
  Gate gate(dir, "gate");
  UnitProbe probe;
  WorkUnit unit(
      fake, action_record(),
      probe.attach(running(dir, sh("printf first; " + gate.wait() + "; printf second; sleep 30"))));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  std::this_thread::sleep_for(100ms);  // about ten idle cycles
  EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>{"first"});
  gate.open();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 2));
  EXPECT_EQ(shipped_pieces(fake), (std::vector<std::string>{"first", "second"}));
  // The backend saw the piece; the offset moves once its answer is back.
  EXPECT_TRUE(eventually([&] { return probe.shipped() == 11u; })) << probe.shipped();
  // Each piece names its place in the file, under one stream.
  const auto calls = fake.calls("update_action_docker_logs");
  const std::string stream = calls[0].arguments.value("log_stream", "");
  EXPECT_EQ(stream.size(), 32u);
  EXPECT_EQ(calls[0].arguments.dump(), R"({"action_record_id":")" + kId +
                                           R"(","log_content":"first","log_stream":")" + stream +
                                           R"(","log_start_offset":0,"log_end_offset":5})");
  EXPECT_EQ(calls[1].arguments.value("log_stream", ""), stream);
  EXPECT_EQ(calls[1].arguments.value("log_start_offset", 0), 5);
  EXPECT_EQ(calls[1].arguments.value("log_end_offset", 0), 11);
  EXPECT_EQ(fake.count("get_action_details"), 0u);
  EXPECT_EQ(fake.count("update_action"), 0u);
}

TEST(LogStreaming, APieceTheBackendRefusedGoesAgainAndNothingIsDuplicated) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  fake.push("update_action_docker_logs", Result::failure("backend busy"));
  fake.push_throw("update_action_docker_logs", "connection reset");
  Gate gate(dir, "gate");
  UnitProbe probe;
  WorkUnit unit(fake, action_record(),
                probe.attach(running(dir, sh("echo one; " + gate.wait() + "; echo two"))));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 3));
  gate.open();
  ASSERT_TRUE(ends(unit));

  const auto pieces = shipped_pieces(fake);
  EXPECT_EQ(pieces[0], "one\n");
  EXPECT_EQ(pieces[1], "one\n");  // refused, so read again
  EXPECT_EQ(joined(shipped_pieces(fake, 2)), "one\ntwo\n");
  EXPECT_EQ(joined(shipped_pieces(fake, 2)), read_file(*unit.log_path()));
  EXPECT_EQ(capture.count(Level::error, "Error from update_action_docker_logs: backend busy"), 1u);
  EXPECT_EQ(probe.shipped(), 8u);
}

// A piece the backend never takes is narrowed down and dropped with one
// error line; the log goes on after it and nothing else is lost.
TEST(LogStreaming, APieceRefusedForeverIsDroppedAndTheRestArrivesOnceInOrder) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  std::mutex mutex;
  std::string accepted;
  fake.set_handler("update_action_docker_logs", [&](const Json& arguments) {
    const std::string text = arguments.at("log_content").get<std::string>();
    if (text.find('#') != std::string::npos) return Result::failure("unprocessable");
    std::lock_guard lock(mutex);
    accepted += text;
    return Result::ok(nullptr);
  });
  WorkUnitOptions options =
      running(dir, sh("i=0; while [ $i -lt 30 ]; do echo line $i; i=$((i+1)); done; echo '#'; "
                      "i=0; while [ $i -lt 30 ]; do echo more $i; i=$((i+1)); done; sleep 30"));
  options.max_log_piece = 64;
  options.max_log_refusals = 3;
  options.min_log_piece = 8;
  WorkUnit unit(fake, action_record(), options);
  unit.execute();
  ASSERT_TRUE(eventually([&] { return capture.count(Level::error, "Dropped bytes ") > 0; }));
  unit.stop();
  EXPECT_FALSE(unit.is_running());

  const std::string log = read_file(*unit.log_path());
  const auto lines = capture.lines();
  const auto drop = std::find_if(lines.begin(), lines.end(), [](const LogCapture::Line& line) {
    return line.message.starts_with("Dropped bytes ");
  });
  ASSERT_NE(drop, lines.end());
  unsigned long long first = 0, last = 0;
  int refusals = 0;
  char id[32] = {};
  ASSERT_EQ(std::sscanf(drop->message.c_str(),
                        "Dropped bytes %llu-%llu of the log of action %24s after %d refusals",
                        &first, &last, id, &refusals),
            4)
      << drop->message;
  EXPECT_EQ(id, kId);
  EXPECT_GE(refusals, 3);
  EXPECT_LE(last - first + 1, 8u);
  ASSERT_NE(log.find('#'), std::string::npos);
  EXPECT_LE(first, log.find('#'));
  EXPECT_GE(last, log.find('#'));
  EXPECT_EQ(capture.count(Level::error, "Dropped bytes "), 1u);
  std::lock_guard lock(mutex);
  EXPECT_EQ(accepted, log.substr(0, first) + log.substr(last + 1));
}

// Whether `pid` has ended and waits to be reaped.
bool is_zombie(pid_t pid) {
  const std::optional<std::string> stat =
      read_file_if_present("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  const std::size_t close = stat->rfind(')');
  return close != std::string::npos && stat->compare(close + 1, 3, " Z ") == 0;
}

// The log thread is inside a backend call when the tail appears. From stop,
// the flush must wait for that call and then ship only the tail, and the
// thread's own final check must not ship it again. When the child ends by
// itself, the unit stays busy (is_running true) until the thread is back
// from its call and has recorded the end, which ships the tail once.
void expect_tail_shipped_once(bool by_stop) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  Latch latch;
  std::atomic<bool> first{true};
  fake.set_handler("update_action_docker_logs", [&](const Json&) {
    if (first.exchange(false)) latch.wait();
    return Result::ok(nullptr);
  });
  Gate gate(dir, "gate");
  const std::string script =
      "echo first; " + gate.wait() + "; echo second" + (by_stop ? "; sleep 30" : "");
  UnitProbe probe;
  WorkUnit unit(fake, action_record(), probe.attach(running(dir, sh(script))));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  gate.open();
  ASSERT_TRUE(eventually([&] { return read_file(*unit.log_path()) == "first\nsecond\n"; }));

  std::thread owner;
  if (by_stop) {
    owner = std::thread([&] { unit.stop(); });
    EXPECT_TRUE(eventually([&] {
      return capture.contains(Level::info, "Performing final log flush for action " + kId);
    }));
  } else {
    const pid_t pid = probe.pid();
    EXPECT_TRUE(eventually([&] { return is_zombie(pid); }));
    EXPECT_TRUE(unit.is_running());
    EXPECT_FALSE(capture.contains(Level::info, "Performing final log flush"));
    owner = std::thread([&] { ends(unit); });
  }
  latch.release();
  owner.join();
  if (by_stop) {
    EXPECT_FALSE(unit.is_running());
  } else {
    // The thread may still be logging its final check; stop joins it.
    unit.stop();
  }

  EXPECT_EQ(shipped_pieces(fake), (std::vector<std::string>{"first\n", "second\n"}));
  EXPECT_EQ(probe.shipped(), 13u);
  EXPECT_EQ(capture.count(Level::info, "Sent 7 bytes of final logs for action " + kId) +
                capture.count(Level::info, "Sent final 7 bytes of logs for action " + kId),
            1u);
}

TEST(LogStreaming, TheTailAfterStopIsShippedOnceWhileTheThreadIsMidSend) {
  expect_tail_shipped_once(true);
}

TEST(LogStreaming, TheTailAfterTheChildEndsIsShippedOnceWhileTheThreadIsMidSend) {
  expect_tail_shipped_once(false);
}

TEST(LogStreaming, ShortLivedChildrenAreShippedExactlyOnce) {
  // Whatever the interleaving of cycles, flushes and final checks.
  for (int round = 0; round < 20; ++round) {
    TempDir dir;
    FakeScaling fake;
    WorkUnitTimings timings = quick_timings();
    timings.log_interval = std::chrono::milliseconds(round % 4);
    WorkUnit unit(fake, action_record(),
                  running(dir, sh("for i in 1 2 3 4 5 6 7 8; do echo line $i; done"), timings));
    unit.execute();
    if (round % 2 == 0) {
      ASSERT_TRUE(ends(unit));
    } else {
      unit.stop();
      unit.is_running();
    }
    EXPECT_EQ(joined(shipped_pieces(fake)), read_file(*unit.log_path())) << "round " << round;
  }
}

TEST(LogStreaming, TheDestructorShipsTheTailThroughTheThreadsFinalCheck) {
  TempDir dir;
  FakeScaling fake;
  WorkUnitTimings timings = quick_timings();
  timings.log_interval = 10s;
  std::string path;
  {
    Gate gate(dir, "gate");
    WorkUnit unit(fake, action_record(),
                  running(dir, sh(gate.wait() + "; printf 'tail \\342\\202'; sleep 30"), timings));
    unit.execute();
    path = *unit.log_path();
    gate.open();  // written after the thread's first cycle
    ASSERT_TRUE(eventually([&] { return read_file(path).size() == 7; }));
  }
  // The child is gone, so the incomplete character is sent, replaced.
  EXPECT_EQ(joined(shipped_pieces(fake)), "tail \xEF\xBF\xBD");
}

TEST(LogStreaming, AFinalFlushWithoutALogThreadSendsTheWholeFileOnce) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  WorkUnit unit(fake, action_record(), running(dir, "echo unused"));
  WorkUnitTestAccess::start_process(unit, "sh -c 'echo whole'", "job");
  ASSERT_TRUE(eventually([&] { return read_file(*unit.log_path()) == "whole\n"; }));
  WorkUnitTestAccess::flush_final_logs(unit);
  EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>{"whole\n"});
  EXPECT_TRUE(capture.contains(Level::info, "Performing final log flush for action " + kId));
  EXPECT_TRUE(capture.contains(Level::info, "Sent 6 bytes of final logs for action " + kId));

  capture.clear();
  WorkUnitTestAccess::flush_final_logs(unit);
  EXPECT_EQ(fake.count("update_action_docker_logs"), 1u);
  EXPECT_TRUE(capture.contains(Level::debug, "No additional logs to send for action " + kId));
}

TEST(LogStreaming, AFlushWithoutALogFileDoesNothing) {
  LogCapture capture;
  FakeScaling fake;
  WorkUnit unit(fake, action_record());
  EXPECT_FALSE(WorkUnitTestAccess::flush_final_logs(unit));
  EXPECT_TRUE(capture.lines().empty());
  // No stop was asked: the unit still starts.
  TempDir dir;
  // A child that outlives the check: one that ended may be reaped first.
  WorkUnit later(fake, action_record(), running(dir, "sh -c 'sleep 30'"));
  EXPECT_FALSE(WorkUnitTestAccess::flush_final_logs(later));
  later.execute();
  EXPECT_TRUE(later.has_process());
  later.stop();
}

TEST(LogStreaming, ACharacterSplitBetweenCyclesArrivesWhole) {
  TempDir dir;
  FakeScaling fake;
  Gate gate(dir, "gate");
  WorkUnit unit(fake, action_record(),
                running(dir, sh("printf 'ab\\342\\202'; " + gate.wait() +
                                "; printf '\\254 done'; sleep 30")));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  gate.open();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 2));
  EXPECT_EQ(shipped_pieces(fake), (std::vector<std::string>{"ab", "\xE2\x82\xAC done"}));
}

TEST(LogStreaming, ALargeBacklogGoesInBoundedPiecesOfWholeCharacters) {
  TempDir dir;
  FakeScaling fake;
  WorkUnitOptions options = running(dir, sh("i=0; while [ $i -lt 500 ]; do printf 'x\\303\\251'; "
                                            "i=$((i+1)); done"));
  options.max_log_piece = 100;
  WorkUnit unit(fake, action_record(), options);
  unit.execute();
  ASSERT_TRUE(ends(unit));
  const auto pieces = shipped_pieces(fake);
  EXPECT_GE(pieces.size(), 15u);
  for (const auto& piece : pieces) {
    EXPECT_LE(piece.size(), 100u);
    EXPECT_EQ(piece.find("\xEF\xBF\xBD"), std::string::npos);
  }
  EXPECT_EQ(joined(pieces), read_file(*unit.log_path()));
  EXPECT_EQ(joined(pieces).size(), 1500u);
}

// ---------------------------------------------------------------------------
// Out-of-memory detection

TEST(CudaDetection, AMarkerSplitBetweenCyclesIsReportedOnce) {
  TempDir dir;
  FakeScaling fake;
  fake.set_default("get_action_details", Result::ok(current_record()));
  Gate gate(dir, "gate");
  WorkUnit unit(fake, action_record(),
                running(dir, sh("printf 'step 3: CUDA err'; " + gate.wait() +
                                "; printf 'or: out of memory\\n'; sleep 30")));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 1));
  gate.open();
  ASSERT_TRUE(fake.wait_for_calls("update_action", 1));
  unit.stop();
  EXPECT_EQ(shipped_pieces(fake),
            (std::vector<std::string>{"step 3: CUDA err", "or: out of memory\n"}));
  ASSERT_EQ(fake.count("update_action"), 1u);
  EXPECT_EQ(fake.calls("update_action")[0].arguments.dump(),
            R"({"id":")" + kId +
                R"(","step_code":"ERROR","action_type":"model_train","status":"ERROR",)"
                R"("status_description":"CUDA error: out of memory","service":"bg-job-scheduler",)"
                R"("job_params":{"epochs":5,"batch":16}})");
  EXPECT_EQ(fake.calls("get_action_details")[0].arguments, Json::array({kId}));
}

// The marker is reported as soon as its bytes are read, though the backend
// refused the piece; the resend does not report it again.
TEST(CudaDetection, AMarkerInARefusedPieceIsReportedOnceOnTheFirstAttempt) {
  TempDir dir;
  FakeScaling fake;
  fake.set_default("get_action_details", Result::ok(current_record()));
  fake.push("update_action_docker_logs", Result::failure("busy"));
  WorkUnit unit(fake, action_record(),
                running(dir, sh("echo 'CUDA error: out of memory'; sleep 30")));
  unit.execute();
  ASSERT_TRUE(fake.wait_for_calls("update_action", 1));
  unit.stop();
  EXPECT_FALSE(unit.is_running());
  EXPECT_EQ(fake.count("update_action"), 1u);
  std::vector<std::string> order;
  for (const auto& call : fake.calls()) order.push_back(call.operation);
  EXPECT_EQ(order, (std::vector<std::string>{"get_data_processing_image",
                                             "update_action_docker_logs", "get_action_details",
                                             "update_action", "update_action_docker_logs"}));
}

// Each log below is shipped by a unit of its own, whose log thread checks
// what it reads for the marker.
TEST(CudaDetection, TheMarkerIsReportedOnlyWithAFetchedRecord) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  auto ship = [&](const std::string& log) {
    WorkUnit unit(fake, action_record(), running(dir, sh("printf %s " + shell_quote(log))));
    unit.execute();
    EXPECT_TRUE(ends(unit)) << log;
    unit.stop();
  };

  ship("RuntimeError: CUDA error: device-side assert");
  EXPECT_EQ(fake.count("get_action_details"), 0u);

  fake.push("get_action_details", Result::failure("not found"));
  ship("x " + kMarker);
  EXPECT_TRUE(capture.contains(Level::error, "Error getting action details: not found"));

  fake.push("get_action_details", Result::ok(Json::object()));  // empty: nothing to report
  ship(kMarker);

  fake.push("get_action_details", Result::ok(Json{{"action", "model_train"}}));  // no jobParams
  ship(kMarker);

  fake.push_throw("update_action", "gateway timeout");
  fake.push("get_action_details", Result::ok(current_record()));
  ship(kMarker);  // absorbed
  EXPECT_EQ(fake.count("update_action"), 1u);

  fake.push("get_action_details", Result::ok(current_record()));
  ship("case matters: cuda error: out of memory");
  EXPECT_EQ(fake.count("get_action_details"), 4u);
  EXPECT_EQ(capture.count(Level::error), 1u);
}

// A piece counts as accepted by the truth of the answer's error: an empty
// one is none. A refused piece, or one whose call threw, goes again.
TEST(CudaDetection, APieceIsAcceptedByTruthOfTheError) {
  LogCapture capture;
  TempDir dir;
  FakeScaling fake;
  auto ship = [&] {
    WorkUnit unit(fake, action_record(), running(dir, sh("printf piece")));
    unit.execute();
    EXPECT_TRUE(ends(unit));
    unit.stop();
  };
  fake.push("update_action_docker_logs", Result{Json(), std::string(), ""});
  ship();
  EXPECT_EQ(shipped_pieces(fake), std::vector<std::string>{"piece"});
  EXPECT_EQ(capture.count(Level::error), 0u);

  // The child waits until the piece went three times.
  fake.clear_calls();
  fake.push("update_action_docker_logs", Result::failure("quota exceeded"));
  fake.push_throw("update_action_docker_logs", "connection reset");
  Gate gate(dir, "gate");
  {
    WorkUnit unit(fake, action_record(), running(dir, sh("printf piece; " + gate.wait())));
    unit.execute();
    ASSERT_TRUE(fake.wait_for_calls("update_action_docker_logs", 3));
    gate.open();
    EXPECT_TRUE(ends(unit));
    unit.stop();
  }
  EXPECT_EQ(shipped_pieces(fake), (std::vector<std::string>{"piece", "piece", "piece"}));
  EXPECT_EQ(capture.count(Level::error, "Error from update_action_docker_logs: quota exceeded"),
            1u);
}

}  // namespace
}  // namespace tavoren::testing
