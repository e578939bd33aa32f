// The Scaling contract over the network.

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "caller.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/logging.h"
#include "tavoren/protocol.h"

namespace tavoren::backend {
using detail::named;

RemoteScaling::RemoteScaling(RemoteOptions options)
    : caller_(std::make_unique<detail::RemoteCaller>(std::move(options))) {}

RemoteScaling::~RemoteScaling() = default;

const Session& RemoteScaling::session() const { return caller_->session(); }

Result RemoteScaling::assign_jobs(bool has_gpu) {
  return caller_->call("assign_jobs", named({{"has_gpu", has_gpu}}));
}

Result RemoteScaling::update_action_status(const Json& arguments) {
  return caller_->call("update_action_status", arguments);
}

Result RemoteScaling::update_status(const std::string& action_record_id,
                                    const std::string& action_type, const std::string& service,
                                    const std::string& step_code, const std::string& status,
                                    const std::string& description) {
  return caller_->call("update_status", named({{"action_record_id", action_record_id},
                                               {"action_type", action_type},
                                               {"service", service},
                                               {"step_code", step_code},
                                               {"status", status},
                                               {"description", description}}));
}

Result RemoteScaling::update_action(const Json& arguments) {
  return caller_->call("update_action", arguments);
}

namespace {

constexpr std::array<const char*, 3> kPlaceArguments = {"log_stream", "log_start_offset",
                                                        "log_end_offset"};

bool is_placed(const Json& arguments) {
  return arguments.is_object() && arguments.contains(kPlaceArguments[0]);
}

// Whether a server refused the request for naming a log piece's place, an
// argument it does not know yet.
bool refused_the_place(const RemoteCallError& e) {
  if (e.status() != wire::status::kMalformed) return false;
  const std::string_view what = e.what();
  if (what.find("unknown argument") == std::string_view::npos) return false;
  return std::any_of(kPlaceArguments.begin(), kPlaceArguments.end(),
                     [&](const char* name) { return what.find(name) != std::string_view::npos; });
}

}  // namespace

Result RemoteScaling::update_action_docker_logs(const Json& arguments) {
  if (!is_placed(arguments)) return caller_->call("update_action_docker_logs", arguments);
  if (!unplaced_pieces_.load()) {
    try {
      return caller_->call("update_action_docker_logs", arguments);
    } catch (const RemoteCallError& e) {
      if (!refused_the_place(e)) throw;
      if (!unplaced_pieces_.exchange(true)) {
        log::warning(
            "The backend server does not take a log piece's place in the file (a server older "
            "than this agent): log pieces are sent without it, and a piece sent again after a "
            "restart of the agent may be stored twice");
      }
    }
  }
  Json unplaced = arguments;
  for (const char* name : kPlaceArguments) unplaced.erase(name);
  return caller_->call("update_action_docker_logs", unplaced);
}

Result RemoteScaling::get_action_details(const std::string& action_record_id) {
  return caller_->call("get_action_details", named({{"action_record_id", action_record_id}}));
}

Result RemoteScaling::get_downscaled_ids() {
  return caller_->call("get_downscaled_ids", Json::object());
}

Result RemoteScaling::get_model_codebase(const std::string& model_family) {
  return caller_->call("get_model_codebase", named({{"model_family", model_family}}));
}

Result RemoteScaling::get_model_codebase_requirements(const std::string& model_family) {
  return caller_->call("get_model_codebase_requirements", named({{"model_family", model_family}}));
}

Result RemoteScaling::get_docker_hub_credentials() {
  return caller_->call("get_docker_hub_credentials", Json::object());
}

Result RemoteScaling::get_user_access_key_pair(const std::string& user_id) {
  return caller_->call("get_user_access_key_pair", named({{"user_id", user_id}}));
}

Result RemoteScaling::get_model_secret_keys(const std::string& secret_name) {
  return caller_->call("get_model_secret_keys", named({{"secret_name", secret_name}}));
}

Result RemoteScaling::get_internal_api_key(const std::string& action_record_id) {
  return caller_->call("get_internal_api_key", named({{"action_record_id", action_record_id}}));
}

Json RemoteScaling::get_data_processing_image() {
  return caller_->call_for_value("get_data_processing_image", Json::object());
}

Json RemoteScaling::get_open_port() {
  return caller_->call_for_value("get_open_port", Json::object());
}

Json RemoteScaling::get_shutdown_details() {
  return caller_->call_for_value("get_shutdown_details", Json::object());
}

Result RemoteScaling::update_available_resources(const Json& arguments) {
  return caller_->call("update_available_resources", arguments);
}

void RemoteScaling::record_exit(const std::string& action_record_id, int exit_status) {
  caller_->call_or_throw(
      "record_exit", named({{"action_record_id", action_record_id}, {"exit_status", exit_status}}));
}

}  // namespace tavoren::backend
