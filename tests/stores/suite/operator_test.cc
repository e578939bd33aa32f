// The operator's side: submissions and their refusals, settings and what
// the agent is answered without them, key pairs at rest, scale-downs, free
// ports, and a database file that outlives its objects.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "local_backend_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/host_probe.h"

namespace tavoren::local_backend_testing {
namespace {

using backend::DatabaseError;
using backend::NotConfiguredError;
using backend::Result;

// Takes a file of the current schema back to version 9: model secrets
// without owners (the platform's defaults kept), no transport keys, no
// nonces, no count of the reports' bytes, no machine samples, no GPU
// memory figures for placement.
#define TAVOREN_BACK_TO_VERSION_NINE                                                          \
  "ALTER TABLE actions DROP COLUMN gpu_memory_mib; ALTER TABLE machines DROP COLUMN "         \
  "gpu_free_max_mib; ALTER TABLE machines DROP COLUMN gpu_free_sum_mib; "                     \
  "ALTER TABLE machines DROP COLUMN gpu_total; ALTER TABLE machines DROP COLUMN gpu_healthy; " \
  "ALTER TABLE machines DROP COLUMN held_at_most; "                                           \
  "DROP TABLE machine_samples; DROP TABLE transport_keys; CREATE TABLE secrets_9 (name TEXT " \
  "PRIMARY KEY, "                                                                             \
  "user_access_token TEXT NOT NULL); INSERT INTO secrets_9 SELECT name, user_access_token "   \
  "FROM model_secrets WHERE owner = ''; DROP TABLE model_secrets; "                           \
  "ALTER TABLE secrets_9 RENAME TO model_secrets; DROP TABLE request_nonces; "                \
  "ALTER TABLE actions DROP COLUMN report_bytes; PRAGMA user_version = 9; "
constexpr const char* kBackToVersionNine = TAVOREN_BACK_TO_VERSION_NINE;

// Back to version 8: the pieces of the current attempt in a table of their
// own, those of earlier attempts in another.
constexpr const char* kBackToVersionEight = TAVOREN_BACK_TO_VERSION_NINE
    "CREATE TABLE attempt_logs (action_id TEXT NOT NULL REFERENCES actions (id), attempt "
    "INTEGER NOT NULL, start_offset INTEGER NOT NULL, content BLOB NOT NULL, PRIMARY KEY "
    "(action_id, attempt, start_offset)) WITHOUT ROWID; "
    "CREATE TABLE current_pieces (action_id TEXT NOT NULL REFERENCES actions (id), start_offset "
    "INTEGER NOT NULL, content BLOB NOT NULL, PRIMARY KEY (action_id, start_offset)) WITHOUT "
    "ROWID; "
    "INSERT INTO attempt_logs SELECT p.action_id, p.attempt, p.start_offset, p.content FROM "
    "log_pieces p JOIN actions a ON a.id = p.action_id WHERE p.attempt < a.attempt; "
    "INSERT INTO current_pieces SELECT p.action_id, p.start_offset, p.content FROM log_pieces p "
    "JOIN actions a ON a.id = p.action_id WHERE p.attempt >= a.attempt; "
    "DROP TABLE log_pieces; ALTER TABLE current_pieces RENAME TO log_pieces; "
    "PRAGMA user_version = 8; ";

// Back to version 6: no machines, no attempts, no causes of ends.
const std::string kBackToVersionSix =
    std::string(kBackToVersionEight) +
    "DROP TABLE attempt_logs; DROP TABLE attempts; DROP INDEX actions_live_by_instance; "
    "DROP TABLE machines; ALTER TABLE actions DROP COLUMN attempt; ALTER TABLE actions DROP "
    "COLUMN requeues; ALTER TABLE actions DROP COLUMN end_cause; ALTER TABLE actions DROP COLUMN "
    "scale_down_cause; PRAGMA user_version = 6; ";

class OperatorTest : public BackendTest {
 protected:
  // Submits an action of `user` and lets `agent` take it: a server answers
  // an instance's owner keys and internal keys only for such an action.
  static std::string taken_action_of(StoreUnderTest& agent, const std::string& user = "user-1") {
    Json record = action_record();
    record["_idUser"] = user;
    const std::string id = agent.submit(record);
    const Result taken = agent.assign_jobs(false);
    EXPECT_EQ(taken.data.size(), 1u);
    return id;
  }
};

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

template <typename Error>
void expect_refused(const std::function<void()>& call, const std::string& fragment) {
  try {
    call();
    ADD_FAILURE() << "not refused; expected: " << fragment;
  } catch (const Error& e) {
    EXPECT_TRUE(contains(e.what(), fragment)) << e.what() << " lacks " << fragment;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "refused with the wrong kind of error: " << e.what();
  }
}

TEST_F(OperatorTest, SubmitStoresTheRecordUnderAFreshIdentifierInItsOwnKeyOrder) {
  StoreUnderTest backend(options());
  Json record = Json::object();
  record["jobParams"] = Json{{"b", 1}, {"a", 2}};
  record["status"] = "whatever the operator wrote";
  record["action"] = "kafka_setup";
  record["actionDetails"] = Json{{"zeta", 1}, {"alpha", {{"y", true}, {"x", nullptr}}}};
  record["_idService"] = "service-9";

  std::set<std::string> ids;
  for (int i = 0; i < 20; ++i) ids.insert(backend.submit(record));
  ASSERT_EQ(ids.size(), 20u);
  for (const std::string& id : ids) {
    ASSERT_EQ(id.size(), 24u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_NE(id, backend::kNullActionId);
  }

  const std::string id = *ids.begin();
  const Json stored = backend.show(id)["record"];
  std::vector<std::string> keys;
  for (const auto& [key, value] : stored.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"_id", "jobParams", "status", "action", "actionDetails",
                                            "_idService"}));
  EXPECT_EQ(stored["_id"], id);
  EXPECT_EQ(stored["status"], "queued");
  EXPECT_EQ(stored["actionDetails"].dump(), record["actionDetails"].dump());
  EXPECT_EQ(stored["jobParams"].dump(), R"({"b":1,"a":2})");

