// Both programs scraped while they work: `tavoren-backend serve` and a
// `tavoren-agent run` that takes its actions from it, with a fake docker
// first on PATH. Their metrics must be well-formed (promtool, from
// Debian's prometheus package, reads them) and count what happened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "agent_testing.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/text.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"

namespace tavoren {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::wait_until;

constexpr const char* kMasterKey =
    "9d8c7b6a5f4e3d2c1b0a99887766554433221100ffeeddccbbaa998877665544";

// The sum of every series of `family` whose labels contain `labels` (all
// of them when empty) in a text rendering.
double total(const std::string& text, const std::string& family, const std::string& labels = "") {
  double sum = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("#")) continue;
    const std::size_t space = line.rfind(' ');
    const std::string series = line.substr(0, space);
    if (series != family && !series.starts_with(family + "{")) continue;
    if (!labels.empty() && series.find(labels) == std::string::npos) continue;
    sum += std::stod(line.substr(space + 1));
  }
  return sum;
}

// The port a program logged for its metrics endpoint; 0 until it did.
int metrics_port(const std::string& output) {
  std::smatch match;
  static const std::regex kLine("Serving metrics and health on \\S+ \\(port (\\d+)\\)");
  return std::regex_search(output, match, kLine) ? std::stoi(match[1]) : 0;
}

struct Scrape {
  int status = 0;
  std::string body;
};

Scrape get(int port, const std::string& path) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(10, 0);
  auto answer = client.Get(path);
  if (!answer) return {};
  return {answer->status, answer->body};
}

// promtool's verdict on a rendering: empty when it is well-formed.
std::string promtool_findings(const std::string& text) {
  process::RunOptions options{.timeout = 30s, .input = text, .capture_stderr = true};
  process::RunResult result = process::run_capture({"promtool", "check", "metrics"}, options);
  if (result.exit_status.success()) return "";
  return "promtool (Debian package prometheus) says:\n" + result.out + result.err;
}

class ScrapeTest : public ::testing::Test {
 protected:
  ScrapeTest()
      : key_("TAVOREN_ENCRYPTION_KEY", std::nullopt),
        provider_("SERVICE_PROVIDER", "local"),
        engine_("DOCKER_HOST", "unix://" + (dir_.path() / "no-engine.sock").string()) {
    std::ofstream(master_key_file()) << kMasterKey << "\n";
    backend::LocalScaling store({.database = db(),
                                 .keyring = std::make_shared<const sealing::Keyring>(
                                     sealing::parse_master_key(kMasterKey))});
    store.set_data_processing_image("dp:1");
    store.set_registry_credentials("robot", "registry-pass");
    store.set_key_pair("u1", "AKEXAMPLEACCESS", "example-secret-key");
  }

  std::string db() const { return (dir_.path() / "backend.db").string(); }
  std::string master_key_file() const { return (dir_.path() / "master.key").string(); }
  std::string out(const std::string& name) const { return read_file(dir_.path() / name); }

  std::pair<std::string, std::string> make_key(const std::string& role_option,
                                               const std::string& instance = "") {
    std::vector<std::string> argv = {TAVOREN_BACKEND_PROGRAM,
                                     "keys",
                                     "create",
                                     "--store",
                                     "sqlite:" + db(),
                                     "--master-key-file",
                                     master_key_file(),
                                     role_option};
    if (!instance.empty()) argv.push_back(instance);
    process::RunResult made = process::run_capture(argv, {.timeout = 30s});
    EXPECT_TRUE(made.exit_status.success());
    auto value = [&](const std::string& label) {
      const std::size_t start = made.out.find(label) + label.size();
      return made.out.substr(start, made.out.find('\n', start) - start);
    };
    if (made.out.find("transport-key: ") != std::string::npos) {
      transport_key_ = value("transport-key: ");
    }
    return {value("access-key: "), value("secret-key: ")};
  }

  process::Child spawn(std::vector<std::string> argv, const std::string& output) {
    process::SpawnRequest request;
    request.argv = std::move(argv);
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.stderr_stream = process::Stream::stdout;
    request.output_path = (dir_.path() / output).string();
    return process::Child::spawn(request);
  }

