// The store the suite runs against, chosen when the test program starts by
// TAVOREN_STORE_UNDER_TEST:
//   "embedded" (or unset): the SQLite store, called in the test's process;
//   "served": the SQLite store behind a server in the test's own process
//     (TLS on 127.0.0.1), every call made through the agent's and the
//     operator's network clients;
//   "postgres": the same, with the server's store on PostgreSQL, each
//     database path a schema of its own in the sandbox.
// The same tests must get the same answers from all three.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "in_process_server.h"
#include "tavoren/backend_client.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::local_backend_testing {

enum class StoreMode { kEmbedded, kServed, kPostgres };

// The mode of this run; throws std::invalid_argument for an unknown name.
StoreMode store_mode();
// Whether calls go through the network clients and a server.
inline bool served() { return store_mode() != StoreMode::kEmbedded; }

// Reads behind the PostgreSQL store's back, in the schema of `database`;
// for the PostgreSQL run only: the number of rows of `table`, the first
// column of the first row of `sql` ("" when none), and every row of every
// table as text.
std::int64_t count_pg_rows(const std::filesystem::path& database, const std::string& table);
std::string pg_value(const std::filesystem::path& database, const std::string& sql);
std::string pg_rows_text(const std::filesystem::path& database);

// An object with the embedded store's calls, made on the store of this
// run's mode. Not copyable.
class StoreUnderTest {
 public:
  // The instance that an object without an instance identifier calls as
  // when served: every agent call needs an instance key.
  static constexpr const char* kUnnamedInstance = "served-unnamed-instance";

  // Throws what the store throws for options it refuses.
  explicit StoreUnderTest(backend::LocalBackendOptions options);
  ~StoreUnderTest();
  StoreUnderTest(const StoreUnderTest&) = delete;
  StoreUnderTest& operator=(const StoreUnderTest&) = delete;

  static int schema_version() { return backend::LocalScaling::schema_version(); }
  static const std::vector<std::string>& action_types() {
    return backend::LocalScaling::action_types();
  }

  // The session the agent's calls are made with: the options' when
  // embedded, the instance key the server made when served.
  const backend::Session& session() const;

