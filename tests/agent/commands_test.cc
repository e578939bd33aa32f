// The operator's commands on temporary databases: what they write, what
// they print, and what they refuse without writing anything.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "agent_testing.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/workspace_fetch.h"
#include "test_archives.h"
#include "test_support.h"

namespace tavoren {
namespace {

using testing::AgentRun;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::run_agent;
using testing::TempDir;

constexpr int kRefused = 1;
constexpr int kUsage = 2;

class AgentCommands : public ::testing::Test {
 protected:
  std::string db() const { return (dir_.path() / "agent.db").string(); }
  bool db_exists() const { return std::filesystem::exists(dir_.path() / "agent.db"); }

  // Runs a command against this test's database.
  AgentRun agent(std::vector<std::string> args,
                 const std::optional<std::string>& input = std::nullopt) {
    // After the command's name, so that no option takes it as its value.
    args.insert(args.empty() ? args.end() : args.begin() + 1, "--backend=" + db());
    return run_agent(args, input);
  }

  std::string submit_ok(const std::string& record) {
    AgentRun run = agent({"submit"}, record);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::string id = run.out;
    if (!id.empty() && id.back() == '\n') id.pop_back();
    return id;
  }

  // Everything an operator can read back: the queue, every action with its
  // history and log, and the settings.
  std::string snapshot() {
    backend::LocalScaling scaling({.database = db()});
    Json everything;
    const Json list = scaling.list();
    everything["list"] = list;
    for (const Json& action : list) {
      std::string id = action.at("_id");
      everything["show"][id] = scaling.show(id);
      everything["logs"][id] = scaling.logs(id).content;
    }
    everything["configuration"] = scaling.configuration();
    return everything.dump();
  }

  TempDir dir_;
};

const char kRecord[] =
    R"({"action": "data_import", "_idUser": "u1", "actionDetails": {"docker": "img:1"},
        "jobParams": {"dataset": "cats"}})";

TEST_F(AgentCommands, RefusedRecordsWriteNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string message;
  };
  // A record nested 60,000 levels deep, and a value 129 levels deep.
  const std::string deep = R"({"action": "data_import", "actionDetails": {"docker": "img:1"},
        "jobParams": )" + std::string(60000, '[') +
                           std::string(60000, ']') + "}";
  const std::string deep_value = std::string(129, '[') + std::string(129, ']');
  const std::vector<Case> cases = {
      {{"submit"}, deep, kRefused, "the action record is refused: JSON nests deeper than 128"},
      {{"submit", "--type", "data_import", "--image", "img:1", "--param", "p=" + deep_value},
       "",
       kRefused,
       "the value is refused: JSON nests deeper than 128 levels"},
      {{"submit"}, "{not json", kRefused, "not valid JSON"},
      {{"submit"}, "", kRefused, "not valid JSON"},
      {{"submit"}, R"([{"action": "data_import"}])", kRefused, "must be a JSON object"},
      {{"submit"}, R"("data_import")", kRefused, "must be a JSON object"},
      {{"submit"}, R"({"action": "dance", "actionDetails": {}})", kRefused, "dance"},
      {{"submit"}, R"({"action": "data_import"})", kRefused, "actionDetails"},
      {{"submit"}, R"({"action": "data_import", "actionDetails": []})", kRefused, "actionDetails"},
      {{"submit"},
       R"({"_id": "0123456789abcdef01234567", "action": "data_import", "actionDetails": {}})",
       kRefused,
       "_id"},
      {{"submit", "--type", "dance"}, "", kRefused, "dance"},
      {{"submit", "--image", "img:1"}, "", kUsage, "--type"},
      {{"submit", "--type", "data_import", "--param", "novalue"}, "", kUsage, "name=value"},
      {{"submit", "--type", "data_import", "--param", "=x"}, "", kUsage, "name=value"},
      {{"submit", "--type", "data_import", "record.json"}, "", kUsage, "not both"},
      {{"submit", "--type"}, "", kUsage, "needs a value"},
      {{"submit", "--frobnicate"}, "", kUsage, "unknown option --frobnicate"},
      {{"submit", "a.json", "b.json"}, "", kUsage, "at most one"},
      {{"submit", "missing.json"}, "", kRefused, "cannot read"},
  };

  // On a missing database: no file appears.
  for (const Case& c : cases) {
    AgentRun run = agent(c.args, c.input);
    const std::string input = c.input.substr(0, 200);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(c.args) << input;
    EXPECT_THAT(run.err, HasSubstr(c.message)) << ::testing::PrintToString(c.args) << input;
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_FALSE(db_exists()) << ::testing::PrintToString(c.args) << input;
    EXPECT_FALSE(std::filesystem::exists(backend::own_key_path(db())));
  }

  // On a database in use: its contents stay as they were.
  submit_ok(kRecord);
  const std::string before = snapshot();
  for (const Case& c : cases) {
    AgentRun run = agent(c.args, c.input);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(c.args) << c.input;
  }
  EXPECT_EQ(snapshot(), before);
}

