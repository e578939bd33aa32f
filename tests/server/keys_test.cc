// A store's secrets moved to a master key: from the single encryption key
// of the servers before master keys, and from one master key to the next
// while serving goes on.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <string>

#include "rotation_under_load.h"
#include "server_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/sealing.h"
#include "tavoren/host_probe.h"

namespace tavoren::server_testing {
namespace {

constexpr const char* kOldKey = "0123456789abcdef0123456789abcdef";
constexpr const char* kFirstMaster =
    "13579bdf02468ace13579bdf02468ace0f1e2d3c4b5a69788796a5b4c3d2e1f0";
constexpr const char* kSecondMaster =
    "c0ffee1234567890abcdef0fedcba9876543210f1e2d3c4b5a6978899aabbccd";

std::shared_ptr<const sealing::Keyring> keyring(const char* master, const char* previous = "") {
  return std::make_shared<const sealing::Keyring>(
      sealing::parse_master_key(master),
      *previous != '\0' ? sealing::parse_master_key(previous) : std::string());
}

class KeysTest : public ::testing::Test {
 protected:
  std::filesystem::path database() const { return dir_.path() / "backend.db"; }
  LocalBackendOptions options(std::shared_ptr<const sealing::Keyring> ring) const {
    LocalBackendOptions o;
    o.database = database();
    o.keyring = std::move(ring);
    return o;
  }
  static std::int64_t total(const std::map<std::string, std::int64_t>& counts) {
    std::int64_t sum = 0;
    for (const auto& [table, count] : counts) sum += count;
    return sum;
  }
  // Reseals in batches of `batch` until done, adding up the counts.
  static std::map<std::string, std::int64_t> reseal_all(backend::Store& store,
                                                        const std::string& old_key,
                                                        std::size_t batch) {
    std::map<std::string, std::int64_t> counts;
    for (int round = 0; round < 100; ++round) {
      const backend::ResealStep step = store.reseal_secrets(old_key, batch);
      for (const auto& [table, count] : step.resealed) counts[table] += count;
      if (step.done) return counts;
    }
    ADD_FAILURE() << "the reseal did not finish";
    return counts;
  }
  // The secrets of `store` as its instance "instance-a" is answered them
  // (the key pair opened with `transport`), or the first refusal.
  static std::string answers(LocalScaling& store, const std::string& action,
                             const std::string& transport) {
    auto view = store.for_instance("instance-a");
    std::string all;
    for (const backend::Result& result :
         {view->get_docker_hub_credentials(), view->get_model_secret_keys("hugging_face"),
          view->get_internal_api_key(action)}) {
      if (result.has_error()) return "refused: " + *result.error;
      all += result.data.dump() + "\n";
    }
    const backend::Result sealed_pair = view->get_user_access_key_pair("owner-a");
    if (sealed_pair.has_error()) return "refused: " + *sealed_pair.error;
    const Json& pair = sealed_pair.data;
    const auto clear = host_probe::get_decrypted_access_key_pair(pair["access_key"],
                                                                 pair["secret_key"], transport);
    return clear ? all + clear->access_key + " " + clear->secret_key : "refused: key pair";
  }