  // ---- The agent's calls ----
  backend::Result assign_jobs(bool has_gpu) {
    return agent_call([&](auto& s) { return s.assign_jobs(has_gpu); });
  }
  backend::Result update_action_status(const Json& arguments) {
    return agent_call([&](auto& s) { return s.update_action_status(arguments); });
  }
  backend::Result update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) {
    return agent_call([&](auto& s) {
      return s.update_status(action_record_id, action_type, service, step_code, status,
                             description);
    });
  }
  backend::Result update_action(const Json& arguments) {
    return agent_call([&](auto& s) { return s.update_action(arguments); });
  }
  backend::Result update_action_docker_logs(const Json& arguments) {
    return agent_call([&](auto& s) { return s.update_action_docker_logs(arguments); });
  }
  backend::Result get_action_details(const std::string& id) {
    return agent_call([&](auto& s) { return s.get_action_details(id); });
  }
  backend::Result get_downscaled_ids() {
    return agent_call([&](auto& s) { return s.get_downscaled_ids(); });
  }
  backend::Result get_model_codebase(const std::string& family) {
    return agent_call([&](auto& s) { return s.get_model_codebase(family); });
  }
  backend::Result get_model_codebase_requirements(const std::string& family) {
    return agent_call([&](auto& s) { return s.get_model_codebase_requirements(family); });
  }
  backend::Result get_docker_hub_credentials() {
    return agent_call([&](auto& s) { return s.get_docker_hub_credentials(); });
  }
  backend::Result get_user_access_key_pair(const std::string& user_id) {
    return agent_call([&](auto& s) { return s.get_user_access_key_pair(user_id); });
  }
  backend::Result get_model_secret_keys(const std::string& name, const std::string& action = "") {
    return agent_call([&](auto& s) { return s.get_model_secret_keys(name, action); });
  }
  backend::Result get_internal_api_key(const std::string& id) {
    return agent_call([&](auto& s) { return s.get_internal_api_key(id); });
  }
  Json get_data_processing_image() {
    return agent_call([&](auto& s) { return s.get_data_processing_image(); });
  }
  Json get_open_port() {
    return agent_call([&](auto& s) { return s.get_open_port(); });
  }
  Json get_shutdown_details() {
    return agent_call([&](auto& s) { return s.get_shutdown_details(); });
  }
  backend::Result update_available_resources(const Json& arguments) {
    return agent_call([&](auto& s) { return s.update_available_resources(arguments); });
  }
  void record_exit(const std::string& id, int exit_status) {
    return agent_call([&](auto& s) { return s.record_exit(id, exit_status); });
  }

  // ---- The operator's calls ----
  std::string submit(const Json& record) {
    return operator_call([&](auto& s) { return s.submit(record); });
  }
  Json list() {
    return operator_call([&](auto& s) { return s.list(); });
  }
  Json show(const std::string& id) {
    return operator_call([&](auto& s) { return s.show(id); });
  }
  backend::LogChunk logs(const std::string& id, std::int64_t after_offset = 0) {
    if (embedded_) return embedded_->logs(id, after_offset);
    backend::RemoteLogChunk chunk = served_->operator_.logs(id, after_offset);
    return backend::LogChunk{std::move(chunk.content), chunk.next_offset, chunk.more,
                             chunk.finished};
  }
  void scale_down(const std::string& id) {
    return operator_call([&](auto& s) { return s.scale_down(id); });
  }
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "") {
    operator_call(
        [&](auto& s) { return s.set_registry_credentials(username, password, registry); });
  }
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key) {
    operator_call([&](auto& s) { return s.set_key_pair(user_id, access_key, secret_key); });
  }
  void set_codebase(const std::string& family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt) {
    operator_call([&](auto& s) { return s.set_codebase(family, url, requirements_url); });
  }
  void set_model_secret(const std::string& name, const std::string& token,
                        const std::string& owner = "") {
    operator_call([&](auto& s) { return s.set_model_secret(name, token, owner); });
  }
  void set_internal_api_key(const std::string& id, const std::string& key) {
    operator_call([&](auto& s) { return s.set_internal_api_key(id, key); });
  }
  void set_data_processing_image(const std::string& image) {
    operator_call([&](auto& s) { return s.set_data_processing_image(image); });
  }
  void set_shutdown_details(double threshold, double launch_duration, const std::string& source) {
    operator_call(
        [&](auto& s) { return s.set_shutdown_details(threshold, launch_duration, source); });
  }
  Json machine_resources() {
    return operator_call([&](auto& s) { return s.machine_resources(); });
  }
  Json configuration() {
    return operator_call([&](auto& s) { return s.configuration(); });
  }

  // The key with which the agent opens the key pairs it is answered: its
  // transport key when served, TAVOREN_ENCRYPTION_KEY of this process when
  // embedded.
  std::string agent_key() const;

  // The store itself, under the server when served: for calls that no
  // network client makes.
  backend::Store& store() {
    return embedded_ ? static_cast<backend::Store&>(*embedded_) : served_->server.store();
  }

 private:
  // The served run's server and its two clients.
  struct Served {
    Served(std::unique_ptr<backend::Store> store, const std::string& instance_id);

    testing::InProcessServer server;
    server::NewAccessKey instance_key;
    backend::RemoteScaling agent;
    backend::RemoteOperator operator_;
  };

  // Calls `call` on the embedded store, or on the served run's agent
  // (operator) client.
  template <typename Call>
  auto agent_call(Call call) -> decltype(call(std::declval<backend::LocalScaling&>())) {
    return embedded_ ? call(*embedded_) : call(served_->agent);
  }
  template <typename Call>
  auto operator_call(Call call) -> decltype(call(std::declval<backend::LocalScaling&>())) {
    return embedded_ ? call(*embedded_) : call(served_->operator_);
  }

  std::unique_ptr<backend::LocalScaling> embedded_;
  std::unique_ptr<Served> served_;
};

}  // namespace tavoren::local_backend_testing
