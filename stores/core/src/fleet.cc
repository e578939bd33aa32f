// The machines a store knows: their properties, contact and liveness, the
// end of an action's attempt (queued again or ended), and the sweep that
// finds lost machines and passed drain deadlines.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/store_rules.h"

namespace tavoren::backend {

namespace rules = store_rules;
using core::Params;
using core::Port;
using core::Rows;
using core::Tx;

namespace core_internal {

std::int64_t now_ms(Tx& tx, const CoreOptions& options) {
  Rows rows = tx.query("SELECT {now_ms}");
  rows.next();
  return rows.integer(0) + options.fleet.clock_offset.count();
}

namespace {

// How often the action may be queued again: its record's "retry", else
// the store's default.
std::int64_t retry_budget(const Json& record, const CoreOptions& options) {
  if (record.is_object()) {
    const auto retry = record.find("retry");
    if (retry != record.end() && retry->is_number_integer()) return retry->get<std::int64_t>();
  }
  return options.fleet.requeue_lost;
}

}  // namespace

EndRecorded end_attempt(Tx& tx, const CoreOptions& options, const std::string& id,
                        std::string_view cause, std::optional<int> exit_status) {
  Rows row = tx.query(
      "SELECT attempt, requeues, record, scale_down_cause, assigned_to FROM actions "
      "WHERE id = $1{lock}",
      Params().text(id));
  if (!row.next()) throw KeyError(rules::unknown_action(id));
  const std::int64_t attempt = row.integer(0);
  const std::int64_t requeued_before = row.integer(1);
  const std::string record_text = row.text(2);
  const std::string final_cause = row.is_null(3) ? std::string(cause) : row.text(3);
  const std::optional<std::string> holder =
      row.is_null(4) ? std::nullopt : std::optional<std::string>(row.text(4));
  const std::optional<std::int64_t> status =
      exit_status ? std::optional<std::int64_t>(*exit_status) : std::nullopt;

  tx.run(
      "UPDATE attempts SET ended_at = {now}, end_cause = $3, exit_status = $4 "
      "WHERE action_id = $1 AND attempt = $2",
      Params().text(id).integer(attempt).text(final_cause).optional_integer(status));
  Json event = Json::object();
  event["exit_status"] = status ? Json(*status) : Json();
  if (holder) event["instance_id"] = *holder;
  event["cause"] = final_cause;
  event["attempt"] = attempt;
  record_event(tx, id, "exit", event);

  Json record;
  try {
    record = parse_json(record_text);
  } catch (const JsonError&) {
    record = Json();
  }
  const bool requeue = end_cause::requeues(final_cause) && record.is_object() &&
                       requeued_before < retry_budget(record, options);
  if (!requeue) {
    tx.run("UPDATE actions SET ended_at = {now}, exit_status = $2, end_cause = $3 WHERE id = $1",
           Params().text(id).optional_integer(status).text(final_cause));
    return EndRecorded{final_cause, false};
  }
  // The attempt's log stays under its number; the next attempt starts a
  // log of its own.
  record["status"] = "queued";
  record.erase("attempt");
  tx.run(
      "UPDATE actions SET state = 'queued', assigned_to = NULL, assigned_at = NULL, "
      "requeues = requeues + 1, record = $2 WHERE id = $1",
      Params().text(id).text(rules::to_text(record)));
  Json queued = Json::object();
  queued["attempt"] = attempt;
  queued["cause"] = final_cause;
  record_event(tx, id, "requeue", queued);
  return EndRecorded{final_cause, true};
}

std::string not_current_text(const std::string& id, std::int64_t attempt) {
  return "Attempt " + std::to_string(attempt) + " of action " + id +
         " is not its current attempt on this instance";
}

std::optional<std::int64_t> attempt_argument(const Json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  const auto found = arguments.find("attempt");
  if (found == arguments.end() || found->is_null()) return std::nullopt;
  if (!found->is_number_integer() || found->get<std::int64_t>() < 1) {
    throw ValueError("\"attempt\" must be a whole number from 1 on");
  }
  return found->get<std::int64_t>();
}

bool is_current(Tx& tx, const std::string& id, std::int64_t attempt,
                const std::string& instance_id) {
  return tx
      .query(
          "SELECT 1 FROM actions WHERE id = $1 AND attempt = $2 AND state = 'assigned' AND "
          "" TAVOREN_LIVE_ACTION_SQL " AND ($3 = '' OR assigned_to = $3)",
          Params().text(id).integer(attempt).text(instance_id))
      .next();
}

}  // namespace core_internal

using core_internal::now_ms;
using core_internal::record_event;

namespace {

// Records that the machine called now (making it at its first contact).
void touch_machine(Tx& tx, const CoreOptions& options, const std::string& instance_id,
                   std::int64_t now, const Contact& contact) {
  auto field = [](const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
  };
  tx.run(
      "INSERT INTO machines (instance_id, gpus, max_actions, labels, created_at, "
      "first_contact_at, last_contact_at, contact_ms, agent_version, provider, address, mode) "
      "VALUES ($1, NULL, $2, '{}', {now}, {now}, {now}, $3, $4, $5, $6, 'active') ON CONFLICT "
      "(instance_id) DO UPDATE SET "
      "first_contact_at = coalesce(machines.first_contact_at, excluded.first_contact_at), "
      "last_contact_at = excluded.last_contact_at, contact_ms = excluded.contact_ms, "
      "lost_at = NULL, "
      "agent_version = coalesce(excluded.agent_version, machines.agent_version), "
      "provider = coalesce(excluded.provider, machines.provider), "
      "address = coalesce(excluded.address, machines.address)",
      Params()
          .text(instance_id)
          .integer(options.fleet.default_max_actions)
          .integer(now)
          .optional_text(field(contact.agent_version))
          .optional_text(field(contact.provider))
          .optional_text(field(contact.address)));
}

// At most this many machines per transaction of a sweep, and the pause
// between two of its transactions: short transactions, and a turn for the
// writers queued meanwhile (a poll waits for one batch at most), so that a
// sweep of many machines lost at once does not hold up the fleet's polls.
constexpr std::int64_t kSweepBatch = 10;
constexpr auto kSweepPause = std::chrono::milliseconds(10);

// A machine's liveness at $1 (now), after $2 and $3 milliseconds without
// contact.
constexpr const char* kLivenessSql =
    "CASE WHEN lost_at IS NOT NULL OR contact_ms + $3 <= $1 THEN 'lost' "
    "WHEN contact_ms + $2 <= $1 THEN 'unresponsive' ELSE 'alive' END";

void check_label_key(const std::string& key) {
  const bool bad = key.empty() || std::any_of(key.begin(), key.end(), [](char c) {
                     return c == '=' || std::isspace(static_cast<unsigned char>(c)) != 0 ||
                            std::iscntrl(static_cast<unsigned char>(c)) != 0;
                   });
  if (bad) throw ValueError("A label's key must be a word without \"=\": \"" + key + "\"");
}

void require_machine(Tx& tx, const std::string& instance_id) {
  if (!tx.query("SELECT 1 FROM machines WHERE instance_id = $1{lock}", Params().text(instance_id))
           .next()) {
    throw KeyError("No machine " + instance_id + " is known");
  }
}

Params liveness_params(std::int64_t now, const FleetRules& fleet) {
  return Params()
      .integer(now)
      .integer(std::chrono::milliseconds(fleet.unresponsive_after).count())
      .integer(std::chrono::milliseconds(fleet.lost_after).count());
}

// The columns machines() answers, after the liveness parameters.
constexpr const char* kMachineColumns =
    "instance_id, mode, last_contact_at, first_contact_at, agent_version, provider, address, "
    "gpus, max_actions, (SELECT count(*) FROM actions a WHERE a.assigned_to = m.instance_id AND "
    "a.state = 'assigned' AND a.ended_at IS NULL AND a.rejected_reason IS NULL), labels, "
    "drain_deadline_ms, lost_at, drained_by, gpu_total, gpu_healthy, ";

// The latest report of machine m, after the columns and the liveness.
constexpr const char* kReportColumn =
    ", (SELECT report FROM machine_resources r WHERE r.instance_id = m.instance_id)";

// One machine of a row of kMachineColumns and its liveness; its latest
// report (a kReportColumn after them), parsed, into `report` when given.
Json machine_row(Rows& rows, Json* report = nullptr) {
  Json machine = Json::object();
  machine["instanceId"] = rows.text(0);
  machine["liveness"] = rows.text(16);
  machine["mode"] = rows.text(1);
  machine["lastContactAt"] = rows.nullable_text(2);
  machine["firstContactAt"] = rows.nullable_text(3);
  machine["agentVersion"] = rows.nullable_text(4);
  machine["provider"] = rows.nullable_text(5);
  machine["address"] = rows.nullable_text(6);
  machine["gpus"] = rows.nullable_integer(7);
  machine["maxActions"] = rows.integer(8);
  machine["actionsHeld"] = rows.integer(9);
  machine["labels"] = rules::parse_stored(rows.text(10), "machine labels");
  machine["drainDeadline"] = rows.nullable_integer(11);
  machine["lostAt"] = rows.nullable_text(12);
  machine["drainedBy"] = rows.nullable_text(13);
  machine["gpuHealth"] =
      rows.is_null(14) ? Json() : Json{{"total", rows.integer(14)}, {"healthy", rows.integer(15)}};
  if (report != nullptr && !rows.is_null(17))
    *report = rules::parse_stored(rows.text(17), "report");
  return machine;
}

}  // namespace

void StoreCore::set_machine(const std::string& instance_id, const MachineChange& change,
                            bool create) {
  rules::require_text(instance_id, "The instance identifier", true);
  if (change.gpus && *change.gpus < kGpusAsReported) {
    throw ValueError("A machine's GPUs must be 0 or more");
  }
  if (change.max_actions && *change.max_actions < 0) {
    throw ValueError("A machine's max actions must be 0 or more");
  }
  for (const auto& [key, value] : change.labels) check_label_key(key);
  core::write_with(*port_, [&](Tx& tx) {
    if (create) {
      tx.run(
          "INSERT INTO machines (instance_id, gpus, max_actions, labels, created_at, contact_ms, "
          "mode) VALUES ($1, NULL, $2, '{}', {now}, $3, 'active') "
          "ON CONFLICT (instance_id) DO NOTHING",
          Params()
              .text(instance_id)
              .integer(options_.fleet.default_max_actions)
              .integer(now_ms(tx, options_)));
    }
    Rows rows = tx.query("SELECT labels FROM machines WHERE instance_id = $1{lock}",
                         Params().text(instance_id));
    if (!rows.next()) throw KeyError("No machine " + instance_id + " is known");
    Json labels = rules::parse_stored(rows.text(0), "machine labels");
    for (const auto& [key, value] : change.labels) {
      if (value.empty()) {
        labels.erase(key);
      } else {
        labels[key] = value;
      }
    }
    const bool set_gpus = change.gpus.has_value();
    const std::optional<std::int64_t> gpus = set_gpus && *change.gpus != kGpusAsReported
                                                 ? std::optional<std::int64_t>(*change.gpus)
                                                 : std::nullopt;
    tx.run(
        "UPDATE machines SET labels = $2, gpus = CASE WHEN $3 THEN $4 ELSE gpus END, "
        "max_actions = coalesce($5, max_actions) WHERE instance_id = $1",
        Params()
            .text(instance_id)
            .text(rules::to_text(labels))
            .boolean(set_gpus)
            .optional_integer(gpus)
            .optional_integer(change.max_actions));
  });
}

Json StoreCore::machines() {
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    Rows rows = tx.query(std::string("SELECT ") + kMachineColumns + kLivenessSql +
                             " FROM machines m ORDER BY instance_id{C}",
                         liveness_params(now_ms(tx, options_), options_.fleet));
    Json machines = Json::array();
    while (rows.next()) machines.push_back(machine_row(rows));
    return machines;
  });
}

