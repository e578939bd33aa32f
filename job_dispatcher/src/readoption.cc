// Taking over the actions a previous agent left running, and stopping the
// containers nobody keeps.
#include <algorithm>

#include "tavoren/common/files.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"
#include "tavoren/job_dispatcher.h"

namespace tavoren {
namespace {

// The engine did not answer (as opposed to: it answered that there is no
// such container).
class EngineSilent : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The container of a kept action: the kept id, else the one its client
// wrote, else one the engine labels with the action (a running one
// first). "" when there is none.
std::string find_container(engine::Client& client, const std::string& action_id,
                           const AdoptedRun& run) {
  std::vector<std::string> candidates;
  if (!run.container_id.empty()) candidates.push_back(run.container_id);
  if (!run.cid_path.empty()) {
    if (const std::optional<std::string> written = read_file_if_present(run.cid_path)) {
      const std::vector<std::string> words = split_whitespace(*written);
      if (!words.empty()) candidates.push_back(words.front());
    }
  }
  try {
    for (const std::string& id : candidates) {
      try {
        const Json record = client.inspect_container(id);
        return text_of(record.value("Id", Json(id)));
      } catch (const engine::ApiError& e) {
        if (e.status() != 404) throw;
      }
    }
    const Json labelled = client.list_containers(
        {.filters = {{"label", {std::string(engine::kActionIdLabel) + "=" + action_id}}},
         .all = true});
    std::string found;
    for (const Json& summary : labelled) {
      const std::string id = text_of(summary.value("Id", Json("")));
      if (id.empty()) continue;
      if (summary.value("State", "") == "running") return id;
      if (found.empty()) found = id;
    }
    return found;
  } catch (const engine::ApiError& e) {
    throw EngineSilent(e.what());
  } catch (const engine::TransportError& e) {
    throw EngineSilent(e.what());
  }
}

bool is_running(engine::Client& client, const std::string& container_id) {
  try {
    const Json record = client.inspect_container(container_id);
    return record.at("State").value("Running", false);
  } catch (const engine::Error& e) {
    throw EngineSilent(e.what());
  }
}

}  // namespace

Readoption JobDispatcher::readopt(const std::vector<KeptRun>& kept) {
  Readoption result;
  if (kept.empty()) return result;
  log::info("Taking over %d actions the previous agent left", kept.size());
  // Asked once: which of them the backend scaled down meanwhile.
  std::optional<Json> downscaled;
  try {
    backend::Result answer = scaling_.get_downscaled_ids();
    if (!answer.has_error_set()) {
      downscaled = std::move(answer.data);
    } else {
      log::error("Error getting downscaled ids: %s", *answer.error);
    }
  } catch (const std::exception& e) {
    log::error("Error getting downscaled ids: %s", e.what());
  }
  engine::Client client;
  for (const KeptRun& entry : kept) {
    const std::string id = entry.record.is_object() && entry.record.contains("_id")
                               ? text_of(entry.record["_id"], "unknown")
                               : std::string("unknown");
    try {
      if (is_tracked(id)) {
        log::warning("Kept action %s is in the table already; not taken over twice", id);
        continue;
      }
      AdoptedRun run = entry.run;
      run.container_id = find_container(client, id, run);
      const bool running = !run.container_id.empty() && is_running(client, run.container_id);
      bool scaled_down = false;
      if (running) {
        if (!downscaled) {
          log::error("Action %s is left alone: the backend did not say whether it was scaled down",
                     id);
          result.left.push_back(id);
          continue;
        }
        scaled_down = backend::is_scaled_down(*downscaled, id);
      }
      auto unit = std::make_shared<WorkUnit>(scaling_, entry.record, options_.work_unit);
      unit->adopt(run);
      if (run.container_id.empty()) {
        log::info("The container of action %s is gone; its end is recorded", id);
        result.gone.push_back(id);
        continue;
      }
      if (scaled_down) {
        log::info("Action %s was scaled down while no agent ran; it is stopped", id);
        unit->stop();
        result.stopped.push_back(id);
        continue;
      }
      if (!running) log::info("Action %s ended while no agent ran; its end is recorded", id);
      {
        std::lock_guard lock(table_mutex_);
        current_actions_.emplace_back(id, std::move(unit));
      }
      result.adopted.push_back(id);
    } catch (const EngineSilent& e) {
      log::error("Action %s is left alone: the engine did not answer about it: %s", id, e.what());
      result.left.push_back(id);
    } catch (const std::exception& e) {
      log::error("Action %s could not be taken over: %s", id, e.what());
      result.left.push_back(id);
    }
  }
  return result;
}

std::vector<std::string> JobDispatcher::stop_orphans(const std::string& instance_id,
                                                     const std::vector<std::string>& known) {
  std::vector<std::string> stopped;
  log_errors("stop_orphans", {}, [&] {
    engine::Client client;
    const Json running = client.list_containers(
        {.filters = {{"status", {"running"}},
                     {"label", {std::string(engine::kInstanceLabel) + "=" + instance_id}}},
         .all = true});
    for (const Json& summary : running) {
      const std::string container_id = text_of(summary.value("Id", Json("")));
      if (container_id.empty()) continue;
      std::string action_id = "unknown";
      if (const auto labels = summary.find("Labels");
          labels != summary.end() && labels->is_object()) {
        action_id = labels->value(std::string(engine::kActionIdLabel), std::string("unknown"));
      }
      if (std::find(known.begin(), known.end(), action_id) != known.end() ||
          is_tracked(action_id)) {
        continue;
      }
      log::warning(
          "Container %s of action %s runs for this agent, but no kept action names it; it is "
          "stopped",
          container_id, action_id);
      try {
        const auto grace = options_.work_unit.timings.term_grace;
        client.stop_container(container_id, static_cast<int>((grace.count() + 999) / 1000));
        stopped.push_back(container_id);
      } catch (const engine::Error& e) {
        log::error("Failed to stop container %s: %s", container_id, e.what());
      }
    }
  });
  return stopped;
}

}  // namespace tavoren