  const Json listed = backend.list();
  ASSERT_EQ(listed.size(), 20u);
  EXPECT_EQ(listed[0]["action"], "kafka_setup");
  EXPECT_EQ(listed[0]["status"], "queued");
  EXPECT_EQ(listed[0]["state"], "queued");
  EXPECT_EQ(listed[0]["assignedTo"], nullptr);
  EXPECT_EQ(listed[0]["scaledDown"], false);
}

TEST_F(OperatorTest, EveryActionTypeOfTheAgentIsAcceptedAndNoOther) {
  StoreUnderTest backend(options());
  ASSERT_EQ(StoreUnderTest::action_types().size(), 15u);
  for (const std::string& type : StoreUnderTest::action_types()) {
    EXPECT_NO_THROW(backend.submit(action_record(type))) << type;
  }
  expect_refused<ValueError>([&] { backend.submit(action_record("model_training")); },
                             "Unknown action type \"model_training\"");
  EXPECT_EQ(rows("actions"), 15);
}

TEST_F(OperatorTest, InvalidSubmissionsAreRefusedAndWriteNothing) {
  StoreUnderTest backend(options());
  auto with = [](const char* key, Json value) {
    Json record = action_record();
    record[key] = std::move(value);
    return record;
  };
  auto without = [](const char* key) {
    Json record = action_record();
    record.erase(key);
    return record;
  };
  auto details_with = [](const char* key, Json value) {
    Json record = action_record();
    record["actionDetails"][key] = std::move(value);
    return record;
  };

  expect_refused<TypeError>([&] { backend.submit(Json::array({action_record()})); },
                            "must be a JSON object, not array");
  expect_refused<TypeError>([&] { backend.submit(Json("data_split")); }, "not string");
  expect_refused<ValueError>([&] { backend.submit(with("_id", "0123456789abcdef01234567")); },
                             "must not carry \"_id\"");
  expect_refused<KeyError>([&] { backend.submit(without("action")); }, "no \"action\"");
  expect_refused<TypeError>([&] { backend.submit(with("action", 3)); },
                            "\"action\" must be a text");
  expect_refused<ValueError>([&] { backend.submit(with("action", "")); },
                             "known types: model_train");
  expect_refused<KeyError>([&] { backend.submit(without("actionDetails")); },
                           "no \"actionDetails\"");
  expect_refused<TypeError>([&] { backend.submit(with("actionDetails", "{}")); },
                            "\"actionDetails\" must be a JSON object");
  expect_refused<TypeError>([&] { backend.submit(with("jobParams", Json::array())); },
                            "\"jobParams\" must be a JSON object");
  expect_refused<TypeError>([&] { backend.submit(with("_idUser", 12)); }, "\"_idUser\"");
  expect_refused<TypeError>([&] { backend.submit(details_with("modelFamily", Json::array())); },
                            "\"modelFamily\"");
  expect_refused<TypeError>([&] { backend.submit(details_with("gpuRequired", "yes")); },
                            "\"gpuRequired\"");
  expect_refused<ValueError>(
      [&] { backend.submit(details_with("modelKey", std::string("bad \xff text"))); },
      "not valid UTF-8");

  EXPECT_EQ(rows("actions"), 0);
  EXPECT_EQ(rows("status_history"), 0);
  EXPECT_EQ(backend.list(), Json::array());
}

TEST_F(OperatorTest, UnconfiguredSettingsAreAnsweredAsErrorsNamingTheirCommand) {
  StoreUnderTest backend(options("instance-1"));
  const std::string id = taken_action_of(backend);

  const std::pair<Result, std::string> refusals[] = {
      {backend.get_model_codebase("yolo"), "config codebase"},
      {backend.get_model_codebase_requirements("yolo"), "config codebase"},
      {backend.get_docker_hub_credentials(), "config registry"},
      {backend.get_user_access_key_pair("user-1"), "config key-pair"},
      {backend.get_model_secret_keys("hugging_face"), "config model-secret"},
      {backend.get_internal_api_key(id), "config internal-api-key"},
  };
  for (const auto& [result, command] : refusals) {
    ASSERT_TRUE(result.has_error()) << command;
    EXPECT_TRUE(contains(*result.error, "is not configured; set it with: " + command))
        << *result.error;
    EXPECT_EQ(result.message, *result.error);
    EXPECT_EQ(result.kind, backend::refusal_kind::kNotConfigured) << command;
    EXPECT_TRUE(result.data.is_null()) << result.data.dump();
  }
  EXPECT_TRUE(contains(*refusals[0].first.error, "\"yolo\""));
  EXPECT_TRUE(contains(*refusals[3].first.error, "\"user-1\""));

  expect_refused<NotConfiguredError>([&] { backend.get_data_processing_image(); },
                                     "config data-processing-image");
  expect_refused<NotConfiguredError>([&] { backend.get_shutdown_details(); }, "config shutdown");

  // Nothing unconfigured that has a natural empty answer is refused.
  const Result downscaled = backend.get_downscaled_ids();
  EXPECT_FALSE(downscaled.has_error_set());
  EXPECT_EQ(downscaled.data, Json::array());
}

// The refusal `result` holds is the same, word for word, as `expected`.
void expect_same_refusal(const Result& result, const Result& expected, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_TRUE(result.has_error());
  EXPECT_EQ(result.error, expected.error);
  EXPECT_EQ(result.message, expected.message);
  EXPECT_EQ(result.kind, expected.kind);
  EXPECT_EQ(result.data, expected.data);
}

TEST_F(OperatorTest, AnOwnersSecretIsAnsweredOnlyForItsOwnersLiveActionsAndOtherwiseAsMissing) {
  StoreUnderTest a(options("instance-a"));
  StoreUnderTest b(options("instance-b"));
  const std::string of_a = taken_action_of(a, "owner-a");
  const std::string of_b = taken_action_of(b, "owner-b");
  // What a secret that does not exist gets.
  const Result missing = b.get_model_secret_keys("hugging_face", of_b);
  const Result missing_key = b.get_internal_api_key(of_a);
  ASSERT_TRUE(missing.has_error());
  ASSERT_TRUE(missing_key.has_error());
  EXPECT_EQ(missing.kind, backend::refusal_kind::kNotConfigured);
  EXPECT_EQ(missing_key.kind, backend::refusal_kind::kNotConfigured);

  a.set_model_secret("hugging_face", "token-of-owner-a", "owner-a");
  a.set_internal_api_key(of_a, "internal-key-of-a");
  EXPECT_EQ(a.get_model_secret_keys("hugging_face", of_a).data["user_access_token"],
            "token-of-owner-a");
  EXPECT_EQ(a.get_internal_api_key(of_a).data["internal_api_key"], "internal-key-of-a");
  // Another owner's action, another instance's action, or no action named:
  // the same answer as for a secret that does not exist.
  expect_same_refusal(b.get_model_secret_keys("hugging_face", of_b), missing, "another owner");
  expect_same_refusal(b.get_model_secret_keys("hugging_face", of_a), missing,
                      "another instance's action");
  expect_same_refusal(a.get_model_secret_keys("hugging_face"), missing, "no action named");
  expect_same_refusal(b.get_internal_api_key(of_a), missing_key, "another instance's key");

  // The platform's default goes to every live action whose owner has none
  // of its own.
  a.set_model_secret("hugging_face", "platform-token");
  EXPECT_EQ(b.get_model_secret_keys("hugging_face", of_b).data["user_access_token"],
            "platform-token");
  EXPECT_EQ(b.get_model_secret_keys("hugging_face").data["user_access_token"], "platform-token");
  EXPECT_EQ(a.get_model_secret_keys("hugging_face", of_a).data["user_access_token"],
            "token-of-owner-a");
  EXPECT_EQ(a.configuration()["modelSecrets"],
            Json::array({"hugging_face", "owner-a/hugging_face"}));

  // An ended action has no secrets left.
  a.record_exit(of_a, 0);
  expect_same_refusal(a.get_model_secret_keys("hugging_face", of_a), missing, "ended action");
  expect_same_refusal(a.get_model_secret_keys("hugging_face"), missing, "no live action");
  const Result ended_key = a.get_internal_api_key(of_a);
  ASSERT_TRUE(ended_key.has_error());
  EXPECT_EQ(ended_key.error, missing_key.error);
  EXPECT_EQ(ended_key.kind, backend::refusal_kind::kNotConfigured);
}

TEST_F(OperatorTest, ConfiguredSettingsAreAnsweredInTheShapesTheAgentReads) {
  StoreUnderTest backend(options("instance-1"));
  const std::string id = taken_action_of(backend);

  backend.set_codebase("yolo", "https://code.example/yolo.zip", "http://code.example/yolo/req.txt");
  backend.set_codebase("bare", "http://code.example/bare.zip#sha256=" + std::string(64, 'e'));
  backend.set_registry_credentials("robot", "p@ss word", "registry.example");
  backend.set_model_secret("hugging_face", "hf_token_123");
  backend.set_internal_api_key(id, "internal-key-1");
  backend.set_data_processing_image("registry.example/data:2");
  backend.set_shutdown_details(0.5, 30, "spot");

  EXPECT_EQ(backend.get_model_codebase("yolo").data, "https://code.example/yolo.zip");
  EXPECT_EQ(backend.get_model_codebase_requirements("yolo").data,
            "http://code.example/yolo/req.txt");
  EXPECT_EQ(backend.get_model_codebase("bare").data,
            "http://code.example/bare.zip#sha256=" + std::string(64, 'e'));
  const Result no_requirements = backend.get_model_codebase_requirements("bare");
  EXPECT_TRUE(no_requirements.has_error());
  EXPECT_TRUE(contains(*no_requirements.error, "requirements URL of model family \"bare\""));
  EXPECT_TRUE(no_requirements.data.is_null());

  EXPECT_EQ(backend.get_docker_hub_credentials().data.dump(),
            R"({"username":"robot","password":"p@ss word","registry":"registry.example"})");
  EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data,
            (Json{{"user_access_token", "hf_token_123"}}));
  EXPECT_EQ(backend.get_internal_api_key(id).data, (Json{{"internal_api_key", "internal-key-1"}}));
  EXPECT_EQ(backend.get_data_processing_image(), "registry.example/data:2");
  const Json shutdown = backend.get_shutdown_details();
  EXPECT_EQ(shutdown.dump(),
            R"({"shutdownThreshold":0.5,"launchDuration":30.0,"instanceSource":"spot"})");

