// Removal of this agent's ended containers once nothing needs them.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/container_reaper.h"

namespace tavoren {
namespace {

using SystemClock = std::chrono::system_clock;

// The engine's zero time, which "FinishedAt" holds for a container that
// never ran.
bool is_zero_time(const std::string& text) { return text.starts_with("0001-01-01"); }

// When the container ended, from its inspection record: its "FinishedAt",
// else (it never ran) its "Created". nullopt when neither reads as a time.
std::optional<SystemClock::time_point> end_of(const Json& record) {
  std::vector<std::string> candidates;
  if (const auto state = record.find("State"); state != record.end() && state->is_object()) {
    if (const auto finished = state->find("FinishedAt");
        finished != state->end() && finished->is_string()) {
      candidates.push_back(finished->get<std::string>());
    }
  }
  if (const auto created = record.find("Created");
      created != record.end() && created->is_string()) {
    candidates.push_back(created->get<std::string>());
  }
  for (const std::string& text : candidates) {
    if (text.empty() || is_zero_time(text)) continue;
    try {
      return SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
          std::chrono::nanoseconds(engine::parse_log_time(text))));
    } catch (const engine::Error&) {
      continue;
    }
  }
  return std::nullopt;
}

bool runs(const Json& record) {
  const auto state = record.find("State");
  return state != record.end() && state->is_object() && state->value("Running", false);
}

}  // namespace

EndedContainers::EndedContainers(EndedContainerOptions options,
                                 engine::ClientOptions engine_options)
    : client_(std::move(engine_options)), options_(std::move(options)) {
  if (options_.instance_id.empty()) throw ValueError("an instance identifier is required");
  if (!options_.now) options_.now = [] { return SystemClock::now(); };
}

std::vector<std::string> EndedContainers::remove_ended(
    const std::function<bool(const std::string& action_id)>& needed) {
  std::lock_guard pass(pass_mutex_);
  std::vector<std::string> removed;
  Json listed;
  try {
    listed = client_.list_containers(
        {.filters = {{"status", {"exited", "dead", "created"}},
                     {"label", {std::string(engine::kInstanceLabel) + "=" + options_.instance_id}}},
         .all = true});
    listing_failure_logged_ = false;
  } catch (const std::exception& e) {
    if (!listing_failure_logged_) {
      log::warning("Cannot list the ended containers to remove (tried again later): %s", e.what());
      listing_failure_logged_ = true;
    }
    return removed;
  }
  std::set<std::string> seen;
  for (const Json& summary : listed) {
    if (!summary.is_object()) continue;
    const std::string container_id = text_of(summary.value("Id", Json("")));
    if (container_id.empty()) continue;
    seen.insert(container_id);
    std::string action_id;
    if (const auto labels = summary.find("Labels");
        labels != summary.end() && labels->is_object()) {
      action_id = labels->value(std::string(engine::kActionIdLabel), std::string());
    }
    // A container no action claims is nobody's to remove.
    if (action_id.empty() || needed(action_id)) continue;
    if (remove_when_due(container_id, action_id)) removed.push_back(container_id);
  }
  // Containers gone meanwhile need no memory of their failures or ends.
  std::erase_if(failures_logged_, [&](const std::string& id) { return !seen.contains(id); });
  std::erase_if(ends_, [&](const auto& known) { return !seen.contains(known.first); });
  return removed;
}

bool EndedContainers::remove_when_due(const std::string& container_id,
                                      const std::string& action_id) {
  if (const auto known = ends_.find(container_id);
      known != ends_.end() && options_.now() - known->second < options_.keep) {
    return false;  // not due yet: the engine is not asked
  }
  try {
    // Read again when due: the container may have run again since.
    const Json record = client_.inspect_container(container_id);
    if (runs(record)) {
      ends_.erase(container_id);
      return false;
    }
    // The engine gives every container a creation time; one whose times
    // cannot be read is left alone.
    const std::optional<SystemClock::time_point> ended = end_of(record);
    if (!ended) return false;
    ends_[container_id] = *ended;
    if (options_.now() - *ended < options_.keep) return false;
    client_.remove_container(container_id);
    ends_.erase(container_id);
  } catch (const std::exception& e) {
    const auto* refused = dynamic_cast<const engine::ApiError*>(&e);
    if (refused != nullptr && refused->status() == 404) return false;  // gone already
    if (failures_logged_.insert(container_id).second) {
      log::warning("Container %s of action %s could not be removed (tried again later): %s",
                   container_id, action_id, e.what());
    }
    return false;
  }
  failures_logged_.erase(container_id);
  log::info("Removed the ended container %s of action %s", container_id, action_id);
  return true;
}

}  // namespace tavoren
