// Reaping passes with the recording backend and a stand-in engine.
#include "tavoren/container_reaper.h"

#include <gtest/gtest.h>

#include "fake_engine.h"
#include "fake_scaling.h"
#include "tavoren/common/logging.h"
#include "test_support.h"

namespace tavoren::log {
// Log lines as GoogleTest prints them in failures.
static void PrintTo(const LogCapture::Line& line, std::ostream* out) {
  *out << level_name(line.level) << " \"" << line.message << "\"";
}
}  // namespace tavoren::log

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;
using Lines = std::vector<LogCapture::Line>;

const std::string kA = "65a1b2c3d4e5f60718293a4b";
const std::string kB = "65a1b2c3d4e5f60718293a4c";
const std::string kC = "65a1b2c3d4e5f60718293a4d";

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

class ContainerReaperTest : public ::testing::Test {
 protected:
  void pass_with(Result downscaled) {
    scaling_.push("get_downscaled_ids", std::move(downscaled));
    ContainerReaper reaper(scaling_, engine_.options());
    engine_.clear_requests();
    reaper.auto_scaledown_actions();
  }
  // The engine requests after the version agreement.
  std::vector<std::string> requests() const {
    std::vector<std::string> out;
    for (const std::string& line : engine_.lines()) {
      if (line != "GET /_ping") out.push_back(line);
    }
    return out;
  }
  static std::string list() {
    return "GET /v1.41/containers/json?all=1&filters=%7B%22status%22%3A%5B%22running%22%5D%7D";
  }
  static std::string inspect(const std::string& id) {
    return "GET /v1.41/containers/" + id + "/json";
  }
  static std::string stop(const std::string& id) {
    return "POST /v1.41/containers/" + id + "/stop";
  }

  FakeScaling scaling_;
  FakeEngine engine_;
  LogCapture log_;
};

TEST_F(ContainerReaperTest, StopsTheContainersOfScaledDownActionsOnly) {
  engine_.add_container("matched", {"python3", "main.py", kA});
  engine_.add_container("b-then-a", {kB, kA});  // its action is B, not scaled down
  engine_.add_container("c-then-b", {kC, kB});
  engine_.add_container("no-action", {"--id", kA + "0", kA.substr(1)});
  // Length counts characters, not bytes: 24 two-byte characters come
  // first here (no action matches them), and 24 bytes that are 12
  // characters do not count there.
  engine_.add_container("wide", {repeat("\u00e9", 24), kA});
  engine_.add_container("narrow", {repeat("\u00e9", 12), kC});
  engine_.add_container("exited", {kA}, /*running=*/false);

  pass_with(Result::ok(Json::array({kA, kC, "000000000000000000000000"})));

  EXPECT_EQ(requests(), (std::vector<std::string>{
                            list(), inspect("matched"), stop("matched"), inspect("b-then-a"),
                            inspect("c-then-b"), stop("c-then-b"), inspect("no-action"),
                            inspect("wide"), inspect("narrow"), stop("narrow")}));
  EXPECT_FALSE(engine_.running("matched"));
  EXPECT_FALSE(engine_.running("c-then-b"));
  EXPECT_FALSE(engine_.running("narrow"));
  for (const char* id : {"b-then-a", "no-action", "wide"}) EXPECT_TRUE(engine_.running(id)) << id;
  EXPECT_EQ(log_.lines(), (Lines{{Level::info, "Container matched stopped."},
                                 {Level::info, "Container c-then-b stopped."},
                                 {Level::info, "Container narrow stopped."}}));
}