// The database holds the backend's secrets: a folder the agent makes for it
// is the agent's user's alone, and a folder that exists keeps its mode.
TEST_F(AgentCommands, ADatabaseFolderTheAgentCreatesIsPrivate) {
  const std::filesystem::path made = dir_.path() / "state" / "tavoren" / "agent.db";
  AgentRun run =
      run_agent({"config", "data-processing-image", "img:1", "--backend", made.string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  auto mode = [](const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
  };
  EXPECT_EQ(mode(made.parent_path()), std::filesystem::perms::owner_all);
  EXPECT_EQ(mode(made), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  const std::filesystem::path shared = dir_.path() / "shared";
  std::filesystem::create_directory(shared);
  std::filesystem::permissions(shared, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
  run = run_agent(
      {"config", "data-processing-image", "img:1", "--backend", (shared / "agent.db").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(mode(shared), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                              std::filesystem::perms::group_exec);
}

TEST_F(AgentCommands, ReadingCommandsNeverCreateADatabase) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"list"},
                                             {"show", "0123456789abcdef01234567"},
                                             {"logs", "0123456789abcdef01234567"},
                                             {"scale-down", "0123456789abcdef01234567"},
                                             {"config", "show"}}) {
    AgentRun run = agent(args);
    EXPECT_EQ(run.exit_status, kRefused) << args[0];
    EXPECT_THAT(run.err, HasSubstr("no agent database at " + db())) << args[0];
  }
  EXPECT_FALSE(db_exists());
}

TEST_F(AgentCommands, UnknownActionsAndBadArgumentsAreRefusedWithoutWriting) {
  std::string id = submit_ok(kRecord);
  const std::string before = snapshot();
  const std::string unknown = "ffffffffffffffffffffffff";

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"show", unknown}, kRefused, unknown},
      {{"logs", unknown}, kRefused, unknown},
      {{"scale-down", unknown}, kRefused, unknown},
      {{"show"}, kUsage, "one action identifier"},
      {{"show", id, id}, kUsage, "one action identifier"},
      {{"show", ""}, kUsage, "empty"},
      {{"logs", id, "--interval", "0", "--follow"}, kUsage, "--interval"},
      {{"list", "extra"}, kUsage, "no arguments"},
      {{"frobnicate"}, kUsage, "unknown command"},
      {{"config"}, kUsage, "which setting"},
      {{"config", "colour", "blue"}, kUsage, "unknown setting"},
      {{"config", "registry", "only-user"}, kUsage, "config registry <username> <password>"},
      {{"config", "registry", "u", "p", "r", "extra"}, kUsage, "wrong number"},
      {{"config", "key-pair", "u1", "ak"}, kUsage, "config key-pair"},
      {{"config", "data-processing-image"}, kUsage, "config data-processing-image"},
      {{"config", "show", "extra"}, kUsage, "no arguments"},
      {{"config", "shutdown", "soon", "10", "aws"}, kRefused, "must be a number"},
      {{"config", "shutdown", "-1", "10", "aws"}, kRefused, ""},
      {{"config", "codebase", "yolo", "ftp://example.invalid/x.zip"}, kRefused, ""},
      {{"config", "codebase", "yolo", "file:///srv/yolo.zip"},
       kRefused,
       "downloads codebases over HTTP and HTTPS only"},
      {{"config", "internal-api-key", unknown, "key"}, kRefused, unknown},
  };
  for (const Case& c : cases) {
    AgentRun run = agent(c.args);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(c.args) << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.message)) << ::testing::PrintToString(c.args);
    EXPECT_THAT(run.err, Not(IsEmpty())) << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(snapshot(), before);
}

