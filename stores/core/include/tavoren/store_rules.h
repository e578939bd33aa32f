// The rules every store applies the same way, whatever holds its records:
// identifiers, checks of submissions, arguments and settings, the texts of
// refusals, the stored form of records and sealed secrets, and free ports
// of this host. For the implementations of tavoren/store.h.
//
// Threads: every function may be called from any thread. Failures: as
// stated per function; nothing here touches a database or waits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/common/json.h"
#include "tavoren/common/sealing.h"
#include "tavoren/store.h"

namespace tavoren::backend::store_rules {

// The action types the agent knows how to run; submit accepts only these.
const std::vector<std::string>& action_types();

using backend::is_action_id;
// A fresh random action identifier, never the null one.
std::string new_action_id();

// The Unix time now, in whole seconds (the stores' expiry times).
std::int64_t unix_now();

// A value's JSON text for storage; texts that are not valid UTF-8 have
// their bad bytes replaced, so storing a report never fails on them.
std::string to_text(const Json& value);
// A stored JSON text; DatabaseError when it does not parse.
Json parse_stored(const std::string& text, std::string_view what);

// A refusal of `kind` (refusal_kind) answered in a Result: error and
// message both `text`.
Result refusal(std::string_view kind, std::string text);
// The text of a missing setting, naming the command that supplies it.
std::string not_configured(std::string_view what, std::string_view command);
// The refusal for an identifier that names no action.
std::string unknown_action(std::string_view id);
// The refusal of a key pair to an instance without a transport key.
std::string no_transport_key(const std::string& instance_id);
// The refusal of assign_jobs on a store without an instance.
std::string no_instance_refusal();
// The texts of the other missing settings.
std::string codebase_missing(const std::string& model_family);
std::string requirements_missing(const std::string& model_family);

// The setting names of the settings table.
inline constexpr const char* kRegistrySetting = "registry_credentials";
inline constexpr const char* kDataProcessingImageSetting = "data_processing_image";
inline constexpr const char* kShutdownSetting = "shutdown_details";

// Secrets at rest (the registry password, model-hub tokens, internal API
// keys). A store given a keyring (a server's master key) seals each under
// the operator-secrets subkey, bound to its row (`binding`,
// sealing::row_binding). A store without one (the embedded backend) uses
// TAVOREN_ENCRYPTION_KEY as before master keys: the marker kSealedPrefix,
// then the text sealed as tavoren/common/sealing.h says; without that key
// either a secret is stored as it is. Values of every form stay readable
// with the key they were sealed with.
inline constexpr std::string_view kSealedPrefix = "tavoren-sealed:v1:";
// The stored form of `value`; ValueError for a key of the wrong length.
std::string seal_secret(const sealing::Keyring* keyring, const std::string& value,
                        std::string_view binding);
// The clear value of a stored secret. Throws DatabaseError, naming `what`
// but never the value, when a sealed value cannot be opened.
std::string open_secret(const sealing::Keyring* keyring, const std::string& stored,
                        std::string_view binding, std::string_view what);
// The places of the secrets, for their bindings.
std::string registry_password_binding();
std::string model_secret_binding(const std::string& owner, const std::string& name);
std::string internal_api_key_binding(const std::string& action_id);
std::string key_pair_binding(const std::string& column, const std::string& user_id);
std::string transport_key_binding(const std::string& instance_id);
std::string access_key_binding(const std::string& access_key);

// The answer of get_docker_hub_credentials for the stored registry
// setting (nullopt: not configured), its password opened.
Result registry_credentials_answer(const sealing::Keyring* keyring, std::optional<Json> stored);

// Checks an access key before it is stored: ValueError for an empty access
// key or secret, a role other than "instance", "operator" or "viewer", an
// instance key without an instance or another key with one.
void check_access_key(const AccessKeyRecord& key);

// An owner's key pair as stored: with a keyring, each key sealed under the
// key-pairs subkey and bound to its row; without one, in the agent's
// encrypted form when TAVOREN_ENCRYPTION_KEY is set (ValueError when it is
// unusable), as given otherwise (with a warning naming the user).
struct StoredKeyPair {
  std::string access_key;
  std::string secret_key;
  bool encrypted = false;
};
StoredKeyPair key_pair_to_store(const sealing::Keyring* keyring, const std::string& user_id,
                                const std::string& access_key, const std::string& secret_key);

// Checks an action record submitted by the operator; throws TypeError,
// KeyError or ValueError naming the fault.
void validate_submission(const Json& record);
// Whether a valid submission asks for a GPU.
bool gpu_required(const Json& record);
// The stored record of a submission: "_id" first, the operator's keys in
// their order, "status" "queued".
Json queued_record(const std::string& id, const Json& record);

// The checks of the settings' texts; ValueError naming the fault.
// `single_word`: no blanks or control characters and no leading "-" (for
// names that end up on command lines).
void require_text(const std::string& value, const std::string& what, bool single_word = false);
void require_action_id(const std::string& id);
// An http:// or https:// URL.
void require_url(const std::string& url, const std::string& what);
// A codebase's URL: require_url, and a fragment only of the form
// "#sha256=<64 hexadecimal digits>", the archive's digest.
void require_codebase_url(const std::string& url);
// The shutdown settings as stored, after their checks.
Json shutdown_details(double shutdown_threshold, double launch_duration,
                      const std::string& instance_source);
// The registry credentials as stored (password sealed), after their checks.
Json registry_credentials(const sealing::Keyring* keyring, const std::string& username,
                          const std::string& password, const std::string& registry);

// The text under `key` of a map of named arguments, or nullopt.
std::optional<std::string> text_argument(const Json& arguments, const char* key);
// The identifier named by `key` in the named arguments of `operation`, or
// the refusal that explains why there is none.
std::variant<std::string, Result> identifier_argument(const Json& arguments, const char* key,
                                                      const char* operation);
// Where a piece of log lies in the agent's log file: the file's stream
// identifier (made when the file is first shipped, the same across the
// agent's restarts) and the piece's byte range [start, end) in the file.
struct LogPlacement {
  std::string stream;
  std::int64_t start = 0;
  std::int64_t end = 0;
};
// One piece of update_action_docker_logs. The content is a view into the
// arguments it was read from, valid while they are.
struct LogPiece {
  std::string action_id;
  std::string_view content;
  // Given by the named arguments log_stream, log_start_offset and
  // log_end_offset (all three or none); nullopt: an unplaced piece.
  std::optional<LogPlacement> placement;
};
// What an instance's reports about one action may grow the store by: one
// report's arguments, all of them together (the status history), and the
// action's record grown by them (its jobParams included).
inline constexpr std::size_t kMaxReportBytes = 256u << 10;
inline constexpr std::int64_t kMaxReportBytesPerAction = 16 << 20;
inline constexpr std::size_t kMaxRecordBytes = 1u << 20;
// The refusal (kind backend::kTooLarge) of a report of `size` bytes about
// action `id`, whose reports stored so far hold `stored` bytes; nullopt
// when it fits.
std::optional<Result> report_too_large(const std::string& id, std::size_t size,
                                       std::int64_t stored);
// The refusal of a report that would grow the action's record from
// `before` to `after` bytes beyond kMaxRecordBytes; nullopt when it fits
// (a record stored larger before may shrink or keep its size).
std::optional<Result> record_too_large(const std::string& id, std::size_t before,
                                       std::size_t after);

// The longest stream identifier kept.
inline constexpr std::size_t kMaxLogStreamLength = 128;
// The piece of update_action_docker_logs' arguments, or the refusal that
// explains why there is none: no identifier or content text, a placement
// given in part, a stream that is no text of 1 to kMaxLogStreamLength
// bytes, offsets that are no integers, negative or start > end.
std::variant<LogPiece, Result> log_arguments(const Json& arguments);

// What a store keeps per action about its placed pieces: the stream of the
// last one and the highest file end offset stored for that stream.
struct LogMark {
  std::string stream;
  std::int64_t end = 0;
};
// What to store of a piece, given the action's mark (nullopt: none yet).
struct LogPlan {
  // A repeat: acknowledged, nothing stored, the mark unchanged.
  bool repeat = false;
  // The bytes of the content that were stored before; the rest is stored.
  std::size_t skip = 0;
  // The mark after the piece is stored; nullopt: unchanged.
  std::optional<LogMark> mark;
};
// An unplaced piece is stored whole and leaves the mark alone. A placed
// piece of another stream than the mark's is stored whole and starts the
// mark afresh at its end (a log file written anew). Of the mark's stream:
// a piece that ends at or before the mark is a repeat; one that starts at
// or after it is stored whole; one across it is stored from the mark on
// when its content maps byte for byte onto its range (valid UTF-8, as long
// as the range), cut forward to a character boundary, and whole otherwise
// (its text was altered on the way and its bytes cannot be matched). Both
// move the mark to the piece's end.
LogPlan plan_log_piece(const LogPiece& piece, const std::optional<LogMark>& mark);
// The refusal of update_available_resources' arguments for `instance`;
// nullopt when they hold. An "inventory" must be a map, its "gpus" (when
// given) a list of at most kMaxInventoryGpus maps, and its text at most
// kMaxInventoryBytes (too_large beyond).
std::optional<Result> resource_report_refusal(const std::string& instance, const Json& arguments);
inline constexpr std::size_t kMaxInventoryGpus = 64;
inline constexpr std::size_t kMaxInventoryBytes = 64u << 10;
// How often a machine's inventory is sampled, and how long a sample is
// kept.
inline constexpr std::int64_t kSampleEverySeconds = 300;
inline constexpr std::int64_t kKeepSamplesSeconds = 24 * 3600;
// The compact sample of a resource report with an inventory: the available
// memory and CPU, and per GPU [index, health, utilisation, MiB used, MiB
// free, degrees C, watts].
Json inventory_sample(const Json& arguments);
// A machine's GPUs in its latest report's inventory: {"total", "healthy"};
// null without one.
Json gpu_counts(const Json& report);

// What stands in a masked secret's place.
inline constexpr const char* kMaskedSecret = "********";
// `value` with every member whose name speaks of a secret (holds "secret",
// "password", "passwd", "token", "credential", "private", "apikey",
// "api_key", "access_key" or "accesskey", in any case) replaced by
// kMaskedSecret, at any depth: what a viewer, or a web page, is shown of
// an action.
Json masked_secrets(Json value);
// The most MiB free on one healthy GPU of an inventory, and on all of its
// healthy GPUs together (whole MiB, rounded down).
std::pair<std::int64_t, std::int64_t> healthy_gpu_free_mib(const Json& inventory);
// What the machines that could take work offer a queued action, for the
// words of why it waits (wait_reason).
struct FleetOffer {
  std::int64_t alive = 0;   // alive machines
  std::int64_t taking = 0;  // of those, active (not draining, not preempting)
  std::int64_t at_cap = 0;  // of those, holding their most actions
  std::int64_t gpu = 0;     // of the taking ones, those with a GPU
  std::int64_t gpu_at_cap = 0;
  // The most MiB free on one healthy GPU, and on one machine's healthy GPUs
  // together, of the GPU machines below their cap that sent an inventory;
  // -1 when none did.
  std::int64_t most_free_one = -1;
  std::int64_t most_free_all = -1;
};
// Why a queued action waits, in plain words ("no alive machine with a
// GPU", "all 12 GPU machines at their cap", "needs 40 GB free on one GPU;
// the most free on an alive machine is 22 GB", ...). `ahead`: the queued
// actions before it.
std::string wait_reason(bool gpu_required, std::optional<std::int64_t> gpu_memory_mib,
                        const FleetOffer& offer, std::int64_t ahead);

// The GPU memory a GPU action's record asks for (whole MiB, rounded up);
// nullopt for an action without GPU or without a figure.
std::optional<std::int64_t> required_gpu_memory_mib(const Json& record);

// How update_action_status and update_action change a record: true when
// `record` was changed.
bool apply_action_status(const Json& arguments, Json& record);
bool apply_action_update(const Json& arguments, Json& record);
// The arguments of update_status as they are recorded.
Json status_arguments(const std::string& action_record_id, const std::string& action_type,
                      const std::string& service, const std::string& step_code,
                      const std::string& status, const std::string& description);

// A TCP port the kernel reports free on this host; std::runtime_error when
// no socket can be bound.
int probe_free_port();

}  // namespace tavoren::backend::store_rules
