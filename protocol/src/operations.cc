// The operation table of protocol version 1, and the request paths.

#include <string>
#include <string_view>
#include <vector>

#include "tavoren/protocol.h"

namespace tavoren::backend::wire {
namespace {

constexpr bool kRequired = true;
constexpr bool kOptional = false;

Argument text(std::string_view name, bool required = kRequired) {
  return Argument{name, ValueKind::kText, required};
}
Argument any(std::string_view name, bool required = kRequired) {
  return Argument{name, ValueKind::kAny, required};
}
Argument integer(std::string_view name, bool required = kRequired) {
  return Argument{name, ValueKind::kInteger, required};
}
// The attempt of the action a write is about (fencing): optional, so that
// agents older than it are still served.
Argument attempt() { return integer("attempt", kOptional); }

// One flat table, one entry per operation, read top to bottom: it stays
// whole however long it grows.
std::vector<Operation> build_table() {
  constexpr Role kI = Role::kInstance;
  constexpr Role kO = Role::kOperator;
  constexpr AnswerShape kR = AnswerShape::kResult;
  constexpr AnswerShape kV = AnswerShape::kValue;
  constexpr bool kWrite = true;
  constexpr bool kRead = false;
  return {
      // The Scaling contract.
      {"assign_jobs", kI, kWrite, kR, {{"has_gpu", ValueKind::kBoolean, kRequired}}},
      {"update_action_status",
       kI,
       kWrite,
       kR,
       {any("service_provider"), text("action_record_id"), any("status"), any("action_duration"),
        any("isRunning", kOptional), any("cpuUtilisation", kOptional),
        any("gpuUtilisation", kOptional), any("memoryUtilisation", kOptional),
        any("gpuMemoryUsed", kOptional), attempt()}},
      {"update_status",
       kI,
       kWrite,
       kR,
       {text("action_record_id"), text("action_type"), text("service"), text("step_code"),
        text("status"), text("description"), attempt()}},
      {"update_action",
       kI,
       kWrite,
       kR,
       {text("id"), any("step_code"), any("action_type"), any("status"), any("status_description"),
        any("service"), any("job_params"), any("sub_action", kOptional), attempt()}},
      {"update_action_docker_logs",
       kI,
       kWrite,
       kR,
       {text("action_record_id"),
        text("log_content"),
        text("log_stream", kOptional),
        {"log_start_offset", ValueKind::kInteger, kOptional},
        {"log_end_offset", ValueKind::kInteger, kOptional},
        attempt()}},
      {"get_action_details", kI, kRead, kR, {text("action_record_id")}},
      {"get_downscaled_ids", kI, kRead, kR, {}},
      {"get_model_codebase", kI, kRead, kR, {text("model_family")}},
      {"get_model_codebase_requirements", kI, kRead, kR, {text("model_family")}},
      {"get_docker_hub_credentials", kI, kRead, kR, {}},
      {"get_user_access_key_pair", kI, kRead, kR, {text("user_id")}},
      {"get_model_secret_keys",
       kI,
       kRead,
       kR,
       {text("secret_name"), text("action_record_id", kOptional)}},
      {"get_internal_api_key", kI, kRead, kR, {text("action_record_id")}},
      {"get_data_processing_image", kI, kRead, kV, {}},
      // Hands out a port and holds it for the action: a write.
      {"get_open_port", kI, kWrite, kV, {}},
      {"get_shutdown_details", kI, kRead, kV, {}},
      {"update_available_resources",
       kI,
       kWrite,
       kR,
       {any("available_memory"),
        any("available_cpu"),
        any("available_gpu_memory"),
        any("gpu_utilisation"),
        {"inventory", ValueKind::kObject, kOptional}}},
      // How an action's process ended on the instance it ran on.
      {"record_exit",
       kI,
       kWrite,
       kR,
       {text("action_record_id"),
        {"exit_status", ValueKind::kInteger, kRequired},
        text("cause", kOptional),
        attempt()}},
      // The agent is alive; what it says of itself.
      {"heartbeat",
       kI,
       kWrite,
       kR,
       {text("agent_version", kOptional), text("provider", kOptional), text("mode", kOptional)}},

      // The operator's calls.
      {"operator/submit", kO, kWrite, kR, {any("record")}},
      {"operator/list", kO, kRead, kR, {}},
      {"operator/show", kO, kRead, kR, {text("action_record_id")}},
      {"operator/logs",
       kO,
       kRead,
       kR,
       {text("action_record_id"),
        {"after_offset", ValueKind::kInteger, kOptional},
        integer("attempt", kOptional)}},
      {"operator/scale_down", kO, kWrite, kR, {text("action_record_id")}},
      {"operator/set_registry_credentials",
       kO,
       kWrite,
       kR,
       {text("username"), text("password"), text("registry", kOptional)}},
      {"operator/set_key_pair",
       kO,
       kWrite,
       kR,
       {text("user_id"), text("access_key"), text("secret_key")}},
      {"operator/set_codebase",
       kO,
       kWrite,
       kR,
       {text("model_family"), text("url"), text("requirements_url", kOptional)}},
      {"operator/set_model_secret",
       kO,
       kWrite,
       kR,
       {text("secret_name"), text("user_access_token"), text("user_id", kOptional)}},
      {"operator/set_internal_api_key", kO, kWrite, kR, {text("action_record_id"), text("key")}},
      {"operator/set_data_processing_image", kO, kWrite, kR, {text("image")}},
      {"operator/set_shutdown_details",
       kO,
       kWrite,
       kR,
       {{"shutdown_threshold", ValueKind::kNumber, kRequired},
        {"launch_duration", ValueKind::kNumber, kRequired},
        text("instance_source")}},
      {"operator/machine_resources", kO, kRead, kR, {}},
      {"operator/configuration", kO, kRead, kR, {}},
      // The machines.
      {"operator/machines", kO, kRead, kR, {}},
      {"operator/queue", kO, kRead, kR, {integer("limit", kOptional)}},
      {"operator/machine", kO, kRead, kR, {text("instance_id")}},
      {"operator/set_machine",
       kO,
       kWrite,
       kR,
       {text("instance_id"),
        integer("gpus", kOptional),
        integer("max_actions", kOptional),
        {"labels", ValueKind::kObject, kOptional}}},
      {"operator/drain_machine",
       kO,
       kWrite,
       kR,
       {text("instance_id"), integer("deadline_seconds", kOptional)}},
      {"operator/undrain_machine", kO, kWrite, kR, {text("instance_id")}},
      {"operator/forget_machine", kO, kWrite, kR, {text("instance_id")}},
  };
}

}  // namespace

const char* role_name(Role role) {
  switch (role) {
    case Role::kInstance:
      return "instance";
    case Role::kOperator:
      return "operator";
    case Role::kViewer:
      return "viewer";
  }
  return "unknown";
}

std::optional<Role> role_named(std::string_view name) {
  for (const Role role : {Role::kInstance, Role::kOperator, Role::kViewer}) {
    if (name == role_name(role)) return role;
  }
  return std::nullopt;
}

bool may_call(Role caller, const Operation& operation) {
  if (operation.any_role || caller == operation.role) return true;
  return caller == Role::kViewer && operation.role == Role::kOperator && !operation.write &&
         operation.name != "operator/configuration";
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> table = build_table();
  return table;
}

const Operation* find_operation(std::string_view name) {
  for (const Operation& operation : operations()) {
    if (operation.name == name) return &operation;
  }
  return nullptr;
}

std::string path_of(std::string_view operation) {
  std::string path;
  path.reserve(kProtocolVersion.size() + operation.size() + 2);
  path += '/';
  path += kProtocolVersion;
  path += '/';
  path += operation;
  return path;
}

const Operation& versions_operation() {
  static const Operation kVersions{"versions", Role::kInstance, false, AnswerShape::kResult, {},
                                   true};
  return kVersions;
}

const Operation* operation_of_path(std::string_view path) {
  if (path == kVersionsPath) return &versions_operation();
  const std::string prefix = path_of("");
  if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) return nullptr;
  return find_operation(path.substr(prefix.size()));
}

bool is_retryable_status(long status) {
  return status == status::kTooManyRequests || (status >= 500 && status <= 599);
}

}  // namespace tavoren::backend::wire