// The agent's own containers run a shell script that holds the identifier
// inside one long argument: the label is what names their action.
TEST_F(ContainerReaperTest, TheActionLabelNamesAContainersActionBeforeItsArguments) {
  auto labelled = [](const std::string& id, const Json& labels,
                     const std::vector<std::string>& args) {
    return Json{{"Id", id}, {"Args", args}, {"Config", {{"Labels", labels}}}};
  };
  const std::string script = "cd . && python3 main.py " + kA;
  engine_.add_container_record("script",
                               labelled("script", {{"tavoren.action-id", kA}}, {"-c", script}));
  // The label wins over an argument that looks like another action.
  engine_.add_container_record("label-b", labelled("label-b", {{"tavoren.action-id", kB}}, {kA}));
  // Empty or non-text labels, other labels, or no labels at all: the
  // arguments decide.
  engine_.add_container_record("empty-label",
                               labelled("empty-label", {{"tavoren.action-id", ""}}, {kC}));
  engine_.add_container_record("number-label",
                               labelled("number-label", {{"tavoren.action-id", 7}}, {kC}));
  engine_.add_container_record("other-label",
                               labelled("other-label", {{"team", kA}}, {"-c", script}));
  engine_.add_container_record("null-labels", labelled("null-labels", nullptr, {kA}));

  pass_with(Result::ok(Json::array({kA, kC})));

  EXPECT_FALSE(engine_.running("script"));
  EXPECT_TRUE(engine_.running("label-b"));
  EXPECT_FALSE(engine_.running("empty-label"));
  EXPECT_FALSE(engine_.running("number-label"));
  EXPECT_TRUE(engine_.running("other-label"));
  EXPECT_FALSE(engine_.running("null-labels"));
  EXPECT_EQ(log_.count(Level::info, "stopped."), 4u);
  EXPECT_EQ(log_.count(Level::error), 0u);
}

TEST_F(ContainerReaperTest, ABackendErrorStopsNothingAndListsNothing) {
  engine_.add_container("matched", {kA});
  for (const std::string error : {"service unavailable", ""}) {
    log_.clear();
    // Even with identifiers in the answer: the error decides.
    pass_with(Result{Json::array({kA}), error, "ignored"});
    EXPECT_EQ(engine_.lines(), std::vector<std::string>{});  // not even a ping
    EXPECT_TRUE(engine_.running("matched"));
    EXPECT_EQ(log_.lines(), (Lines{{Level::error, "Error getting downscaled ids: " + error}}));
  }
}

TEST_F(ContainerReaperTest, NoIdentifiersListsButStopsNothing) {
  engine_.add_container("matched", {kA});
  for (const Json& none : {Json::array(), Json(), Json::object(), Json(""), Json(0), Json(false)}) {
    log_.clear();
    pass_with(Result::ok(none));
    EXPECT_EQ(requests(), std::vector<std::string>{list()}) << none.dump();
    EXPECT_TRUE(log_.lines().empty()) << none.dump();
  }
  EXPECT_TRUE(engine_.running("matched"));
}

TEST_F(ContainerReaperTest, ReadsIdentifierCollectionsOfEveryShape) {
  engine_.add_container("one", {kA});
  engine_.add_container("two", {kB});
  // An object names its keys; one text is one identifier, never a substring.
  pass_with(Result::ok(Json{{kA, true}}));
  EXPECT_FALSE(engine_.running("one"));
  pass_with(Result::ok(Json("x" + kB + "x")));
  EXPECT_TRUE(engine_.running("two"));
  pass_with(Result::ok(Json(kB)));
  EXPECT_FALSE(engine_.running("two"));

  engine_.add_container("three", {kC});
  log_.clear();
  pass_with(Result::ok(Json(5)));
  EXPECT_TRUE(engine_.running("three"));
  EXPECT_EQ(log_.lines(),
            (Lines{{Level::error,
                    "Error in auto_scaledown_actions: the scaled-down identifiers are not a "
                    "collection: 5"}}));
}

