// The operator's pages in a real browser: a `tavoren-backend serve` with
// two `tavoren-agent run` machines (stand-ins for docker and nvidia-smi),
// actions ended, running and queued, and tests/web/browser_check.mjs
// driving Debian's Chromium through them: sign in, the fleet with both
// machines' GPUs, the queue's reasons, an action's live log, a machine's
// charts, a machine turning lost, and signing out; then each page's
// accessibility (keyboard, focus, states in words, axe-core's WCAG rules).
// Each step's screenshot is kept in the test's output folder
// (web-screenshots/).
//
// Needs Node.js, /usr/bin/chromium, and playwright-core and axe-core in
// TAVOREN_UI_NODE_DIR (scripts/web-test-deps.sh); skips without them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_testing.h"
#include "fleet_support.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/process.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using namespace fleet;

// The fake `docker`: the container of an action named in `slow` prints a
// line every half second for two minutes; every other prints five lines.
std::string docker_script(const std::filesystem::path& slow) {
  return fake_docker_script(
      "  if grep -q \"$id\" " + slow.string() +
      " 2>/dev/null; then\n"
      "    i=1; while [ $i -le 240 ]; do echo \"step $i of $id\"; i=$((i + 1)); sleep 0.5; done\n"
      "  else\n"
      "    for i in 1 2 3 4 5; do echo \"quick $i of $id\"; done\n"
      "  fi\n");
}

TEST(FleetInABrowser, AnOperatorSignsInAndSeesTheFleetTheQueueAndALiveLog) {
  const std::string node_dir = TAVOREN_UI_NODE_DIR;
  if (!std::filesystem::exists("/usr/bin/chromium") ||
      !std::filesystem::exists(node_dir + "/node_modules/playwright-core") ||
      !std::filesystem::exists(node_dir + "/node_modules/axe-core")) {
    GTEST_SKIP() << "needs /usr/bin/chromium, playwright-core and axe-core in " << node_dir;
  }
  TempDir dir;
  TestTls tls;
  FakeTools tools;
  const std::filesystem::path slow = dir.path() / "slow-actions";
  tools.add_script("docker", docker_script(slow));
  tools.add_script("nvidia-smi", fake_nvidia_smi_script());
  ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);

  BackendServer server(dir, tls, "sqlite:" + (dir.path() / "backend.db").string(), free_port());
  server.plain_http = true;
  server.serve_options = {"--unresponsive-after", "2", "--lost-after", "6"};
  Agent a{.instance = "gpu-box-a", .keys = server.create_key({"--instance", "gpu-box-a"})};
  Agent b{.instance = "gpu-box-b", .keys = server.create_key({"--instance", "gpu-box-b"})};
  a.environment = {"FLEET_GPU_STATE=" + (dir.path() / "gpu-a").string()};
  b.environment = {"FLEET_GPU_STATE=" + (dir.path() / "gpu-b").string()};
  const KeyPair operator_keys = server.create_key({"--operator"});
  ASSERT_FALSE(::testing::Test::HasFailure());
  server.start();
  const std::vector<std::string> backend = {"--backend", server.url()};
  ASSERT_TRUE(configure_fleet(operator_keys, backend, tls.ca_file()));
  backend::RemoteOperator admin(
      backend::RemoteOptions{.base_url = server.url(),
                             .session = {operator_keys.access_key, operator_keys.secret_key},
                             .allow_plain_http = true});
  auto submit = [&](Json details) {
    details["docker"] = kImage;
    return admin.submit(
        Json{{"action", "resource_clone"}, {"_idUser", kOwner}, {"actionDetails", details}});
  };
  auto state_of = [&](const std::string& id) { return admin.show(id).value("state", ""); };

  // One action ends, one runs on, and one waits for a GPU that no machine has.
  const std::string ended = submit(Json::object());
  const std::string running = submit(Json::object());
  std::ofstream(slow) << running << "\n";
  a.start(backend, tls.ca_file(), {"--instance-id", a.instance});
  ASSERT_TRUE(wait_until([&] { return state_of(ended) == "ended"; }, 30s)) << read_file(a.output());
  ASSERT_TRUE(wait_until([&] { return !admin.logs(running).content.empty(); }, 30s))
      << read_file(a.output());
  // B, once the server knows its GPU (a machine without an inventory yet
  // is held to nothing), leaves the large action queued too.
  b.start(backend, tls.ca_file(), {"--instance-id", b.instance});
  ASSERT_TRUE(wait_until(
      [&] {
        std::this_thread::sleep_for(200ms);
        const Json machine = admin.machine(b.instance);
        return machine.value("gpuHealth", Json()) == Json{{"total", 1}, {"healthy", 1}};
      },
      30s))
      << read_file(b.output());
  const std::string queued =
      submit(Json{{"gpuRequired", true}, {"expectedResources", {{"gpuMemory", 100 * 1024}}}});
  std::this_thread::sleep_for(2s);  // polls of both machines
  EXPECT_EQ(state_of(queued), "queued");

  const std::filesystem::path scenario = dir.path() / "scenario.json";
  std::ofstream(scenario)
      << Json{{"machines", {a.instance, b.instance}},
              {"gpuMachine", a.instance},
              {"runningAction", running},
              {"queuedAction", queued},
              {"queuedReason",
               "needs 100 GB free on one machine's GPUs; the most free on an alive "
               "machine is 70 GB"},
              {"endedAction", ended},
              {"loseMachine", {{"instanceId", b.instance}, {"pid", b.child->pid()}}}}
             .dump();
  const std::filesystem::path shots = std::filesystem::current_path() / "web-screenshots";
  std::filesystem::remove_all(shots);
  process::RunOptions options{.timeout = 150s, .capture_stderr = true};
  options.environment = {"TAVOREN_UI_URL=" + server.url() + "/ui/",
                         "TAVOREN_UI_ACCESS_KEY=" + operator_keys.access_key,
                         "TAVOREN_UI_SECRET_KEY=" + operator_keys.secret_key,
                         "TAVOREN_UI_SHOTS=" + shots.string(),
                         "TAVOREN_UI_SCENARIO=" + scenario.string(),
                         "TAVOREN_UI_LOST_WITHIN_S=30",
                         "TAVOREN_UI_NODE_DIR=" + node_dir};
  const process::RunResult checked = process::run_capture(
      {"node", std::string(TAVOREN_SOURCE_DIR) + "/tests/web/browser_check.mjs"}, options);
  EXPECT_EQ(checked.exit_status, process::ExitStatus::exited(0))
      << checked.out << checked.err << "\nserver:\n"
      << read_file(server.outputs().back());
  EXPECT_GE(std::distance(std::filesystem::directory_iterator(shots),
                          std::filesystem::directory_iterator()),
            8);
  // Nothing the browser check or the server printed holds the secret.
  EXPECT_EQ(checked.out.find(operator_keys.secret_key), std::string::npos);
  EXPECT_EQ(checked.err.find(operator_keys.secret_key), std::string::npos);
  expect_no_secret_in(server.outputs(), fleet_secrets({operator_keys, a.keys, b.keys}));
}

}  // namespace
}  // namespace tavoren::testing
