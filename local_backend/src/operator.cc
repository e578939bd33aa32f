// The operator's calls: queueing actions, reading their state, history and
// logs, scaling them down, and the settings the agent's operations answer.

#include <string>
#include <utility>

#include "local_scaling_impl.h"
#include "tavoren/common/errors.h"

namespace tavoren::backend {

using detail::in_read_transaction;
using detail::in_write_transaction;

namespace {

using store_rules::require_action_id;
using store_rules::require_text;
using store_rules::require_url;

// Throws KeyError unless the action exists.
void require_action(sqlite::Connection& connection, const std::string& id) {
  sqlite::Statement exists = connection.prepare("SELECT 1 FROM actions WHERE id = ?");
  exists.bind(1, id);
  if (!exists.step()) throw KeyError(detail::unknown_action(id));
}

// What list and show answer as an action's state.
#define ACTION_STATE_SQL                                                             \
  "CASE WHEN rejected_reason IS NOT NULL THEN 'rejected' WHEN ended_at IS NOT NULL " \
  "THEN 'ended' ELSE state END"

Json nullable_text(sqlite::Statement& statement, int column) {
  return statement.is_null(column) ? Json() : Json(statement.text(column));
}

}  // namespace

std::string LocalScaling::submit(const Json& record) {
  detail::validate_submission(record);

  const std::string action_type = record.at("action").get<std::string>();
  const bool gpu_required = store_rules::gpu_required(record);

  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    std::string id;
    do {
      id = detail::new_action_id();
      sqlite::Statement taken = connection.prepare("SELECT 1 FROM actions WHERE id = ?");
      taken.bind(1, id);
      if (!taken.step()) break;
    } while (true);

    const Json stored = store_rules::queued_record(id, record);

    connection
        .prepare(
            "INSERT INTO actions (id, action_type, gpu_required, record, state, submitted_at) "
            "VALUES (?, ?, ?, ?, 'queued', strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))")
        .bind(1, id)
        .bind(2, action_type)
        .bind(3, std::int64_t{gpu_required ? 1 : 0})
        .bind(4, stored.dump())
        .run();
    detail::record_event(connection, id, "submit", Json::object());
    return id;
  });
}

Json LocalScaling::list() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT id, action_type, CASE WHEN json_valid(record) THEN "
        "json_extract(record, '$.status') END, " ACTION_STATE_SQL
        ", assigned_to, "
        "scaled_down_at IS NOT NULL, submitted_at, exit_status FROM actions ORDER BY seq");
    Json actions = Json::array();
    while (select.step()) {
      Json summary = Json::object();
      summary["_id"] = select.text(0);
      summary["action"] = select.text(1);
      summary["status"] = nullable_text(select, 2);
      summary["state"] = select.text(3);
      summary["assignedTo"] = nullable_text(select, 4);
      summary["scaledDown"] = select.integer(5) != 0;
      summary["submittedAt"] = select.text(6);
      summary["exitStatus"] = select.is_null(7) ? Json() : Json(select.integer(7));
      actions.push_back(std::move(summary));
    }
    return actions;
  });
}

std::map<std::string, std::int64_t> LocalScaling::count_by_state() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT " ACTION_STATE_SQL " AS current, count(*) FROM actions GROUP BY current");
    std::map<std::string, std::int64_t> counts;
    while (select.step()) counts[select.text(0)] = select.integer(1);
    return counts;
  });
}

Json LocalScaling::show(const std::string& action_record_id) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    Json shown = Json::object();
    {
      sqlite::Statement select = connection.prepare(
          "SELECT record, " ACTION_STATE_SQL
          ", assigned_to, submitted_at, assigned_at, "
          "scaled_down_at, "
          "(SELECT coalesce(sum(length(content)), 0) FROM log_pieces WHERE action_id = id), "
          "ended_at, exit_status, rejected_reason IS NOT NULL, log_limit_reached_at "
          "FROM actions WHERE id = ?");
      select.bind(1, action_record_id);
      if (!select.step()) throw KeyError(detail::unknown_action(action_record_id));
      shown["record"] = select.integer(9) != 0
                            ? Json(select.text(0))
                            : detail::parse_stored(select.text(0), "action record");
      shown["state"] = select.text(1);
      shown["assignedTo"] = nullable_text(select, 2);
      shown["submittedAt"] = select.text(3);
      shown["assignedAt"] = nullable_text(select, 4);
      shown["scaledDownAt"] = nullable_text(select, 5);
      shown["endedAt"] = nullable_text(select, 7);
      shown["exitStatus"] = select.is_null(8) ? Json() : Json(select.integer(8));
      shown["logBytes"] = select.integer(6);
      shown["logLimit"] =
          impl_->options.log_limit_bytes > 0 ? Json(impl_->options.log_limit_bytes) : Json();
      shown["logLimitReachedAt"] = nullable_text(select, 10);
    }
    Json history = Json::array();
    sqlite::Statement events = connection.prepare(
        "SELECT operation, arguments, recorded_at FROM status_history WHERE action_id = ? "
        "ORDER BY seq");
    events.bind(1, action_record_id);
    while (events.step()) {
      Json event = Json::object();
      event["operation"] = events.text(0);
      event["arguments"] = detail::parse_stored(events.text(1), "status report");
      event["recordedAt"] = events.text(2);
      history.push_back(std::move(event));
    }
    shown["history"] = std::move(history);
    return shown;
  });
}