  std::string submit() {
    backend::LocalScaling store({.database = db()});
    return store.submit(Json{
        {"action", "resource_clone"}, {"_idUser", "u1"}, {"actionDetails", {{"docker", "job:1"}}}});
  }

  bool ended(const std::string& id) {
    backend::LocalScaling store({.database = db()});
    return store.show(id)["state"] == "ended";
  }

  TempDir dir_;
  std::string transport_key_;
  testing::FakeTools tools_;
  ScopedEnv key_;
  ScopedEnv provider_;
  ScopedEnv engine_;
};

TEST_F(ScrapeTest, BothProgramsCountWhatHappenedInWellFormedMetrics) {
  const auto [instance_key, instance_secret] = make_key("--instance", "gpu-01");
  const auto [operator_key, operator_secret] = make_key("--operator");

  process::Child server = spawn(
      {TAVOREN_BACKEND_PROGRAM, "serve", "--store", "sqlite:" + db(), "--listen", "127.0.0.1:0",
       "--plain-http", "--metrics-listen", "127.0.0.1:0", "--master-key-file", master_key_file()},
      "server.out");
  ASSERT_TRUE(wait_until([&] { return metrics_port(out("server.out")) != 0; }, 20s))
      << out("server.out");
  const int server_metrics = metrics_port(out("server.out"));
  std::smatch listening;
  const std::string server_out = out("server.out");
  ASSERT_TRUE(std::regex_search(server_out, listening, std::regex("listening on (\\S+)")));
  const std::string url = "http://" + listening[1].str();

  // One action ends well, the next one with status 3.
  const std::string counter = (dir_.path() / "runs").string();
  tools_.add_script("docker", "if [ \"$1\" = run ]; then n=$(cat " + counter +
                                  " 2>/dev/null || echo 0); echo $((n + 1)) > " + counter +
                                  "; echo container line $n; exit $((n * 3)); fi\nexit 0\n");
  const std::string first = submit();

  ScopedEnv access("TAVOREN_ACCESS_KEY", instance_key);
  ScopedEnv secret("TAVOREN_SECRET_KEY", instance_secret);
  ScopedEnv transport("TAVOREN_ENCRYPTION_KEY", transport_key_);
  process::Child agent =
      spawn({testing::agent_program(), "run", "--backend", url, "--skip-prechecks", "--work-dir",
             dir_.path().string(), "--poll-interval", "1", "--log-interval", "1",
             "--metrics-listen", "127.0.0.1:0"},
            "agent.out");
  ASSERT_TRUE(wait_until([&] { return metrics_port(out("agent.out")) != 0; }, 20s))
      << out("agent.out");
  const int agent_metrics = metrics_port(out("agent.out"));
  ASSERT_TRUE(wait_until([&] { return ended(first); }, 30s)) << out("agent.out");
  const std::string second = submit();
  ASSERT_TRUE(wait_until([&] { return ended(second); }, 30s)) << out("agent.out");

  // A request without a signature, and an operator's key calling an
  // instance's operation: one refusal of each kind.
  {
    httplib::Client raw("127.0.0.1", std::stoi(url.substr(url.rfind(':') + 1)));
    raw.set_read_timeout(10, 0);
    auto refused = raw.Post("/v1/assign_jobs", "{}", "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    backend::RemoteScaling wrong_role(
        backend::RemoteOptions{.base_url = url,
                               .session = backend::Session{operator_key, operator_secret},
                               .attempt_timeout = 10s,
                               .retry = {.max_attempts = 1},
                               .allow_plain_http = true});
    try {
      EXPECT_TRUE(wrong_role.assign_jobs(false).has_error());
    } catch (const std::exception&) {
      // Refused either way; what counts is the server's count below.
    }
  }

  // The agent's scrape is taken once every log piece is in and it has
  // counted both ends: the backend records an end before the agent counts
  // it, and a busy machine may hold the agent between the two. The server,
  // which counted first, is scraped after.
  const std::vector<std::filesystem::path> logs = {
      dir_.path() / "logs" / ("resource_clone_" + first + ".txt"),
      dir_.path() / "logs" / ("resource_clone_" + second + ".txt")};
  double log_bytes = 0;
  for (const auto& log : logs) log_bytes += static_cast<double>(std::filesystem::file_size(log));
  std::string agent_text;
  ASSERT_TRUE(wait_until(
      [&] {
        agent_text = get(agent_metrics, "/metrics").body;
        return total(agent_text, "tavoren_agent_log_shipped_bytes_total") == log_bytes &&
               total(agent_text, "tavoren_agent_actions_ended_total") == 2;
      },
      20s))
      << agent_text;
  const Scrape server_scrape = get(server_metrics, "/metrics");
  ASSERT_EQ(server_scrape.status, 200) << server_scrape.body;
  const std::string& server_text = server_scrape.body;
  EXPECT_EQ(promtool_findings(agent_text), "") << agent_text;
  EXPECT_EQ(promtool_findings(server_text), "") << server_text;

  // The agent's counts.
  EXPECT_EQ(total(agent_text, "tavoren_agent_actions_started_total", "type=\"resource_clone\""), 2);
  EXPECT_EQ(total(agent_text, "tavoren_agent_actions_ended_total", "exit_status=\"0\""), 1);
  EXPECT_EQ(total(agent_text, "tavoren_agent_actions_ended_total", "exit_status=\"3\""), 1);
  EXPECT_EQ(total(agent_text, "tavoren_agent_actions_running"), 0);
  EXPECT_EQ(total(agent_text, "tavoren_agent_log_refused_bytes_total"), 0);
  EXPECT_GE(total(agent_text, "tavoren_agent_poll_cycles_total"), 2);
  const double agent_polls =
      total(agent_text, "tavoren_agent_backend_calls_total", "operation=\"assign_jobs\"");
  EXPECT_GE(agent_polls, 2);
  EXPECT_EQ(total(agent_text, "tavoren_agent_backend_call_duration_seconds_count",
                  "operation=\"assign_jobs\""),
            agent_polls);
  EXPECT_LT(total(agent_text, "tavoren_agent_seconds_since_last_successful_poll"), 20);

  // The server's counts match the agent's where both saw the same calls.
  EXPECT_EQ(total(server_text, "tavoren_backend_assignments_total"), 2);
  EXPECT_EQ(total(server_text, "tavoren_backend_actions", "state=\"ended\""), 2);
  EXPECT_EQ(total(server_text, "tavoren_backend_actions", "state=\"queued\""), 0);
  EXPECT_EQ(total(server_text, "tavoren_backend_authentication_refusals_total"), 1);
  EXPECT_EQ(total(server_text, "tavoren_backend_authorization_refusals_total",
                  "operation=\"assign_jobs\""),
            1);
  EXPECT_EQ(total(server_text, "tavoren_backend_requests_total",
                  "operation=\"update_action_docker_logs\",status=\"200\""),
            total(agent_text, "tavoren_agent_backend_calls_total",
                  "operation=\"update_action_docker_logs\",outcome=\"ok\""));
  EXPECT_GE(total(server_text, "tavoren_backend_requests_total",
                  "operation=\"assign_jobs\",status=\"200\""),
            agent_polls);
  EXPECT_EQ(total(server_text, "tavoren_backend_store_errors_total"), 0);

  // Both are healthy.
  const Scrape agent_health = get(agent_metrics, "/healthz");
  EXPECT_EQ(agent_health.status, 200) << agent_health.body;
  EXPECT_THAT(agent_health.body, HasSubstr("\"alive\":true,\"ready\":true"));
  EXPECT_EQ(get(server_metrics, "/healthz").status, 200);

  agent.send_signal(SIGTERM);
  EXPECT_EQ(testing::returncode_of(agent.wait_for(20s)), 0) << out("agent.out");
  server.send_signal(SIGTERM);
  EXPECT_EQ(testing::returncode_of(server.wait_for(20s)), 0) << out("server.out");
}

}  // namespace
}  // namespace tavoren
