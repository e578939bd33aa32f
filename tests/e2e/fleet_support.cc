// The fleet tests' programs: servers, agents, the operator's tool and the
// fake containers.

#include "fleet_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "agent_testing.h"
#include "tavoren/common/files.h"
#include "tavoren/common/text.h"

namespace tavoren::testing::fleet {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr const char* kBackendProgram = TAVOREN_BACKEND_PROGRAM;

// The line of `out` that starts with `label`, without the label.
std::string labelled(const std::string& out, const std::string& label) {
  for (const std::string& line : split(out, '\n')) {
    if (line.starts_with(label)) return line.substr(label.size());
  }
  return "";
}

}  // namespace

std::string encryption_variable() {
  return std::string("TAVOREN_ENCRYPTION_KEY=") + kEncryptionKey;
}

int free_port() {
  int port = 0;
  ::close(listen_on_loopback(port));
  return port;
}

std::string FakeContainer::expected_log(const std::string& action_id) const {
  std::string text;
  for (int line = 1; line <= lines; ++line) {
    text += "clone " + action_id + " line " + std::to_string(line) +
            " the quick brown fox jumps over the lazy dog\n";
  }
  return text;
}

std::string FakeContainer::docker_script() const {
  const std::string last = std::to_string(lines);
  std::string pause;
  if (burst > 0) {
    pause = "    if [ $((i % " + std::to_string(burst) + ")) -eq 0 ] && [ $i -lt " + last +
            " ]; then sleep " + std::to_string(pause_seconds) + "; fi\n";
  }
  return fake_docker_script(
      "  i=1\n"
      "  while [ $i -le " +
      last +
      " ]; do\n"
      "    echo \"clone $id line $i the quick brown fox jumps over the lazy "
      "dog\"\n" +
      pause +
      "    i=$((i + 1))\n"
      "  done\n");
}

std::string fake_docker_script(const std::string& run_body) {
  return "if [ \"$1\" = run ]; then\n"
         "  id=\n"
         "  for word in \"$@\"; do\n"
         "    case \"$word\" in tavoren.action-id=*) id=\"${word#tavoren.action-id=}\" ;; esac\n"
         "  done\n" +
         run_body +
         "  exit 0\n"
         "fi\n"
         "exit 0\n";
}

std::string fake_nvidia_smi_script() {
  return "state=$(cat \"$FLEET_GPU_STATE\" 2>/dev/null)\n"
         "if [ \"$state\" = none ]; then echo 'No devices were found'; exit 6; fi\n"
         "if [ \"$state\" = lost ]; then\n"
         "  echo 'Unable to determine the device handle for GPU00000000:10:00.0: GPU is lost.  "
         "Reboot the system to recover this GPU'\n"
         "  exit 15\n"
         "fi\n"
         "case \"$1\" in\n"
         "  --query-gpu=memory.free) printf 'memory.free [MiB]\\n71559 MiB\\n' ;;\n"
         "  --query-gpu=memory.used,memory.total) echo '10000, 81559' ;;\n"
         "  --query-gpu=index,uuid,name,pci.bus_id,*)\n"
         "    echo '0, GPU-5f2c, NVIDIA H100 80GB HBM3, 00000000:10:00.0, 81559, 10000, 71559, "
         "35, 41, 120.5, 700.0, Enabled, 550.54.15, 0, No, Not Active, Not Active' ;;\n"
         "  --query-gpu=index,uuid,utilization.gpu,*)\n"
         "    echo '0, GPU-5f2c, 35, 81559, 10000, 71559, 550.54.15, NVIDIA H100 80GB HBM3, "
         "1650123456789, Disabled, Disabled, 41' ;;\n"
         "esac\n"
         "exit 0\n";
}

std::map<std::string, int> container_runs(const FakeTools& tools) {
  std::map<std::string, int> runs;
  for (const std::string& call : tools.calls("docker")) {
    if (!call.starts_with("run ")) continue;
    const std::size_t at = call.find("tavoren.action-id=");
    if (at != std::string::npos) ++runs[call.substr(at + 18, 24)];
  }
  return runs;
}

BackendServer::BackendServer(const TempDir& dir, const TestTls& tls, std::string store, int port,
                             std::string name, int assign_batch)
    : dir_(dir),
      tls_(tls),
      store_(std::move(store)),
      port_(port),
      name_(std::move(name)),
      assign_batch_(assign_batch) {}