LogChunk LocalScaling::logs(const std::string& action_record_id, std::int64_t after_offset) {
  if (after_offset < 0) {
    throw ValueError("A log offset must not be negative, not " + std::to_string(after_offset));
  }
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    bool finished = false;
    {
      sqlite::Statement select = connection.prepare(
          "SELECT ended_at IS NOT NULL OR rejected_reason IS NOT NULL FROM actions WHERE id = ?");
      select.bind(1, action_record_id);
      if (!select.step()) throw KeyError(detail::unknown_action(action_record_id));
      finished = select.integer(0) != 0;
    }
    sqlite::Statement pieces = connection.prepare(
        "SELECT start_offset, content FROM log_pieces "
        "WHERE action_id = ? AND start_offset + length(content) > ? ORDER BY start_offset");
    pieces.bind(1, action_record_id).bind(2, after_offset);
    LogChunk chunk;
    while (pieces.step()) {
      const std::int64_t start = pieces.integer(0);
      std::string content = pieces.text(1);
      if (start < after_offset) content.erase(0, static_cast<std::size_t>(after_offset - start));
      chunk.content += content;
    }
    chunk.next_offset = after_offset + static_cast<std::int64_t>(chunk.content.size());
    chunk.finished = finished;
    return chunk;
  });
}

void LocalScaling::record_exit(const std::string& action_record_id, int exit_status) {
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "UPDATE actions SET ended_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), "
            "exit_status = ? WHERE id = ?")
        .bind(1, std::int64_t{exit_status})
        .bind(2, action_record_id)
        .run();
    if (connection.changes() == 0) throw KeyError(detail::unknown_action(action_record_id));
    Json event = Json::object();
    event["exit_status"] = exit_status;
    if (!impl_->options.instance_id.empty()) event["instance_id"] = impl_->options.instance_id;
    detail::record_event(connection, action_record_id, "exit", event);
  });
}

void LocalScaling::scale_down(const std::string& action_record_id) {
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    bool already = false;
    {
      sqlite::Statement select =
          connection.prepare("SELECT scaled_down_at IS NOT NULL FROM actions WHERE id = ?");
      select.bind(1, action_record_id);
      if (!select.step()) throw KeyError(detail::unknown_action(action_record_id));
      already = select.integer(0) != 0;
    }
    if (already) return;
    connection
        .prepare(
            "UPDATE actions SET scaled_down_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), "
            "scale_down_seq = (SELECT coalesce(max(scale_down_seq), 0) + 1 FROM actions) "
            "WHERE id = ?")
        .bind(1, action_record_id)
        .run();
    detail::record_event(connection, action_record_id, "scale_down", Json::object());
  });
}

void LocalScaling::set_registry_credentials(const std::string& username,
                                            const std::string& password,
                                            const std::string& registry) {
  const Json credentials = store_rules::registry_credentials(username, password, registry);
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    detail::write_setting(connection, detail::kRegistrySetting, credentials);
  });
}

void LocalScaling::set_key_pair(const std::string& user_id, const std::string& access_key,
                                const std::string& secret_key) {
  const store_rules::StoredKeyPair stored =
      store_rules::key_pair_to_store(user_id, access_key, secret_key);
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "INSERT INTO key_pairs (user_id, access_key, secret_key, encrypted) "
            "VALUES (?, ?, ?, ?) ON CONFLICT (user_id) DO UPDATE SET "
            "access_key = excluded.access_key, secret_key = excluded.secret_key, "
            "encrypted = excluded.encrypted")
        .bind(1, user_id)
        .bind(2, stored.access_key)
        .bind(3, stored.secret_key)
        .bind(4, std::int64_t{stored.encrypted ? 1 : 0})
        .run();
  });
}

