// The fleet path end to end: `tavoren-backend serve` over TLS on loopback
// keeps the queue, an operator drives it with the agent's own commands and
// an operator key pair, and `tavoren-agent run` on an instance key pair
// takes the action from the server and runs it as a real container on the
// sandbox's engine, while `logs --follow` reads the log through the server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "agent_testing.h"
#include "e2e_support.h"
#include "tavoren/backend.h"
#include "tavoren/common/files.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"
#include "test_tls.h"

namespace tavoren::testing::e2e {
namespace {

using std::chrono::seconds;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kServerKey =
    "5e2e0a17c3b94f6d8a21e0c7f5b39d4a6c8e1f2a3b4c5d6e7f8091a2b3c4d5e6";
constexpr const char* kUser = "e2e-owner";
constexpr const char* kOwnerAccessKey = "AKE2ESERVEDOWNER01";
constexpr const char* kOwnerSecretKey = "e2e-served-owner-secret-0123";

// "access-key: X\nsecret-key: Y\n", as tavoren-backend keys create prints it.
tavoren::backend::Session created_keys(const std::string& out) {
  const auto value = [&](const std::string& label) {
    const std::size_t at = out.find(label);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + label.size();
    return out.substr(start, out.find('\n', start) - start);
  };
  return {value("access-key: "), value("secret-key: ")};
}

class ServedAgent : public ::testing::Test {
 protected:
  ServedAgent()
      : home_("HOME", dir_.path().string()),
        workspace_dir_("WORKSPACE_DIR", "fs"),
        provider_("SERVICE_PROVIDER", "local"),
        encryption_key_("TAVOREN_ENCRYPTION_KEY", std::nullopt) {}

  void SetUp() override {
    std::ofstream(master_key_file()) << kServerKey << "\n";
    instance_keys_ = make_keys({"--instance", "e2e-served-agent"});
    operator_keys_ = make_keys({"--operator"});
    ASSERT_FALSE(instance_keys_.secret_key.empty());
    ASSERT_FALSE(operator_keys_.secret_key.empty());

    server_.emplace(
        spawn({TAVOREN_BACKEND_PROGRAM, "serve", "--store", store(), "--listen", "127.0.0.1:0",
               "--tls-cert", tls_.server_chain_file().string(), "--tls-key",
               tls_.server_key_file().string(), "--master-key-file", master_key_file()},
              server_out()));
    std::string port;
    ASSERT_TRUE(eventually(
        [&] {
          const std::string out = read_file(server_out());
          const std::string prefix = "listening on 127.0.0.1:";
          const std::size_t at = out.find(prefix);
          if (at == std::string::npos) return false;
          const std::size_t start = at + prefix.size();
          std::size_t end = start;
          while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end]))) ++end;
          if (end == start || end == out.size()) return false;
          port = out.substr(start, end - start);
          return true;
        },
        seconds(20)))
        << read_file(server_out());
    url_ = "https://127.0.0.1:" + port;

    // The operator's set-up, through the server.
    for (const OperatorCommand& command :
         sandbox_setup_commands(kUser, kOwnerAccessKey, kOwnerSecretKey)) {
      AgentRun run = as_operator(command.args, command.input);
      ASSERT_EQ(run.exit_status, 0) << command.args[1] << ": " << run.err;
    }
  }

  void TearDown() override {
    for (std::optional<process::Child>* child : {&agent_, &server_}) {
      if (*child && !(*child)->exit_status()) {
        (*child)->send_signal(SIGKILL);
        (*child)->wait();
      }
    }
    remove_containers_of(submitted_);
  }

  std::string store() const { return "sqlite:" + (dir_.path() / "backend.db").string(); }
  std::string server_out() const { return (dir_.path() / "server.out").string(); }
  std::string agent_out() const { return (dir_.path() / "agent.out").string(); }
  std::string master_key_file() const { return (dir_.path() / "master.key").string(); }

  // A new key; an instance key's transport key is kept for its agent.
  tavoren::backend::Session make_keys(const std::vector<std::string>& role) {
    std::vector<std::string> argv = {
        TAVOREN_BACKEND_PROGRAM, "keys",           "create", "--store", store(),
        "--master-key-file",     master_key_file()};
    argv.insert(argv.end(), role.begin(), role.end());
    process::RunOptions options{.timeout = seconds(20), .capture_stderr = true};
    const process::RunResult made = process::run_capture(argv, options);
    EXPECT_TRUE(made.exit_status.success()) << made.err;
    const std::string label = "transport-key: ";
    if (const std::size_t at = made.out.find(label); at != std::string::npos) {
      transport_key_ = made.out.substr(at + label.size(), 32);
    }
    return created_keys(made.out);
  }

  static process::Child spawn(const std::vector<std::string>& argv, const std::string& output) {
    process::SpawnRequest request;
    request.argv = argv;
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.stderr_stream = process::Stream::stdout;
    request.output_path = output;
    return process::Child::spawn(request);
  }

  // The agent's command `args` against the server, with the operator's key
  // pair, at most `limit`.
  AgentRun as_operator(std::vector<std::string> args,
                       const std::optional<std::string>& input = std::nullopt,
                       seconds limit = seconds(30)) {
    args.insert(args.begin(), agent_program());
    args.insert(args.end(), {"--backend", url_, "--backend-ca", tls_.ca_file().string()});
    process::RunOptions options{.timeout = limit, .input = input, .capture_stderr = true};
    options.environment = {"TAVOREN_ACCESS_KEY=" + operator_keys_.access_key,
                           "TAVOREN_SECRET_KEY=" + operator_keys_.secret_key};
    const process::RunResult result = process::run_capture(args, options);
    return {result.exit_status.returncode(), result.out, result.err};
  }

  void start_agent() {
    ScopedEnv access("TAVOREN_ACCESS_KEY", instance_keys_.access_key);
    ScopedEnv secret("TAVOREN_SECRET_KEY", instance_keys_.secret_key);
    // The agent opens its owners' key pairs with its instance's transport
    // key.
    ScopedEnv transport("TAVOREN_ENCRYPTION_KEY", transport_key_);
    agent_.emplace(
        spawn({agent_program(), "run", "--backend", url_, "--backend-ca", tls_.ca_file().string(),
               "--instance-id", "e2e-served-" + new_action_id().substr(0, 12), "--skip-prechecks",
               "--work-dir", dir_.path().string(), "--poll-interval", "1", "--reaper-interval", "1",
               "--stop-grace", "2"},
              agent_out()));
  }

  // No key, secret or password of this test in what `text` holds.
  void expect_no_secret_in(const std::string& text, const std::string& what) {
    for (const std::string& secret :
         {instance_keys_.secret_key, operator_keys_.secret_key, std::string(kOwnerAccessKey),
          std::string(kOwnerSecretKey), std::string(kServerKey), transport_key_,
          Sandbox::get().password()}) {
      EXPECT_THAT(text, Not(HasSubstr(secret))) << what;
    }
  }

  SandboxClient client_;
  TempDir dir_;
  ScopedEnv home_;
  ScopedEnv workspace_dir_;
  ScopedEnv provider_;
  ScopedEnv encryption_key_;
  std::string transport_key_;
  TestTls tls_;
  tavoren::backend::Session instance_keys_;
  tavoren::backend::Session operator_keys_;
  std::string url_;
  std::optional<process::Child> server_;
  std::optional<process::Child> agent_;
  std::vector<std::string> submitted_;
};