namespace {

// The members of an inventory's GPU that a page of the fleet shows.
constexpr const char* kPageGpuFields[] = {
    "index",        "name",       "utilisation", "memoryUsedMiB", "memoryFreeMiB", "memoryTotalMiB",
    "temperatureC", "powerDrawW", "powerLimitW", "health",        "reason",        "actionId"};

// A LIKE pattern (escape character "!") that finds `search` in an
// identifier, or a label "key=value" in the labels' stored JSON text.
std::string search_pattern(const FleetQuery& query) {
  std::string needle = query.search;
  std::transform(needle.begin(), needle.end(), needle.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto escaped = [](std::string_view text) {
    std::string out;
    for (const char c : text) {
      if (c == '!' || c == '%' || c == '_') out += '!';
      out += c;
    }
    return out;
  };
  const std::size_t equals = needle.find('=');
  if (equals == std::string::npos) return "%" + escaped(needle) + "%";
  // Labels are stored as {"key":"value",...}: "key=va" finds "key":"va...
  return "%" + escaped("\"" + needle.substr(0, equals) + "\":\"" + needle.substr(equals + 1)) + "%";
}

void check_fleet_query(const FleetQuery& query) {
  auto one_of = [](const std::string& value, std::initializer_list<std::string_view> allowed) {
    return value.empty() ||
           std::find(allowed.begin(), allowed.end(), std::string_view(value)) != allowed.end();
  };
  if (!one_of(query.liveness, {"alive", "unresponsive", "lost"})) {
    throw ValueError("A liveness is \"alive\", \"unresponsive\" or \"lost\"");
  }
  if (!one_of(query.mode, {"active", "draining", "preempting"})) {
    throw ValueError("A mode is \"active\", \"draining\" or \"preempting\"");
  }
  if (query.sort.empty() || !one_of(query.sort, {"instanceId", "lastContact", "actionsHeld"})) {
    throw ValueError("The fleet sorts by \"instanceId\", \"lastContact\" or \"actionsHeld\"");
  }
  if (query.offset < 0) throw ValueError("A page's offset must not be negative");
  if (query.limit < 1 || query.limit > 500) {
    throw ValueError("A page of the fleet holds 1 to 500 machines");
  }
}

// Every machine counted by liveness and by mode, in name order whatever
// order the database groups in.
Json fleet_counts(Tx& tx, const Params& liveness) {
  std::map<std::string, std::int64_t> by_liveness;
  std::map<std::string, std::int64_t> by_mode;
  Rows rows = tx.query(std::string("SELECT ") + kLivenessSql +
                           " AS liveness, mode, count(*) FROM machines GROUP BY liveness, mode",
                       liveness);
  while (rows.next()) {
    by_liveness[rows.text(0)] += rows.integer(2);
    by_mode[rows.text(1)] += rows.integer(2);
  }
  return Json{{"liveness", Json(by_liveness)}, {"mode", Json(by_mode)}};
}

std::string fleet_order(const FleetQuery& query) {
  const std::string direction = query.descending ? " DESC" : "";
  if (query.sort == "lastContact") return "contact_ms" + direction + ", instance_id{C}";
  if (query.sort == "actionsHeld") {
    return "(SELECT count(*) FROM actions a WHERE a.assigned_to = m.instance_id AND "
           "a.state = 'assigned' AND a." TAVOREN_LIVE_ACTION_SQL ")" +
           direction + ", instance_id{C}";
  }
  return "instance_id{C}" + direction;
}

// The machines `ids`, in that order, each with the GPUs of its latest
// inventory as "gpus" (its operator's count of GPUs as "gpusSet").
Json page_machines(Tx& tx, const Params& liveness, const std::vector<std::string>& ids) {
  std::map<std::string, Json> read;
  if (!ids.empty()) {
    Params wanted = liveness;
    std::string list;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      list += (i == 0 ? "$" : ", $") + std::to_string(i + 4);
      wanted.text(ids[i]);
    }
    Rows rows = tx.query(std::string("SELECT ") + kMachineColumns + kLivenessSql + kReportColumn +
                             " FROM machines m WHERE instance_id IN (" + list + ")",
                         wanted);
    while (rows.next()) {
      Json report;
      Json machine = machine_row(rows, &report);
      machine["gpusSet"] = std::move(machine["gpus"]);
      Json gpus = Json::array();
      const Json inventory = report.is_object() ? report.value("inventory", Json()) : Json();
      for (const Json& gpu :
           inventory.is_object() ? inventory.value("gpus", Json::array()) : Json::array()) {
        if (!gpu.is_object()) continue;
        Json shown = Json::object();
        for (const char* field : kPageGpuFields) shown[field] = gpu.value(field, Json());
        gpus.push_back(std::move(shown));
      }
      machine["gpus"] = std::move(gpus);
      read.emplace(machine["instanceId"].get<std::string>(), std::move(machine));
    }
  }
  Json machines = Json::array();
  for (const std::string& id : ids) {
    const auto found = read.find(id);
    if (found != read.end()) machines.push_back(std::move(found->second));
  }
  return machines;
}

}  // namespace

