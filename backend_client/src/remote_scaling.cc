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
  Result result = caller_->call("assign_jobs", named({{"has_gpu", has_gpu}}));
  const auto learn = [&](const Json& record) {
    if (!record.is_object()) return;
    const auto id = record.find("_id");
    const auto attempt = record.find("attempt");
    if (id != record.end() && id->is_string() && attempt != record.end() &&
        attempt->is_number_integer()) {
      adopt(id->get<std::string>(), attempt->get<std::int64_t>());
    }
  };
  if (result.data.is_array()) {
    for (const Json& record : result.data) learn(record);
  } else {
    learn(result.data);
  }
  return result;
}

void RemoteScaling::adopt(const std::string& action_record_id, std::int64_t attempt) {
  std::lock_guard lock(attempts_mutex_);
  attempts_[action_record_id] = attempt;
}

void RemoteScaling::forget(const std::string& action_record_id) {
  std::lock_guard lock(attempts_mutex_);
  attempts_.erase(action_record_id);
}

std::optional<std::int64_t> RemoteScaling::attempt_of(const std::string& action_record_id) const {
  std::lock_guard lock(attempts_mutex_);
  const auto found = attempts_.find(action_record_id);
  if (found == attempts_.end()) return std::nullopt;
  return found->second;
}

namespace {

// Whether a server refused the request for an argument it does not know
// yet (a server older than its agents).
bool refused_unknown(const RemoteCallError& e, std::string_view argument) {
  if (e.status() != wire::status::kMalformed) return false;
  const std::string_view what = e.what();
  return what.find("unknown argument") != std::string_view::npos &&
         what.find(argument) != std::string_view::npos;
}

}  // namespace

Result RemoteScaling::call_about(const char* operation, Json arguments, const char* id_key) {
  if (!unfenced_.load() && arguments.is_object()) {
    const auto id = arguments.find(id_key);
    if (id != arguments.end() && id->is_string()) {
      if (const std::optional<std::int64_t> attempt = attempt_of(id->get<std::string>())) {
        Json fenced = arguments;
        fenced["attempt"] = *attempt;
        try {
          Result result = caller_->call(operation, fenced);
          // The action is another's now: nothing more is written about it.
          if (is_not_current(result)) forget(id->get<std::string>());
          return result;
        } catch (const RemoteCallError& e) {
          if (!refused_unknown(e, "attempt")) throw;
          if (!unfenced_.exchange(true)) {
            log::warning(
                "The backend server does not take an action's attempt (a server older than this "
                "agent): writes are sent without it");
          }
        }
      }
    }
  }
  return caller_->call(operation, arguments);
}

Result RemoteScaling::update_action_status(const Json& arguments) {
  return call_about("update_action_status", arguments, "action_record_id");
}

Result RemoteScaling::update_status(const std::string& action_record_id,
                                    const std::string& action_type, const std::string& service,
                                    const std::string& step_code, const std::string& status,
                                    const std::string& description) {
  return call_about("update_status",
                    named({{"action_record_id", action_record_id},
                           {"action_type", action_type},
                           {"service", service},
                           {"step_code", step_code},
                           {"status", status},
                           {"description", description}}),
                    "action_record_id");
}

Result RemoteScaling::update_action(const Json& arguments) {
  return call_about("update_action", arguments, "id");
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
  return std::any_of(kPlaceArguments.begin(), kPlaceArguments.end(),
                     [&](const char* name) { return refused_unknown(e, name); });
}

}  // namespace

Result RemoteScaling::update_action_docker_logs(const Json& arguments) {
  if (!is_placed(arguments)) {
    return call_about("update_action_docker_logs", arguments, "action_record_id");
  }
  if (!unplaced_pieces_.load()) {
    try {
      return call_about("update_action_docker_logs", arguments, "action_record_id");
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
  return call_about("update_action_docker_logs", unplaced, "action_record_id");
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

Result RemoteScaling::get_model_secret_keys(const std::string& secret_name,
                                            const std::string& action_record_id) {
  Json arguments = named({{"secret_name", secret_name}});
  // Left out when none is named, as agents before it sent the call.
  if (!action_record_id.empty()) arguments["action_record_id"] = action_record_id;
  return caller_->call("get_model_secret_keys", std::move(arguments));
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

void RemoteScaling::record_exit(const std::string& action_record_id, int exit_status,
                                std::string_view cause) {
  Json arguments = named({{"action_record_id", action_record_id}, {"exit_status", exit_status}});
  // The plain end goes as older servers take it.
  if (cause != "exited") arguments["cause"] = std::string(cause);
  const std::optional<std::int64_t> attempt = attempt_of(action_record_id);
  if (attempt && !unfenced_.load()) arguments["attempt"] = *attempt;
  try {
    caller_->call_or_throw("record_exit", arguments);
  } catch (const NotCurrentError&) {
    forget(action_record_id);
    throw;
  }
  forget(action_record_id);
}

Result RemoteScaling::heartbeat(const std::string& agent_version, const std::string& provider,
                                std::string_view mode) {
  Json arguments = named({{"agent_version", agent_version}, {"provider", provider}});
  // The plain heartbeat goes as older servers take it.
  if (mode != "active") arguments["mode"] = std::string(mode);
  return caller_->call("heartbeat", arguments);
}

}  // namespace tavoren::backend
