// Action records: identifiers, validation of submissions, and the rows that
// hold records, their history and the settings.

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "local_scaling_impl.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"

namespace tavoren::backend {

const std::vector<std::string>& LocalScaling::action_types() {
  // The types the agent's work unit has an executor for.
  static const std::vector<std::string> kTypes = {
      "model_train",          "model_eval",         "model_export",
      "deploy_add",           "data_import",        "data_add",
      "data_split",           "data_prep",          "dataset_annotation",
      "dataset_augmentation", "augmentation_setup", "image_build",
      "resource_clone",       "kafka_setup",        "inference_aggregator",
  };
  return kTypes;
}

namespace detail {

bool is_action_id(std::string_view id) {
  return id.size() == 24 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string new_action_id() {
  static constexpr char kDigits[] = "0123456789abcdef";
  while (true) {
    std::array<unsigned char, 12> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        throw std::runtime_error(std::string("Cannot draw random bytes for an identifier: ") +
                                 std::strerror(errno));
      }
      filled += static_cast<std::size_t>(got);
    }
    std::string id;
    for (unsigned char byte : bytes) {
      id += kDigits[byte >> 4];
      id += kDigits[byte & 0x0f];
    }
    if (id != kNullActionId) return id;
  }
}

std::string to_text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json parse_stored(const std::string& text, std::string_view what) {
  try {
    return parse_json(text);
  } catch (const JsonError& e) {
    throw DatabaseError("The backend database holds a damaged " + std::string(what) + ": " +
                        e.what());
  }
}

Result refusal(std::string text) {
  std::string message = text;
  return Result::failure(std::move(text), std::move(message));
}

std::string not_configured(std::string_view what, std::string_view command) {
  return std::string(what) + " is not configured; set it with: " + std::string(command);
}

std::string unknown_action(std::string_view id) {
  return "No action with identifier \"" + std::string(id) + "\"";
}

std::optional<Json> load_record(sqlite::Connection& connection, const std::string& id) {
  sqlite::Statement select = connection.prepare("SELECT record FROM actions WHERE id = ?");
  select.bind(1, id);
  if (!select.step()) return std::nullopt;
  return parse_stored(select.text(0), "action record");
}

void store_record(sqlite::Connection& connection, const std::string& id, const Json& record) {
  connection.prepare("UPDATE actions SET record = ? WHERE id = ?")
      .bind(1, to_text(record))
      .bind(2, id)
      .run();
}

void record_event(sqlite::Connection& connection, const std::string& id, std::string_view operation,
                  const Json& arguments) {
  connection
      .prepare(
          "INSERT INTO status_history (action_id, operation, arguments, recorded_at) "
          "VALUES (?, ?, ?, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))")
      .bind(1, id)
      .bind(2, operation)
      .bind(3, to_text(arguments))
      .run();
}

std::string seal_secret(const std::string& value) {
  const std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  if (key.empty()) return value;
  try {
    return std::string(kSealedPrefix) + host_probe::encrypt_text(value, key);
  } catch (const ValueError&) {
    throw ValueError(
        "The secret could not be encrypted: TAVOREN_ENCRYPTION_KEY must be 16, 24 or 32 bytes "
        "long");
  }
}

std::string open_secret(const std::string& stored, std::string_view what) {
  if (!stored.starts_with(kSealedPrefix)) return stored;
  const std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  if (key.empty()) {
    throw DatabaseError("The stored " + std::string(what) +
                        " is encrypted; set TAVOREN_ENCRYPTION_KEY to the key it was stored with");
  }
  try {
    return host_probe::decrypt_text(std::string_view(stored).substr(kSealedPrefix.size()), key);
  } catch (const std::exception&) {
    throw DatabaseError("The stored " + std::string(what) +
                        " cannot be decrypted with TAVOREN_ENCRYPTION_KEY");
  }
}

std::optional<Json> read_setting(sqlite::Connection& connection, const char* name) {
  sqlite::Statement select = connection.prepare("SELECT value FROM settings WHERE name = ?");
  select.bind(1, std::string_view(name));
  if (!select.step()) return std::nullopt;
  return parse_stored(select.text(0), std::string("setting ") + name);
}

void write_setting(sqlite::Connection& connection, const char* name, const Json& value) {
  connection
      .prepare(
          "INSERT INTO settings (name, value) VALUES (?, ?) "
          "ON CONFLICT (name) DO UPDATE SET value = excluded.value")
      .bind(1, std::string_view(name))
      .bind(2, to_text(value))
      .run();
}

namespace {

const char* type_name(const Json& value) { return value.type_name(); }

void require_text(const Json& map, const char* key, const char* where, bool null_allowed) {
  const auto found = map.find(key);
  if (found == map.end()) return;
  if (found->is_string() || (null_allowed && found->is_null())) return;
  throw TypeError(std::string("\"") + key + "\" of " + where + " must be a text, not " +
                  type_name(*found));
}

}  // namespace

void validate_submission(const Json& record) {
  if (!record.is_object()) {
    throw TypeError(std::string("An action record must be a JSON object, not ") +
                    type_name(record));
  }
  if (record.contains("_id")) {
    throw ValueError("An action record must not carry \"_id\": the backend assigns the identifier");
  }

  const auto action = record.find("action");
  if (action == record.end()) throw KeyError("The action record has no \"action\" (its type)");
  if (!action->is_string()) {
    throw TypeError(std::string("\"action\" must be a text, not ") + type_name(*action));
  }
  const std::vector<std::string>& types = LocalScaling::action_types();
  if (std::find(types.begin(), types.end(), action->get<std::string>()) == types.end()) {
    std::string known;
    for (const std::string& type : types) known += (known.empty() ? "" : ", ") + type;
    throw ValueError("Unknown action type \"" + action->get<std::string>() +
                     "\"; known types: " + known);
  }

  const auto details = record.find("actionDetails");
  if (details == record.end()) throw KeyError("The action record has no \"actionDetails\"");
  if (!details->is_object()) {
    throw TypeError(std::string("\"actionDetails\" must be a JSON object, not ") +
                    type_name(*details));
  }
  const auto job_params = record.find("jobParams");
  if (job_params != record.end() && !job_params->is_object()) {
    throw TypeError(std::string("\"jobParams\" must be a JSON object, not ") +
                    type_name(*job_params));
  }
  require_text(record, "_idUser", "the action record", false);
  require_text(record, "_idService", "the action record", false);
  require_text(record, "subAction", "the action record", true);
  require_text(*details, "modelFamily", "\"actionDetails\"", false);
  require_text(*details, "modelKey", "\"actionDetails\"", false);
  const auto gpu = details->find("gpuRequired");
  if (gpu != details->end() && !gpu->is_boolean() && !gpu->is_number()) {
    throw TypeError(std::string("\"gpuRequired\" of \"actionDetails\" must be a boolean, not ") +
                    type_name(*gpu));
  }

  try {
    (void)record.dump();
  } catch (const Json::type_error&) {
    throw ValueError("The action record holds a text that is not valid UTF-8");
  }
}

}  // namespace detail
}  // namespace tavoren::backend