  // A later value replaces the earlier one.
  backend.set_registry_credentials("robot2", "other");
  EXPECT_EQ(backend.get_docker_hub_credentials().data.dump(),
            R"({"username":"robot2","password":"other"})");

  // The overview leaves every secret out.
  const Json shown = backend.configuration();
  EXPECT_EQ(shown["registry"], (Json{{"username", "robot2"}}));
  EXPECT_EQ(shown["codebases"]["bare"]["requirementsUrl"], nullptr);
  EXPECT_EQ(shown["modelSecrets"], Json::array({"hugging_face"}));
  EXPECT_EQ(shown["internalApiKeys"], Json::array({id}));
  EXPECT_FALSE(contains(shown.dump(), "other"));
  EXPECT_FALSE(contains(shown.dump(), "hf_token_123"));
  EXPECT_FALSE(contains(shown.dump(), "internal-key-1"));
}

TEST_F(OperatorTest, InvalidSettingsAreRefusedAndLeaveTheSettingUnset) {
  StoreUnderTest backend(options());
  expect_refused<ValueError>([&] { backend.set_codebase("yolo", "ftp://code.example/y.zip"); },
                             "is not an http:// or https:// URL");
  expect_refused<ValueError>([&] { backend.set_codebase("yolo", "file://relative.zip"); }, "URL");
  // The agent cannot download a local path, so it is no codebase either.
  expect_refused<ValueError>([&] { backend.set_codebase("yolo", "file:///srv/yolo.zip"); },
                             "downloads codebases over HTTP and HTTPS only");
  expect_refused<ValueError>(
      [&] { backend.set_codebase("yolo", "https://code.example/y.zip", "file:///srv/req.txt"); },
      "requirements URL");
  expect_refused<ValueError>(
      [&] { backend.set_codebase("yolo", "https://code.example/y.zip", "https://a b"); },
      "requirements URL");
  expect_refused<ValueError>([&] { backend.set_codebase("", "https://code.example/y.zip"); },
                             "model family must not be empty");
  // A fragment names the archive's digest, and nothing else.
  for (const std::string& fragment :
       std::vector<std::string>{"#top", "#sha256=abc", "#sha256=" + std::string(64, 'z'),
                                "#sha256=" + std::string(65, 'a')}) {
    expect_refused<ValueError>(
        [&] { backend.set_codebase("yolo", "https://code.example/y.zip" + fragment); }, "#sha256=");
  }
  expect_refused<ValueError>([&] { backend.set_registry_credentials("", "pw"); }, "user name");
  expect_refused<ValueError>([&] { backend.set_registry_credentials("u", "pw", "--insecure"); },
                             "must not start with \"-\"");
  expect_refused<ValueError>([&] { backend.set_data_processing_image("image name"); }, "blanks");
  expect_refused<ValueError>([&] { backend.set_shutdown_details(0, 10, "spot"); }, "threshold");
  expect_refused<ValueError>([&] { backend.set_shutdown_details(1, -1, "spot"); }, "launch");
  expect_refused<ValueError>([&] { backend.set_shutdown_details(1, 1, ""); }, "instance source");
  expect_refused<ValueError>([&] { backend.set_internal_api_key("ABC", "k"); },
                             "24 lowercase hexadecimal");
  expect_refused<KeyError>([&] { backend.set_internal_api_key("0123456789abcdef01234567", "k"); },
                           "No action");
  expect_refused<ValueError>([&] { backend.set_key_pair("user-1", "", "secret"); }, "access key");

  EXPECT_TRUE(backend.get_model_codebase("yolo").has_error());
  EXPECT_TRUE(backend.get_docker_hub_credentials().has_error());
  EXPECT_THROW(backend.get_data_processing_image(), NotConfiguredError);
  EXPECT_THROW(backend.get_shutdown_details(), NotConfiguredError);
  EXPECT_EQ(rows("settings"), 0);
  EXPECT_EQ(rows("codebases"), 0);
  EXPECT_EQ(rows("internal_api_keys"), 0);
  EXPECT_EQ(rows("key_pairs"), 0);
}