void LocalScaling::set_codebase(const std::string& model_family, const std::string& url,
                                const std::optional<std::string>& requirements_url) {
  require_text(model_family, "The model family");
  require_url(url, "The codebase URL");
  if (requirements_url) require_url(*requirements_url, "The requirements URL");
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement upsert = connection.prepare(
        "INSERT INTO codebases (model_family, url, requirements_url) VALUES (?, ?, ?) "
        "ON CONFLICT (model_family) DO UPDATE SET url = excluded.url, "
        "requirements_url = excluded.requirements_url");
    upsert.bind(1, model_family).bind(2, url);
    if (requirements_url) {
      upsert.bind(3, *requirements_url);
    } else {
      upsert.bind_null(3);
    }
    upsert.run();
  });
}

void LocalScaling::set_model_secret(const std::string& secret_name,
                                    const std::string& user_access_token) {
  require_text(secret_name, "The secret name");
  require_text(user_access_token, "The user access token");
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "INSERT INTO model_secrets (name, user_access_token) VALUES (?, ?) "
            "ON CONFLICT (name) DO UPDATE SET user_access_token = excluded.user_access_token")
        .bind(1, secret_name)
        .bind(2, detail::seal_secret(user_access_token))
        .run();
  });
}

void LocalScaling::set_internal_api_key(const std::string& action_record_id,
                                        const std::string& key) {
  require_action_id(action_record_id);
  require_text(key, "The internal API key");
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    require_action(connection, action_record_id);
    connection
        .prepare(
            "INSERT INTO internal_api_keys (action_id, api_key) VALUES (?, ?) "
            "ON CONFLICT (action_id) DO UPDATE SET api_key = excluded.api_key")
        .bind(1, action_record_id)
        .bind(2, detail::seal_secret(key))
        .run();
  });
}

void LocalScaling::set_data_processing_image(const std::string& image) {
  require_text(image, "The data-processing image", true);
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    detail::write_setting(connection, detail::kDataProcessingImageSetting, Json(image));
  });
}

void LocalScaling::set_shutdown_details(double shutdown_threshold, double launch_duration,
                                        const std::string& instance_source) {
  const Json details =
      store_rules::shutdown_details(shutdown_threshold, launch_duration, instance_source);
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    detail::write_setting(connection, detail::kShutdownSetting, details);
  });
}

Json LocalScaling::machine_resources() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT instance_id, report, reported_at FROM machine_resources ORDER BY instance_id");
    Json machines = Json::object();
    while (select.step()) {
      Json machine = Json::object();
      machine["report"] = detail::parse_stored(select.text(1), "resource report");
      machine["reportedAt"] = select.text(2);
      machines[select.text(0)] = std::move(machine);
    }
    return machines;
  });
}

Json LocalScaling::configuration() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    Json shown = Json::object();
    std::optional<Json> registry = detail::read_setting(connection, detail::kRegistrySetting);
    if (registry) registry->erase("password");
    shown["registry"] = registry.value_or(Json());
    shown["dataProcessingImage"] =
        detail::read_setting(connection, detail::kDataProcessingImageSetting).value_or(Json());
    shown["shutdownDetails"] =
        detail::read_setting(connection, detail::kShutdownSetting).value_or(Json());

    Json codebases = Json::object();
    {
      sqlite::Statement select = connection.prepare(
          "SELECT model_family, url, requirements_url FROM codebases ORDER BY model_family");
      while (select.step()) {
        Json codebase = Json::object();
        codebase["url"] = select.text(1);
        codebase["requirementsUrl"] = nullable_text(select, 2);
        codebases[select.text(0)] = std::move(codebase);
      }
    }
    shown["codebases"] = std::move(codebases);

    Json key_pairs = Json::object();
    {
      sqlite::Statement select =
          connection.prepare("SELECT user_id, encrypted FROM key_pairs ORDER BY user_id");
      while (select.step()) {
        key_pairs[select.text(0)] = Json{{"encrypted", select.integer(1) != 0}};
      }
    }
    shown["keyPairs"] = std::move(key_pairs);

    Json secrets = Json::array();
    {
      sqlite::Statement select = connection.prepare("SELECT name FROM model_secrets ORDER BY name");
      while (select.step()) secrets.push_back(select.text(0));
    }
    shown["modelSecrets"] = std::move(secrets);

    Json api_keys = Json::array();
    {
      sqlite::Statement select =
          connection.prepare("SELECT action_id FROM internal_api_keys ORDER BY action_id");
      while (select.step()) api_keys.push_back(select.text(0));
    }
    shown["internalApiKeys"] = std::move(api_keys);
    return shown;
  });
}

}  // namespace tavoren::backend
