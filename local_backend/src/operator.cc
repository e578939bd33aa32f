// The operator's calls: queueing actions, reading their state, history and
// logs, scaling them down, and the settings the agent's operations answer.

#include <cmath>
#include <string>
#include <utility>

#include "local_scaling_impl.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::backend {

using detail::in_read_transaction;
using detail::in_write_transaction;

namespace {

// A setting's text: present, valid UTF-8, and (for names and references
// that end up on command lines) free of blanks and control characters.
void require_text(const std::string& value, const std::string& what, bool single_word = false) {
  if (value.empty()) throw ValueError(what + " must not be empty");
  if (!is_valid_utf8(value)) throw ValueError(what + " is not valid UTF-8");
  if (single_word) {
    for (unsigned char c : value) {
      if (c <= ' ' || c == 0x7f) {
        throw ValueError(what + " must not contain blanks or control characters");
      }
    }
    if (value.front() == '-') throw ValueError(what + " must not start with \"-\"");
  }
}

void require_action_id(const std::string& id) {
  if (!detail::is_action_id(id)) {
    throw ValueError("Invalid action identifier \"" + id +
                     "\": 24 lowercase hexadecimal characters expected");
  }
}

void require_url(const std::string& url, const std::string& what) {
  require_text(url, what, true);
  // The agent downloads codebases over HTTP and HTTPS only; anything else
  // would fail every model action before its container starts.
  const bool http = (url.starts_with("http://") && url.size() > 7) ||
                    (url.starts_with("https://") && url.size() > 8);
  if (!http) {
    throw ValueError(what + " \"" + url +
                     "\" is not an http:// or https:// URL (the agent downloads codebases "
                     "over HTTP and HTTPS only)");
  }
}

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
  const auto gpu = record.at("actionDetails").find("gpuRequired");
  const bool gpu_required = gpu != record.at("actionDetails").end() && is_truthy(*gpu);

  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    std::string id;
    do {
      id = detail::new_action_id();
      sqlite::Statement taken = connection.prepare("SELECT 1 FROM actions WHERE id = ?");
      taken.bind(1, id);
      if (!taken.step()) break;
    } while (true);

    // The identifier first, then the operator's keys in their order; the
    // status belongs to the backend.
    Json stored = Json::object();
    stored["_id"] = id;
    for (const auto& [key, value] : record.items()) stored[key] = value;
    stored["status"] = "queued";

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
  require_text(username, "The registry user name", true);
  require_text(password, "The registry password");
  if (!registry.empty()) require_text(registry, "The registry name", true);
  Json credentials = Json::object();
  credentials["username"] = username;
  credentials["password"] = detail::seal_secret(password);
  if (!registry.empty()) credentials["registry"] = registry;
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    detail::write_setting(connection, detail::kRegistrySetting, credentials);
  });
}

void LocalScaling::set_key_pair(const std::string& user_id, const std::string& access_key,
                                const std::string& secret_key) {
  require_text(user_id, "The user identifier");
  require_text(access_key, "The access key");
  require_text(secret_key, "The secret key");
  std::string stored_access = access_key;
  std::string stored_secret = secret_key;
  const bool encrypt = !get_env("TAVOREN_ENCRYPTION_KEY").value_or("").empty();
  if (encrypt) {
    std::optional<host_probe::KeyPair> encrypted =
        host_probe::get_encrypted_access_key_pair(access_key, secret_key);
    if (!encrypted) {
      throw ValueError(
          "The key pair could not be encrypted: TAVOREN_ENCRYPTION_KEY must be 16, 24 or 32 "
          "bytes long");
    }
    stored_access = std::move(encrypted->access_key);
    stored_secret = std::move(encrypted->secret_key);
  } else {
    log::warning("TAVOREN_ENCRYPTION_KEY is not set; the key pair of user %s is stored unencrypted",
                 user_id);
  }
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "INSERT INTO key_pairs (user_id, access_key, secret_key, encrypted) "
            "VALUES (?, ?, ?, ?) ON CONFLICT (user_id) DO UPDATE SET "
            "access_key = excluded.access_key, secret_key = excluded.secret_key, "
            "encrypted = excluded.encrypted")
        .bind(1, user_id)
        .bind(2, stored_access)
        .bind(3, stored_secret)
        .bind(4, std::int64_t{encrypt ? 1 : 0})
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
  if (!std::isfinite(shutdown_threshold) || shutdown_threshold <= 0) {
    throw ValueError("The shutdown threshold must be a positive number");
  }
  if (!std::isfinite(launch_duration) || launch_duration <= 0) {
    throw ValueError("The launch duration must be a positive number");
  }
  require_text(instance_source, "The instance source");
  Json details = Json::object();
  details["shutdownThreshold"] = shutdown_threshold;
  details["launchDuration"] = launch_duration;
  details["instanceSource"] = instance_source;
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
