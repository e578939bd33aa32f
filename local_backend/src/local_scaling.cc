// The backend operations the agent calls, answered from the database.

#include <chrono>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "local_scaling_impl.h"
#include "schema.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"

namespace tavoren::backend {

using detail::in_read_transaction;
using detail::in_write_transaction;
using detail::refusal;

detail::LocalScalingState::LocalScalingState(LocalBackendOptions given)
    : options(std::move(given)),
      pool(std::make_shared<sqlite::Pool>(options.database, options.busy_timeout)) {}

detail::LocalScalingState::LocalScalingState(LocalBackendOptions given,
                                             std::shared_ptr<sqlite::Pool> shared)
    : options(std::move(given)), pool(std::move(shared)) {}

detail::OpenWrite*& detail::open_write_of_this_thread() {
  thread_local OpenWrite* open = nullptr;
  return open;
}

LocalScaling::LocalScaling(LocalBackendOptions options) {
  if (options.database.empty()) throw ValueError("The backend database path is empty");
  if (options.assign_batch < 1) {
    throw ValueError("assign_batch must be at least 1, not " +
                     std::to_string(options.assign_batch));
  }
  if (options.busy_timeout.count() < 0) throw ValueError("busy_timeout must not be negative");
  if (options.port_range) {
    const auto [low, high] = *options.port_range;
    if (low < 1 || high > 65535 || low > high) {
      throw ValueError("Invalid port range " + std::to_string(low) + "-" + std::to_string(high));
    }
  }
  if (options.log_limit_bytes < 0) throw ValueError("log_limit_bytes must not be negative");
  impl_ = std::make_unique<detail::LocalScalingState>(std::move(options));
  sqlite::Pool::Lease lease = impl_->pool->acquire();
  migrate(*lease, impl_->options.database.string());
}

LocalScaling::LocalScaling(ViewTag, std::unique_ptr<detail::LocalScalingState> state)
    : impl_(std::move(state)) {}

LocalScaling::~LocalScaling() = default;

std::unique_ptr<LocalScaling> LocalScaling::for_instance(const std::string& instance_id,
                                                         Session session) const {
  LocalBackendOptions options = impl_->options;
  options.instance_id = instance_id;
  options.session = std::move(session);
  return std::unique_ptr<LocalScaling>(new LocalScaling(
      ViewTag{}, std::make_unique<detail::LocalScalingState>(std::move(options), impl_->pool)));
}

std::unique_ptr<Store> LocalScaling::instance_view(const std::string& instance_id,
                                                   Session session) const {
  return for_instance(instance_id, std::move(session));
}

int LocalScaling::schema_version() { return current_schema_version(); }

const Session& LocalScaling::session() const { return impl_->options.session; }

namespace {

using store_rules::identifier_argument;
using store_rules::text_argument;

// Records one status report in the action's history and lets `change`
// amend the record; refused when the action does not exist.
template <typename Change>
Result record_report(detail::LocalScalingState& impl, const std::string& id, const char* operation,
                     const Json& arguments, Change&& change) {
  return in_write_transaction(impl, [&](sqlite::Connection& connection) {
    std::optional<Json> record = detail::load_record(connection, id);
    if (!record) return refusal(detail::unknown_action(id));
    detail::record_event(connection, id, operation, arguments);
    if (change(*record)) detail::store_record(connection, id, *record);
    return Result::ok(Json(), "recorded");
  });
}

}  // namespace

namespace {

using store_rules::no_instance_refusal;

using Rejections = std::vector<std::pair<std::string, std::string>>;

// The assignment of assign_jobs, inside the caller's write transaction;
// entries that are no records are set aside into `rejected`.
Result assign_in(detail::LocalScalingState& impl, sqlite::Connection& connection, bool has_gpu,
                 Rejections& rejected) {
  const std::string& instance = impl.options.instance_id;
  std::vector<std::pair<std::string, Json>> picked;
  {
    sqlite::Statement select = connection.prepare(
        "SELECT id, record FROM actions WHERE state = 'queued' AND scaled_down_at IS NULL "
        "AND (gpu_required = 0 OR ?) ORDER BY seq LIMIT ?");
    select.bind(1, std::int64_t{has_gpu ? 1 : 0}).bind(2, std::int64_t{impl.options.assign_batch});
    while (select.step()) {
      std::string id = select.text(0);
      // An entry written into the queue by other means than submit may
      // not be a record at all: it is set aside, so that it neither
      // stops the queue nor comes back on every poll.
      Json record;
      try {
        record = parse_json(select.text(1));
      } catch (const JsonError& e) {
        rejected.emplace_back(std::move(id), e.beyond_limits() ? e.what() : "its text is not JSON");
        continue;
      }
      if (!record.is_object()) {
        rejected.emplace_back(std::move(id), "it is JSON but not an object");
        continue;
      }
      picked.emplace_back(std::move(id), std::move(record));
    }
  }
  for (const auto& [id, reason] : rejected) {
    connection
        .prepare(
            "UPDATE actions SET state = 'assigned', assigned_to = ?, "
            "assigned_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), rejected_reason = ? "
            "WHERE id = ?")
        .bind(1, instance)
        .bind(2, reason)
        .bind(3, id)
        .run();
    Json event = Json::object();
    event["instance_id"] = instance;
    event["reason"] = reason;
    detail::record_event(connection, id, "reject", event);
  }
  Json assigned = Json::array();
  for (auto& [id, record] : picked) {
    record["status"] = "assigned";
    connection
        .prepare(
            "UPDATE actions SET state = 'assigned', assigned_to = ?, "
            "assigned_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), record = ? WHERE id = ?")
        .bind(1, instance)
        .bind(2, detail::to_text(record))
        .bind(3, id)
        .run();
    Json event = Json::object();
    event["instance_id"] = instance;
    event["has_gpu"] = has_gpu;
    detail::record_event(connection, id, "assign_jobs", event);
    assigned.push_back(std::move(record));
  }
  return Result::ok(std::move(assigned));
}

void log_rejections(const Rejections& rejected) {
  for (const auto& [id, reason] : rejected) {
    log::error("Queued action %s is not an action record (%s); it is set aside", id, reason);
  }
}

}  // namespace

Result LocalScaling::assign_jobs(bool has_gpu) {
  if (impl_->options.instance_id.empty()) return refusal(no_instance_refusal());
  Rejections rejected;
  Result result = in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    return assign_in(*impl_, connection, has_gpu, rejected);
  });
  log_rejections(rejected);
  return result;
}