TEST_F(AgentCommands, SubmitListShowRoundTrip) {
  // From a file, and from flags with typed values.
  std::filesystem::path file = dir_.write("record.json", kRecord);
  AgentRun from_file = agent({"submit", file.string()});
  ASSERT_EQ(from_file.exit_status, 0) << from_file.err;
  std::string first = from_file.out.substr(0, from_file.out.size() - 1);
  EXPECT_EQ(from_file.out, first + "\n");
  EXPECT_EQ(first.size(), 24u);

  AgentRun from_flags = agent({"submit", "--type", "model_train", "--image", "trainer:2", "--param",
                               "epochs=3", "--param", "name=first run", "--param",
                               "opts={\"lr\": 0.5}", "--detail", "gpuRequired=true"});
  ASSERT_EQ(from_flags.exit_status, 0) << from_flags.err;
  std::string second = from_flags.out.substr(0, from_flags.out.size() - 1);
  EXPECT_NE(second, first);

  // The list, oldest first, both queued.
  AgentRun listed = agent({"list", "--json"});
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  Json list = Json::parse(listed.out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["_id"], first);
  EXPECT_EQ(list[0]["action"], "data_import");
  EXPECT_EQ(list[1]["_id"], second);
  EXPECT_EQ(list[1]["state"], "queued");
  AgentRun table = agent({"list"});
  EXPECT_THAT(table.out, HasSubstr(first + "  data_import  queued  queued"));
  EXPECT_THAT(table.out, HasSubstr(second + "  model_train"));

  // show: the record as built from the flags.
  AgentRun shown = agent({"show", second});
  ASSERT_EQ(shown.exit_status, 0) << shown.err;
  Json record = Json::parse(shown.out)["record"];
  EXPECT_EQ(record["action"], "model_train");
  EXPECT_EQ(record["actionDetails"]["docker"], "trainer:2");
  EXPECT_EQ(record["actionDetails"]["gpuRequired"], true);
  EXPECT_EQ(record["jobParams"]["epochs"], 3);
  EXPECT_EQ(record["jobParams"]["name"], "first run");
  EXPECT_EQ(record["jobParams"]["opts"]["lr"], 0.5);

  // scale-down: marked in the list and in the history; twice is harmless.
  EXPECT_EQ(agent({"scale-down", first}).exit_status, 0);
  EXPECT_EQ(agent({"scale-down", first}).exit_status, 0);
  list = Json::parse(agent({"list", "--json"}).out);
  EXPECT_EQ(list[0]["scaledDown"], true);
  EXPECT_EQ(list[1]["scaledDown"], false);
  EXPECT_THAT(agent({"list"}).out, HasSubstr(first + "  data_import  queued  queued  scaled-down"));
}

TEST_F(AgentCommands, LogsPrintsTheShippedBytesExactly) {
  std::string id = submit_ok(kRecord);
  // A log as an agent ships it: in pieces, with bytes that are not UTF-8.
  const std::string piece1 = "epoch 1\nloss \xff\xfe 0.5\n";
  const std::string piece2 = std::string("half a line, then a NUL \0 byte", 31);
  {
    backend::LocalScaling scaling({.database = db()});
    ASSERT_FALSE(
        scaling.update_action_docker_logs({{"action_record_id", id}, {"log_content", piece1}})
            .error.has_value());
  }
  AgentRun first = agent({"logs", id});
  ASSERT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(first.out, piece1);
  {
    backend::LocalScaling scaling({.database = db()});
    scaling.update_action_docker_logs({{"action_record_id", id}, {"log_content", piece2}});
  }
  EXPECT_EQ(agent({"logs", id}).out, piece1 + piece2);
  // An action without log prints nothing.
  std::string quiet = submit_ok(kRecord);
  AgentRun none = agent({"logs", quiet});
  EXPECT_EQ(none.exit_status, 0);
  EXPECT_THAT(none.out, IsEmpty());
}

