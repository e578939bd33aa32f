// Moving an embedded store into PostgreSQL: an embedded store filled
// through its own calls, imported, then asked the same questions on both
// stores.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "pg_test_store.h"
#include "tavoren/common/errors.h"
#include "tavoren/postgres_store.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"

namespace tavoren {
namespace {

using backend::LocalBackendOptions;
using backend::LocalScaling;
using backend::PgBackendOptions;
using backend::PgScaling;
using backend::Result;

constexpr std::int64_t kLogLimit = 64;

Json owned_record(const std::string& user, bool gpu = false) {
  Json r = Json::object();
  r["action"] = "data_split";
  r["actionDetails"] = Json{{"gpuRequired", gpu}, {"note", "ümlaut"}};
  r["_idUser"] = user;
  return r;
}

Json piece(const std::string& id, const std::string& text) {
  return Json{{"action_record_id", id}, {"log_content", text}};
}

// Both answers of one question, as a comparable text.
std::string answer(const Result& result) {
  return result.data.dump() + " | " + result.error.value_or("<none>");
}

class PgImportTest : public ::testing::Test {
 protected:
  LocalBackendOptions local_options() const {
    LocalBackendOptions options;
    options.database = dir_.path() / "embedded.db";
    options.port_range = std::make_pair(31000, 31004);
    options.log_limit_bytes = kLogLimit;
    return options;
  }
  // A migrated, empty PostgreSQL store with the same settings.
  PgBackendOptions target_options() {
    LocalBackendOptions options = local_options();
    options.database = dir_.path() / "target";
    return testing::pg_options_for(options);
  }
  std::vector<std::pair<std::string, std::int64_t>> import(const PgBackendOptions& target) {
    return PgScaling::import_rows(target, [&](const auto& sink) {
      // Small batches: every table spans several.
      LocalScaling::export_rows(dir_.path() / "embedded.db", sink, 2);
    });
  }