TEST_F(OperatorTest, KeyPairsAreEncryptedAtRestWhenTheEncryptionKeyIsSet) {
  SKIP_WHEN_SERVED("the embedded store's own key; a server seals under its master key");
  const std::string key = "0123456789abcdef0123456789abcdef";
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", key);
    StoreUnderTest backend(options("instance-1"));
    taken_action_of(backend, "owner-1");
    backend.set_key_pair("owner-1", "AKIAOWNER1", "owner-1-secret");

    RawDatabase raw(database());
    const std::string stored_access =
        raw.text("SELECT access_key FROM key_pairs WHERE user_id = ?", "owner-1");
    const std::string stored_secret =
        raw.text("SELECT secret_key FROM key_pairs WHERE user_id = ?", "owner-1");
    EXPECT_FALSE(contains(stored_access, "AKIAOWNER1"));
    EXPECT_FALSE(contains(stored_secret, "owner-1-secret"));
    EXPECT_EQ(raw.integer("SELECT encrypted FROM key_pairs WHERE user_id = ?", "owner-1"), 1);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM key_pairs WHERE access_key LIKE '%AKIAOWNER1%'"),
              0);

    // The agent is answered the stored form and decrypts it with the key.
    const Result pair = backend.get_user_access_key_pair("owner-1");
    ASSERT_FALSE(pair.has_error_set());
    EXPECT_EQ(pair.data["access_key"], stored_access);
    EXPECT_EQ(pair.data["secret_key"], stored_secret);
    const auto clear = host_probe::get_decrypted_access_key_pair(stored_access, stored_secret, key);
    ASSERT_TRUE(clear.has_value());
    EXPECT_EQ(clear->access_key, "AKIAOWNER1");
    EXPECT_EQ(clear->secret_key, "owner-1-secret");
    EXPECT_EQ(backend.configuration()["keyPairs"]["owner-1"]["encrypted"], true);
  }
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", std::nullopt);
    StoreUnderTest backend(options("instance-1"));
    taken_action_of(backend, "owner-2");
    backend.set_key_pair("owner-2", "AKIAOWNER2", "owner-2-secret");
    EXPECT_EQ(backend.get_user_access_key_pair("owner-2").data.dump(),
              R"({"access_key":"AKIAOWNER2","secret_key":"owner-2-secret"})");
    EXPECT_EQ(backend.configuration()["keyPairs"]["owner-2"]["encrypted"], false);
  }
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", "too-short");
    StoreUnderTest backend(options("instance-1"));
    taken_action_of(backend, "owner-3");
    expect_refused<ValueError>([&] { backend.set_key_pair("owner-3", "AKIA3", "secret-3"); },
                               "16, 24 or 32 bytes");
    EXPECT_TRUE(backend.get_user_access_key_pair("owner-3").has_error());
  }
}

// The bytes of the database and its write-ahead log and shared memory.
std::string database_bytes(const std::filesystem::path& database) {
  std::string bytes;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::filesystem::path file = database.string() + suffix;
    if (std::filesystem::exists(file)) bytes += testing::read_file(file);
  }
  return bytes;
}

// What the store keeps at rest: the SQLite file with its log and shared
// memory, or every row of the store's PostgreSQL schema.
std::string stored_bytes(const std::filesystem::path& database) {
  if (store_mode() == StoreMode::kPostgres) return pg_rows_text(database);
  return database_bytes(database);
}

// One stored value, read behind the store's back.
std::string stored_value(const std::filesystem::path& database, const std::string& sql) {
  if (store_mode() == StoreMode::kPostgres) return pg_value(database, sql);
  return RawDatabase(database).text(sql);
}

TEST_F(OperatorTest, EverySecretIsEncryptedAtRestWhenTheEncryptionKeyIsSet) {
  SKIP_WHEN_SERVED("the embedded store's own key; a server seals under its master key");
  const std::string key = "0123456789abcdef0123456789abcdef";
  const std::vector<std::string> secrets = {"registry-pass-7731", "hf_model_token_7731",
                                            "internal-api-key-7731", "owner-secret-7731"};
  std::string id;
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", key);
    StoreUnderTest backend(options("instance-1"));
    id = taken_action_of(backend);
    backend.set_registry_credentials("robot", secrets[0], "registry.example");
    backend.set_model_secret("hugging_face", secrets[1]);
    backend.set_internal_api_key(id, secrets[2]);
    backend.set_key_pair("owner-1", "AKIAOWNER1", secrets[3]);

    // Nothing of them at rest (a SQLite file's log and shared memory
    // included), nor of the key a server made for this instance.
    const std::string bytes = stored_bytes(database());
    ASSERT_TRUE(contains(bytes, "robot")) << "the dump holds the stored rows";
    for (const std::string& secret : secrets) EXPECT_FALSE(contains(bytes, secret)) << secret;
    if (served()) {
      EXPECT_FALSE(contains(bytes, backend.session().secret_key));
    }
    EXPECT_TRUE(stored_value(database(), "SELECT user_access_token FROM model_secrets")
                    .starts_with("tavoren-sealed:v1:"));
    EXPECT_TRUE(stored_value(database(), "SELECT api_key FROM internal_api_keys")
                    .starts_with("tavoren-sealed:v1:"));

    // The agent is answered the clear values.
    EXPECT_EQ(
        backend.get_docker_hub_credentials().data.dump(),
        R"({"username":"robot","password":"registry-pass-7731","registry":"registry.example"})");
    EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data["user_access_token"], secrets[1]);
    EXPECT_EQ(backend.get_internal_api_key(id).data["internal_api_key"], secrets[2]);
  }
  // Without the key, or with another one, the sealed values are refused,
  // and the refusal does not show them.
  for (const std::optional<std::string>& other_key :
       {std::optional<std::string>(), std::optional<std::string>("fedcba9876543210")}) {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", other_key);
    StoreUnderTest backend(options("instance-1"));
    const Result registry = backend.get_docker_hub_credentials();
    ASSERT_TRUE(registry.has_error());
    EXPECT_TRUE(contains(*registry.error, "registry password")) << *registry.error;
    const Result token = backend.get_model_secret_keys("hugging_face");
    ASSERT_TRUE(token.has_error());
    EXPECT_TRUE(contains(*token.error, "model secret \"hugging_face\"")) << *token.error;
    const Result internal = backend.get_internal_api_key(id);
    ASSERT_TRUE(internal.has_error());
    EXPECT_TRUE(contains(*internal.error, "TAVOREN_ENCRYPTION_KEY")) << *internal.error;
    for (const std::string& secret : secrets) {
      EXPECT_FALSE(contains(*registry.error + *token.error + *internal.error, secret));
    }
  }
}