BackendServer::~BackendServer() {
  if (child_ && !child_->exit_status()) {
    child_->send_signal(SIGKILL);
    child_->wait();
  }
}

std::string BackendServer::master_key_file() const {
  const std::filesystem::path file = dir_.path() / "master.key";
  if (!std::filesystem::exists(file)) std::ofstream(file) << kMasterKey << "\n";
  return file.string();
}

process::RunResult BackendServer::run(std::vector<std::string> args) const {
  args.insert(args.begin(), kBackendProgram);
  process::RunOptions options{.timeout = 30s, .capture_stderr = true};
  options.environment = {encryption_variable()};
  return process::run_capture(args, options);
}

KeyPair BackendServer::create_key(const std::vector<std::string>& role) const {
  std::vector<std::string> args = {
      "keys", "create", "--store", store_, "--master-key-file", master_key_file()};
  args.insert(args.end(), role.begin(), role.end());
  const process::RunResult made = run(args);
  EXPECT_EQ(made.exit_status, process::ExitStatus::exited(0)) << made.err;
  KeyPair pair{labelled(made.out, "access-key: "), labelled(made.out, "secret-key: "),
               labelled(made.out, "transport-key: ")};
  EXPECT_FALSE(pair.access_key.empty() || pair.secret_key.empty()) << made.out;
  return pair;
}

void BackendServer::start() {
  const auto deadline = steady_clock::now() + 20s;
  for (;;) {
    const std::filesystem::path out =
        dir_.path() / (name_ + "-" + std::to_string(runs_++) + ".out");
    outputs_.push_back(out);
    process::SpawnRequest request;
    request.argv = {kBackendProgram,     "serve",
                    "--store",           store_,
                    "--listen",          "127.0.0.1:" + std::to_string(port_),
                    "--assign-batch",    std::to_string(assign_batch_),
                    "--metrics-listen",  "",
                    "--master-key-file", master_key_file()};
    if (plain_http) {
      request.argv.push_back("--plain-http");
    } else {
      request.argv.insert(request.argv.end(), {"--tls-cert", tls_.server_chain_file().string(),
                                               "--tls-key", tls_.server_key_file().string()});
    }
    request.argv.insert(request.argv.end(), serve_options.begin(), serve_options.end());
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.stderr_stream = process::Stream::stdout;
    request.output_path = out.string();
    request.environment = process::environment_with({encryption_variable()});
    child_.emplace(process::Child::spawn(request));
    const std::string ready = "listening on 127.0.0.1:" + std::to_string(port_);
    const bool listening = wait_until(
        [&] {
          return read_file(out).find(ready) != std::string::npos || child_->poll().has_value();
        },
        20s);
    if (listening && !child_->exit_status()) return;
    if (!child_->exit_status()) child_->send_signal(SIGKILL);
    child_->wait();
    ASSERT_LT(steady_clock::now(), deadline) << "the server does not start:\n" << read_file(out);
    std::this_thread::sleep_for(200ms);
  }
}

void BackendServer::kill() {
  child_->send_signal(SIGKILL);
  child_->wait();
}

std::optional<int> BackendServer::stop() {
  child_->send_signal(SIGTERM);
  return returncode_of(child_->wait_for(30s));
}

bool BackendServer::running() { return child_ && !child_->poll().has_value(); }

void Agent::start(const std::vector<std::string>& backend, const std::filesystem::path& ca,
                  const std::vector<std::string>& extra) {
  process::SpawnRequest request;
  request.argv = {agent_program(), "run"};
  request.argv.insert(request.argv.end(), backend.begin(), backend.end());
  request.argv.insert(request.argv.end(),
                      {"--backend-ca", ca.string(), "--skip-prechecks", "--work-dir",
                       dir.path().string(), "--poll-interval", "1", "--reaper-interval", "1",
                       "--log-interval", "1", "--stop-grace", "2", "--metrics-listen", ""});
  request.argv.insert(request.argv.end(), extra.begin(), extra.end());
  request.stdin_stream = process::Stream::null;
  request.stdout_stream = process::Stream::file;
  request.stderr_stream = process::Stream::stdout;
  request.output_path = output().string();
  std::vector<std::string> variables = {
      "TAVOREN_ACCESS_KEY=" + keys.access_key, "TAVOREN_SECRET_KEY=" + keys.secret_key,
      "HOME=" + dir.path().string(), "SERVICE_PROVIDER=local",
      // No engine answers: the reaper's passes fail quickly and are logged.
      "DOCKER_HOST=" + (docker_host.empty() ? "unix://" + (dir.path() / "no-engine.sock").string()
                                            : docker_host),
      "TAVOREN_ENCRYPTION_KEY=" + keys.transport_key};
  for (const std::string& added : environment) {
    const std::string name = added.substr(0, added.find('=') + 1);
    std::erase_if(variables, [&](const std::string& v) { return v.starts_with(name); });
    variables.push_back(added);
  }
  request.environment = process::environment_with(variables);
  child.emplace(process::Child::spawn(request));
}

