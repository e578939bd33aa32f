// A fleet on PostgreSQL: two `tavoren-backend serve` processes on one
// database of the PostgreSQL sandbox, and twenty `tavoren-agent run`
// processes that each know both servers (half name server A first, half
// server B) work through 2,000 actions. With a quarter of them handed out,
// server A is killed with SIGKILL, and its agents must go on through server
// B; later PostgreSQL itself stops for a few seconds and starts again under
// server B, which must reconnect. Afterwards every action must have ended
// well, been assigned exactly once and run exactly once, and its log must be
// in the store byte for byte as the container printed it; every agent must
// still run and stop cleanly, and no secret may show in anything the
// programs wrote.
//
// No container engine is needed: a fake `docker` first on PATH plays the
// containers. Needs the PostgreSQL sandbox (scripts/pg-sandbox.sh, which
// CTest starts); skips without it.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_testing.h"
#include "fake_engine.h"
#include "fleet_support.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/files.h"
#include "tavoren/common/process.h"
#include "tavoren/engine.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::testing {
namespace {

using namespace std::chrono_literals;
using namespace fleet;
using std::chrono::steady_clock;

constexpr int kAgents = 20;
constexpr int kActions = 2000;
// Short containers (two bursts of 20 lines, 0.3 s apart), so that many
// ship their log in two pieces and the whole run stays short.
const FakeContainer kContainer{.lines = 40, .burst = 20, .pause_seconds = 0.3};
constexpr const char* kSandboxScript = TAVOREN_PG_SANDBOX_SCRIPT;

// A connection to the sandbox (libpq's environment, which the sandbox's
// env file set), for what the test reads behind the servers' backs.
class Sql {
 public:
  explicit Sql(const std::string& database)
      : connection_(PQconnectdb(
            ("dbname=" + database + " connect_timeout=5 options='-c statement_timeout=5000'")
                .c_str())) {
    PQsetNoticeProcessor(
        connection_, [](void*, const char*) {}, nullptr);
  }
  ~Sql() { PQfinish(connection_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;

  bool ok() const { return PQstatus(connection_) == CONNECTION_OK; }
  // The rows of a statement, each as its columns' texts; nullopt when it
  // failed.
  std::optional<std::vector<std::vector<std::string>>> rows(const std::string& statement) {
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection_, statement.c_str()),
                                                         &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      last_error_ = PQerrorMessage(connection_);
      return std::nullopt;
    }
    std::vector<std::vector<std::string>> answer;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      std::vector<std::string>& columns = answer.emplace_back();
      for (int column = 0; column < PQnfields(result.get()); ++column) {
        columns.emplace_back(PQgetvalue(result.get(), row, column));
      }
    }
    return answer;
  }
  const std::string& last_error() const { return last_error_; }

 private:
  PGconn* connection_;
  std::string last_error_;
};