RecordedAnswer LocalScaling::assign_jobs(bool has_gpu, const WriteOnce& once) {
  return write_once(once, [&] { return once.render(assign_jobs(has_gpu)); });
}

Result LocalScaling::update_action_status(const Json& arguments) {
  auto id = identifier_argument(arguments, "action_record_id", "update_action_status");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(
      *impl_, std::get<std::string>(id), "update_action_status", arguments,
      [&](Json& record) { return store_rules::apply_action_status(arguments, record); });
}

Result LocalScaling::update_status(const std::string& action_record_id,
                                   const std::string& action_type, const std::string& service,
                                   const std::string& step_code, const std::string& status,
                                   const std::string& description) {
  const Json arguments = store_rules::status_arguments(action_record_id, action_type, service,
                                                       step_code, status, description);
  return record_report(*impl_, action_record_id, "update_status", arguments,
                       [](Json&) { return false; });
}

Result LocalScaling::update_action(const Json& arguments) {
  auto id = identifier_argument(arguments, "id", "update_action");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(
      *impl_, std::get<std::string>(id), "update_action", arguments,
      [&](Json& record) { return store_rules::apply_action_update(arguments, record); });
}

namespace {

using store_rules::log_arguments;

// Appends one piece to an action's log inside the caller's write
// transaction, up to the log limit; a placed piece is stored as
// store_rules::plan_log_piece says.
Result append_log_in(detail::LocalScalingState& impl, sqlite::Connection& connection,
                     const store_rules::LogPiece& log_piece) {
  const std::string& id = log_piece.action_id;
  bool limit_reached = false;
  std::optional<store_rules::LogMark> mark;
  {
    sqlite::Statement exists = connection.prepare(
        "SELECT log_limit_reached_at IS NOT NULL, log_stream, log_stream_end FROM actions "
        "WHERE id = ?");
    exists.bind(1, id);
    if (!exists.step()) return refusal(detail::unknown_action(id));
    limit_reached = exists.integer(0) != 0;
    if (!exists.is_null(1)) mark = store_rules::LogMark{exists.text(1), exists.integer(2)};
  }
  if (log_piece.content.empty()) return Result::ok(Json(), "nothing to store");
  const store_rules::LogPlan plan = store_rules::plan_log_piece(log_piece, mark);
  if (plan.repeat) return Result::ok(Json(), "stored before");
  if (plan.mark) {
    connection.prepare("UPDATE actions SET log_stream = ?, log_stream_end = ? WHERE id = ?")
        .bind(1, plan.mark->stream)
        .bind(2, plan.mark->end)
        .bind(3, id)
        .run();
  }
  const std::string_view piece = log_piece.content.substr(plan.skip);
  if (piece.empty()) return Result::ok(Json(), "stored before");
  const std::int64_t limit = impl.options.log_limit_bytes;
  // Output beyond the limit is acknowledged, so that the job goes on.
  if (limit > 0 && limit_reached) return Result::ok(Json(), "not stored: log limit reached");
  std::int64_t offset = 0;
  {
    sqlite::Statement last = connection.prepare(
        "SELECT start_offset + length(content) FROM log_pieces WHERE action_id = ? "
        "ORDER BY start_offset DESC LIMIT 1");
    last.bind(1, id);
    if (last.step()) offset = last.integer(0);
  }
  std::string stored(piece);
  const bool over = limit > 0 && offset + static_cast<std::int64_t>(piece.size()) > limit;
  if (over) {
    stored = log_limit_notice(limit);
    connection
        .prepare(
            "UPDATE actions SET log_limit_reached_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') "
            "WHERE id = ?")
        .bind(1, id)
        .run();
    Json event = Json::object();
    event["log_limit"] = limit;
    detail::record_event(connection, id, "log_limit", event);
  }
  connection.prepare("INSERT INTO log_pieces (action_id, start_offset, content) VALUES (?, ?, ?)")
      .bind(1, id)
      .bind(2, offset)
      .bind_blob(3, stored)
      .run();
  return Result::ok(Json(), over ? "not stored: log limit reached" : "stored");
}

}  // namespace