  testing::TempDir dir_;
  testing::ScopedEnv key_{"TAVOREN_ENCRYPTION_KEY", "0123456789abcdef0123456789abcdef"};
};

TEST_F(PgImportTest, AnImportedStoreAnswersEveryCallAsTheEmbeddedStoreDid) {
  LocalScaling local(local_options());
  std::vector<std::string> ids;
  for (int i = 0; i < 6; ++i)
    ids.push_back(local.submit(owned_record("user-" + std::to_string(i % 2))));
  auto agent_a = local.for_instance("instance-a");
  // ids[0] ran and ended, ids[1] runs past its log limit, ids[2] was
  // scaled down while running, ids[3] while queued; ids[4..5] are queued.
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(agent_a->assign_jobs(false).has_error_set());
  ASSERT_FALSE(agent_a
                   ->update_action_status(Json{{"service_provider", "LOCAL"},
                                               {"action_record_id", ids[0]},
                                               {"status", "running"},
                                               {"action_duration", 3}})
                   .has_error_set());
  ASSERT_FALSE(agent_a->update_status(ids[0], "data_split", "svc", "JBSS_LCK", "OK", "locked")
                   .has_error_set());
  ASSERT_FALSE(agent_a->update_action_docker_logs(piece(ids[0], "first line\n")).has_error_set());
  ASSERT_FALSE(agent_a->update_action_docker_logs(piece(ids[0], std::string("bin\0\xff\n", 6)))
                   .has_error_set());
  ASSERT_FALSE(
      agent_a->update_action_docker_logs(piece(ids[1], std::string(40, 'x'))).has_error_set());
  ASSERT_FALSE(
      agent_a->update_action_docker_logs(piece(ids[1], std::string(40, 'y'))).has_error_set());
  local.record_exit(ids[0], 0);
  local.scale_down(ids[2]);
  local.scale_down(ids[3]);
  const int port = agent_a->get_open_port().get<int>();

  local.set_codebase("yolo", "https://code.example/yolo.zip", "https://code.example/req.txt");
  local.set_codebase("bare", "https://code.example/bare.zip");
  local.set_registry_credentials("robot", "p@ss word", "registry.example");
  local.set_key_pair("user-0", "AKIAUSER0", "user-0-secret");
  local.set_model_secret("hugging_face", "hf_token_123");
  local.set_internal_api_key(ids[1], "internal-key-1");
  local.set_data_processing_image("registry.example/data:2");
  local.set_shutdown_details(0.5, 30, "spot");
  ASSERT_FALSE(agent_a
                   ->update_available_resources(Json{{"available_memory", 1},
                                                     {"available_cpu", 2},
                                                     {"available_gpu_memory", 3},
                                                     {"gpu_utilisation", 4}})
                   .has_error_set());
  local.add_access_key({"TKAGENT", "sealed-1", "instance", "instance-a", "", false});
  local.add_access_key({"TKOPERATOR", "sealed-2", "operator", "", "", false});
  local.add_access_key({"TKOLD", "sealed-3", "operator", "", "", false});
  ASSERT_TRUE(local.revoke_access_key("TKOLD"));
  local.record_answer("instance:instance-a", "kept", "hash-1", "the answer");
  local.record_answer("instance:instance-a", "expired", "hash-2", "gone", std::chrono::seconds(0));

  const PgBackendOptions target_options = this->target_options();
  const auto counts = import(target_options);
  const auto count_of = [&](const std::string& table) {
    for (const auto& [name, rows] : counts) {
      if (name == table) return rows;
    }
    return std::int64_t{-1};
  };
  EXPECT_EQ(count_of("actions"), 6);
  EXPECT_EQ(count_of("log_pieces"), 4);
  EXPECT_EQ(count_of("access_keys"), 3);
  // The expired answer is left behind.
  EXPECT_EQ(count_of("write_answers"), 1);

  PgScaling target(target_options);
  // The operator's reads.
  EXPECT_EQ(target.list().dump(), local.list().dump());
  for (const std::string& id : ids) {
    EXPECT_EQ(target.show(id).dump(), local.show(id).dump()) << id;
    for (const std::int64_t offset : {std::int64_t{0}, std::int64_t{5}}) {
      const backend::LogChunk expected = local.logs(id, offset);
      const backend::LogChunk got = target.logs(id, offset);
      EXPECT_EQ(got.content, expected.content) << id;
      EXPECT_EQ(got.next_offset, expected.next_offset) << id;
      EXPECT_EQ(got.finished, expected.finished) << id;
    }
    const auto access = target.action_access(id);
    ASSERT_TRUE(access.has_value());
    EXPECT_EQ(access->assigned_to, local.action_access(id)->assigned_to);
    EXPECT_EQ(access->owner, local.action_access(id)->owner);
    EXPECT_EQ(access->ended, local.action_access(id)->ended);
  }
  EXPECT_EQ(target.configuration().dump(), local.configuration().dump());
  EXPECT_EQ(target.machine_resources().dump(), local.machine_resources().dump());
  EXPECT_TRUE(target.has_live_action_of("instance-a", "user-1"));

  // Access keys in the same order, sealed secrets as they were.
  const auto local_keys = local.access_keys();
  const auto target_keys = target.access_keys();
  ASSERT_EQ(target_keys.size(), local_keys.size());
  for (std::size_t i = 0; i < local_keys.size(); ++i) {
    EXPECT_EQ(target_keys[i].access_key, local_keys[i].access_key);
    EXPECT_EQ(target_keys[i].sealed_secret, local_keys[i].sealed_secret);
    EXPECT_EQ(target_keys[i].role, local_keys[i].role);
    EXPECT_EQ(target_keys[i].instance_id, local_keys[i].instance_id);
    EXPECT_EQ(target_keys[i].created_at, local_keys[i].created_at);
    EXPECT_EQ(target_keys[i].revoked, local_keys[i].revoked);
  }
  // A repeated write still gets its first answer; an expired one is gone.
  const auto kept = target.recorded_answer("instance:instance-a", "kept");
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->answer, "the answer");
  EXPECT_EQ(kept->request_hash, "hash-1");
  EXPECT_FALSE(target.recorded_answer("instance:instance-a", "expired").has_value());