// A database of the test's own in the sandbox, dropped at the end.
class OwnDatabase {
 public:
  explicit OwnDatabase(const std::string& purpose = "fleet")
      : name_("tavoren_" + purpose + "_" + std::to_string(::getpid())) {
    Sql admin("postgres");
    if (!admin.ok()) return;
    admin.rows("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    created_ = admin.rows("CREATE DATABASE " + name_).has_value();
  }
  ~OwnDatabase() {
    if (!created_) return;
    Sql admin("postgres");
    if (admin.ok()) admin.rows("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  }
  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  std::string store() const { return "postgresql:///" + name_; }

 private:
  std::string name_;
  bool created_ = false;
};

// The actions each instance was handed, read from the database; empty
// while it does not answer.
std::map<std::string, int> assigned_per_instance(const std::string& database) {
  Sql sql(database);
  std::map<std::string, int> counts;
  if (!sql.ok()) return counts;
  const auto rows = sql.rows(
      "SELECT assigned_to, count(*) FROM actions WHERE assigned_to IS NOT NULL GROUP BY 1");
  if (!rows) return counts;
  for (const auto& row : *rows) counts[row[0]] = std::stoi(row[1]);
  return counts;
}

// The actions that ended; nullopt while the database does not answer.
std::optional<int> ended_count(const std::string& database) {
  Sql sql(database);
  if (!sql.ok()) return std::nullopt;
  const auto rows = sql.rows("SELECT count(*) FROM actions WHERE ended_at IS NOT NULL");
  if (!rows || rows->empty()) return std::nullopt;
  return std::stoi(rows->front().front());
}

TEST(FleetOnPostgresql,
     TwentyAgentsOnTwoServersOutliveAKilledServerAndADatabaseRestartRunningEveryActionOnce) {
  const auto began = steady_clock::now();
  OwnDatabase database;
  ASSERT_TRUE(database.created()) << "cannot make a database in the PostgreSQL sandbox";
  TempDir dir;
  TestTls tls;
  FakeTools tools;
  tools.add_script("docker", kContainer.docker_script());
  ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);

  BackendServer server_a(dir, tls, database.store(), free_port(), "server-a");
  BackendServer server_b(dir, tls, database.store(), free_port(), "server-b");
  const process::RunResult migrated = server_a.run({"migrate", "--store", database.store()});
  ASSERT_EQ(migrated.exit_status, process::ExitStatus::exited(0)) << migrated.err;
  std::vector<std::unique_ptr<Agent>> agents;
  for (int i = 0; i < kAgents; ++i) {
    auto agent = std::make_unique<Agent>();
    agent->instance = "fleet-" + std::to_string(i);
    agent->keys = server_a.create_key({"--instance", agent->instance});
    agents.push_back(std::move(agent));
  }
  const KeyPair operator_keys = server_b.create_key({"--operator"});
  ASSERT_FALSE(::testing::Test::HasFailure());
  server_a.start();
  server_b.start();
  ASSERT_TRUE(server_a.running() && server_b.running());

  // The operator names both servers, in one list.
  ASSERT_TRUE(configure_fleet(operator_keys, {"--backend", server_a.url() + "," + server_b.url()},
                              tls.ca_file()));
  const backend::Session operator_session{operator_keys.access_key, operator_keys.secret_key};
  std::vector<std::string> ids(kActions);
  {
    backend::RemoteOperator admin(backend::RemoteOptions{.base_url = server_b.url(),
                                                         .fallback_urls = {server_a.url()},
                                                         .session = operator_session,
                                                         .ca_file = tls.ca_file()});
    std::vector<std::thread> submitters;
    std::atomic<int> failures{0};
    constexpr int kSubmitters = 4;
    for (int t = 0; t < kSubmitters; ++t) {
      submitters.emplace_back([&, t] {
        for (int i = t; i < kActions; i += kSubmitters) {
          try {
            ids[static_cast<std::size_t>(i)] =
                admin.submit(Json{{"action", "resource_clone"},
                                  {"_idUser", kOwner},
                                  {"actionDetails", {{"docker", kImage}}}});
          } catch (const std::exception&) {
            ++failures;
          }
        }
      });
    }
    for (std::thread& submitter : submitters) submitter.join();
    ASSERT_EQ(failures.load(), 0);
  }
  ASSERT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
  const auto submitted = steady_clock::now();

  // Half the agents name A first (--backend twice), half B first (a list).
  for (int i = 0; i < kAgents; ++i) {
    Agent& agent = *agents[static_cast<std::size_t>(i)];
    if (i % 2 == 0) {
      agent.start({"--backend", server_a.url(), "--backend", server_b.url()}, tls.ca_file());
    } else {
      agent.start({"--backend", server_b.url() + "," + server_a.url()}, tls.ca_file());
    }
  }
  auto ended_reaches = [&](int count, std::chrono::seconds limit) {
    return wait_until(
        [&] {
          std::this_thread::sleep_for(300ms);
          return ended_count(database.name()).value_or(0) >= count;
        },
        limit);
  };
  auto said = [&] {
    std::string text;
    for (const auto& agent : agents) {
      const std::string out = read_file(agent->output());
      text += agent->instance + ":\n" + out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    }
    return text;
  };

  // Server A dies once a quarter of the actions are handed out, the rest
  // still queued: its agents must go on with B.
  auto assigned_total = [&] {
    int total = 0;
    for (const auto& [instance, count] : assigned_per_instance(database.name())) total += count;
    return total;
  };
  ASSERT_TRUE(wait_until(
      [&] {
        std::this_thread::sleep_for(300ms);
        return assigned_total() >= kActions / 4;
      },
      120s))
      << "assigned: " << assigned_total() << "\n"
      << said();
  const std::map<std::string, int> before_kill = assigned_per_instance(database.name());
  server_a.kill();
  const auto killed = steady_clock::now();
  const int ended_at_kill = ended_count(database.name()).value_or(-1);
  int assigned_at_kill = 0;
  for (const auto& [instance, count] : before_kill) assigned_at_kill += count;

  // Half done: PostgreSQL restarts under server B.
  ASSERT_TRUE(ended_reaches(kActions / 2, 120s))
      << "ended: " << ended_count(database.name()).value_or(-1) << "\n"
      << said();
  const auto restart_began = steady_clock::now();
  const int ended_at_restart = ended_count(database.name()).value_or(-1);
  // Down for 3 s: longer than a call's retries last, so that calls fail
  // and the agents' own recovery is what brings their work through.
  const process::RunResult restarted =
      process::run_capture({kSandboxScript, "restart", "--down", "3"},
                           process::RunOptions{.timeout = 90s, .capture_stderr = true});
  ASSERT_EQ(restarted.exit_status, process::ExitStatus::exited(0)) << restarted.err;
  const auto restarted_at = steady_clock::now();

  const bool all_ended = ended_reaches(kActions, 240s);
  const auto finished = steady_clock::now();
  EXPECT_TRUE(all_ended) << "ended: " << ended_count(database.name()).value_or(-1) << " of "
                         << kActions << "\n"
                         << said();
  EXPECT_TRUE(server_b.running());

  // Every agent that named A first was handed work after A died, so it
  // moved on to B rather than staying on the dead server.
  const std::map<std::string, int> per_instance = assigned_per_instance(database.name());
  for (int i = 0; i < kAgents; i += 2) {
    const std::string& instance = agents[static_cast<std::size_t>(i)]->instance;
    const auto before = before_kill.find(instance);
    const auto after = per_instance.find(instance);
    EXPECT_GT(after == per_instance.end() ? 0 : after->second,
              before == before_kill.end() ? 0 : before->second)
        << instance << " got no work after server A died\n"
        << read_file(agents[static_cast<std::size_t>(i)]->output()).substr(0, 4000);
  }

  // Each action: ended well, assigned once, run once, its log whole in the
  // store and in the file of the agent that ran it. Checked through server
  // B by four operators at once; the faults found are listed (the first 20).
  const std::map<std::string, int> runs = container_runs(tools);
  std::map<std::string, const Agent*> agent_of;
  for (const auto& agent : agents) agent_of[agent->instance] = agent.get();
  std::mutex found_mutex;
  std::vector<std::string> faults;
  std::atomic<std::size_t> log_bytes{0};
  auto fault = [&](const std::string& id, const std::string& what) {
    std::lock_guard lock(found_mutex);
    faults.push_back(id + ": " + what);
  };
  {
    std::vector<std::thread> checkers;
    constexpr int kCheckers = 4;
    for (int t = 0; t < kCheckers; ++t) {
      checkers.emplace_back([&, t] {
        backend::RemoteOperator admin(backend::RemoteOptions{
            .base_url = server_b.url(), .session = operator_session, .ca_file = tls.ca_file()});
        for (int i = t; i < kActions; i += kCheckers) {
          const std::string& id = ids[static_cast<std::size_t>(i)];
          try {
            const Json shown = admin.show(id);
            if (shown.value("state", "") != "ended") {
              fault(id, "state " + shown.value("state", ""));
            }
            if (shown.value("exitStatus", Json()) != Json(0)) {
              fault(id, "exit status " + shown.value("exitStatus", Json()).dump());
            }
            int assigned = 0;
            for (const Json& event : shown.at("history")) {
              if (event.value("operation", "") == "assign_jobs") ++assigned;
            }
            if (assigned != 1) fault(id, "assigned " + std::to_string(assigned) + " times");
            const auto ran = runs.find(id);
            const int run_count = ran == runs.end() ? 0 : ran->second;
            if (run_count != 1) fault(id, "run " + std::to_string(run_count) + " times");
            const std::string expected = kContainer.expected_log(id);
            const std::string stored = shipped_log(admin, id);
            log_bytes += stored.size();
            if (stored != expected) {
              fault(id, "the stored log differs from the container's output (" +
                            std::to_string(stored.size()) + " bytes, not " +
                            std::to_string(expected.size()) + ")");
            }
            const Json assigned_to = shown.value("assignedTo", Json());
            const auto agent = assigned_to.is_string()
                                   ? agent_of.find(assigned_to.get<std::string>())
                                   : agent_of.end();
            if (agent == agent_of.end()) {
              fault(id, "assigned to " + assigned_to.dump());
            } else if (read_file(agent->second->log_file(id)) != expected) {
              fault(id, "the log file of " + agent->first + " differs from the container's output");
            }
          } catch (const std::exception& e) {
            fault(id, std::string("cannot be checked: ") + e.what());
          }
        }
      });
    }
    for (std::thread& checker : checkers) checker.join();
  }
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults";
  for (std::size_t i = 0; i < faults.size() && i < 20; ++i) {
    const std::string id = faults[i].substr(0, 24);
    std::vector<const Agent*> all;
    for (const auto& agent : agents) all.push_back(agent.get());
    ADD_FAILURE() << faults[i] << "\n" << what_the_agents_said(id, all);
  }
  // Nothing ran that was not submitted.
  for (const auto& [id, count] : runs) {
    EXPECT_TRUE(std::find(ids.begin(), ids.end(), id) != ids.end()) << id;
  }

  // Every agent outlived it all and stops cleanly; so does server B.
  for (const auto& agent : agents) agent->child->send_signal(SIGTERM);
  for (const auto& agent : agents) {
    SCOPED_TRACE(agent->instance);
    EXPECT_EQ(returncode_of(agent->child->wait_for(30s)), 0) << read_file(agent->output());
  }
  EXPECT_EQ(server_b.stop(), 0);

  // No secret in anything the programs wrote.
  std::vector<std::filesystem::path> outputs = server_a.outputs();
  outputs.insert(outputs.end(), server_b.outputs().begin(), server_b.outputs().end());
  std::vector<KeyPair> keys = {operator_keys};
  for (const auto& agent : agents) {
    outputs.push_back(agent->output());
    keys.push_back(agent->keys);
  }
  const std::size_t failed_calls = expect_no_secret_in(outputs, fleet_secrets(keys));
  std::size_t store_failures = 0;
  for (const std::filesystem::path& output : server_b.outputs()) {
    store_failures += count_of(read_file(output), "failed: ");
  }

  std::printf("fleet on PostgreSQL: %d actions, %d agents, 2 servers, %zu log bytes\n", kActions,
              kAgents, log_bytes.load());
  std::printf(
      "  set-up and submission %.1f s; server A killed at %d assigned, %d ended "
      "(%.1f s in), PostgreSQL restarted at %d ended (%.1f s in, %.1f s down)\n",
      in_seconds(submitted - began), assigned_at_kill, ended_at_kill,
      in_seconds(killed - submitted), ended_at_restart, in_seconds(restart_began - submitted),
      in_seconds(restarted_at - restart_began));
  std::printf(
      "  all ended %.1f s after the agents started (%.1f s after the restart); "
      "%.1f s in all\n",
      in_seconds(finished - submitted), in_seconds(finished - restarted_at),
      in_seconds(steady_clock::now() - began));
  std::printf("  calls that ran out of attempts: %zu; requests server B failed: %zu\n",
              failed_calls, store_failures);
}

// The processes whose parent is `pid`.
std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::ifstream file(entry.path() / "stat");
    std::string stat;
    std::getline(file, stat);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == pid) found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

// An agent killed as a machine that is taken away dies: SIGKILL to it and
// to each of its clients' process groups, at once.
void kill_machine(Agent& agent) {
  const std::vector<pid_t> clients = children_of(agent.child->pid());
  agent.child->send_signal(SIGKILL);
  for (const pid_t client : clients) {
    ::kill(-client, SIGKILL);
    ::kill(client, SIGKILL);
  }
  agent.child->wait();
}

// The whole log of an earlier attempt.
std::string attempt_log(backend::RemoteOperator& admin, const std::string& id,
                        std::int64_t attempt) {
  std::string text;
  for (std::int64_t offset = 0;;) {
    const backend::RemoteLogChunk chunk = admin.attempt_log(id, attempt, offset);
    text += chunk.content;
    if (chunk.content.empty()) return text;
    offset = chunk.next_offset;
  }
}

// A machine lost mid-job: its action ends as machine_lost and runs again
// on another machine as its next attempt, each attempt with its own log.
// The lost machine then comes back as the same instance with its state
// file: its stale container is stopped, nothing it writes lands on the new
// attempt, and it takes new work. Then a drain: the drained machine takes
// nothing new while its running action finishes, and a long action still
// running at the deadline ends as drained.
TEST(FleetOnPostgresql, AMachineLostMidJobHandsItsWorkOnAndCannotWriteIntoItOnReturn) {
  OwnDatabase database("machines");
  ASSERT_TRUE(database.created()) << "cannot make a database in the PostgreSQL sandbox";
  TempDir dir;
  TestTls tls;
  FakeTools tools;
  // 30 lines over about 7 s: shipped in several pieces while it runs.
  const FakeContainer container{.lines = 30, .burst = 2, .pause_seconds = 0.5};
  tools.add_script("docker", container.docker_script());
  ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", kEncryptionKey);
  // The engine of machine A, where the container it left behind runs on.
  FakeEngine engine;

  BackendServer server(dir, tls, database.store(), free_port());
  server.serve_options = {"--unresponsive-after", "2", "--lost-after", "5"};
  const process::RunResult migrated = server.run({"migrate", "--store", database.store()});
  ASSERT_EQ(migrated.exit_status, process::ExitStatus::exited(0)) << migrated.err;
  Agent a;
  a.instance = "machine-a";
  a.keys = server.create_key({"--instance", a.instance});
  a.docker_host = engine.docker_host();
  Agent b;
  b.instance = "machine-b";
  b.keys = server.create_key({"--instance", b.instance});
  const KeyPair operator_keys = server.create_key({"--operator"});
  ASSERT_FALSE(::testing::Test::HasFailure());
  server.start();
  const std::vector<std::string> backend = {"--backend", server.url()};
  ASSERT_TRUE(configure_fleet(operator_keys, backend, tls.ca_file()));
  backend::RemoteOperator admin(
      backend::RemoteOptions{.base_url = server.url(),
                             .session = {operator_keys.access_key, operator_keys.secret_key},
                             .ca_file = tls.ca_file()});
  auto submit = [&] {
    return admin.submit(Json{{"action", "resource_clone"},
                             {"_idUser", kOwner},
                             {"actionDetails", {{"docker", kImage}}}});
  };
  auto ended = [&](const std::string& id, std::chrono::seconds limit) {
    return wait_until(
        [&] {
          std::this_thread::sleep_for(200ms);
          return admin.show(id).value("state", "") == "ended";
        },
        limit);
  };
  auto held_by_a = [&](const std::string& id) {
    return wait_until(
        [&] {
          std::this_thread::sleep_for(100ms);
          return admin.show(id).value("assignedTo", Json()) == Json(a.instance);
        },
        30s);
  };
  auto said = [&] {
    return "A:\n" + read_file(a.output()) + "\nB:\n" + read_file(b.output()) + "\nserver:\n" +
           read_file(server.outputs().back());
  };

  // A takes the action and ships part of its log; then A dies for good.
  const std::string id = submit();
  a.start(backend, tls.ca_file(), {"--instance-id", a.instance});
  ASSERT_TRUE(wait_until(
      [&] {
        std::this_thread::sleep_for(100ms);
        return !admin.logs(id).content.empty();
      },
      30s))
      << said();
  engine.add({.id = "stale-a",
              .labels = {{std::string(engine::kInstanceLabel), a.instance},
                         {std::string(engine::kActionIdLabel), id}}});
  kill_machine(a);
  const auto killed = steady_clock::now();
  const std::string shipped_by_a = shipped_log(admin, id);
  const std::string expected = container.expected_log(id);
  ASSERT_FALSE(shipped_by_a.empty());
  ASSERT_LT(shipped_by_a.size(), expected.size()) << "A finished before it was killed";
  EXPECT_EQ(expected.substr(0, shipped_by_a.size()), shipped_by_a);

  // Found lost within --lost-after and a sweep, it runs again on B.
  b.start(backend, tls.ca_file(), {"--instance-id", b.instance});
  ASSERT_TRUE(ended(id, 60s)) << said();
  const auto rerun = steady_clock::now();
  const Json shown = admin.show(id);
  EXPECT_EQ(shown["endCause"], "exited");
  EXPECT_EQ(shown["exitStatus"], 0);
  EXPECT_EQ(shown["attempt"], 2);
  EXPECT_EQ(shown["assignedTo"], b.instance);
  bool lost_end = false;
  for (const Json& event : shown["history"]) {
    if (event.value("operation", "") != "exit") continue;
    const Json& arguments = event["arguments"];
    if (arguments.value("cause", "") == "machine_lost") {
      lost_end = true;
      EXPECT_EQ(arguments.value("instance_id", ""), a.instance);
      EXPECT_EQ(arguments.value("attempt", 0), 1);
      EXPECT_EQ(arguments.value("exit_status", Json(0)), nullptr);
    }
  }
  EXPECT_TRUE(lost_end) << shown.dump(2);
  EXPECT_EQ(shipped_log(admin, id), expected);
  EXPECT_EQ(attempt_log(admin, id, 1), shipped_by_a);

  // A returns with its state file while B is away: it learns that its kept
  // action is no longer its own, stops that container, writes nothing into
  // attempt 2, and takes the next action.
  b.child->send_signal(SIGTERM);
  b.child->wait();
  a.start(backend, tls.ca_file(), {"--instance-id", a.instance, "--drain"});
  EXPECT_TRUE(wait_until([&] { return !engine.running("stale-a"); }, 30s))
      << Json(engine.lines()).dump() << "\n"
      << said();
  EXPECT_TRUE(wait_until(
      [&] {
        return read_file(a.output()).find("Kept action " + id + " was taken from this machine") !=
               std::string::npos;
      },
      10s));
  const std::string next = submit();
  ASSERT_TRUE(ended(next, 60s)) << said();
  EXPECT_EQ(admin.show(next)["assignedTo"], a.instance);
  EXPECT_EQ(admin.show(next)["exitStatus"], 0);
  EXPECT_EQ(shipped_log(admin, id), expected);
  EXPECT_EQ(attempt_log(admin, id, 1), shipped_by_a);
  EXPECT_EQ(admin.show(id)["attempt"], 2);

  // A drained while it runs an action: that action finishes, the queued
  // one waits; undrained, A takes it, and a drain with a deadline shorter
  // than the action ends it as drained.
  const std::string running = submit();
  ASSERT_TRUE(held_by_a(running));
  admin.drain_machine(a.instance, std::chrono::seconds(120));
  const std::string waiting = submit();
  ASSERT_TRUE(ended(running, 60s)) << said();
  EXPECT_EQ(admin.show(running)["endCause"], "exited");
  std::this_thread::sleep_for(2s);  // two more polls
  EXPECT_EQ(admin.show(waiting)["state"], "queued");
  EXPECT_EQ(admin.machine(a.instance)["mode"], "draining");
  admin.undrain_machine(a.instance);
  ASSERT_TRUE(held_by_a(waiting));
  admin.drain_machine(a.instance, std::chrono::seconds(1));
  ASSERT_TRUE(ended(waiting, 60s)) << said();
  EXPECT_EQ(admin.show(waiting)["endCause"], "drained");

  // The agent stopping with its own drain shows its machine as draining
  // while its last action ends.
  admin.undrain_machine(a.instance);
  const std::string last = submit();
  ASSERT_TRUE(held_by_a(last));
  a.child->send_signal(SIGTERM);
  EXPECT_TRUE(wait_until(
      [&] {
        std::this_thread::sleep_for(100ms);
        return admin.machine(a.instance).value("drainedBy", Json()) == Json("agent");
      },
      10s))
      << admin.machine(a.instance).dump();
  EXPECT_EQ(a.child->wait(), process::ExitStatus::exited(0));
  EXPECT_EQ(admin.show(last)["endCause"], "exited");
  EXPECT_EQ(admin.machine(a.instance)["mode"], "draining");

  std::printf(
      "machine lost mid-job: its action ran again to its end %.1f s after the kill "
      "(--lost-after 5 s); %zu of %zu log bytes shipped by the lost machine\n",
      in_seconds(rerun - killed), shipped_by_a.size(), expected.size());
}

}  // namespace
}  // namespace tavoren::testing