Agent::~Agent() {
  if (child && !child->exit_status()) {
    child->send_signal(SIGKILL);
    child->wait();
  }
}

process::RunResult operator_command(std::vector<std::string> args, const KeyPair& keys,
                                    const std::vector<std::string>& backend,
                                    const std::filesystem::path& ca,
                                    const std::optional<std::string>& input) {
  args.insert(args.begin(), agent_program());
  args.insert(args.end(), backend.begin(), backend.end());
  args.insert(args.end(), {"--backend-ca", ca.string()});
  process::RunOptions options{.timeout = 30s, .input = input, .capture_stderr = true};
  options.environment = {"TAVOREN_ACCESS_KEY=" + keys.access_key,
                         "TAVOREN_SECRET_KEY=" + keys.secret_key};
  return process::run_capture(args, options);
}

bool configure_fleet(const KeyPair& operator_keys, const std::vector<std::string>& backend,
                     const std::filesystem::path& ca) {
  struct Setting {
    std::vector<std::string> args;
    std::optional<std::string> input;
  };
  for (const Setting& setting : std::vector<Setting>{
           {{"config", "registry", kRegistryUser, "-", kRegistry}, kRegistryPassword},
           {{"config", "data-processing-image", kImage}, std::nullopt},
           {{"config", "key-pair", kOwner, kOwnerAccessKey, "-"}, kOwnerSecretKey}}) {
    const process::RunResult run =
        operator_command(setting.args, operator_keys, backend, ca, setting.input);
    EXPECT_EQ(run.exit_status, process::ExitStatus::exited(0))
        << setting.args[1] << ": " << run.err;
    if (run.exit_status != process::ExitStatus::exited(0)) return false;
  }
  return true;
}

std::string shipped_log(backend::RemoteOperator& admin, const std::string& id) {
  std::string log;
  for (int pieces = 0; pieces < 1000; ++pieces) {
    backend::RemoteLogChunk chunk = admin.logs(id, static_cast<std::int64_t>(log.size()));
    if (chunk.content.empty()) break;
    log += chunk.content;
  }
  return log;
}

std::string what_the_agents_said(const std::string& id, const std::vector<const Agent*>& agents) {
  std::string said;
  for (const Agent* agent : agents) {
    const std::vector<std::string> lines = split(read_file(agent->output()), '\n');
    std::size_t first = lines.size(), last = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(id) == std::string::npos) continue;
      first = std::min(first, i);
      last = i;
    }
    for (std::size_t i = first; i <= last && i < first + 80 && i < lines.size(); ++i) {
      said += agent->instance + ": " + lines[i] + "\n";
    }
  }
  return said;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::vector<std::string> fleet_secrets(const std::vector<KeyPair>& keys) {
  std::vector<std::string> secrets = {kOwnerSecretKey, kOwnerAccessKey, kRegistryPassword,
                                      kEncryptionKey, kMasterKey};
  for (const KeyPair& pair : keys) {
    secrets.push_back(pair.secret_key);
    if (!pair.transport_key.empty()) secrets.push_back(pair.transport_key);
  }
  return secrets;
}

std::size_t expect_no_secret_in(const std::vector<std::filesystem::path>& files,
                                const std::vector<std::string>& secrets) {
  std::size_t failed_calls = 0;
  for (const std::filesystem::path& file : files) {
    const std::string text = read_file(file);
    for (const std::string& secret : secrets) {
      EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr(secret))) << file;
    }
    // A call that got no answer, or a failure answer on its last attempt.
    failed_calls += count_of(text, "no answer after") + count_of(text, " attempts)");
  }
  return failed_calls;
}

}  // namespace tavoren::testing::fleet
