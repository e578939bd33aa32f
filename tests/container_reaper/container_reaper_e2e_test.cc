// The engine client and the reaper against the private engine of the
// end-to-end sandbox, with real containers.
#include <gtest/gtest.h>

#include <set>

#include "e2e_support.h"
#include "fake_scaling.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/container_reaper.h"
#include "tavoren/engine.h"

namespace tavoren::testing::e2e {
namespace {

using log::Level;

// Containers started by one test, removed (running or not) at its end.
class Containers {
 public:
  Containers() : label_("tavoren.test=reaper-" + new_action_id()) {}
  ~Containers() {
    for (const std::string& id : ids_) docker({"rm", "--force", id});
  }

  // Starts a container whose command's arguments are `args` (after a
  // shell script that sleeps and ends at once on SIGTERM); returns its id.
  std::string start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"run",        "--detach",
                                     "--net=host", "--label",
                                     label_,       "--stop-timeout",
                                     "2",          "--entrypoint",
                                     "/bin/sh",    Sandbox::get().image(),
                                     "-c",         "trap 'exit 0' TERM; sleep 600 & wait"};
    argv.insert(argv.end(), args.begin(), args.end());
    const process::RunResult run = docker(argv);
    if (run.exit_status.returncode() != 0)
      throw std::runtime_error("docker run failed: " + run.err);
    ids_.push_back(trim(run.out));
    return ids_.back();
  }
  const std::string& label() const { return label_; }

 private:
  std::string label_;
  std::vector<std::string> ids_;
};

bool is_running(const std::string& id) {
  const process::RunResult r = docker({"inspect", "--format", "{{.State.Running}}", id});
  return r.exit_status.success() && trim(r.out) == "true";
}

TEST(EngineClientE2E, ListsInspectsAndStopsRealContainers) {
  SandboxClient sandbox;
  Containers containers;
  const std::string action = new_action_id();
  const std::string id = containers.start({"--job", action});

  engine::Client client;  // from DOCKER_HOST, as the agent builds it
  EXPECT_EQ(client.ping(), "OK");
  EXPECT_EQ(client.api_version(), "1.41");

  const Json listed = client.list_containers(
      {.filters = {{"label", {containers.label()}}, {"status", {"running"}}}, .all = true});
  ASSERT_EQ(listed.size(), 1u) << listed.dump();
  EXPECT_EQ(listed[0]["Id"], id);

  const Json record = client.inspect_container(id);
  EXPECT_EQ(record["Args"],
            Json::array({"-c", "trap 'exit 0' TERM; sleep 600 & wait", "--job", action}));

  EXPECT_TRUE(client.container_stats(id).contains("memory_stats"));

  client.stop_container(id, 5);
  EXPECT_FALSE(is_running(id));
  EXPECT_NO_THROW(client.stop_container(id));  // already stopped
  EXPECT_TRUE(
      client
          .list_containers({.filters = {{"label", {containers.label()}}, {"status", {"running"}}}})
          .empty());
  EXPECT_EQ(
      client.list_containers({.filters = {{"label", {containers.label()}}}, .all = true}).size(),
      1u);

  try {
    client.inspect_container(id + "-gone");
    ADD_FAILURE() << "an unknown container was inspected";
  } catch (const engine::ApiError& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_NE(e.explanation().find("No such container"), std::string::npos) << e.explanation();
  }
}

TEST(ContainerReaperE2E, StopsExactlyTheContainersOfScaledDownActions) {
  SandboxClient sandbox;
  Containers containers;
  const std::string a = new_action_id();
  const std::string b = new_action_id();
  const std::string c = new_action_id();
  const std::string unused = new_action_id();

  const std::string of_a = containers.start({"python3", "main.py", a});
  const std::string b_then_a = containers.start({b, a});  // matched on b only
  const std::string without = containers.start({"--id", a + "x", "short"});
  const std::string of_c = containers.start({c, "--verbose"});

  FakeScaling scaling;
  ContainerReaper reaper(scaling);
  log::LogCapture log;

  // A backend error: nothing is stopped.
  scaling.push("get_downscaled_ids", backend::Result::failure("backend down"));
  reaper.auto_scaledown_actions();
  EXPECT_TRUE(log.contains(Level::error, "Error getting downscaled ids: backend down"));
  for (const std::string& id : {of_a, b_then_a, without, of_c}) EXPECT_TRUE(is_running(id));

  // Other tests may remove their containers while a pass inspects them,
  // which ends that pass early; the agent repeats passes, and so does this.
  scaling.set_default("get_downscaled_ids", backend::Result::ok(Json::array({a, c, unused})));
  for (int pass = 0; pass < 3 && (is_running(of_a) || is_running(of_c)); ++pass) {
    reaper.auto_scaledown_actions();
  }

  EXPECT_FALSE(is_running(of_a));
  EXPECT_FALSE(is_running(of_c));
  EXPECT_TRUE(is_running(b_then_a));
  EXPECT_TRUE(is_running(without));
  EXPECT_TRUE(log.contains(Level::info, "Container " + of_a + " stopped."));
  EXPECT_TRUE(log.contains(Level::info, "Container " + of_c + " stopped."));
  EXPECT_EQ(log.count(Level::info, " stopped."), 2u);
}

}  // namespace
}  // namespace tavoren::testing::e2e