Json StoreCore::fleet_page(const FleetQuery& query) {
  check_fleet_query(query);
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    const Params liveness = liveness_params(now_ms(tx, options_), options_.fleet);
    Json page = Json::object();
    page["counts"] = fleet_counts(tx, liveness);
    // The filter, after the liveness parameters ($1 to $3).
    const std::string filter = std::string(" FROM machines m WHERE ($4 = '' OR ") + kLivenessSql +
                               " = $4) AND ($5 = '' OR mode = $5) AND ($6 = '' OR "
                               "lower(instance_id) LIKE $7 ESCAPE '!' OR lower(labels) LIKE $7 "
                               "ESCAPE '!')";
    Params filtered = liveness;
    filtered.text(query.liveness).text(query.mode).text(query.search).text(search_pattern(query));
    {
      Rows rows = tx.query("SELECT count(*)" + filter, filtered);
      rows.next();
      page["total"] = rows.integer(0);
    }
    // The page's identifiers first: its machines alone are then read whole.
    std::vector<std::string> ids;
    Params paged = filtered;
    paged.integer(query.limit).integer(query.offset);
    Rows rows = tx.query(
        "SELECT instance_id" + filter + " ORDER BY " + fleet_order(query) + " LIMIT $8 OFFSET $9",
        paged);
    while (rows.next()) ids.push_back(rows.text(0));
    page["machines"] = page_machines(tx, liveness, ids);
    return page;
  });
}

