// The container command line of an action: GPU flag, model-hub token,
// internal API key, and the common front of every job's `docker run` line.
//
// The line is read twice by a shell: once as a whole (the agent splits it
// by POSIX rules; a shell would read it the same way), and once more inside
// the container, where /bin/bash runs the double-quoted script. Every value
// that reaches the line is therefore shell-quoted, and what sits inside the
// script is also escaped for the double quotes around it. The values of the
// secret variables never reach the line: it names them (`-e NAME`,
// `export NAME="$NAME"`), and the unit hands their values to the engine's
// client in its environment.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/mutex.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"
#include "tavoren/work_unit.h"

namespace tavoren {
namespace {

using executor_support::script_word;

bool is_env_name(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

// The container environment, in order.
using EnvMap = std::vector<std::pair<std::string, std::string>>;

void set_env(EnvMap& env, const std::string& name, std::string value) {
  if (!is_env_name(name)) throw ValueError("Invalid environment variable name: " + name);
  for (auto& [known, known_value] : env) {
    if (known == name) {
      known_value = std::move(value);
      return;
    }
  }
  env.emplace_back(name, std::move(value));
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += parts[i];
  }
  return joined;
}

// The further environment of `options` merged over `env`.
void add_extra_env(EnvMap& env, const DockerCmdOptions& options) {
  if (!options.extra_env_vars || !is_truthy(*options.extra_env_vars)) return;
  if (!options.extra_env_vars->is_object()) {
    throw TypeError("extra_env_vars must be a map of names to values");
  }
  for (const auto& [name, value] : options.extra_env_vars->items()) {
    set_env(env, name, text_of(value));
  }
}

// The host's network, or one -p flag per mapped port.
std::vector<std::string> network_flags(const DockerCmdOptions& options) {
  std::vector<std::string> network;
  if (!options.port_mapping || !is_truthy(*options.port_mapping)) {
    network.push_back("--net=host");
    return network;
  }
  if (!options.port_mapping->is_object()) {
    throw TypeError("port_mapping must be a map of host ports to container ports");
  }
  for (const auto& [host_port, container_port] : options.port_mapping->items()) {
    network.push_back("-p " + shell_quote(host_port + ":" + text_of(container_port)));
  }
  return network;
}

// The folder the container's script starts in.
std::string script_workdir(const DockerCmdOptions& options) {
  if (!options.docker_workdir.empty()) return options.docker_workdir;
  return options.action_id.empty() ? "." : "/usr/src/" + options.action_id;
}

// The workspace, the action's folder and the engine's socket, each "" when
// not mounted.
std::vector<std::string> mount_flags(const DockerCmdOptions& options) {
  const bool mounts_work_fs = !options.work_fs.empty() && options.work_fs != "/";
  std::string workspace_mount;
  if (mounts_work_fs) {
    workspace_mount =
        "-v " + shell_quote(options.work_fs + "/workspace:" + options.destination_workspace_path);
  }
  std::string action_mount;
  if (mounts_work_fs && !options.action_id.empty()) {
    action_mount = "-v " + shell_quote(options.work_fs + "/" + options.action_id + ":/usr/src/" +
                                       options.action_id);
  }
  std::string socket_mount;
  if (options.mount_docker_sock) socket_mount = "-v /var/run/docker.sock:/var/run/docker.sock";
  return {workspace_mount, action_mount, socket_mount};
}

}  // namespace

std::string WorkUnit::get_gpu_config(const Json& action_details) {
  return log_errors("get_gpu_config", {.default_return = ""}, [&]() -> std::string {
    const Json& details = action_details.at("actionDetails");
    const auto required = details.find("gpuRequired");
    if (required == details.end() || !is_truthy(*required)) return "";

    const std::vector<int> gpus =
        host_probe::get_gpu_with_sufficient_memory_for_action(action_details);
    if (gpus.empty()) {
      log::info("No GPUs with sufficient memory found.");
      return "";
    }
    {
      MutexLock lock(state_mutex_);
      gpus_ = gpus;
    }
    std::vector<std::string> indices;
    for (int gpu : gpus) indices.push_back(std::to_string(gpu));
    const std::string joined = join(indices, ",");
    log::info("Using GPUs: %s", joined);
    return "--gpus \"device=" + joined + "\"";
  });
}

std::string WorkUnit::get_hugging_face_token(const std::string& model_key) {
  return log_errors("get_hugging_face_token", {.default_return = ""}, [&]() -> std::string {
    if (model_key.empty()) return "";
    if (!model_key.starts_with("microsoft") && !model_key.starts_with("timm")) return "";
    const backend::Result result =
        scaling_.get_model_secret_keys("hugging_face", action_record_id_);
    if (result.has_error_set()) {
      log::error("Error getting Hugging Face token: %s", result.message);
      return "";
    }
    std::string token = text_of(result.data.at("user_access_token"));
    keep_secret_masked(token);
    return token;
  });
}

std::string WorkUnit::get_internal_api_key(const std::string& action_id) {
  return log_errors("get_internal_api_key", {.default_return = ""}, [&]() -> std::string {
    const backend::Result result = scaling_.get_internal_api_key(action_id);
    if (result.has_error_set()) {
      log::error("Error getting internal api key: %s", result.message);
      return "";
    }
    std::string key = text_of(result.data.at("internal_api_key"));
    keep_secret_masked(key);
    return key;
  });
}

std::string WorkUnit::get_base_docker_cmd(const DockerCmdOptions& options) {
  return log_errors("get_base_docker_cmd", {.default_return = ""}, [&]() -> std::string {
    if (docker_container_.is_null()) throw ValueError("The action has no container image");
    const std::string env = config::environment();

    const std::string secret_key = tavoren_secret_access_key().value_or("");
    const std::string access_key = tavoren_access_key_id().value_or("");
    keep_secret_masked(secret_key);
    keep_secret_masked(access_key);
    EnvMap env_vars;
    set_env(env_vars, "ENV", env);
    set_env(env_vars, "TAVOREN_SECRET_ACCESS_KEY", secret_key);
    set_env(env_vars, "TAVOREN_ACCESS_KEY_ID", access_key);

    const std::string token = get_hugging_face_token(options.model_key);
    if (!token.empty()) set_env(env_vars, "HUGGING_FACE_ACCESS_TOKEN", token);

    add_extra_env(env_vars, options);
    const std::vector<std::string> network = network_flags(options);
    const std::string workdir = script_workdir(options);
    const std::vector<std::string> mounts = mount_flags(options);

    const std::string index_url = config::package_index_url(env);
    const std::string platform_install = "pip install --upgrade --force-reinstall --index-url " +
                                         script_word(index_url) + " tavoren";
    const std::string requirements_install =
        "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi ";

    std::vector<std::string> exports;
    std::vector<std::string> client_environment;
    for (const auto& [name, value] : env_vars) {
      if (is_container_secret_variable(name)) {
        exports.push_back("export " + name + "=" + escape_double_quoted("\"$" + name + "\""));
        client_environment.push_back(name + "=" + value);
        keep_secret_masked(value);
      } else {
        exports.push_back("export " + name + "=" + script_word(value));
      }
    }

    std::vector<std::string> parts;
    parts.push_back("docker run " + options.use_gpu + " ");
    parts.insert(parts.end(), network.begin(), network.end());
    for (const auto& [name, value] : env_vars) {
      parts.push_back(is_container_secret_variable(name) ? "-e " + name
                                                         : "-e " + name + "=" + shell_quote(value));
    }
    parts.insert(parts.end(), mounts.begin(), mounts.end());
    parts.push_back("--shm-size=30G --pull=always " + shell_quote(text_of(docker_container_)));
    parts.push_back("/bin/bash -c \"cd " + script_word(workdir) + " && " + join(exports, " && ") +
                    " && " + requirements_install + " && " + platform_install + " && ");

    std::vector<std::string> kept;
    for (std::string& part : parts) {
      if (!part.empty()) kept.push_back(std::move(part));
    }
    set_container_environment(std::move(client_environment));
    return join(kept, " ");
  });
}

LaunchCommand finish_container_command(const std::string& cmd, const std::string& cid_path,
                                       const std::string& action_id,
                                       const std::vector<std::string>& extra_labels) {
  LaunchCommand launch{.argv = shell_split(cmd)};
  if (launch.argv.empty()) throw ValueError("the command line is empty");
  if (launch.argv.size() >= 2 && std::filesystem::path(launch.argv[0]).filename() == "docker" &&
      launch.argv[1] == "run") {
    launch.cid_path = cid_path;
    launch.argv.insert(
        launch.argv.begin() + 2,
        {"--cidfile", cid_path, "--label", std::string(engine::kActionIdLabel) + "=" + action_id});
    auto at = launch.argv.begin() + 6;
    for (const std::string& label : extra_labels) {
      at = launch.argv.insert(at, {"--label", label}) + 2;
    }
  }
  return launch;
}

}  // namespace tavoren
