// The operator's calls over the network.

#include <string>

#include "caller.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/errors.h"

namespace tavoren::backend {
using detail::named;

RemoteOperator::RemoteOperator(RemoteOptions options)
    : caller_(std::make_unique<detail::RemoteCaller>(std::move(options))) {}

RemoteOperator::~RemoteOperator() = default;

std::string RemoteOperator::submit(const Json& record) {
  const Json id = caller_->call_or_throw("operator/submit", named({{"record", record}}));
  if (!id.is_string()) {
    throw TypeError(std::string("the backend answered submit with ") + kind_name(id) +
                    " instead of an identifier");
  }
  return id.get<std::string>();
}

Json RemoteOperator::list() { return caller_->call_or_throw("operator/list", Json::object()); }

Json RemoteOperator::show(const std::string& action_record_id) {
  return caller_->call_or_throw("operator/show", named({{"action_record_id", action_record_id}}));
}

namespace {

RemoteLogChunk log_chunk_of(const Json& data) {
  const Json& content = required_field(data, "the backend's log answer", "content");
  const Json& next_offset = required_field(data, "the backend's log answer", "next_offset");
  const Json& finished = required_field(data, "the backend's log answer", "finished");
  if (!content.is_string() || !next_offset.is_number_integer() || !finished.is_boolean()) {
    throw TypeError("the backend's log answer does not hold a text, an offset and a flag");
  }
  const auto more = data.find("more");
  return RemoteLogChunk{content.get<std::string>(), next_offset.get<std::int64_t>(),
                        finished.get<bool>(),
                        more != data.end() && more->is_boolean() && more->get<bool>()};
}

}  // namespace

RemoteLogChunk RemoteOperator::logs(const std::string& action_record_id,
                                    std::int64_t after_offset) {
  return log_chunk_of(caller_->call_or_throw(
      "operator/logs",
      named({{"action_record_id", action_record_id}, {"after_offset", after_offset}})));
}

RemoteLogChunk RemoteOperator::attempt_log(const std::string& action_record_id,
                                           std::int64_t attempt, std::int64_t after_offset) {
  return log_chunk_of(
      caller_->call_or_throw("operator/logs", named({{"action_record_id", action_record_id},
                                                     {"after_offset", after_offset},
                                                     {"attempt", attempt}})));
}

Json RemoteOperator::queue(std::int64_t limit) {
  return caller_->call_or_throw("operator/queue", named({{"limit", limit}}));
}

Json RemoteOperator::machines() {
  return caller_->call_or_throw("operator/machines", Json::object());
}

Json RemoteOperator::machine(const std::string& instance_id) {
  return caller_->call_or_throw("operator/machine", named({{"instance_id", instance_id}}));
}

void RemoteOperator::set_machine(const std::string& instance_id, std::optional<int> gpus,
                                 std::optional<int> max_actions,
                                 const std::map<std::string, std::string>& labels) {
  Json arguments = named({{"instance_id", instance_id}});
  if (gpus) arguments["gpus"] = *gpus;
  if (max_actions) arguments["max_actions"] = *max_actions;
  if (!labels.empty()) arguments["labels"] = Json(labels);
  caller_->call_or_throw("operator/set_machine", arguments);
}

void RemoteOperator::drain_machine(const std::string& instance_id,
                                   std::optional<std::chrono::seconds> deadline) {
  Json arguments = named({{"instance_id", instance_id}});
  if (deadline) arguments["deadline_seconds"] = deadline->count();
  caller_->call_or_throw("operator/drain_machine", arguments);
}

void RemoteOperator::undrain_machine(const std::string& instance_id) {
  caller_->call_or_throw("operator/undrain_machine", named({{"instance_id", instance_id}}));
}

void RemoteOperator::forget_machine(const std::string& instance_id) {
  caller_->call_or_throw("operator/forget_machine", named({{"instance_id", instance_id}}));
}

void RemoteOperator::scale_down(const std::string& action_record_id) {
  caller_->call_or_throw("operator/scale_down", named({{"action_record_id", action_record_id}}));
}

void RemoteOperator::set_registry_credentials(const std::string& username,
                                              const std::string& password,
                                              const std::string& registry) {
  caller_->call_or_throw(
      "operator/set_registry_credentials",
      named({{"username", username}, {"password", password}, {"registry", registry}}));
}

void RemoteOperator::set_key_pair(const std::string& user_id, const std::string& access_key,
                                  const std::string& secret_key) {
  caller_->call_or_throw(
      "operator/set_key_pair",
      named({{"user_id", user_id}, {"access_key", access_key}, {"secret_key", secret_key}}));
}

void RemoteOperator::set_codebase(const std::string& model_family, const std::string& url,
                                  const std::optional<std::string>& requirements_url) {
  caller_->call_or_throw(
      "operator/set_codebase",
      named({{"model_family", model_family},
             {"url", url},
             {"requirements_url", requirements_url ? Json(*requirements_url) : Json()}}));
}

void RemoteOperator::set_model_secret(const std::string& secret_name,
                                      const std::string& user_access_token,
                                      const std::string& owner) {
  Json arguments = named({{"secret_name", secret_name}, {"user_access_token", user_access_token}});
  if (!owner.empty()) arguments["user_id"] = owner;
  caller_->call_or_throw("operator/set_model_secret", arguments);
}

void RemoteOperator::set_internal_api_key(const std::string& action_record_id,
                                          const std::string& key) {
  caller_->call_or_throw("operator/set_internal_api_key",
                         named({{"action_record_id", action_record_id}, {"key", key}}));
}

void RemoteOperator::set_data_processing_image(const std::string& image) {
  caller_->call_or_throw("operator/set_data_processing_image", named({{"image", image}}));
}

void RemoteOperator::set_shutdown_details(double shutdown_threshold, double launch_duration,
                                          const std::string& instance_source) {
  caller_->call_or_throw("operator/set_shutdown_details",
                         named({{"shutdown_threshold", shutdown_threshold},
                                {"launch_duration", launch_duration},
                                {"instance_source", instance_source}}));
}

Json RemoteOperator::machine_resources() {
  return caller_->call_or_throw("operator/machine_resources", Json::object());
}

Json RemoteOperator::configuration() {
  return caller_->call_or_throw("operator/configuration", Json::object());
}

}  // namespace tavoren::backend