TEST_F(ServedAgent, AnActionQueuedOnTheServerRunsInAContainerAndItsLogIsFollowedThroughTheServer) {
  AgentRun submitted = as_operator(
      {"submit", "--type", "resource_clone", "--image", Sandbox::get().image(), "--user", kUser});
  ASSERT_EQ(submitted.exit_status, 0) << submitted.err;
  const std::string id = trim(submitted.out);
  ASSERT_EQ(id.size(), 24u) << submitted.out;
  submitted_.push_back(id);

  start_agent();
  // Followed from before the container starts to its end.
  const AgentRun follow = as_operator({"logs", "--follow", id}, std::nullopt, seconds(120));
  ASSERT_EQ(follow.exit_status, 0) << follow.err << read_file(agent_out());
  EXPECT_THAT(follow.err, HasSubstr("ended with exit status 0"));

  const std::string local = read_file(dir_.path() / "logs" / ("resource_clone_" + id + ".txt"));
  EXPECT_THAT(local, HasSubstr("job line 2000 of 2000\n"));
  EXPECT_EQ(follow.out, local);

  const AgentRun shown = as_operator({"show", id});
  ASSERT_EQ(shown.exit_status, 0) << shown.err;
  const Json action = Json::parse(shown.out);
  EXPECT_EQ(action["state"], "ended");
  EXPECT_EQ(action["exitStatus"], 0);
  EXPECT_EQ(action["assignedTo"], "e2e-served-agent");
  EXPECT_EQ(action["logBytes"], local.size());

  // An instance key pair is no operator's.
  ScopedEnv access("TAVOREN_ACCESS_KEY", instance_keys_.access_key);
  ScopedEnv secret("TAVOREN_SECRET_KEY", instance_keys_.secret_key);
  const AgentRun refused =
      run_agent({"list", "--backend", url_, "--backend-ca", tls_.ca_file().string()});
  EXPECT_EQ(refused.exit_status, 1);

  agent_->send_signal(SIGTERM);
  EXPECT_EQ(returncode_of(agent_->wait_for(seconds(30))), 0) << read_file(agent_out());
  server_->send_signal(SIGTERM);
  EXPECT_EQ(returncode_of(server_->wait_for(seconds(30))), 0) << read_file(server_out());
  expect_no_secret_in(read_file(agent_out()), "the agent's output");
  expect_no_secret_in(read_file(server_out()), "the server's output");
  EXPECT_THAT(read_file(server_out()), HasSubstr("POST /v1/assign_jobs 200"));
}

}  // namespace
}  // namespace tavoren::testing::e2e