TEST_F(OperatorTest, UnderAMasterKeyEverySecretIsSealedAndBoundToItsRow) {
  testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  LocalBackendOptions o = options("instance-1");
  o.keyring = testing::test_keyring();
  StoreUnderTest backend(o);
  const std::string id = taken_action_of(backend);
  const std::string other = taken_action_of(backend);
  const std::vector<std::string> secrets = {"registry-pass-5521", "hf_model_token_5521",
                                            "internal-api-key-5521", "owner-secret-5521"};
  backend.set_registry_credentials("robot", secrets[0], "registry.example");
  backend.set_model_secret("hugging_face", secrets[1]);
  backend.set_internal_api_key(id, secrets[2]);
  backend.set_internal_api_key(other, "internal-api-key-of-other");
  backend.set_key_pair("owner-1", "AKIAOWNER1", secrets[3]);

  const std::string bytes = stored_bytes(database());
  ASSERT_TRUE(contains(bytes, "robot")) << "the dump holds the stored rows";
  for (const std::string& secret : secrets) EXPECT_FALSE(contains(bytes, secret)) << secret;
  for (const char* sql :
       {"SELECT user_access_token FROM model_secrets", "SELECT api_key FROM internal_api_keys",
        "SELECT secret_key FROM key_pairs"}) {
    EXPECT_TRUE(stored_value(database(), sql).starts_with(sealing::kMasterSealedPrefix)) << sql;
  }
  EXPECT_EQ(backend.get_docker_hub_credentials().data["password"], secrets[0]);
  EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data["user_access_token"], secrets[1]);
  EXPECT_EQ(backend.get_internal_api_key(id).data["internal_api_key"], secrets[2]);

  // A value copied into another row does not open there.
  if (store_mode() != StoreMode::kPostgres) {
    RawDatabase raw(database());
    raw.exec(
        "UPDATE internal_api_keys SET api_key = (SELECT api_key FROM internal_api_keys "
        "WHERE action_id = '" +
        id + "') WHERE action_id = '" + other + "'");
    const Result moved = backend.get_internal_api_key(other);
    ASSERT_TRUE(moved.has_error());
    EXPECT_TRUE(contains(*moved.error, "cannot be decrypted with the master key")) << *moved.error;
    EXPECT_FALSE(contains(*moved.error, secrets[2]));
  }
}

TEST_F(OperatorTest, UnderAMasterKeyAKeyPairIsAnsweredUnderTheAskingInstancesTransportKey) {
  LocalBackendOptions o = options("instance-1");
  o.keyring = testing::test_keyring();
  StoreUnderTest backend(o);
  std::string transport = backend.agent_key();
  if (!served()) {
    transport = "Transport-key-of-instance-1-0123";
    backend.store().set_transport_key("instance-1", transport);
  }
  ASSERT_EQ(transport.size(), 32u);
  taken_action_of(backend, "owner-1");
  backend.set_key_pair("owner-1", "AKIAOWNER1", "owner-1-secret");
  EXPECT_EQ(backend.configuration()["keyPairs"]["owner-1"]["encrypted"], true);
  EXPECT_FALSE(contains(stored_bytes(database()), transport)) << "kept sealed";

  const Result pair = backend.get_user_access_key_pair("owner-1");
  ASSERT_FALSE(pair.has_error_set()) << pair.message;
  const auto clear = host_probe::get_decrypted_access_key_pair(pair.data["access_key"],
                                                               pair.data["secret_key"], transport);
  ASSERT_TRUE(clear.has_value());
  EXPECT_EQ(clear->access_key, "AKIAOWNER1");
  EXPECT_EQ(clear->secret_key, "owner-1-secret");
  // Not with another instance's transport key, nor with a subkey of the
  // master key.
  EXPECT_FALSE(host_probe::get_decrypted_access_key_pair(pair.data["access_key"],
                                                         pair.data["secret_key"],
                                                         "Transport-key-of-instance-2-0123")
                   .has_value());
  EXPECT_FALSE(host_probe::get_decrypted_access_key_pair(
                   pair.data["access_key"], pair.data["secret_key"],
                   testing::test_keyring()->subkey(sealing::Purpose::kKeyPairs))
                   .has_value());

  // An instance without a transport key gets no key pair, and is told how
  // it gets one.
  const Result refused =
      backend.store().instance_view("instance-3")->get_user_access_key_pair("owner-1");
  ASSERT_TRUE(refused.has_error());
  EXPECT_TRUE(contains(*refused.error, "keys transport --instance instance-3")) << *refused.error;
}

TEST_F(OperatorTest, SecretsStoredInClearStayReadableOnceAKeyIsSet) {
  SKIP_WHEN_SERVED("the embedded store's own key; a server seals under its master key");
  std::string id;
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", std::nullopt);
    StoreUnderTest backend(options("instance-1"));
    id = taken_action_of(backend);
    backend.set_registry_credentials("robot", "clear-pass-1");
    backend.set_model_secret("hugging_face", "clear-token-1");
    backend.set_internal_api_key(id, "clear-internal-1");
    RawDatabase raw(database());
    EXPECT_EQ(raw.text("SELECT user_access_token FROM model_secrets"), "clear-token-1");
  }
  testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", "0123456789abcdef");
  StoreUnderTest backend(options("instance-1"));
  EXPECT_EQ(backend.get_docker_hub_credentials().data["password"], "clear-pass-1");
  EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data["user_access_token"],
            "clear-token-1");
  EXPECT_EQ(backend.get_internal_api_key(id).data["internal_api_key"], "clear-internal-1");
  // A value written now is sealed, the others stay as they were.
  backend.set_model_secret("hugging_face", "new-token-2");
  EXPECT_FALSE(contains(database_bytes(database()), "new-token-2"));
  EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data["user_access_token"], "new-token-2");
}

TEST_F(OperatorTest, TheDatabaseFilesAreTheOwnersAlone) {
  SKIP_UNLESS_SQLITE("about the file");
  const mode_t previous = ::umask(022);
  using std::filesystem::perms;
  const perms owner_only = perms::owner_read | perms::owner_write;
  {
    StoreUnderTest backend(options("instance-1"));
    taken_action_of(backend);
    backend.set_model_secret("hugging_face", "token-in-the-log");
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::filesystem::path file = database().string() + suffix;
      ASSERT_TRUE(std::filesystem::exists(file)) << file;
      EXPECT_EQ(std::filesystem::status(file).permissions(), owner_only) << file;
    }
  }
  // Files an older program left readable are closed on the next open.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::filesystem::path file = database().string() + suffix;
    if (std::filesystem::exists(file)) {
      std::filesystem::permissions(file, owner_only | perms::group_read | perms::others_read);
    }
  }
  {
    StoreUnderTest backend(options("instance-1"));
    EXPECT_EQ(std::filesystem::status(database()).permissions(), owner_only);
    EXPECT_EQ(backend.get_model_secret_keys("hugging_face").data["user_access_token"],
              "token-in-the-log");
  }
  ::umask(previous);
}