namespace {

// What the alive machines offer the queue.
store_rules::FleetOffer fleet_offer(Tx& tx, const CoreOptions& options) {
  store_rules::FleetOffer offer;
  Rows rows = tx.query(
      std::string(
          "SELECT mode, gpus, max_actions, (SELECT count(*) FROM actions a WHERE "
          "a.assigned_to = m.instance_id AND a.state = 'assigned' AND a." TAVOREN_LIVE_ACTION_SQL
          "), gpu_free_max_mib, gpu_free_sum_mib, gpu_total, ") +
          kLivenessSql + " FROM machines m",
      liveness_params(now_ms(tx, options), options.fleet));
  while (rows.next()) {
    if (rows.text(7) != "alive") continue;
    ++offer.alive;
    if (rows.text(0) != "active") continue;
    ++offer.taking;
    const bool full = rows.integer(3) >= rows.integer(2);
    if (full) ++offer.at_cap;
    // A machine without an inventory yet counts as one with GPUs.
    const bool has_gpu =
        (rows.is_null(1) || rows.integer(1) > 0) && (rows.is_null(6) || rows.integer(6) > 0);
    if (!has_gpu) continue;
    ++offer.gpu;
    if (full) {
      ++offer.gpu_at_cap;
      continue;
    }
    if (!rows.is_null(4)) offer.most_free_one = std::max(offer.most_free_one, rows.integer(4));
    if (!rows.is_null(5)) offer.most_free_all = std::max(offer.most_free_all, rows.integer(5));
  }
  return offer;
}

}  // namespace

