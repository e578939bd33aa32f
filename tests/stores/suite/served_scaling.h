// The embedded backend's calls made through the network: an object with
// LocalScaling's calls that serves its options' database from a server in
// the test's own process (TLS on 127.0.0.1) and makes every call through
// the agent's and the operator's network clients. The embedded backend's
// tests compiled against it run a second time through client, TLS, server
// and store, and must get the same answers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "in_process_server.h"
#include "tavoren/backend_client.h"
#include "tavoren/sqlite_store.h"
#include "test_tls.h"

namespace tavoren::local_backend_testing {

class ServedScaling {
 public:
  // The instance that an object without an instance identifier calls as:
  // every agent call needs an instance key.
  static constexpr const char* kUnnamedInstance = "served-unnamed-instance";

  explicit ServedScaling(backend::LocalBackendOptions options)
      : server_(options, tls()),
        agent_(server_.remote_options(server_.new_session(
            backend::wire::Role::kInstance,
            options.instance_id.empty() ? kUnnamedInstance : options.instance_id))),
        operator_(server_.remote_options(server_.new_session(backend::wire::Role::kOperator))) {}

  static int schema_version() { return backend::LocalScaling::schema_version(); }
  static const std::vector<std::string>& action_types() {
    return backend::LocalScaling::action_types();
  }

  // ---- The agent's calls ----
  const backend::Session& session() const { return agent_.session(); }
  backend::Result assign_jobs(bool has_gpu) { return agent_.assign_jobs(has_gpu); }
  backend::Result update_action_status(const Json& arguments) {
    return agent_.update_action_status(arguments);
  }
  backend::Result update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) {
    return agent_.update_status(action_record_id, action_type, service, step_code, status,
                                description);
  }
  backend::Result update_action(const Json& arguments) { return agent_.update_action(arguments); }
  backend::Result update_action_docker_logs(const Json& arguments) {
    return agent_.update_action_docker_logs(arguments);
  }
  backend::Result get_action_details(const std::string& id) {
    return agent_.get_action_details(id);
  }
  backend::Result get_downscaled_ids() { return agent_.get_downscaled_ids(); }
  backend::Result get_model_codebase(const std::string& family) {
    return agent_.get_model_codebase(family);
  }
  backend::Result get_model_codebase_requirements(const std::string& family) {
    return agent_.get_model_codebase_requirements(family);
  }
  backend::Result get_docker_hub_credentials() { return agent_.get_docker_hub_credentials(); }
  backend::Result get_user_access_key_pair(const std::string& user_id) {
    return agent_.get_user_access_key_pair(user_id);
  }
  backend::Result get_model_secret_keys(const std::string& name) {
    return agent_.get_model_secret_keys(name);
  }
  backend::Result get_internal_api_key(const std::string& id) {
    return agent_.get_internal_api_key(id);
  }
  Json get_data_processing_image() { return agent_.get_data_processing_image(); }
  Json get_open_port() { return agent_.get_open_port(); }
  Json get_shutdown_details() { return agent_.get_shutdown_details(); }
  backend::Result update_available_resources(const Json& arguments) {
    return agent_.update_available_resources(arguments);
  }
  void record_exit(const std::string& id, int exit_status) { agent_.record_exit(id, exit_status); }

  // ---- The operator's calls ----
  std::string submit(const Json& record) { return operator_.submit(record); }
  Json list() { return operator_.list(); }
  Json show(const std::string& id) { return operator_.show(id); }
  backend::LogChunk logs(const std::string& id, std::int64_t after_offset = 0) {
    backend::RemoteLogChunk chunk = operator_.logs(id, after_offset);
    return backend::LogChunk{std::move(chunk.content), chunk.next_offset, chunk.finished};
  }
  void scale_down(const std::string& id) { operator_.scale_down(id); }
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "") {
    operator_.set_registry_credentials(username, password, registry);
  }
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key) {
    operator_.set_key_pair(user_id, access_key, secret_key);
  }
  void set_codebase(const std::string& family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt) {
    operator_.set_codebase(family, url, requirements_url);
  }
  void set_model_secret(const std::string& name, const std::string& token) {
    operator_.set_model_secret(name, token);
  }
  void set_internal_api_key(const std::string& id, const std::string& key) {
    operator_.set_internal_api_key(id, key);
  }
  void set_data_processing_image(const std::string& image) {
    operator_.set_data_processing_image(image);
  }
  void set_shutdown_details(double threshold, double launch_duration, const std::string& source) {
    operator_.set_shutdown_details(threshold, launch_duration, source);
  }
  Json machine_resources() { return operator_.machine_resources(); }
  Json configuration() { return operator_.configuration(); }

 private:
  // One set of certificates for the whole test program.
  static const testing::TestTls& tls() {
    static const testing::TestTls shared;
    return shared;
  }

  testing::InProcessServer server_;
  backend::RemoteScaling agent_;
  backend::RemoteOperator operator_;
};

}  // namespace tavoren::local_backend_testing
