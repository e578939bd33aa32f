// Removal of ended containers, on a stand-in engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "fake_engine.h"
#include "tavoren/common/logging.h"
#include "tavoren/container_reaper.h"
#include "test_support.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using log::Level;
using log::LogCapture;

const std::string kInstance = "gpu-01";
const std::string kDone = "65a1b2c3d4e5f60718293a4b";
const std::string kKept = "65a1b2c3d4e5f60718293a4c";
const std::string kOther = "65a1b2c3d4e5f60718293a4d";

// The time of the tests' passes, and ends before it.
std::chrono::system_clock::time_point at(const std::string& rfc3339) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(engine::parse_log_time(rfc3339))));
}
const std::string kNow = "2024-05-01T12:00:00Z";

bool nothing_needed(const std::string&) { return false; }

class EndedContainersTest : public ::testing::Test {
 protected:
  // An ended container of `action` on this instance (or `instance`).
  void add_ended(const std::string& id, const std::string& action, const std::string& finished_at,
                 const std::string& instance = kInstance) {
    Json labels = {{std::string(engine::kInstanceLabel), instance}};
    if (!action.empty()) labels[std::string(engine::kActionIdLabel)] = action;
    engine_.add({.id = id, .labels = labels, .running = false, .finished_at = finished_at});
  }

  std::vector<std::string> pass(std::chrono::seconds keep) {
    EndedContainers ended({.instance_id = kInstance, .keep = keep, .now = [] { return at(kNow); }},
                          engine_.options());
    return ended.remove_ended([&](const std::string& action) { return needed_.contains(action); });
  }

  std::size_t deletes() const {
    const std::vector<FakeEngine::Request> requests = engine_.requests();
    return std::count_if(requests.begin(), requests.end(),
                         [](const auto& r) { return r.method == "DELETE"; });
  }

  FakeEngine engine_;
  std::set<std::string> needed_;
  LogCapture log_;
};

TEST_F(EndedContainersTest, RemovesOnlyEndedContainersNothingNeedsOnceTheirTimeIsUp) {
  add_ended("long-ended", kDone, "2024-05-01T11:49:59.5Z");  // 10 min 0.5 s before
  add_ended("just-ended", kOther, "2024-05-01T11:55:00Z");   // 5 min before
  add_ended("still-kept", kKept, "2024-05-01T10:00:00Z");    // its end not recorded yet
  add_ended("no-action", "", "2024-05-01T10:00:00Z");
  add_ended("other-agent", kDone, "2024-05-01T10:00:00Z", "gpu-02");
  engine_.add({.id = "running",
               .labels = {{std::string(engine::kInstanceLabel), kInstance},
                          {std::string(engine::kActionIdLabel), kDone}}});
  needed_ = {kKept};

  EXPECT_EQ(pass(10min), std::vector<std::string>{"long-ended"});
  EXPECT_FALSE(engine_.has("long-ended"));
  for (const char* id : {"just-ended", "still-kept", "no-action", "other-agent", "running"}) {
    EXPECT_TRUE(engine_.has(id)) << id;
  }
  EXPECT_TRUE(
      log_.contains(Level::info, "Removed the ended container long-ended of action " + kDone));
  // What is needed is not even looked at.
  for (const FakeEngine::Request& request : engine_.requests()) {
    EXPECT_EQ(request.path.find("still-kept"), std::string::npos) << request.target;
  }
  // Removed through the API, with the container's anonymous volumes.
  const std::vector<std::string> lines = engine_.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "DELETE /v1.41/containers/long-ended?v=1"),
            lines.end());
}

TEST_F(EndedContainersTest, NoDelayRemovesAtOnceAndAnEndedActionLetsItsContainerGo) {
  add_ended("now-ended", kKept, kNow);
  needed_ = {kKept};
  EXPECT_TRUE(pass(0s).empty());
  EXPECT_TRUE(engine_.has("now-ended"));
  // Its end and log are recorded: the next pass removes it.
  needed_.clear();
  EXPECT_EQ(pass(0s), std::vector<std::string>{"now-ended"});
  EXPECT_FALSE(engine_.has("now-ended"));
}

TEST_F(EndedContainersTest, AContainerThatNeverRanCountsFromItsCreation) {
  Json record = {{"Id", "never-ran"},
                 {"Created", "2024-05-01T11:00:00Z"},
                 {"Config",
                  {{"Labels",
                    {{std::string(engine::kInstanceLabel), kInstance},
                     {std::string(engine::kActionIdLabel), kDone}}}}},
                 {"State", {{"Running", false}, {"FinishedAt", "0001-01-01T00:00:00Z"}}}};
  engine_.add_container_record("never-ran", record, /*running=*/false);
  EXPECT_TRUE(pass(2h).empty());
  EXPECT_EQ(pass(30min), std::vector<std::string>{"never-ran"});
}