// The operator's tools read the database while a running agent writes it:
// they must neither fail on the agent's write lock nor see half a shipment,
// and a follower must print everything and end with the action.
TEST_F(AgentCommands, ToolsReadWhileAnAgentWritesAndAFollowerEndsWithTheAction) {
  std::string id = submit_ok(kRecord);
  backend::LocalScaling agent_side({.database = db(), .instance_id = "agent-1"});
  ASSERT_EQ(agent_side.assign_jobs(false).data.size(), 1u);

  std::atomic<bool> writing{true};
  std::vector<AgentRun> reads;
  std::thread reader([&] {
    while (writing.load()) {
      reads.push_back(agent({"list"}));
      reads.push_back(agent({"show", id}));
    }
  });
  AgentRun follow;
  std::thread follower([&] { follow = agent({"logs", id, "--follow", "--interval", "0.05"}); });

  std::string expected;
  for (int i = 0; i < 300; ++i) {
    std::string piece = "line " + std::to_string(i) + " " + std::string(i % 7 * 50, 'x') + "\n";
    ASSERT_FALSE(
        agent_side.update_action_docker_logs({{"action_record_id", id}, {"log_content", piece}})
            .has_error_set());
    agent_side.update_action_status({{"action_record_id", id}, {"status", "running"}, {"step", i}});
    expected += piece;
  }
  agent_side.record_exit(id, 0);
  follower.join();
  writing = false;
  reader.join();

  EXPECT_EQ(follow.exit_status, 0) << follow.err;
  EXPECT_EQ(follow.out, expected);
  EXPECT_THAT(follow.err, HasSubstr("ended with exit status 0"));
  ASSERT_FALSE(reads.empty());
  for (const AgentRun& read : reads) {
    ASSERT_EQ(read.exit_status, 0) << read.err;
  }
  EXPECT_THAT(agent({"list"}).out, HasSubstr(id + "  data_import  running  ended (exit 0)"));
}

TEST_F(AgentCommands, ConfigSetsWhatTheBackendAnswers) {
  ASSERT_EQ(
      agent({"config", "registry", "robot", "s3cret-pass", "registry.local:5000"}).exit_status, 0);
  ASSERT_EQ(agent({"config", "data-processing-image", "dp:7"}).exit_status, 0);
  ASSERT_EQ(agent({"config", "shutdown", "0.5", "60", "local"}).exit_status, 0);
  // A codebase served on loopback, as the agent downloads it.
  workspace_fetch::testing::FileServer files;
  files.serve("yolo.zip", workspace_fetch::testing::make_zip(
                              {workspace_fetch::testing::file("yolo/train.py", "print(1)\n")}));
  const std::string codebase_url = files.url("yolo.zip");
  ASSERT_EQ(agent({"config", "codebase", "yolo", codebase_url}).exit_status, 0);

  backend::LocalScaling scaling({.database = db(), .own_key_file = true});
  backend::Result credentials = scaling.get_docker_hub_credentials();
  ASSERT_FALSE(credentials.error.has_value());
  EXPECT_EQ(credentials.data["username"], "robot");
  EXPECT_EQ(credentials.data["password"], "s3cret-pass");
  EXPECT_EQ(credentials.data["registry"], "registry.local:5000");
  EXPECT_EQ(scaling.get_data_processing_image(), "dp:7");
  EXPECT_EQ(scaling.get_shutdown_details()["launchDuration"], 60);
  // A family configured without requirements has none.
  EXPECT_EQ(scaling.get_model_codebase("yolo").data, codebase_url);
  EXPECT_TRUE(scaling.get_model_codebase_requirements("yolo").has_error());
  // What the backend answers is what the agent fetches into a workspace.
  TempDir work;
  workspace_fetch::setup_workspace_and_run_task(work.path().string(), "65f1a2b3c4d5e6f708192a3b",
                                                text_of(scaling.get_model_codebase("yolo").data),
                                                std::nullopt, {.allow_loopback = true});
  EXPECT_EQ(testing::read_file(work.path() / "65f1a2b3c4d5e6f708192a3b" / "train.py"),
            "print(1)\n");

  // "config show" never prints the password.
  AgentRun shown = agent({"config", "show"});
  ASSERT_EQ(shown.exit_status, 0);
  EXPECT_THAT(shown.out, HasSubstr("robot"));
  EXPECT_THAT(shown.out, HasSubstr("dp:7"));
  EXPECT_THAT(shown.out, Not(HasSubstr("s3cret-pass")));

  // A secret read from standard input, its line end dropped; two such
  // arguments are a usage error that changes nothing.
  ASSERT_EQ(agent({"config", "registry", "robot", "-"}, "piped pass\n").exit_status, 0);
  EXPECT_EQ(scaling.get_docker_hub_credentials().data["password"], "piped pass");
  ASSERT_EQ(agent({"config", "model-secret", "hub", "-"}, "hf_token").exit_status, 0);
  EXPECT_EQ(scaling.get_model_secret_keys("hub").data["user_access_token"], "hf_token");
  EXPECT_EQ(agent({"config", "key-pair", "u1", "-", "-"}, "a\nb\n").exit_status, kUsage);
  EXPECT_TRUE(scaling.get_user_access_key_pair("u1").has_error_set());
}