TEST_F(OperatorTest, ScaleDownIsAnsweredToTheAgentOnceAndRecorded) {
  StoreUnderTest backend(options("instance-1"));
  const std::string first = backend.submit(action_record());
  const std::string second = backend.submit(action_record());
  backend.assign_jobs(false);
  backend.assign_jobs(false);

  backend.scale_down(second);
  backend.scale_down(first);
  backend.scale_down(second);
  EXPECT_EQ(backend.get_downscaled_ids().data, Json::array({second, first}));
  EXPECT_EQ(rows("status_history WHERE operation = 'scale_down'"), 2);
  const Json shown = backend.show(second);
  EXPECT_TRUE(shown["scaledDownAt"].is_string());
  EXPECT_EQ(shown["history"].back()["operation"], "scale_down");
  EXPECT_TRUE(backend.list()[1]["scaledDown"].get<bool>());
  expect_refused<KeyError>([&] { backend.scale_down("0123456789abcdef01234567"); },
                           "\"0123456789abcdef01234567\"");
}

TEST_F(OperatorTest, AReopenedDatabaseKeepsEverything) {
  std::string id;
  {
    testing::ScopedEnv encryption("TAVOREN_ENCRYPTION_KEY", std::nullopt);
    StoreUnderTest backend(options("instance-1"));
    id = backend.submit(action_record("model_eval"));
    backend.submit(action_record("data_prep"));
    backend.assign_jobs(true);
    Json status = Json::object();
    status["service_provider"] = "LOCAL";
    status["action_record_id"] = id;
    status["status"] = "started";
    status["action_duration"] = 0;
    backend.update_action_status(status);
    Json piece = Json::object();
    piece["action_record_id"] = id;
    piece["log_content"] = "kept\n";
    backend.update_action_docker_logs(piece);
    backend.scale_down(id);
    backend.set_codebase("yolo", "https://code.example/yolo.zip");
    backend.set_registry_credentials("robot", "pw");
    backend.set_key_pair("user-1", "AKIA1", "secret-1");
    backend.set_model_secret("hugging_face", "hf_1");
    backend.set_internal_api_key(id, "ik-1");
    backend.set_data_processing_image("img:1");
    backend.set_shutdown_details(2, 3, "local");
  }
  StoreUnderTest reopened(options("instance-1"));
  const Json shown = reopened.show(id);
  EXPECT_EQ(shown["record"]["status"], "started");
  EXPECT_EQ(shown["assignedTo"], "instance-1");
  EXPECT_EQ(shown["history"].size(), 4u);
  EXPECT_EQ(reopened.logs(id).content, "kept\n");
  EXPECT_EQ(reopened.get_downscaled_ids().data, Json::array({id}));
  EXPECT_EQ(reopened.get_model_codebase("yolo").data, "https://code.example/yolo.zip");
  EXPECT_EQ(reopened.get_docker_hub_credentials().data["username"], "robot");
  const Result pair = reopened.get_user_access_key_pair("user-1");
  if (served()) {
    // A server answers it under the instance's transport key.
    const auto clear = host_probe::get_decrypted_access_key_pair(
        pair.data["access_key"], pair.data["secret_key"], reopened.agent_key());
    ASSERT_TRUE(clear.has_value());
    EXPECT_EQ(clear->secret_key, "secret-1");
  } else {
    EXPECT_EQ(pair.data["secret_key"], "secret-1");
  }
  EXPECT_EQ(reopened.get_model_secret_keys("hugging_face").data["user_access_token"], "hf_1");
  EXPECT_EQ(reopened.get_internal_api_key(id).data["internal_api_key"], "ik-1");
  EXPECT_EQ(reopened.get_data_processing_image(), "img:1");
  EXPECT_EQ(reopened.get_shutdown_details()["instanceSource"], "local");
  // The second action is still queued for the next agent.
  const Result next = reopened.assign_jobs(true);
  ASSERT_EQ(next.data.size(), 1u);
  EXPECT_EQ(next.data[0]["action"], "data_prep");
}

TEST_F(OperatorTest, AnOlderSchemaIsMigratedInPlaceKeepingItsData) {
  SKIP_UNLESS_SQLITE("about the file");
  std::string id;
  {
    StoreUnderTest backend(options());
    id = backend.submit(action_record());
  }
  {
    // The first schema had no resource reports and no record of how
    // actions ended.
    RawDatabase raw(database());
    raw.exec(
        std::string(kBackToVersionSix) +
        "DROP TABLE instance_port_holders; DROP TABLE instance_ports; DROP TABLE write_answers; "
        "DROP TABLE access_keys; DROP INDEX actions_by_instance; "
        "ALTER TABLE actions DROP COLUMN log_limit_reached_at; "
        "ALTER TABLE actions DROP COLUMN log_stream; ALTER TABLE actions DROP COLUMN "
        "log_stream_end; DROP TABLE machine_resources; ALTER TABLE actions DROP COLUMN ended_at; "
        "ALTER TABLE actions DROP COLUMN exit_status; "
        "ALTER TABLE actions DROP COLUMN rejected_reason; ALTER TABLE actions DROP COLUMN owner; "
        "ALTER TABLE actions DROP COLUMN log_bytes; PRAGMA user_version = 1");
  }
  StoreUnderTest agent(options("instance-1"));
  RawDatabase raw(database());
  EXPECT_EQ(raw.integer("PRAGMA user_version"), StoreUnderTest::schema_version());
  EXPECT_EQ(agent.show(id)["state"], "queued");
  ASSERT_EQ(agent.assign_jobs(false).data.size(), 1u);
  agent.record_exit(id, 0);
  EXPECT_EQ(agent.show(id)["exitStatus"], 0);
  Json report = Json::object();
  report["available_memory"] = 1;
  report["available_cpu"] = 2;
  report["available_gpu_memory"] = 3;
  report["gpu_utilisation"] = 4;
  EXPECT_FALSE(agent.update_available_resources(report).has_error_set());
  EXPECT_EQ(raw.integer("SELECT count(*) FROM machine_resources"), 1);
}

