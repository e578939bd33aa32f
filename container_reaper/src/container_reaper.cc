// One reaping pass: scaled-down actions' running containers are stopped.
#include "tavoren/container_reaper.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/metrics.h"

namespace tavoren {
namespace {

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
  static metrics::Counter& stops =
      metrics::Registry::process_wide()
          .counter("tavoren_agent_reaper_stops_total",
                   "Containers of scaled-down actions that the reaper stopped")
          .get();
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
      const std::optional<std::string> action_id =
          engine::action_of_container(record, container_id);
      if (!action_id || !backend::is_scaled_down(ids, *action_id)) continue;
      try {
        docker_client_.stop_container(container_id);
        stops.inc();
        log::info("Container %s stopped.", container_id);
      } catch (const engine::ApiError& e) {
        log::error("Failed to stop container %s: %s", container_id, e.what());
      }
    }
  });
}

}  // namespace tavoren