Json StoreCore::queue(std::int64_t limit) {
  if (limit < 1 || limit > 10000) throw ValueError("A page of the queue holds 1 to 10000 actions");
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    const store_rules::FleetOffer offer = fleet_offer(tx, options_);
    Json page = Json::object();
    {
      Rows rows = tx.query(
          "SELECT count(*) FROM actions WHERE state = 'queued' AND scaled_down_at IS NULL");
      rows.next();
      page["total"] = rows.integer(0);
    }
    Json actions = Json::array();
    Rows rows = tx.query(
        "SELECT id, action_type, gpu_required, gpu_memory_mib, submitted_at FROM actions "
        "WHERE state = 'queued' AND scaled_down_at IS NULL ORDER BY seq LIMIT $1",
        Params().integer(limit));
    for (std::int64_t ahead = 0; rows.next(); ++ahead) {
      const std::optional<std::int64_t> memory =
          rows.is_null(3) ? std::nullopt : std::optional<std::int64_t>(rows.integer(3));
      actions.push_back(
          Json{{"position", ahead + 1},
               {"_id", rows.text(0)},
               {"action", rows.text(1)},
               {"gpuRequired", rows.boolean(2)},
               {"gpuMemoryMiB", rows.nullable_integer(3)},
               {"submittedAt", rows.text(4)},
               {"reason", rules::wait_reason(rows.boolean(2), memory, offer, ahead)}});
    }
    page["actions"] = std::move(actions);
    return page;
  });
}