TEST_F(OperatorTest, AFileOfThePreviousSchemaGainsTheLogMarksAndKeepsItsLog) {
  SKIP_UNLESS_SQLITE("about the file");
  std::string id;
  {
    StoreUnderTest backend(options());
    id = backend.submit(action_record());
  }
  {
    StoreUnderTest agent(options("instance-1"));
    ASSERT_EQ(agent.assign_jobs(false).data.size(), 1u);
    Json piece = Json::object();
    piece["action_record_id"] = id;
    piece["log_content"] = "before\n";
    ASSERT_FALSE(agent.update_action_docker_logs(piece).has_error_set());
  }
  {
    // Version 4 kept no place of the agent's pieces (nor, like version 5,
    // an action's owner and log size).
    RawDatabase raw(database());
    raw.exec(
        std::string(kBackToVersionSix) +
        "ALTER TABLE actions DROP COLUMN log_stream; ALTER TABLE actions DROP COLUMN "
        "log_stream_end; ALTER TABLE actions DROP COLUMN owner; ALTER TABLE actions DROP COLUMN "
        "log_bytes; PRAGMA user_version = 4");
  }
  StoreUnderTest agent(options("instance-1"));
  RawDatabase raw(database());
  EXPECT_EQ(raw.integer("PRAGMA user_version"), StoreUnderTest::schema_version());
  Json placed = Json::object();
  placed["action_record_id"] = id;
  placed["log_content"] = "after\n";
  placed["log_stream"] = "s";
  placed["log_start_offset"] = 7;
  placed["log_end_offset"] = 13;
  for (int i = 0; i < 2; ++i) ASSERT_FALSE(agent.update_action_docker_logs(placed).has_error_set());
  EXPECT_EQ(agent.logs(id).content, "before\nafter\n");
  EXPECT_EQ(raw.text("SELECT log_stream FROM actions WHERE id = ?", id), "s");
  EXPECT_EQ(raw.integer("SELECT log_stream_end FROM actions WHERE id = ?", id), 13);
}

TEST_F(OperatorTest, AFileOfVersionFiveGainsEachActionsOwnerAndLogSize) {
  SKIP_UNLESS_SQLITE("about the file");
  std::string mine;
  std::string foreign;
  {
    backend::LocalScaling backend(options("instance-1"));
    mine = backend.submit(action_record());
    Json no_owner = action_record();
    no_owner.erase("_idUser");
    foreign = backend.submit(no_owner);
    ASSERT_EQ(backend.for_instance("instance-1")->assign_jobs(false).data.size(), 1u);
    Json piece = Json::object();
    piece["action_record_id"] = mine;
    piece["log_content"] = "twelve bytes";
    ASSERT_FALSE(backend.update_action_docker_logs(piece).has_error_set());
    RawDatabase raw(database());
    raw.exec(std::string(kBackToVersionSix) +
             "ALTER TABLE actions DROP COLUMN owner; ALTER TABLE actions DROP COLUMN log_bytes; "
             "PRAGMA user_version = 5");
  }
  backend::LocalScaling agent(options("instance-1"));
  EXPECT_EQ(agent.show(mine)["logBytes"], 12);
  EXPECT_EQ(agent.show(foreign)["logBytes"], 0);
  RawDatabase raw(database());
  EXPECT_EQ(raw.text("SELECT owner FROM actions WHERE id = ?", mine), "user-1");
  EXPECT_EQ(raw.integer("SELECT owner IS NULL FROM actions WHERE id = ?", foreign), 1);
  // The next piece goes after the bytes stored before the migration.
  Json piece = Json::object();
  piece["action_record_id"] = mine;
  piece["log_content"] = "!";
  ASSERT_FALSE(agent.update_action_docker_logs(piece).has_error_set());
  EXPECT_EQ(agent.logs(mine).content, "twelve bytes!");
  EXPECT_EQ(agent.logs(mine, 12).content, "!");
}

// Version 7 numbers each assignment of an action and records how each
// ended: an action assigned or ended before gains its first attempt, an
// ended one its cause, and the machine that held it is made at its first
// poll.
TEST_F(OperatorTest, AFileOfVersionSixGainsAttemptsCausesAndMachines) {
  SKIP_UNLESS_SQLITE("about the file");
  std::string ended;
  std::string running;
  std::string queued;
  {
    backend::LocalScaling backend(options());
    ended = backend.submit(action_record());
    running = backend.submit(action_record());
    queued = backend.submit(action_record());
    auto agent = backend.for_instance("instance-1");
    ASSERT_EQ(agent->assign_jobs(false).data.size(), 1u);
    ASSERT_EQ(agent->assign_jobs(false).data.size(), 1u);
    agent->record_exit(ended, 3);
    RawDatabase raw(database());
    raw.exec(kBackToVersionSix);
  }
  backend::LocalScaling store(options());
  Json shown = store.show(ended);
  EXPECT_EQ(shown["attempt"], 1);
  EXPECT_EQ(shown["endCause"], "exited");
  EXPECT_EQ(shown["exitStatus"], 3);
  EXPECT_EQ(store.show(running)["attempt"], 1);
  EXPECT_EQ(store.show(running)["endCause"], nullptr);
  EXPECT_EQ(store.show(queued)["attempt"], 0);
  // The running action's attempt is current: a write naming it lands.
  Json report = Json::object();
  report["action_record_id"] = running;
  report["log_content"] = "on";
  report["attempt"] = 1;
  auto agent = store.for_instance("instance-1");
  EXPECT_FALSE(agent->update_action_docker_logs(report).has_error_set());
  EXPECT_EQ(store.held_attempt(running, "instance-1"), 1);
  EXPECT_EQ(store.machines(), Json::array());
  ASSERT_EQ(agent->assign_jobs(false).data.size(), 1u);
  ASSERT_EQ(store.machines().size(), 1u);
  EXPECT_EQ(store.machines()[0]["actionsHeld"], 2);
}

// Version 8 records who drained a machine: one drained before is the
// operator's, so an agent's poll does not end it.
TEST_F(OperatorTest, AFileOfVersionSevenKeepsItsDrainsAsTheOperators) {
  SKIP_UNLESS_SQLITE("about the file");
  {
    StoreUnderTest backend(options());
    backend.store().set_machine("drained", backend::MachineChange{}, true);
    backend.store().set_machine("working", backend::MachineChange{}, true);
    backend.store().drain_machine("drained", std::nullopt);
    RawDatabase raw(database());
    raw.exec(std::string(kBackToVersionEight) +
             "ALTER TABLE machines DROP COLUMN drained_by; PRAGMA user_version = 7");
  }
  StoreUnderTest backend(options());
  backend::Store& store = backend.store();
  store.submit(action_record());
  EXPECT_EQ(store.instance_view("drained")->assign_jobs(false).message,
            backend::poll_message::kDraining);
  for (const Json& machine : store.machines()) {
    EXPECT_EQ(machine["drainedBy"],
              machine["instanceId"] == "drained" ? Json("operator") : Json(nullptr));
  }
  EXPECT_EQ(store.instance_view("working")->assign_jobs(false).data.size(), 1u);
}

