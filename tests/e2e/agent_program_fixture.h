// The agent program's end-to-end fixture: a fresh embedded backend set up
// through the operator's own commands (the sandbox's registry, its default
// image, an owner's key pair), the agent started on it with short timings,
// and queries of what the backend and the engine saw.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "agent_testing.h"
#include "e2e_support.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"

namespace tavoren::testing::e2e {

using std::chrono::seconds;

constexpr const char* kUser = "e2e-owner";
constexpr const char* kOwnerAccessKey = "AKE2EOWNERACCESSKEY";
constexpr const char* kOwnerSecretKey = "e2e-owner-secret-key-0123";
constexpr const char* kAgentAccessKey = "AKE2EAGENTACCESSKEY";
constexpr const char* kAgentSecretKey = "e2e-agent-secret-key-4567";

class AgentProgram : public ::testing::Test {
 protected:
  AgentProgram()
      : home_("HOME", dir_.path().string()),
        workspace_dir_("WORKSPACE_DIR", "fs"),
        provider_("SERVICE_PROVIDER", "local"),
        encryption_key_("TAVOREN_ENCRYPTION_KEY", "e2e-key-0123456789abcdef01234567"),
        access_key_("TAVOREN_ACCESS_KEY", kAgentAccessKey),
        secret_key_("TAVOREN_SECRET_KEY", kAgentSecretKey) {}

  void SetUp() override {
    // The operator's set-up, through the program's own commands.
    for (const OperatorCommand& command :
         sandbox_setup_commands(kUser, kOwnerAccessKey, kOwnerSecretKey)) {
      std::vector<std::string> args = command.args;
      args.insert(args.end(), {"--backend", db()});
      AgentRun run = run_agent(args, command.input);
      ASSERT_EQ(run.exit_status, 0) << command.args[1] << ": " << run.err;
    }
  }

  void TearDown() override {
    if (agent_ && !agent_->exit_status()) {
      agent_->send_signal(SIGKILL);
      agent_->wait();
    }
    remove_containers_of(submitted_);
  }

  std::string db() const { return (dir_.path() / "agent.db").string(); }
  std::string output(const std::string& name = "agent.out") const {
    return read_file(dir_.path() / name);
  }

  std::string submit(const std::string& type, const std::string& image) {
    AgentRun run =
        run_agent({"submit", "--backend", db(), "--type", type, "--image", image, "--user", kUser});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::string id = trim(run.out);
    EXPECT_EQ(id.size(), 24u) << run.out;
    submitted_.push_back(id);
    return id;
  }

  // Starts `tavoren-agent run` on the fixture's backend, with `extra`
  // options after the fixture's own, its output in `output_name`. Each test
  // is an instance of its own: an agent stops the containers of its
  // instance that it does not know at start-up.
  // `program` replaces the agent program (empty: the one built).
  void start_agent(const std::vector<std::string>& extra = {},
                   const std::string& output_name = "agent.out", const std::string& program = "") {
    std::vector<std::string> args = {"run",
                                     "--backend",
                                     db(),
                                     "--instance-id",
                                     instance_id_,
                                     "--skip-prechecks",
                                     "--work-dir",
                                     dir_.path().string(),
                                     "--poll-interval",
                                     "1",
                                     "--reaper-interval",
                                     reaper_interval_,
                                     "--stop-grace",
                                     "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (program.empty()) {
      agent_.emplace(spawn_agent(args, (dir_.path() / output_name).string()));
      return;
    }
    process::SpawnRequest request;
    request.argv = {program};
    request.argv.insert(request.argv.end(), args.begin(), args.end());
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.stderr_stream = process::Stream::stdout;
    request.output_path = (dir_.path() / output_name).string();
    agent_.emplace(process::Child::spawn(request));
  }

  Json show(const std::string& id) {
    AgentRun run = run_agent({"show", "--backend", db(), id});
    if (run.exit_status != 0) return Json();
    return Json::parse(run.out, nullptr, false);
  }

  bool ended(const std::string& id, seconds limit) {
    return eventually([&] { return show(id).value("state", "") == "ended"; }, limit);
  }

  std::string shipped_log(const std::string& id) {
    AgentRun run = run_agent({"logs", "--backend", db(), id});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.out;
  }

  std::string log_file(const std::string& type, const std::string& id) const {
    return read_file(dir_.path() / "logs" / (type + "_" + id + ".txt"));
  }

  static std::vector<std::string> operations(const Json& shown) {
    std::vector<std::string> names;
    for (const Json& event : shown["history"]) names.push_back(event["operation"]);
    return names;
  }

  // No key, secret or password of this test in anything the agent logged.
  void expect_no_secret_logged() {
    const std::string out = output();
    for (const std::string& secret :
         {std::string(kOwnerAccessKey), std::string(kOwnerSecretKey), std::string(kAgentAccessKey),
          std::string(kAgentSecretKey), Sandbox::get().password()}) {
      EXPECT_THAT(out, ::testing::Not(::testing::HasSubstr(secret)));
    }
  }

  SandboxClient client_;
  TempDir dir_;
  ScopedEnv home_;
  ScopedEnv workspace_dir_;
  ScopedEnv provider_;
  ScopedEnv encryption_key_;
  ScopedEnv access_key_;
  ScopedEnv secret_key_;
  std::optional<process::Child> agent_;
  std::vector<std::string> submitted_;
  const std::string instance_id_ = "e2e-" + new_action_id().substr(0, 12);
  // Seconds between two reaper passes of the agent start_agent starts.
  std::string reaper_interval_ = "1";
};

}  // namespace tavoren::testing::e2e