Result LocalScaling::update_action_docker_logs(const Json& arguments) {
  auto piece = log_arguments(arguments);
  if (auto* refused = std::get_if<Result>(&piece)) return *refused;
  const auto& log_piece = std::get<store_rules::LogPiece>(piece);
  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    return append_log_in(*impl_, connection, log_piece);
  });
}

RecordedAnswer LocalScaling::update_action_docker_logs(const Json& arguments,
                                                       const WriteOnce& once) {
  return write_once(once, [&] { return once.render(update_action_docker_logs(arguments)); });
}

RecordedAnswer LocalScaling::write_once(const WriteOnce& once,
                                        const std::function<std::string()>& write) {
  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    if (std::optional<RecordedAnswer> kept =
            detail::find_answer(connection, once.caller, once.key)) {
      return *std::move(kept);
    }
    RecordedAnswer first{once.request_hash, write(), false};
    detail::keep_answer(connection, once, first.answer);
    return first;
  });
}

Result LocalScaling::get_action_details(const std::string& action_record_id) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    std::optional<Json> record = detail::load_record(connection, action_record_id);
    if (!record) return refusal(detail::unknown_action(action_record_id));
    return Result::ok(*std::move(record));
  });
}

Result LocalScaling::get_downscaled_ids() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL ORDER BY scale_down_seq");
    Json ids = Json::array();
    while (select.step()) ids.push_back(select.text(0));
    return Result::ok(std::move(ids));
  });
}

namespace {

// The codebase row of a model family: (url, requirements url or null).
std::optional<std::pair<std::string, Json>> codebase_of(detail::LocalScalingState& impl,
                                                        const std::string& model_family) {
  return in_read_transaction(
      impl, [&](sqlite::Connection& connection) -> std::optional<std::pair<std::string, Json>> {
        sqlite::Statement select = connection.prepare(
            "SELECT url, requirements_url FROM codebases WHERE model_family = ?");
        select.bind(1, model_family);
        if (!select.step()) return std::nullopt;
        return std::make_pair(select.text(0), select.is_null(1) ? Json() : Json(select.text(1)));
      });
}

using store_rules::codebase_missing;

}  // namespace

Result LocalScaling::get_model_codebase(const std::string& model_family) {
  auto codebase = codebase_of(*impl_, model_family);
  if (!codebase) return refusal(codebase_missing(model_family));
  return Result::ok(codebase->first);
}

Result LocalScaling::get_model_codebase_requirements(const std::string& model_family) {
  auto codebase = codebase_of(*impl_, model_family);
  if (!codebase) return refusal(codebase_missing(model_family));
  if (codebase->second.is_null()) {
    return refusal(store_rules::requirements_missing(model_family));
  }
  return Result::ok(codebase->second);
}

Result LocalScaling::get_docker_hub_credentials() {
  std::optional<Json> credentials =
      in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
        return detail::read_setting(connection, detail::kRegistrySetting);
      });
  return store_rules::registry_credentials_answer(std::move(credentials));
}