// Without an encryption key, the embedded backend seals its secrets under a
// key of its own, kept beside the database: neither the database's bytes
// nor a reader without that file get them, and the agent does.
TEST_F(AgentCommands, SecretsAreSealedUnderTheDatabasesOwnKeyWhenNoneIsGiven) {
  ASSERT_EQ(agent({"config", "registry", "robot", "-"}, "registry-pass-1\n").exit_status, 0);
  ASSERT_EQ(agent({"config", "model-secret", "hub", "-"}, "hub-token-1\n").exit_status, 0);
  ASSERT_EQ(agent({"config", "key-pair", "u1", "AKIDOWNER1", "-"}, "owner-secret-1\n").exit_status,
            0);

  const std::filesystem::path key_file = backend::own_key_path(db());
  ASSERT_TRUE(std::filesystem::exists(key_file));
  EXPECT_EQ(std::filesystem::status(key_file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::string stored;
  for (const char* suffix : {"", "-wal"}) {
    if (std::filesystem::exists(db() + suffix)) stored += testing::read_file(db() + suffix);
  }
  for (const char* secret : {"registry-pass-1", "hub-token-1", "owner-secret-1", "AKIDOWNER1"}) {
    EXPECT_THAT(stored, Not(HasSubstr(secret))) << secret;
  }

  // The agent's own view, which reads the same file, gets each in clear.
  backend::LocalScaling agent_view({.database = db(), .own_key_file = true});
  EXPECT_EQ(agent_view.get_docker_hub_credentials().data["password"], "registry-pass-1");
  EXPECT_EQ(agent_view.get_model_secret_keys("hub").data["user_access_token"], "hub-token-1");
  const backend::Result pair = agent_view.get_user_access_key_pair("u1");
  ASSERT_FALSE(pair.has_error_set()) << pair.message;
  EXPECT_EQ(pair.data["access_key"], "AKIDOWNER1");
  EXPECT_EQ(pair.data["secret_key"], "owner-secret-1");

  // A reader without the key file gets nothing.
  backend::LocalScaling without_key({.database = db()});
  const backend::Result refused = without_key.get_docker_hub_credentials();
  ASSERT_TRUE(refused.has_error());
  EXPECT_THAT(*refused.error, Not(HasSubstr("registry-pass-1")));

  // A key file others may read is refused, not used.
  std::filesystem::permissions(key_file, std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  AgentRun open_key = agent({"config", "data-processing-image", "dp:1"});
  EXPECT_EQ(open_key.exit_status, kRefused);
  EXPECT_THAT(open_key.err, HasSubstr("mode 0600"));
}

// The operator's view and control of the machines: each command is the
// store's call of the same name, refusals are the store's, and misuse is a
// usage error that changes nothing.
TEST_F(AgentCommands, MachinesAreListedShownSetDrainedAndOnlyLostOnesForgotten) {
  const std::string id = submit_ok(kRecord);
  {
    backend::LocalScaling store({.database = db()});
    store.set_machine("box", backend::MachineChange{.gpus = 0, .max_actions = 2}, true);
    ASSERT_EQ(store.for_instance("box")->assign_jobs(false).data.size(), 1u);
  }
  AgentRun listed = agent({"machines", "list"});
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_THAT(listed.out, HasSubstr("box  alive  active"));
  EXPECT_THAT(listed.out, HasSubstr("1/2 actions  0 GPUs"));

  AgentRun set = agent({"machines", "set", "box", "--gpus", "as-reported", "--max-actions", "5",
                        "--label", "zone=eu", "--label", "rack=7"});
  ASSERT_EQ(set.exit_status, 0) << set.err;
  AgentRun drained = agent({"machines", "drain", "box", "--deadline", "60"});
  ASSERT_EQ(drained.exit_status, 0) << drained.err;
  AgentRun shown = agent({"machines", "show", "box", "--json"});
  ASSERT_EQ(shown.exit_status, 0) << shown.err;
  const Json machine = Json::parse(shown.out);
  EXPECT_EQ(machine["maxActions"], 5);
  EXPECT_EQ(machine["gpus"], nullptr);
  EXPECT_EQ(machine["labels"], (Json{{"rack", "7"}, {"zone", "eu"}}));
  EXPECT_EQ(machine["mode"], "draining");
  EXPECT_THAT(agent({"machines", "list"}).out, HasSubstr("box  alive  draining (by operator)"));
  ASSERT_EQ(machine["actions"].size(), 1u);
  EXPECT_EQ(machine["actions"][0]["_id"], id);
  EXPECT_EQ(agent({"machines", "undrain", "box"}).exit_status, 0);
  EXPECT_THAT(agent({"machines", "list", "--json"}).out, HasSubstr("\"mode\":\"active\""));

  AgentRun alive = agent({"machines", "forget", "box"});
  EXPECT_EQ(alive.exit_status, 1);
  EXPECT_THAT(alive.err, HasSubstr("not lost"));
  EXPECT_EQ(agent({"machines", "show", "nobody"}).exit_status, 1);
  const std::string before = snapshot();
  for (const std::vector<std::string>& misuse : {std::vector<std::string>{"machines"},
                                                 {"machines", "reboot", "box"},
                                                 {"machines", "set", "box"},
                                                 {"machines", "set", "box", "--gpus", "-1"},
                                                 {"machines", "set", "box", "--label", "=x"},
                                                 {"machines", "drain"}}) {
    EXPECT_EQ(agent(misuse).exit_status, kUsage) << misuse.back();
  }
  EXPECT_EQ(snapshot(), before);
  // An action has only the attempts it was handed out for.
  AgentRun earlier = agent({"logs", "--attempt", "2", id});
  EXPECT_EQ(earlier.exit_status, 1);
  EXPECT_THAT(earlier.err, HasSubstr("has no attempt 2"));
}

TEST_F(AgentCommands, HelpForEveryCommandWritesNothing) {
  for (const char* command :
       {"run", "submit", "list", "show", "logs", "scale-down", "config", "machines"}) {
    AgentRun help = agent({command, "--help"});
    EXPECT_EQ(help.exit_status, 0) << command;
    EXPECT_THAT(help.out, HasSubstr("usage: ")) << command;
    EXPECT_THAT(help.out, HasSubstr(command)) << command;
  }
  AgentRun top = run_agent({"--help"});
  EXPECT_EQ(top.exit_status, 0);
  EXPECT_THAT(top.out, HasSubstr("scale-down"));
  EXPECT_EQ(run_agent({}).exit_status, kUsage);
  EXPECT_FALSE(db_exists());
}

}  // namespace
}  // namespace tavoren