TEST_F(ContainerReaperTest, ARefusedStopDoesNotKeepTheNextFromStopping) {
  engine_.add_container("first", {kA});
  engine_.add_container("second", {kB});
  engine_.push("POST", "/containers/first/stop", FakeEngine::error_reply(500, "cannot kill"));

  pass_with(Result::ok(Json::array({kA, kB})));

  EXPECT_EQ(requests(), (std::vector<std::string>{list(), inspect("first"), stop("first"),
                                                  inspect("second"), stop("second")}));
  EXPECT_FALSE(engine_.running("second"));
  EXPECT_EQ(log_.lines(), (Lines{{Level::error,
                                  "Failed to stop container first: engine answered 500 to POST "
                                  "/v1.41/containers/first/stop: cannot kill"},
                                 {Level::info, "Container second stopped."}}));
}

TEST_F(ContainerReaperTest, OtherFailuresEndThePass) {
  engine_.add_container("first", {kA});
  engine_.add_container("second", {kA});
  engine_.add_container("third", {kA});

  // Inspecting fails: the containers after it are not examined.
  engine_.push("GET", "/containers/second/json", FakeEngine::error_reply(404, "No such container"));
  pass_with(Result::ok(Json::array({kA})));
  EXPECT_EQ(requests(),
            (std::vector<std::string>{list(), inspect("first"), stop("first"), inspect("second")}));
  EXPECT_EQ(log_.lines(), (Lines{{Level::info, "Container first stopped."},
                                 {Level::error,
                                  "Error in auto_scaledown_actions: engine answered 404 to GET "
                                  "/v1.41/containers/second/json: No such container"}}));
  EXPECT_TRUE(engine_.running("third"));

  // A record without Args.
  log_.clear();
  engine_.push("GET", "/containers/second/json", {.body = R"({"Id":"second"})"});
  pass_with(Result::ok(Json::array({kA})));
  EXPECT_EQ(requests(), (std::vector<std::string>{list(), inspect("second")}));
  EXPECT_EQ(log_.lines(),
            (Lines{{Level::error,
                    "Error in auto_scaledown_actions: the inspection record of container second "
                    "has no Args"}}));

  // No answer to a stop is not a refusal: the pass ends there.
  log_.clear();
  engine_.push("POST", "/containers/second/stop", FakeEngine::closing());
  pass_with(Result::ok(Json::array({kA})));
  EXPECT_EQ(requests(), (std::vector<std::string>{list(), inspect("second"), stop("second")}));
  ASSERT_EQ(log_.lines().size(), 1u);
  EXPECT_EQ(
      log_.count(Level::error, "Error in auto_scaledown_actions: no answer from the engine at " +
                                   engine_.host() + " to POST /v1.41/containers/second/stop: "),
      1u);
  EXPECT_TRUE(engine_.running("third"));

  // Listing fails.
  log_.clear();
  engine_.push("GET", "/containers/json", FakeEngine::error_reply(500, "engine busy"));
  pass_with(Result::ok(Json::array({kA})));
  EXPECT_EQ(requests(), std::vector<std::string>{list()});
  EXPECT_TRUE(log_.contains(Level::error,
                            "Error in auto_scaledown_actions: engine answered 500 to GET "
                            "/v1.41/containers/json: engine busy"));
}

TEST(ContainerReaperConstruction, NeedsAWellFormedAddressButNoEngine) {
  FakeScaling scaling;
  {
    ScopedEnv host("DOCKER_HOST", "tcp://");
    EXPECT_THROW(ContainerReaper{scaling}, ValueError);
  }
  TempDir dir;
  ScopedEnv host("DOCKER_HOST", "unix://" + (dir.path() / "absent.sock").string());
  ContainerReaper reaper(scaling);  // nothing listens: still built
  scaling.push("get_downscaled_ids", Result::ok(Json::array({kA})));
  LogCapture log;
  reaper.auto_scaledown_actions();  // returns normally
  EXPECT_EQ(log.lines(),
            (Lines{{Level::error,
                    "Error in auto_scaledown_actions: no answer from the engine at unix://" +
                        (dir.path() / "absent.sock").string() +
                        " to GET /_ping: Couldn't connect to server (No such file or "
                        "directory)"}}));
  EXPECT_EQ(scaling.count("get_downscaled_ids"), 1u);
}

}  // namespace
}  // namespace tavoren::testing