Json StoreCore::machine(const std::string& instance_id) {
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    Json machine;
    {
      Rows rows = tx.query(std::string("SELECT ") + kMachineColumns + kLivenessSql +
                               " FROM machines m WHERE instance_id = $4",
                           liveness_params(now_ms(tx, options_), options_.fleet).text(instance_id));
      if (!rows.next()) throw KeyError("No machine " + instance_id + " is known");
      machine = machine_row(rows);
    }
    Json actions = Json::array();
    {
      Rows rows = tx.query(
          "SELECT id, action_type, attempt, assigned_at FROM actions WHERE assigned_to = $1 AND "
          "state = 'assigned' AND " TAVOREN_LIVE_ACTION_SQL " ORDER BY seq",
          Params().text(instance_id));
      while (rows.next()) {
        actions.push_back(Json{{"_id", rows.text(0)},
                               {"action", rows.text(1)},
                               {"attempt", rows.integer(2)},
                               {"assignedAt", rows.nullable_text(3)}});
      }
    }
    machine["actions"] = std::move(actions);
    Json history = Json::array();
    {
      Rows rows = tx.query(
          "SELECT action_id, attempt, assigned_at, ended_at, end_cause, exit_status FROM attempts "
          "WHERE instance_id = $1 ORDER BY assigned_at DESC, attempt DESC LIMIT 50",
          Params().text(instance_id));
      while (rows.next()) {
        history.push_back(Json{{"_id", rows.text(0)},
                               {"attempt", rows.integer(1)},
                               {"assignedAt", rows.text(2)},
                               {"endedAt", rows.nullable_text(3)},
                               {"endCause", rows.nullable_text(4)},
                               {"exitStatus", rows.nullable_integer(5)}});
      }
    }
    machine["history"] = std::move(history);
    // What the machine has, as its latest report says, and a day of samples.
    {
      Rows rows =
          tx.query("SELECT report, reported_at FROM machine_resources WHERE instance_id = $1",
                   Params().text(instance_id));
      const bool reported = rows.next();
      const Json report = reported ? rules::parse_stored(rows.text(0), "report") : Json();
      machine["inventory"] = report.is_object() ? report.value("inventory", Json()) : Json();
      machine["reportedAt"] = reported ? Json(rows.text(1)) : Json();
    }
    Json samples = Json::array();
    {
      Rows rows = tx.query(
          "SELECT sampled_at, sample FROM machine_samples WHERE instance_id = $1 "
          "ORDER BY sampled_at",
          Params().text(instance_id));
      while (rows.next()) {
        Json sample = rules::parse_stored(rows.text(1), "sample");
        sample["at"] = rows.integer(0);
        samples.push_back(std::move(sample));
      }
    }
    machine["samples"] = std::move(samples);
    return machine;
  });
}