  testing::TempDir dir_;
};

TEST_F(KeysTest, AStoreOfTheSingleKeyIsRefusedUntilResealedInBatchesThatResumeAfterABreak) {
  std::string action;
  {
    // A store as the servers before master keys left it.
    testing::ScopedEnv old("TAVOREN_ENCRYPTION_KEY", kOldKey);
    LocalScaling legacy(options(nullptr));
    action = legacy.submit(action_record("owner-a"));
    ASSERT_EQ(legacy.for_instance("instance-a")->assign_jobs(false).data.size(), 1u);
    legacy.set_registry_credentials("robot", "registry-pass-1");
    legacy.set_model_secret("hugging_face", "hf-token-1");
    legacy.set_internal_api_key(action, "internal-key-1");
    legacy.set_key_pair("owner-a", "AKIAOWNERA", "owner-a-secret");
    legacy.add_access_key(backend::AccessKeyRecord{"TKOLDINSTANCEKEY0001",
                                                   sealing::seal_text("old-secret-1", kOldKey),
                                                   "instance", "instance-a", "", false});
  }
  {
    testing::ScopedEnv old("TAVOREN_ENCRYPTION_KEY", std::nullopt);
    LocalScaling legacy(options(nullptr));
    legacy.set_key_pair("owner-b", "AKIAOWNERB", "owner-b-secret");  // in clear
  }
  testing::ScopedEnv none("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  const auto ring = keyring(kFirstMaster);
  LocalScaling store(options(ring));
  EXPECT_EQ(store.key_sealing(), backend::key_sealing::kSingle);
  try {
    server::require_master_sealed(store, "sqlite:backend.db");
    ADD_FAILURE() << "served";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("tavoren-backend keys reseal --store sqlite:backend.db"),
              std::string::npos)
        << e.what();
  }

  // The first batch, then a break.
  const backend::ResealStep first = store.reseal_secrets(kOldKey, 3);
  EXPECT_FALSE(first.done);
  EXPECT_EQ(total(first.resealed), 3);
  EXPECT_EQ(store.key_sealing(), backend::key_sealing::kResealing);
  EXPECT_THROW(server::require_master_sealed(store, "sqlite:backend.db"), ValueError);
  // A wrong old key writes nothing of its batch.
  EXPECT_THROW(store.reseal_secrets("fedcba9876543210fedcba9876543210", 100), ValueError);

  // Run again, it finishes: every table, each value once.
  std::map<std::string, std::int64_t> counts = reseal_all(store, kOldKey, 2);
  for (const auto& [table, count] : first.resealed) counts[table] += count;
  EXPECT_EQ(counts, (std::map<std::string, std::int64_t>{{"access_keys", 1},
                                                         {"internal_api_keys", 1},
                                                         {"key_pairs", 4},
                                                         {"model_secrets", 1},
                                                         {"settings", 1}}));
  EXPECT_EQ(store.key_sealing(), backend::key_sealing::kMaster);
  EXPECT_NO_THROW(server::require_master_sealed(store, "sqlite:backend.db"));
  EXPECT_EQ(total(store.reseal_secrets(kOldKey, 100).resealed), 0) << "nothing left";

  // Every secret reads under the master key alone, nothing of the old
  // forms is left, and the owners' keys are no longer in clear.
  server::AccessKeys keys(store, ring);
  ASSERT_TRUE(keys.lookup("TKOLDINSTANCEKEY0001").has_value());
  EXPECT_EQ(keys.lookup("TKOLDINSTANCEKEY0001")->secret_key, "old-secret-1");
  const std::string transport = keys.new_transport_key("instance-a");
  const std::string answered = answers(store, action, transport);
  EXPECT_NE(answered.find("registry-pass-1"), std::string::npos) << answered;
  EXPECT_NE(answered.find("hf-token-1"), std::string::npos) << answered;
  EXPECT_NE(answered.find("internal-key-1"), std::string::npos) << answered;
  EXPECT_NE(answered.find("AKIAOWNERA owner-a-secret"), std::string::npos) << answered;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  std::string stored;
  const char* every_value =
      "SELECT sealed_secret FROM access_keys UNION ALL SELECT access_key FROM key_pairs "
      "UNION ALL SELECT secret_key FROM key_pairs UNION ALL SELECT user_access_token FROM "
      "model_secrets UNION ALL SELECT api_key FROM internal_api_keys UNION ALL SELECT value FROM "
      "settings WHERE name = 'registry_credentials'";
  ASSERT_EQ(sqlite3_exec(
                db, every_value,
                [](void* out, int, char** values, char**) {
                  *static_cast<std::string*>(out) += std::string(values[0]) + "\n";
                  return 0;
                },
                &stored, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(stored.find("tavoren-sealed:v1:"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("owner-b-secret"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("AKIAOWNERB"), std::string::npos) << stored;
}

TEST_F(KeysTest, DuringARotationBothKeysAreReadAndAfterItEverySecretReadsUnderTheNewOne) {
  testing::ScopedEnv none("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  std::string action;
  server::NewAccessKey made;
  {
    const auto first = keyring(kFirstMaster);
    LocalScaling store(options(first));
    server::require_master_sealed(store, "sqlite:backend.db");
    server::AccessKeys keys(store, first);
    made = keys.create(wire::Role::kInstance, "instance-a");
    action = store.submit(action_record("owner-a"));
    ASSERT_EQ(store.for_instance("instance-a")->assign_jobs(false).data.size(), 1u);
    store.set_registry_credentials("robot", "registry-pass-2");
    store.set_model_secret("hugging_face", "hf-token-2");
    store.set_internal_api_key(action, "internal-key-2");
    store.set_key_pair("owner-a", "AKIAOWNERA", "owner-a-secret");
  }
  const std::string before = [&] {
    LocalScaling store(options(keyring(kFirstMaster)));
    return answers(store, action, made.transport_key);
  }();
  ASSERT_EQ(before.find("refused"), std::string::npos) << before;

  // The servers restarted with the new key and the previous one: what was
  // sealed before reads, what is written now goes under the new key.
  const auto rotating = keyring(kSecondMaster, kFirstMaster);
  LocalScaling store(options(rotating));
  server::AccessKeys keys(store, rotating);
  ASSERT_TRUE(keys.lookup(made.access_key).has_value());
  EXPECT_EQ(keys.lookup(made.access_key)->secret_key, made.secret_key);
  EXPECT_EQ(answers(store, action, made.transport_key), before);
  store.set_model_secret("hugging_face", "hf-token-2", "owner-a");

  const auto counts = reseal_all(store, "", 2);
  EXPECT_EQ(counts, (std::map<std::string, std::int64_t>{{"access_keys", 1},
                                                         {"internal_api_keys", 1},
                                                         {"key_pairs", 2},
                                                         {"model_secrets", 1},
                                                         {"settings", 1},
                                                         {"transport_keys", 1}}));

  // After it, the new key alone reads everything; the old one nothing.
  LocalScaling after(options(keyring(kSecondMaster)));
  EXPECT_EQ(answers(after, action, made.transport_key), before);
  server::AccessKeys new_keys(after, keyring(kSecondMaster));
  ASSERT_TRUE(new_keys.lookup(made.access_key).has_value());
  EXPECT_EQ(new_keys.lookup(made.access_key)->secret_key, made.secret_key);
  LocalScaling stale(options(keyring(kFirstMaster)));
  EXPECT_EQ(answers(stale, action, made.transport_key).find("refused"), 0u);
  EXPECT_FALSE(server::AccessKeys(stale, keyring(kFirstMaster)).lookup(made.access_key));
}

TEST_F(KeysTest, ARotationUnderLoadLosesNothingAndLeavesEverySecretReadable) {
  testing::ScopedEnv none("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  rotate_under_load([&](std::shared_ptr<const sealing::Keyring> ring) {
    LocalBackendOptions o = options(std::move(ring));
    o.instance_id = "instance-a";
    return std::make_unique<LocalScaling>(std::move(o));
  });
}

}  // namespace
}  // namespace tavoren::server_testing