// Version 9 keeps every attempt's pieces under its number: a file of
// version 8 keeps both the log of an earlier attempt and the current one's,
// and the current one goes on where it was.
TEST_F(OperatorTest, AFileOfVersionEightKeepsTheLogOfEachAttempt) {
  SKIP_UNLESS_SQLITE("about the file");
  std::string id;
  {
    StoreUnderTest backend(options());
    id = backend.store().submit(action_record());
    auto first = backend.store().instance_view("box-a");
    ASSERT_EQ(first->assign_jobs(false).data.size(), 1u);
    ASSERT_FALSE(first
                     ->update_action_docker_logs(
                         Json{{"action_record_id", id}, {"log_content", "one\n"}, {"attempt", 1}})
                     .has_error());
  }
  {
    // box-a is lost by then; its action runs again on box-b.
    LocalBackendOptions later = options();
    later.fleet.clock_offset = std::chrono::seconds(301);
    StoreUnderTest backend(later);
    ASSERT_EQ(backend.store().sweep_machines().requeued, 1);
    auto second = backend.store().instance_view("box-b");
    ASSERT_EQ(second->assign_jobs(false).data.size(), 1u);
    ASSERT_FALSE(second
                     ->update_action_docker_logs(
                         Json{{"action_record_id", id}, {"log_content", "two\n"}, {"attempt", 2}})
                     .has_error());
    RawDatabase raw(database());
    raw.exec(kBackToVersionEight);
    ASSERT_EQ(raw.integer("SELECT count(*) FROM attempt_logs"), 1);
  }
  StoreUnderTest backend(options());
  backend::Store& store = backend.store();
  EXPECT_EQ(store.attempt_log(id, 1).content, "one\n");
  EXPECT_EQ(store.attempt_log(id, 2).content, "two\n");
  ASSERT_FALSE(store.instance_view("box-b")
                   ->update_action_docker_logs(
                       Json{{"action_record_id", id}, {"log_content", "more\n"}, {"attempt", 2}})
                   .has_error());
  EXPECT_EQ(store.logs(id).content, "two\nmore\n");
  RawDatabase raw(database());
  EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_schema WHERE name = 'attempt_logs'"), 0);
}

// Version 10 gives model secrets owners: those stored before are the
// platform's defaults.
TEST_F(OperatorTest, AFileOfVersionNineKeepsItsModelSecretsAsThePlatformsDefaults) {
  SKIP_UNLESS_SQLITE("about the file");
  {
    StoreUnderTest backend(options());
    backend.set_model_secret("hugging_face", "token-before");
    RawDatabase raw(database());
    raw.exec(kBackToVersionNine);
  }
  StoreUnderTest agent(options("instance-1"));
  taken_action_of(agent);
  EXPECT_EQ(agent.get_model_secret_keys("hugging_face").data["user_access_token"], "token-before");
  agent.set_model_secret("hugging_face", "token-of-user-1", "user-1");
  EXPECT_EQ(agent.configuration()["modelSecrets"],
            Json::array({"hugging_face", "user-1/hugging_face"}));
}

TEST_F(OperatorTest, TheSchemaIsVersionedAndForeignOrNewerFilesAreRefused) {
  SKIP_UNLESS_SQLITE("about the file");
  { StoreUnderTest backend(options()); }
  {
    RawDatabase raw(database());
    EXPECT_EQ(raw.integer("PRAGMA user_version"), StoreUnderTest::schema_version());
    raw.exec("PRAGMA user_version = 999");
  }
  expect_refused<DatabaseError>([&] { StoreUnderTest backend(options()); }, "newer");

  const auto foreign = dir_.path() / "foreign.db";
  {
    RawDatabase raw(foreign);
    raw.exec("CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('mine')");
  }
  LocalBackendOptions o;
  o.database = foreign;
  expect_refused<DatabaseError>([&] { StoreUnderTest backend(o); }, "another program");
  {
    RawDatabase raw(foreign);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_schema"), 1);
  }

  o.database = dir_.write("text.db", "this is not a database, just some text that is long enough");
  EXPECT_THROW(StoreUnderTest{o}, DatabaseError);
  o.database = dir_.path() / "missing-folder" / "backend.db";
  EXPECT_THROW(StoreUnderTest{o}, DatabaseError);
}

TEST_F(OperatorTest, OpenPortsAreFreeAndNotHandedOutTwiceWithinTheHold) {
  StoreUnderTest backend(options());
  std::set<int> ports;
  for (int i = 0; i < 10; ++i) {
    const Json port = backend.get_open_port();
    ASSERT_TRUE(port.is_number_integer()) << port.dump();
    ports.insert(port.get<int>());
    // Free right now: a listener of our own can take it on loopback.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port.get<int>()));
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  EXPECT_EQ(ports.size(), 10u);

  // A probe that keeps finding the same port: the second request skips it.
  std::vector<int> probes = {5000, 5000, 5000, 5001};
  std::size_t next = 0;
  LocalBackendOptions o = options();
  o.port_probe = [&] { return probes.at(next++); };
  StoreUnderTest probed(o);
  EXPECT_EQ(probed.get_open_port(), 5000);
  EXPECT_EQ(probed.get_open_port(), 5001);

  // Another object on the same file knows the ports already handed out.
  std::vector<int> again = {5001, 5000, 5002};
  std::size_t index = 0;
  LocalBackendOptions other = options();
  other.port_probe = [&] { return again.at(index++); };
  EXPECT_EQ(StoreUnderTest(other).get_open_port(), 5002);

  // Once the hold has passed, a port may be answered again.
  LocalBackendOptions no_hold = options();
  no_hold.port_hold = std::chrono::seconds(0);
  no_hold.port_probe = [] { return 5000; };
  StoreUnderTest released(no_hold);
  EXPECT_EQ(released.get_open_port(), 5000);
  EXPECT_EQ(released.get_open_port(), 5000);

  LocalBackendOptions broken = options();
  broken.port_probe = [] { return 70000; };
  EXPECT_THROW(StoreUnderTest(broken).get_open_port(), std::runtime_error);
}

TEST_F(OperatorTest, TheDatabaseDescriptorsAreClosedOnExec) {
  SKIP_UNLESS_SQLITE("about the file");
  StoreUnderTest backend(options("instance-1"));
  backend.submit(action_record());
  backend.assign_jobs(true);  // the write-ahead log and its index are open now
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || !contains(target.string(), database().string())) continue;
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = ::fcntl(fd, F_GETFD);
    EXPECT_TRUE(flags >= 0 && (flags & FD_CLOEXEC)) << target;
    ++seen;
  }
  EXPECT_GE(seen, 2);  // the file and its log at least
}

}  // namespace
}  // namespace tavoren::local_backend_testing