void StoreCore::drain_machine(const std::string& instance_id,
                              std::optional<std::chrono::seconds> deadline) {
  if (deadline && deadline->count() < 0) throw ValueError("A drain deadline must not be negative");
  core::write_with(*port_, [&](Tx& tx) {
    require_machine(tx, instance_id);
    std::optional<std::int64_t> at;
    if (deadline) at = now_ms(tx, options_) + std::chrono::milliseconds(*deadline).count();
    tx.run(
        "UPDATE machines SET mode = 'draining', drained_by = 'operator', drain_deadline_ms = $2 "
        "WHERE instance_id = $1",
        Params().text(instance_id).optional_integer(at));
  });
}

void StoreCore::undrain_machine(const std::string& instance_id) {
  core::write_with(*port_, [&](Tx& tx) {
    require_machine(tx, instance_id);
    tx.run(
        "UPDATE machines SET mode = 'active', drained_by = NULL, drain_deadline_ms = NULL "
        "WHERE instance_id = $1",
        Params().text(instance_id));
  });
}

void StoreCore::forget_machine(const std::string& instance_id) {
  core::write_with(*port_, [&](Tx& tx) {
    {
      Rows rows = tx.query("SELECT lost_at IS NOT NULL FROM machines WHERE instance_id = $1{lock}",
                           Params().text(instance_id));
      if (!rows.next()) throw KeyError("No machine " + instance_id + " is known");
      if (!rows.boolean(0)) {
        throw ValueError("The machine " + instance_id +
                         " is not lost; only a lost machine is forgotten");
      }
    }
    tx.run("DELETE FROM machines WHERE instance_id = $1", Params().text(instance_id));
    tx.run("DELETE FROM machine_samples WHERE instance_id = $1", Params().text(instance_id));
    tx.run("UPDATE access_keys SET revoked_at = coalesce(revoked_at, {now}) WHERE instance_id = $1",
           Params().text(instance_id));
  });
}

void StoreCore::record_contact(const std::string& instance_id, const Contact& contact) {
  rules::require_text(instance_id, "The instance identifier", true);
  core::write_with(*port_, [&](Tx& tx) {
    touch_machine(tx, options_, instance_id, now_ms(tx, options_), contact);
    if (contact.preempting) {
      tx.run(
          "UPDATE machines SET mode = 'preempting', drained_by = NULL, drain_deadline_ms = NULL "
          "WHERE instance_id = $1",
          Params().text(instance_id));
      return;
    }
    // An operator's drain stays the operator's.
    if (contact.draining) {
      tx.run(
          "UPDATE machines SET mode = 'draining', drained_by = 'agent' "
          "WHERE instance_id = $1 AND mode = 'active'",
          Params().text(instance_id));
    }
  });
}

