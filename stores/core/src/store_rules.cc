// The rules shared by every store: identifiers, checks, refusal texts,
// stored forms and sealed secrets, and free ports of this host.

#include "tavoren/store_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tavoren/common/errors.h"
#include "tavoren/common/hex.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/sealing.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"

namespace tavoren::backend {

std::string log_limit_notice(std::int64_t limit) {
  return "\n[log limit of " + std::to_string(limit) +
         " bytes reached; further output of this action was not stored]\n";
}

namespace store_rules {

const std::vector<std::string>& action_types() {
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

std::string new_action_id() {
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
    std::string id = lower_hex(bytes.data(), bytes.size());
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

Result refusal(std::string_view kind, std::string text) {
  return Result::refused(kind, std::move(text));
}

std::string not_configured(std::string_view what, std::string_view command) {
  return std::string(what) + " is not configured; set it with: " + std::string(command);
}

Result registry_credentials_answer(const sealing::Keyring* keyring, std::optional<Json> stored) {
  if (!stored) {
    return refusal(refusal_kind::kNotConfigured,
                   not_configured("The container registry credentials", config_command::kRegistry));
  }
  if (const auto password = stored->find("password");
      password != stored->end() && password->is_string()) {
    try {
      *password = open_secret(keyring, password->get<std::string>(), registry_password_binding(),
                              "registry password");
    } catch (const DatabaseError& e) {
      return refusal(refusal_kind::kFailed, e.what());
    }
  }
  return Result::ok(*std::move(stored));
}

void check_access_key(const AccessKeyRecord& key) {
  if (key.access_key.empty()) throw ValueError("An access key must not be empty");
  if (key.sealed_secret.empty()) throw ValueError("An access key's secret must not be empty");
  if (key.role == "instance") {
    if (key.instance_id.empty()) throw ValueError("An instance key needs an instance identifier");
  } else if (key.role == "operator" || key.role == "viewer") {
    if (!key.instance_id.empty()) {
      throw ValueError(std::string(key.role == "operator" ? "An operator" : "A viewer") +
                       " key has no instance identifier");
    }
  } else {
    throw ValueError("Unknown key role \"" + key.role +
                     "\": \"instance\", \"operator\" or \"viewer\"");
  }
}

std::string unknown_action(std::string_view id) {
  return "No action with identifier \"" + std::string(id) + "\"";
}

std::string no_transport_key(const std::string& instance_id) {
  return "Instance \"" + instance_id +
         "\" has no transport key, so no key pair is answered to it; make one with: "
         "tavoren-backend keys transport --instance " +
         instance_id + " and give it to its agent as TAVOREN_ENCRYPTION_KEY";
}

std::string no_instance_refusal() {
  return "This backend connection has no instance identifier; only an agent's connection "
         "receives assignments";
}

std::string codebase_missing(const std::string& model_family) {
  return not_configured("The codebase of model family \"" + model_family + "\"",
                        config_command::kCodebase);
}

std::string requirements_missing(const std::string& model_family) {
  return not_configured("The requirements URL of model family \"" + model_family + "\"",
                        config_command::kCodebase);
}

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string registry_password_binding() {
  return sealing::row_binding("settings", "value", kRegistrySetting);
}
std::string model_secret_binding(const std::string& owner, const std::string& name) {
  // The owner is one word: a blank cannot be part of it.
  return sealing::row_binding("model_secrets", "user_access_token", owner + " " + name);
}
std::string internal_api_key_binding(const std::string& action_id) {
  return sealing::row_binding("internal_api_keys", "api_key", action_id);
}
std::string key_pair_binding(const std::string& column, const std::string& user_id) {
  return sealing::row_binding("key_pairs", column, user_id);
}
std::string access_key_binding(const std::string& access_key) {
  return sealing::row_binding("access_keys", "sealed_secret", access_key);
}
std::string transport_key_binding(const std::string& instance_id) {
  return sealing::row_binding("transport_keys", "sealed_key", instance_id);
}

std::string seal_secret(const sealing::Keyring* keyring, const std::string& value,
                        std::string_view binding) {
  if (keyring != nullptr) {
    return keyring->seal(value, sealing::Purpose::kOperatorSecrets, binding);
  }
  const std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  if (key.empty()) return value;
  try {
    return std::string(kSealedPrefix) + sealing::seal_text(value, key);
  } catch (const ValueError&) {
    throw ValueError(
        "The secret could not be encrypted: TAVOREN_ENCRYPTION_KEY must be 16, 24 or 32 bytes "
        "long");
  }
}

std::string open_secret(const sealing::Keyring* keyring, const std::string& stored,
                        std::string_view binding, std::string_view what) {
  if (stored.starts_with(sealing::kMasterSealedPrefix)) {
    if (keyring == nullptr) {
      throw DatabaseError("The stored " + std::string(what) +
                          " is sealed under a master key, which this store was not given");
    }
    try {
      return keyring->open(stored, sealing::Purpose::kOperatorSecrets, binding, what);
    } catch (const ValueError&) {
      throw DatabaseError("The stored " + std::string(what) +
                          " cannot be decrypted with the master key");
    }
  }
  if (!stored.starts_with(kSealedPrefix)) return stored;
  const std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  if (key.empty()) {
    throw DatabaseError("The stored " + std::string(what) +
                        " is encrypted; set TAVOREN_ENCRYPTION_KEY to the key it was stored with");
  }
  try {
    return sealing::open_text(std::string_view(stored).substr(kSealedPrefix.size()), key);
  } catch (const std::exception&) {
    throw DatabaseError("The stored " + std::string(what) +
                        " cannot be decrypted with TAVOREN_ENCRYPTION_KEY");
  }
}

StoredKeyPair key_pair_to_store(const sealing::Keyring* keyring, const std::string& user_id,
                                const std::string& access_key, const std::string& secret_key) {
  require_text(user_id, "The user identifier");
  require_text(access_key, "The access key");
  require_text(secret_key, "The secret key");
  if (keyring != nullptr) {
    const auto purpose = sealing::Purpose::kKeyPairs;
    return StoredKeyPair{
        keyring->seal(access_key, purpose, key_pair_binding("access_key", user_id)),
        keyring->seal(secret_key, purpose, key_pair_binding("secret_key", user_id)), true};
  }
  std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  sealing::Wipe wipe(key);
  if (key.empty()) {
    log::warning("TAVOREN_ENCRYPTION_KEY is not set; the key pair of user %s is stored unencrypted",
                 user_id);
    return StoredKeyPair{access_key, secret_key, false};
  }
  try {
    // Each key sealed on its own, the form the agent opens.
    return StoredKeyPair{sealing::seal_text(access_key, key), sealing::seal_text(secret_key, key),
                         true};
  } catch (const ValueError&) {
    throw ValueError(
        "The key pair could not be encrypted: TAVOREN_ENCRYPTION_KEY must be 16, 24 or 32 "
        "bytes long");
  }
}

namespace {

const char* type_name(const Json& value) { return value.type_name(); }

void require_record_text(const Json& map, const char* key, const char* where, bool null_allowed) {
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
  const std::vector<std::string>& types = action_types();
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
  const auto retry = record.find("retry");
  if (retry != record.end() && (!retry->is_number_integer() || retry->get<std::int64_t>() < 0 ||
                                retry->get<std::int64_t>() > 1000)) {
    throw ValueError("\"retry\" must be a whole number from 0 to 1000");
  }
  if (record.contains("attempt")) {
    throw ValueError("An action record must not carry \"attempt\": the backend numbers them");
  }
  require_record_text(record, "_idUser", "the action record", false);
  require_record_text(record, "_idService", "the action record", false);
  require_record_text(record, "subAction", "the action record", true);
  require_record_text(*details, "modelFamily", "\"actionDetails\"", false);
  require_record_text(*details, "modelKey", "\"actionDetails\"", false);
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

bool gpu_required(const Json& record) {
  const Json& details = record.at("actionDetails");
  const auto gpu = details.find("gpuRequired");
  return gpu != details.end() && is_truthy(*gpu);
}

Json queued_record(const std::string& id, const Json& record) {
  // The identifier first, then the operator's keys in their order; the
  // status belongs to the backend.
  Json stored = Json::object();
  stored["_id"] = id;
  for (const auto& [key, value] : record.items()) stored[key] = value;
  stored["status"] = "queued";
  return stored;
}

void require_text(const std::string& value, const std::string& what, bool single_word) {
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
  if (!is_action_id(id)) {
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

std::optional<Result> report_too_large(const std::string& id, std::size_t size,
                                       std::int64_t stored) {
  if (size > kMaxReportBytes) {
    return Result::failure(std::string(backend::kTooLarge),
                           "A report of " + std::to_string(size) + " bytes about action " + id +
                               " passes the limit of " + std::to_string(kMaxReportBytes) +
                               " bytes per report; it is not stored");
  }
  if (stored + static_cast<std::int64_t>(size) > kMaxReportBytesPerAction) {
    return Result::failure(std::string(backend::kTooLarge),
                           "The reports about action " + id + " would pass their limit of " +
                               std::to_string(kMaxReportBytesPerAction) +
                               " bytes; this one is not stored");
  }
  return std::nullopt;
}

std::optional<Result> record_too_large(const std::string& id, std::size_t before,
                                       std::size_t after) {
  if (after <= kMaxRecordBytes || after <= before) return std::nullopt;
  return Result::failure(std::string(backend::kTooLarge),
                         "The report would grow the record of action " + id + " to " +
                             std::to_string(after) + " bytes, past the limit of " +
                             std::to_string(kMaxRecordBytes) + "; it is not stored");
}

void require_codebase_url(const std::string& url) {
  require_url(url, "The codebase URL");
  const std::size_t hash = url.find('#');
  if (hash == std::string::npos) return;
  // The only fragment a codebase URL carries: the archive's digest, which
  // the agent checks before it unpacks anything.
  const std::string_view fragment = std::string_view(url).substr(hash + 1);
  constexpr std::string_view kPin = "sha256=";
  const std::string_view digest =
      fragment.starts_with(kPin) ? fragment.substr(kPin.size()) : std::string_view();
  const bool hex = digest.size() == 64 && std::all_of(digest.begin(), digest.end(), [](char c) {
                     return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                   });
  if (!hex) {
    throw ValueError(
        "The codebase URL may end only in \"#sha256=\" and the archive's SHA-256 "
        "(64 hexadecimal digits)");
  }
}

Json shutdown_details(double shutdown_threshold, double launch_duration,
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
  return details;
}

Json registry_credentials(const sealing::Keyring* keyring, const std::string& username,
                          const std::string& password, const std::string& registry) {
  require_text(username, "The registry user name", true);
  require_text(password, "The registry password");
  if (!registry.empty()) require_text(registry, "The registry name", true);
  Json credentials = Json::object();
  credentials["username"] = username;
  credentials["password"] = seal_secret(keyring, password, registry_password_binding());
  if (!registry.empty()) credentials["registry"] = registry;
  return credentials;
}

std::optional<std::string> text_argument(const Json& arguments, const char* key) {
  const auto found = arguments.find(key);
  if (found == arguments.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::variant<std::string, Result> identifier_argument(const Json& arguments, const char* key,
                                                      const char* operation) {
  if (!arguments.is_object()) {
    return refusal(
        refusal_kind::kTypeError,
        std::string(operation) + " takes a map of named arguments, not " + arguments.type_name());
  }
  std::optional<std::string> id = text_argument(arguments, key);
  if (!id) {
    return refusal(refusal_kind::kTypeError,
                   std::string(operation) + " needs the named argument \"" + key + "\" as a text");
  }
  return *std::move(id);
}

std::variant<LogPiece, Result> log_arguments(const Json& arguments) {
  auto id = identifier_argument(arguments, "action_record_id", "update_action_docker_logs");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  const auto content = arguments.find("log_content");
  if (content == arguments.end() || !content->is_string()) {
    return refusal(refusal_kind::kTypeError,
                   "update_action_docker_logs needs the named argument \"log_content\" as a text");
  }
  LogPiece piece{std::get<std::string>(std::move(id)), content->get_ref<const std::string&>(),
                 std::nullopt};
  auto given = [&](const char* key) {
    const auto found = arguments.find(key);
    return found != arguments.end() && !found->is_null();
  };
  const int placed = static_cast<int>(given("log_stream")) +
                     static_cast<int>(given("log_start_offset")) +
                     static_cast<int>(given("log_end_offset"));
  if (placed == 0) return piece;
  if (placed != 3) {
    return refusal(refusal_kind::kValueError,
                   "update_action_docker_logs takes \"log_stream\", \"log_start_offset\" and "
                   "\"log_end_offset\" together or none of them");
  }
  const Json& stream = arguments.at("log_stream");
  if (!stream.is_string() || stream.get_ref<const std::string&>().empty() ||
      stream.get_ref<const std::string&>().size() > kMaxLogStreamLength) {
    return refusal(refusal_kind::kValueError,
                   "update_action_docker_logs needs \"log_stream\" as a text of 1 to " +
                       std::to_string(kMaxLogStreamLength) + " bytes");
  }
  const Json& start = arguments.at("log_start_offset");
  const Json& end = arguments.at("log_end_offset");
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  auto offset = [](const Json& value) {
    return value.is_number_unsigned() ||
           (value.is_number_integer() && value.get<std::int64_t>() >= 0);
  };
  if (!offset(start) || !offset(end) || start.get<std::uint64_t>() > kMaxOffset ||
      end.get<std::uint64_t>() > kMaxOffset) {
    return refusal(refusal_kind::kValueError,
                   "update_action_docker_logs needs \"log_start_offset\" and \"log_end_offset\" as "
                   "byte offsets (integers from 0)");
  }
  LogPlacement placement{stream.get<std::string>(), start.get<std::int64_t>(),
                         end.get<std::int64_t>()};
  if (placement.start > placement.end) {
    return refusal(
        refusal_kind::kValueError,
        "update_action_docker_logs needs \"log_start_offset\" at most \"log_end_offset\"");
  }
  piece.placement = std::move(placement);
  return piece;
}

LogPlan plan_log_piece(const LogPiece& piece, const std::optional<LogMark>& mark) {
  LogPlan plan;
  if (!piece.placement) return plan;
  const LogPlacement& at = *piece.placement;
  plan.mark = LogMark{at.stream, at.end};
  if (!mark || mark->stream != at.stream) return plan;
  if (at.end <= mark->end) {
    plan.repeat = true;
    plan.mark.reset();
    return plan;
  }
  if (at.start >= mark->end) return plan;
  // Across the mark: only a content that is the range's very bytes can be
  // cut there.
  const std::string_view content = piece.content;
  if (static_cast<std::int64_t>(content.size()) != at.end - at.start || !is_valid_utf8(content)) {
    return plan;
  }
  std::size_t skip = static_cast<std::size_t>(mark->end - at.start);
  while (skip < content.size() && (static_cast<unsigned char>(content[skip]) & 0xC0) == 0x80) {
    ++skip;
  }
  plan.skip = skip;
  return plan;
}

std::optional<Result> resource_report_refusal(const std::string& instance, const Json& arguments) {
  if (instance.empty()) {
    return refusal(refusal_kind::kFailed,
                   "This backend connection has no instance identifier; only an agent's connection "
                   "reports its machine's resources");
  }
  if (!arguments.is_object()) {
    return refusal(refusal_kind::kTypeError,
                   std::string("update_available_resources takes a map of named arguments, not ") +
                       arguments.type_name());
  }
  for (const char* key :
       {"available_memory", "available_cpu", "available_gpu_memory", "gpu_utilisation"}) {
    const auto found = arguments.find(key);
    if (found == arguments.end() || !found->is_number()) {
      return refusal(refusal_kind::kTypeError,
                     std::string("update_available_resources needs the named argument \"") + key +
                         "\" as a number");
    }
  }
  const auto inventory = arguments.find("inventory");
  if (inventory == arguments.end() || inventory->is_null()) return std::nullopt;
  if (!inventory->is_object()) {
    return refusal(refusal_kind::kTypeError, "The inventory must be a map");
  }
  const auto gpus = inventory->find("gpus");
  if (gpus != inventory->end()) {
    if (!gpus->is_array() || gpus->size() > kMaxInventoryGpus ||
        !std::all_of(gpus->begin(), gpus->end(), [](const Json& gpu) { return gpu.is_object(); })) {
      return refusal(refusal_kind::kValueError,
                     "The inventory's \"gpus\" must be a list of at most " +
                         std::to_string(kMaxInventoryGpus) + " maps");
    }
  }
  if (to_text(*inventory).size() > kMaxInventoryBytes) {
    return Result::failure(std::string(backend::kTooLarge), "The inventory is larger than " +
                                                                std::to_string(kMaxInventoryBytes) +
                                                                " bytes; nothing was stored");
  }
  return std::nullopt;
}

Json inventory_sample(const Json& arguments) {
  Json sample = Json::object();
  sample["memory"] = arguments.value("available_memory", Json());
  sample["cpu"] = arguments.value("available_cpu", Json());
  Json gpus = Json::array();
  for (const Json& gpu : arguments.at("inventory").value("gpus", Json::array())) {
    gpus.push_back(Json::array(
        {gpu.value("index", Json()), gpu.value("health", Json()), gpu.value("utilisation", Json()),
         gpu.value("memoryUsedMiB", Json()), gpu.value("memoryFreeMiB", Json()),
         gpu.value("temperatureC", Json()), gpu.value("powerDrawW", Json())}));
  }
  sample["gpus"] = std::move(gpus);
  return sample;
}

std::pair<std::int64_t, std::int64_t> healthy_gpu_free_mib(const Json& inventory) {
  double most = 0;
  double sum = 0;
  for (const Json& gpu : inventory.value("gpus", Json::array())) {
    if (gpu.value("health", std::string()) != "healthy") continue;
    const Json free = gpu.value("memoryFreeMiB", Json());
    if (!free.is_number() || free.get<double>() < 0) continue;
    most = std::max(most, free.get<double>());
    sum += free.get<double>();
  }
  return {static_cast<std::int64_t>(most), static_cast<std::int64_t>(sum)};
}

namespace {

// MiB as whole gigabytes (GiB, rounded to the nearest).
std::string gigabytes(std::int64_t mib) { return std::to_string((mib + 512) / 1024) + " GB"; }

std::string machines(std::int64_t count, const char* kind) {
  return std::to_string(count) + " " + kind + (count == 1 ? "machine" : "machines");
}

}  // namespace

std::string wait_reason(bool gpu_required, std::optional<std::int64_t> gpu_memory_mib,
                        const FleetOffer& offer, std::int64_t ahead) {
  if (offer.alive == 0) return "no alive machine";
  if (offer.taking == 0) return "every alive machine is draining or being preempted";
  if (gpu_required) {
    if (offer.gpu == 0) return "no alive machine with a GPU";
    if (offer.gpu_at_cap == offer.gpu) {
      return offer.gpu == 1 ? "the only GPU machine is at its cap"
                            : "all " + machines(offer.gpu, "GPU ") + " at their cap";
    }
    const bool large = gpu_memory_mib && *gpu_memory_mib >= kLargeGpuRequirementMib;
    const std::int64_t most = large ? offer.most_free_all : offer.most_free_one;
    if (gpu_memory_mib && most >= 0 && *gpu_memory_mib > most) {
      return "needs " + gigabytes(*gpu_memory_mib) + " free on " +
             (large ? "one machine's GPUs" : "one GPU") +
             "; the most free on an alive machine is " + gigabytes(most);
    }
  } else if (offer.at_cap == offer.taking) {
    return offer.taking == 1 ? "the only machine is at its cap"
                             : "all " + machines(offer.taking, "") + " at their cap";
  }
  if (ahead == 0) return "next, for the first machine that polls";
  return "behind " + std::to_string(ahead) + (ahead == 1 ? " earlier action" : " earlier actions");
}

std::optional<std::int64_t> required_gpu_memory_mib(const Json& record) {
  if (!gpu_required(record)) return std::nullopt;
  const Json* stored = nullptr;
  try {
    stored = backend::stored_gpu_memory(record);
  } catch (const TypeError&) {
    return std::nullopt;
  }
  if (stored == nullptr) return std::nullopt;
  const std::optional<Json> number = backend::gpu_memory_number(*stored);
  if (!number || number->get<double>() <= 0 || number->get<double>() > 1e12) return std::nullopt;
  return static_cast<std::int64_t>(std::ceil(number->get<double>()));
}

Json gpu_counts(const Json& report) {
  if (!report.is_object()) return Json();
  const auto inventory = report.find("inventory");
  if (inventory == report.end() || !inventory->is_object()) return Json();
  std::int64_t total = 0;
  std::int64_t healthy = 0;
  for (const Json& gpu : inventory->value("gpus", Json::array())) {
    ++total;
    if (gpu.value("health", std::string()) == "healthy") ++healthy;
  }
  return Json{{"total", total}, {"healthy", healthy}};
}

Json masked_secrets(Json value) {
  static constexpr std::string_view kSecretWords[] = {"secret",     "password", "passwd", "token",
                                                      "credential", "private",  "apikey", "api_key",
                                                      "access_key", "accesskey"};
  if (value.is_array()) {
    for (Json& element : value) element = masked_secrets(std::move(element));
  } else if (value.is_object()) {
    for (auto& [name, member] : value.items()) {
      std::string lower = name;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      const bool secret =
          std::any_of(std::begin(kSecretWords), std::end(kSecretWords),
                      [&](std::string_view word) { return lower.find(word) != std::string::npos; });
      member =
          secret && !member.is_null() ? Json(kMaskedSecret) : masked_secrets(std::move(member));
    }
  }
  return value;
}

bool apply_action_status(const Json& arguments, Json& record) {
  std::optional<std::string> status = text_argument(arguments, "status");
  if (!status) return false;
  record["status"] = *status;
  return true;
}

bool apply_action_update(const Json& arguments, Json& record) {
  bool changed = false;
  if (std::optional<std::string> status = text_argument(arguments, "status")) {
    record["status"] = *status;
    changed = true;
  }
  const auto job_params = arguments.find("job_params");
  if (job_params != arguments.end() && job_params->is_object()) {
    record["jobParams"] = *job_params;
    changed = true;
  }
  if (std::optional<std::string> sub = text_argument(arguments, "sub_action")) {
    record["subAction"] = *sub;
    changed = true;
  }
  return changed;
}

Json status_arguments(const std::string& action_record_id, const std::string& action_type,
                      const std::string& service, const std::string& step_code,
                      const std::string& status, const std::string& description) {
  Json arguments = Json::object();
  arguments["action_record_id"] = action_record_id;
  arguments["action_type"] = action_type;
  arguments["service"] = service;
  arguments["step_code"] = step_code;
  arguments["status"] = status;
  arguments["description"] = description;
  return arguments;
}

int probe_free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw std::runtime_error(std::string("Cannot open a socket to find a free port: ") +
                             std::strerror(errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // Port 0 on every interface: the kernel picks a port that no socket of
  // this host is bound to, on any address (the jobs listen on all of them).
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error(std::string("Cannot bind a socket to find a free port: ") +
                             std::strerror(errno));
  }
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error(std::string("Cannot read the port of a bound socket: ") +
                             std::strerror(errno));
  }
  return ntohs(address.sin_port);
}

}  // namespace store_rules
}  // namespace tavoren::backend