  // The agent's reads, secrets opened with the same key.
  auto target_a = target.for_instance("instance-a");
  EXPECT_EQ(answer(target_a->get_action_details(ids[1])),
            answer(agent_a->get_action_details(ids[1])));
  EXPECT_EQ(answer(target_a->get_downscaled_ids()), answer(agent_a->get_downscaled_ids()));
  EXPECT_EQ(answer(target_a->get_docker_hub_credentials()),
            answer(agent_a->get_docker_hub_credentials()));
  EXPECT_EQ(answer(target_a->get_user_access_key_pair("user-0")),
            answer(agent_a->get_user_access_key_pair("user-0")));
  EXPECT_FALSE(target_a->get_user_access_key_pair("user-0").has_error_set());
  EXPECT_EQ(answer(target_a->get_model_secret_keys("hugging_face")),
            answer(agent_a->get_model_secret_keys("hugging_face")));
  EXPECT_EQ(answer(target_a->get_internal_api_key(ids[1])),
            answer(agent_a->get_internal_api_key(ids[1])));
  EXPECT_EQ(answer(target_a->get_model_codebase("yolo")),
            answer(agent_a->get_model_codebase("yolo")));
  EXPECT_EQ(answer(target_a->get_model_codebase_requirements("bare")),
            answer(agent_a->get_model_codebase_requirements("bare")));
  EXPECT_EQ(target_a->get_shutdown_details().dump(), agent_a->get_shutdown_details().dump());
  EXPECT_EQ(target_a->get_data_processing_image().dump(),
            agent_a->get_data_processing_image().dump());

  // Both stores go on alike: the queue from where it was, the next
  // scale-down after the imported ones, a port not held already, the
  // log at its limit, a new action last.
  auto agent_b = local.for_instance("instance-b");
  auto target_b = target.for_instance("instance-b");
  EXPECT_EQ(answer(target_b->assign_jobs(false)), answer(agent_b->assign_jobs(false)));
  local.scale_down(ids[5]);
  target.scale_down(ids[5]);
  EXPECT_EQ(answer(target_a->get_downscaled_ids()), answer(agent_a->get_downscaled_ids()));
  const int next_port = agent_a->get_open_port().get<int>();
  EXPECT_NE(next_port, port);
  EXPECT_EQ(target_a->get_open_port().get<int>(), next_port);
  EXPECT_EQ(answer(target_a->update_action_docker_logs(piece(ids[1], "more"))),
            answer(agent_a->update_action_docker_logs(piece(ids[1], "more"))));
  EXPECT_EQ(target.logs(ids[1]).content, local.logs(ids[1]).content);
  const std::string added = target.submit(owned_record("user-9"));
  EXPECT_EQ(target.list().back().at("_id"), added);
}

TEST_F(PgImportTest, ATargetHoldingActionsIsRefusedAndKeepsWhatItHad) {
  {
    LocalScaling local(local_options());
    local.submit(owned_record("user-1"));
    local.set_data_processing_image("registry.example/from-embedded:1");
    local.add_access_key({"TKSHARED", "embedded-secret", "operator", "", "", false});
  }
  const PgBackendOptions target_options = this->target_options();
  {
    PgScaling target(target_options);
    // Made for the new store before the import: kept.
    target.add_access_key({"TKSHARED", "target-secret", "operator", "", "", false});
  }
  const auto counts = import(target_options);
  PgScaling target(target_options);
  ASSERT_EQ(target.list().size(), 1u);
  EXPECT_EQ(target.find_access_key("TKSHARED")->sealed_secret, "target-secret");
  EXPECT_EQ(target.get_data_processing_image(), "registry.example/from-embedded:1");

  // Again: the target holds actions now; nothing is written.
  {
    LocalScaling local(local_options());
    local.set_data_processing_image("registry.example/from-embedded:2");
    local.submit(owned_record("user-2"));
  }
  try {
    import(target_options);
    ADD_FAILURE() << "a target with actions was filled";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("already holds actions"), std::string::npos) << e.what();
  }
  EXPECT_EQ(target.list().size(), 1u);
  EXPECT_EQ(target.get_data_processing_image(), "registry.example/from-embedded:1");
  EXPECT_EQ(testing::pg_count_rows(dir_.path() / "target", "actions"), 1);

  // Rows of tables the target does not have are refused, not guessed.
  LocalBackendOptions other = local_options();
  other.database = dir_.path() / "other";
  const PgBackendOptions empty = testing::pg_options_for(other);
  EXPECT_THROW(PgScaling::import_rows(
                   empty,
                   [](const auto& sink) {
                     sink(backend::StoreRows{"pg_authid; --", {"rolname"}, {{std::string("x")}}});
                   }),
               ValueError);
  EXPECT_THROW(
      PgScaling::import_rows(empty,
                             [](const auto& sink) {
                               sink(backend::StoreRows{"settings", {"name", "value", "x) --"}, {}});
                             }),
      ValueError);
  // A missing embedded file is an error, not an empty store.
  EXPECT_THROW(LocalScaling::export_rows(dir_.path() / "missing.db", [](const auto&) {}),
               backend::DatabaseError);
}

}  // namespace
}  // namespace tavoren