// A kept container is read once, not at every pass: with a pass a second
// and ten minutes of ended containers, the engine would otherwise be asked
// about each of them every second. When due, it is read again (it may have
// run since) and removed.
TEST_F(EndedContainersTest, AKeptContainerIsReadOnceAndAgainOnlyWhenDue) {
  add_ended("kept-a", kDone, "2024-05-01T11:55:00Z");   // due at 12:05
  add_ended("kept-b", kOther, "2024-05-01T11:58:00Z");  // due at 12:08
  auto now = at(kNow);
  EndedContainers ended({.instance_id = kInstance, .keep = 10min, .now = [&] { return now; }},
                        engine_.options());
  auto inspections = [&](const std::string& id) {
    const std::vector<std::string> paths = engine_.paths();
    return std::count_if(paths.begin(), paths.end(), [&](const std::string& path) {
      return path.find("/containers/" + id + "/json") != std::string::npos;
    });
  };
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
    now += 30s;
  }
  EXPECT_EQ(inspections("kept-a"), 1);
  EXPECT_EQ(inspections("kept-b"), 1);

  now = at("2024-05-01T12:05:01Z");
  EXPECT_EQ(ended.remove_ended(nothing_needed), std::vector<std::string>{"kept-a"});
  EXPECT_EQ(inspections("kept-a"), 2);
  EXPECT_EQ(inspections("kept-b"), 1);
  EXPECT_TRUE(engine_.has("kept-b"));

  // Ended again later than first read: the fresh end counts.
  engine_.end("kept-b", 0, "2024-05-01T12:07:00Z");
  now = at("2024-05-01T12:08:01Z");
  EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
  EXPECT_EQ(inspections("kept-b"), 2);
  EXPECT_TRUE(engine_.has("kept-b"));
  now = at("2024-05-01T12:17:01Z");
  EXPECT_EQ(ended.remove_ended(nothing_needed), std::vector<std::string>{"kept-b"});
}

TEST_F(EndedContainersTest, AFailedRemovalIsLoggedOnceAndTriedAgainLater) {
  add_ended("stuck", kDone, "2024-05-01T10:00:00Z");
  EndedContainers ended({.instance_id = kInstance, .keep = 10min, .now = [] { return at(kNow); }},
                        engine_.options());
  for (int i = 0; i < 2; ++i) {
    engine_.push("DELETE", "/containers/stuck",
                 FakeEngine::error_reply(500, "removal of container stuck is already in progress"));
  }
  EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
  EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
  EXPECT_EQ(log_.count(Level::warning, "Container stuck of action " + kDone +
                                           " could not be removed (tried again later)"),
            1u);
  EXPECT_EQ(ended.remove_ended(nothing_needed), std::vector<std::string>{"stuck"});
  EXPECT_FALSE(engine_.has("stuck"));
  EXPECT_EQ(deletes(), 3u);
}

TEST_F(EndedContainersTest, AnEngineThatDoesNotAnswerIsLoggedOnceUntilItAnswersAgain) {
  add_ended("ended", kDone, "2024-05-01T10:00:00Z");
  EndedContainers ended({.instance_id = kInstance, .keep = 10min, .now = [] { return at(kNow); }},
                        engine_.options());
  engine_.push("GET", "/containers/json", FakeEngine::closing());
  engine_.push("GET", "/containers/json", FakeEngine::closing());
  EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
  EXPECT_TRUE(ended.remove_ended(nothing_needed).empty());
  EXPECT_EQ(log_.count(Level::warning, "Cannot list the ended containers to remove"), 1u);
  EXPECT_EQ(ended.remove_ended(nothing_needed), std::vector<std::string>{"ended"});
  // A container gone already is no failure.
  engine_.push(
      "GET", "/containers/ended/json",
      {.body = Json{{"Id", "ended"},
                    {"State", {{"Running", false}, {"FinishedAt", "2024-05-01T10:00:00Z"}}}}
                   .dump()});
  engine_.push("GET", "/containers/json",
               {.body = Json::array({{{"Id", "ended"},
                                      {"State", "exited"},
                                      {"Labels",
                                       {{std::string(engine::kInstanceLabel), kInstance},
                                        {std::string(engine::kActionIdLabel), kDone}}}}})
                            .dump()});
  EXPECT_EQ(ended.remove_ended(nothing_needed), std::vector<std::string>{"ended"});
  EXPECT_EQ(log_.count(Level::warning, "could not be removed"), 0u);
}

TEST(EndedContainers, RefusesOptionsItCannotWorkWith) {
  EXPECT_THROW(EndedContainers({.instance_id = ""}, {.host = "unix:///nowhere.sock"}), ValueError);
  EXPECT_THROW(EndedContainers({.instance_id = kInstance}, {.host = "ftp://engine"}), ValueError);
}

}  // namespace
}  // namespace tavoren::testing
