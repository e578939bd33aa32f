// One reaping pass: scaled-down actions' running containers are stopped.
#include "tavoren/container_reaper.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"

namespace tavoren {
namespace {

// The action a container runs: the agent's action label when the
// container has one, else the first argument of its command that is
// exactly as long as an action identifier.
std::optional<std::string> action_of(const Json& record, const std::string& container_id) {
  if (auto config = record.find("Config"); config != record.end() && config->is_object()) {
    if (auto labels = config->find("Labels"); labels != config->end() && labels->is_object()) {
      auto label = labels->find(std::string(config::kActionIdLabel));
      if (label != labels->end() && label->is_string() &&
          !label->get_ref<const std::string&>().empty()) {
        return label->get<std::string>();
      }
    }
  }
  auto args = record.find("Args");
  if (args == record.end()) {
    throw KeyError("the inspection record of container " + container_id + " has no Args");
  }
  if (!args->is_array()) {
    throw TypeError("the Args of container " + container_id + " are not a list");
  }
  for (const Json& arg : *args) {
    if (!arg.is_string()) {
      throw TypeError("an argument of container " + container_id + " is not a text");
    }
    const std::string& text = arg.get_ref<const std::string&>();
    if (backend::has_action_id_length(text)) return text;
  }
  return std::nullopt;
}

std::string container_id_of(const Json& summary) {
  auto id = summary.is_object() ? summary.find("Id") : summary.end();
  if (!summary.is_object() || id == summary.end() || !id->is_string()) {
    throw KeyError("a listed container has no Id: " + summary.dump());
  }
  return id->get<std::string>();
}

}  // namespace

ContainerReaper::ContainerReaper(backend::Scaling& scaling, engine::ClientOptions engine_options)
    : docker_client_(std::move(engine_options)), scaling_(scaling) {}

void ContainerReaper::auto_scaledown_actions() {
  log_errors("auto_scaledown_actions", {}, [&] {
    const backend::Result downscaled = scaling_.get_downscaled_ids();
    if (downscaled.has_error_set()) {
      log::error("Error getting downscaled ids: %s", *downscaled.error);
      return;
    }
    const Json& ids = downscaled.data;
    const Json containers =
        docker_client_.list_containers({.filters = {{"status", {"running"}}}, .all = true});
    if (backend::names_no_identifier(ids)) return;

    for (const Json& summary : containers) {
      const std::string container_id = container_id_of(summary);
      const Json record = docker_client_.inspect_container(container_id);
      const std::optional<std::string> action_id = action_of(record, container_id);
      if (!action_id || !backend::is_scaled_down(ids, *action_id)) continue;
      try {
        docker_client_.stop_container(container_id);
        log::info("Container %s stopped.", container_id);
      } catch (const engine::ApiError& e) {
        log::error("Failed to stop container %s: %s", container_id, e.what());
      }
    }
  });
}

}  // namespace tavoren