Result LocalScaling::get_user_access_key_pair(const std::string& user_id) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select =
        connection.prepare("SELECT access_key, secret_key FROM key_pairs WHERE user_id = ?");
    select.bind(1, user_id);
    if (!select.step()) {
      return refusal(detail::not_configured("The key pair of user \"" + user_id + "\"",
                                            config_command::kKeyPair));
    }
    Json pair = Json::object();
    pair["access_key"] = select.text(0);
    pair["secret_key"] = select.text(1);
    return Result::ok(std::move(pair));
  });
}

Result LocalScaling::get_model_secret_keys(const std::string& secret_name) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select =
        connection.prepare("SELECT user_access_token FROM model_secrets WHERE name = ?");
    select.bind(1, secret_name);
    if (!select.step()) {
      return refusal(detail::not_configured("The model secret \"" + secret_name + "\"",
                                            config_command::kModelSecret));
    }
    Json data = Json::object();
    try {
      data["user_access_token"] =
          detail::open_secret(select.text(0), "model secret \"" + secret_name + "\"");
    } catch (const DatabaseError& e) {
      return refusal(e.what());
    }
    return Result::ok(std::move(data));
  });
}

Result LocalScaling::get_internal_api_key(const std::string& action_record_id) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select =
        connection.prepare("SELECT api_key FROM internal_api_keys WHERE action_id = ?");
    select.bind(1, action_record_id);
    if (!select.step()) {
      return refusal(
          detail::not_configured("The internal API key of action \"" + action_record_id + "\"",
                                 config_command::kInternalApiKey));
    }
    Json data = Json::object();
    try {
      data["internal_api_key"] = detail::open_secret(
          select.text(0), "internal API key of action \"" + action_record_id + "\"");
    } catch (const DatabaseError& e) {
      return refusal(e.what());
    }
    return Result::ok(std::move(data));
  });
}

Json LocalScaling::get_data_processing_image() {
  std::optional<Json> image = in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    return detail::read_setting(connection, detail::kDataProcessingImageSetting);
  });
  if (!image) {
    throw NotConfiguredError(
        detail::not_configured("The data-processing image", config_command::kDataProcessingImage));
  }
  return *std::move(image);
}

Json LocalScaling::get_shutdown_details() {
  std::optional<Json> details = in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    return detail::read_setting(connection, detail::kShutdownSetting);
  });
  if (!details) {
    throw NotConfiguredError(
        detail::not_configured("The shutdown settings", config_command::kShutdown));
  }
  return *std::move(details);
}

Result LocalScaling::update_available_resources(const Json& arguments) {
  const std::string& instance = impl_->options.instance_id;
  if (std::optional<Result> refused = store_rules::resource_report_refusal(instance, arguments)) {
    return *refused;
  }
  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "INSERT INTO machine_resources (instance_id, report, reported_at) "
            "VALUES (?, ?, strftime('%Y-%m-%dT%H:%M:%fZ', 'now')) ON CONFLICT (instance_id) "
            "DO UPDATE SET report = excluded.report, reported_at = excluded.reported_at")
        .bind(1, instance)
        .bind(2, detail::to_text(arguments))
        .run();
    return Result::ok(Json(), "recorded");
  });
}

Json LocalScaling::get_open_port() {
  if (impl_->options.port_range) return Json(detail::hand_out_range_port(*impl_));
  // Another request may have been answered a port that is still free (its
  // job has not bound it yet): such ports are skipped for port_hold.
  constexpr int kAttempts = 64;
  const std::int64_t hold = impl_->options.port_hold.count();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int port =
        impl_->options.port_probe ? impl_->options.port_probe() : detail::probe_free_port();
    if (port < 1 || port > 65535) {
      throw std::runtime_error("The port probe answered an invalid port " + std::to_string(port));
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const bool handed = in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
      connection.prepare("DELETE FROM handed_ports WHERE handed_at <= ?").bind(1, now - hold).run();
      {
        sqlite::Statement held = connection.prepare("SELECT 1 FROM handed_ports WHERE port = ?");
        held.bind(1, std::int64_t{port});
        if (held.step()) return false;
      }
      connection.prepare("INSERT INTO handed_ports (port, handed_at) VALUES (?, ?)")
          .bind(1, std::int64_t{port})
          .bind(2, now)
          .run();
      return true;
    });
    if (handed) return Json(port);
  }
  throw std::runtime_error("No free port found on this host after " + std::to_string(kAttempts) +
                           " tries");
}

}  // namespace tavoren::backend