namespace {

// The first column of every row of `sql`.
std::vector<std::string> first_column(Tx& tx, std::string_view sql, const Params& params) {
  std::vector<std::string> values;
  Rows rows = tx.query(sql, params);
  while (rows.next()) values.push_back(rows.text(0));
  return values;
}

// One batch of machines found lost: each marked lost, its live actions
// ended with cause machine_lost (queued again within their budget).
SweepOutcome sweep_lost_batch(Tx& tx, const CoreOptions& options) {
  SweepOutcome found;
  const std::int64_t lost_ms = std::chrono::milliseconds(options.fleet.lost_after).count();
  const std::vector<std::string> lost =
      first_column(tx,
                   "SELECT instance_id FROM machines WHERE lost_at IS NULL AND contact_ms <= $1 "
                   "ORDER BY contact_ms LIMIT $2{skip_locked}",
                   Params().integer(now_ms(tx, options) - lost_ms).integer(kSweepBatch));
  for (const std::string& instance : lost) {
    tx.run("UPDATE machines SET lost_at = {now} WHERE instance_id = $1", Params().text(instance));
    const std::vector<std::string> held =
        first_column(tx,
                     "SELECT id FROM actions WHERE assigned_to = $1 AND state = 'assigned' AND "
                     "" TAVOREN_LIVE_ACTION_SQL " ORDER BY seq",
                     Params().text(instance));
    for (const std::string& id : held) {
      const bool requeued =
          core_internal::end_attempt(tx, options, id, end_cause::kMachineLost, std::nullopt)
              .requeued;
      ++(requeued ? found.requeued : found.ended);
    }
  }
  found.lost = static_cast<std::int64_t>(lost.size());
  return found;
}

// One batch of draining machines whose deadline passed: their live actions
// scaled down with cause drained, the deadline dropped. Answers the
// machines and the actions.
std::pair<std::int64_t, std::int64_t> sweep_drained_batch(Tx& tx, const CoreOptions& options) {
  const std::vector<std::string> due = first_column(
      tx,
      "SELECT instance_id FROM machines WHERE mode = 'draining' AND drain_deadline_ms <= $1 "
      "ORDER BY drain_deadline_ms LIMIT $2{skip_locked}",
      Params().integer(now_ms(tx, options)).integer(kSweepBatch));
  std::int64_t scaled = 0;
  for (const std::string& instance : due) {
    const std::vector<std::string> held =
        first_column(tx,
                     "SELECT id FROM actions WHERE assigned_to = $1 AND state = 'assigned' AND "
                     "scaled_down_at IS NULL AND " TAVOREN_LIVE_ACTION_SQL " ORDER BY seq{lock}",
                     Params().text(instance));
    for (const std::string& id : held) core_internal::scale_down_in(tx, id, end_cause::kDrained);
    scaled += static_cast<std::int64_t>(held.size());
    tx.run("UPDATE machines SET drain_deadline_ms = NULL WHERE instance_id = $1",
           Params().text(instance));
  }
  return {static_cast<std::int64_t>(due.size()), scaled};
}

}  // namespace

SweepOutcome StoreCore::sweep_machines() {
  SweepOutcome outcome;
  while (true) {
    const SweepOutcome batch =
        core::write_with(*port_, [&](Tx& tx) { return sweep_lost_batch(tx, options_); });
    outcome.lost += batch.lost;
    outcome.ended += batch.ended;
    outcome.requeued += batch.requeued;
    if (batch.lost < kSweepBatch) break;
    std::this_thread::sleep_for(kSweepPause);
  }
  while (true) {
    const auto [machines, scaled] =
        core::write_with(*port_, [&](Tx& tx) { return sweep_drained_batch(tx, options_); });
    outcome.drained += scaled;
    if (machines < kSweepBatch) break;
    std::this_thread::sleep_for(kSweepPause);
  }
  return outcome;
}

std::map<std::pair<std::string, std::string>, std::int64_t> StoreCore::count_machines() {
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    Rows rows = tx.query(std::string("SELECT ") + kLivenessSql +
                             " AS liveness, mode, count(*) FROM machines GROUP BY liveness, mode",
                         liveness_params(now_ms(tx, options_), options_.fleet));
    std::map<std::pair<std::string, std::string>, std::int64_t> counts;
    while (rows.next()) counts[{rows.text(0), rows.text(1)}] = rows.integer(2);
    return counts;
  });
}

std::optional<std::int64_t> StoreCore::held_attempt(const std::string& action_record_id,
                                                    const std::string& instance_id) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) -> std::optional<std::int64_t> {
    Rows rows =
        tx.query("SELECT max(attempt) FROM attempts WHERE action_id = $1 AND instance_id = $2",
                 Params().text(action_record_id).text(instance_id));
    if (!rows.next() || rows.is_null(0)) return std::nullopt;
    return rows.integer(0);
  });
}

}  // namespace tavoren::backend
