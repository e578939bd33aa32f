// The agent's contract with the platform's backend.
//
// Every backend operation the agent uses is one virtual function of
// Scaling. Implementations: the platform's remote client, the embedded
// local backend (local_backend/), and the recording fake of the tests.
// Values crossing it are Json (tavoren/common/json.h).
//
// Threads: one Scaling object is shared by the dispatcher loop, every work
// unit's log thread and the reaper, so every operation may be called from
// several threads at once; implementations must allow it.
// Ownership: the agent's outer program owns the client; everything else
// holds a reference that must not outlive it.
// Failures: an operation reports a refusal of the backend in its Result
// (error set); a transport failure may also throw std::runtime_error. No
// caller retries within a cycle: every caller handles both forms under its
// own error policy.
//
// Readers shared by every caller (pure, safe from any thread, no time
// limit): the length of an action identifier, and the scaled-down
// identifiers as the container reaper and the start-up checks read the
// answer of get_downscaled_ids. The only failure they report is
// ScaledDownIdsError, for an answer that is no collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"

namespace tavoren {
namespace backend {

// The null action identifier: an assignment that holds no action.
inline constexpr const char* kNullActionId = "000000000000000000000000";

// The error of a Result that refuses a write about an action because the
// attempt it names is no longer the action's current one on this instance
// (the action was taken away and queued again, or it ended). The caller
// stops the action's work and forgets it.
inline constexpr std::string_view kNotCurrent = "not_current";

// The error of a Result that refuses a report because it, or what the
// action's reports add up to, passed the server's limits: nothing of it
// was stored. The caller does not send it again.
inline constexpr std::string_view kTooLarge = "too_large";

// The kind of a refusal (Result::kind), for a caller to switch on where
// the texts are for people.
namespace refusal_kind {
// An unacceptable value, or a value of the wrong type.
inline constexpr std::string_view kValueError = "value_error";
inline constexpr std::string_view kTypeError = "type_error";
// No such action.
inline constexpr std::string_view kKeyError = "key_error";
// A setting the operator has not given, or one the caller may not read:
// the two are refused alike, so that names cannot be probed.
inline constexpr std::string_view kNotConfigured = "not_configured";
inline constexpr std::string_view kNotCurrent = backend::kNotCurrent;
inline constexpr std::string_view kTooLarge = backend::kTooLarge;
// Anything else (a stored value that cannot be opened, a store without an
// instance).
inline constexpr std::string_view kFailed = "failed";
// Whether `text` is one of the kinds above.
bool is_kind(std::string_view text);
}  // namespace refusal_kind

// A write about an action's attempt that is no longer current, from an
// operation that answers no Result (record_exit with an attempt). Its text
// names the action and the attempt.
class NotCurrentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How an action's attempt ended: the closed set of causes.
namespace end_cause {
// Sent by the agent.
inline constexpr std::string_view kExited = "exited";
inline constexpr std::string_view kCudaOom = "cuda_oom";
inline constexpr std::string_view kStartFailed = "start_failed";
inline constexpr std::string_view kPreempted = "preempted";
inline constexpr std::string_view kGpuFault = "gpu_fault";
// Set by the server.
inline constexpr std::string_view kScaledDown = "scaled_down";
inline constexpr std::string_view kMachineLost = "machine_lost";
inline constexpr std::string_view kDrained = "drained";
// Every cause, in the order above.
const std::vector<std::string_view>& all();
// The causes an agent may send.
bool is_agent_cause(std::string_view cause);
// The causes after which an action is queued again while its retry budget
// allows.
bool requeues(std::string_view cause);
}  // namespace end_cause

// The GPU memory an action asks for: actionDetails.expectedResources.
// gpuMemory of its record (MiB); nullptr when any of the three keys is
// missing. Throws TypeError when a level is not a map.
const Json* stored_gpu_memory(const Json& record);
// A stored gpuMemory as a number: a number as it is, a text that holds one
// decimal number (blanks around it allowed) as that number; nullopt for
// anything else.
std::optional<Json> gpu_memory_number(const Json& stored);
// From this many MiB on, an action's GPUs may be several whose free memory
// adds up; below it, the agent first looks for one GPU that fits.
inline constexpr double kLargeGpuRequirementMib = 80000;

// The length of an action identifier, in characters.
inline constexpr std::size_t kActionIdLength = 24;

// Whether `text` is exactly as long as an action identifier, counted in
// characters (Unicode code points of UTF-8 text), not bytes.
bool has_action_id_length(std::string_view text);

// Whether `text` has the form the server gives action identifiers: 24
// lowercase hexadecimal characters. Only such an identifier may become part
// of a path or a name on the machine.
bool is_action_id(std::string_view text);

// The answer of get_downscaled_ids holds no identifier at all: it is empty
// by truth (null, false, 0, an empty text, list or map).
bool names_no_identifier(const Json& ids);

// Whether `id` is among the scaled-down identifiers: one of the texts of a
// list (other members are ignored), a key of a map, or the whole of a
// single text (never a part of it). False for an answer that names no
// identifier. Any other answer (a non-zero number, true) throws
// ScaledDownIdsError.
bool is_scaled_down(const Json& ids, std::string_view id);

// The answer of get_downscaled_ids is no collection of identifiers. The
// message is "the scaled-down identifiers are not a collection: <answer as
// JSON>"; answer() keeps the answer for callers that word it otherwise.
class ScaledDownIdsError : public TypeError {
 public:
  explicit ScaledDownIdsError(Json answer);
  const Json& answer() const { return answer_; }

 private:
  Json answer_;
};

// A setting the operator has not configured, asked for by an operation
// that has no Result to carry the refusal (get_data_processing_image,
// get_open_port, get_shutdown_details).
class NotConfiguredError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call of a backend that got no usable answer (a transport failure).
// may_pass() tells whether the cause may pass by itself (no connection, a
// connection lost before the whole answer, a time limit, a busy or failing
// server): the same call made again later may then succeed, and may find
// that the first one was done after all. A refused request (malformed, not
// authenticated, not allowed) or an unusable answer does not pass.
// Each CallFailure made with may_pass counts once on the thread that makes
// it (see passing_failures_on_this_thread).
class CallFailure : public std::runtime_error {
 public:
  CallFailure(const std::string& what, bool may_pass);
  bool may_pass() const { return may_pass_; }

 private:
  bool may_pass_;
};

// How many calls failed on this thread so far for a cause that may pass.
// A caller that runs several calls under an error policy that logs and
// swallows failures compares it before and after, to tell whether what
// failed may succeed when tried again.
std::uint64_t passing_failures_on_this_thread();

// The backend's answer to most operations: (data, error, message).
struct Result {
  Json data;
  std::optional<std::string> error;
  std::string message;
  // When error is set: the refusal's kind (refusal_kind), whatever the
  // texts say; empty otherwise.
  std::string kind;

  // The error "by truth": set and non-empty (an empty error counts as none).
  bool has_error() const { return error.has_value() && !error->empty(); }
  // The error "against none": any error, even an empty one.
  bool has_error_set() const { return error.has_value(); }

  static Result ok(Json data, std::string message = "") {
    return Result{std::move(data), std::nullopt, std::move(message)};
  }
  // A refusal whose error is its kind itself (refusal_kind), or another
  // text of kind `kind` (kFailed when empty and the error is no kind).
  static Result failure(std::string error, std::string message = "", std::string kind = "") {
    if (kind.empty()) {
      kind = refusal_kind::is_kind(error) ? error : std::string(refusal_kind::kFailed);
    }
    return Result{Json(), std::move(error), std::move(message), std::move(kind)};
  }
  // A refusal of kind `kind` whose error and message are both `text`.
  static Result refused(std::string_view kind, std::string text) {
    return Result{Json(), text, text, std::string(kind)};
  }
};

// Whether `result` is the refusal kNotCurrent.
inline bool is_not_current(const Result& result) {
  return result.error.has_value() && *result.error == kNotCurrent;
}

// The platform's client context: who this instance is to the platform.
struct Session {
  std::string access_key;
  std::string secret_key;
};

class Scaling {
 public:
  virtual ~Scaling() = default;

  // The client context this client was built from.
  virtual const Session& session() const = 0;

  // The actions assigned to this instance. data: a list of action records
  // (objects with "_id", "action", "actionDetails"), or one record, or
  // null. A record whose "_id" is kNullActionId means none.
  virtual Result assign_jobs(bool has_gpu) = 0;

  // Named arguments, in order: service_provider, action_record_id, status,
  // action_duration, and for "started" also isRunning, cpuUtilisation,
  // gpuUtilisation, memoryUtilisation, gpuMemoryUsed. Callers ignore the
  // result.
  virtual Result update_action_status(const Json& arguments) = 0;

  // One step record of an action. Callers ignore the result.
  virtual Result update_status(const std::string& action_record_id, const std::string& action_type,
                               const std::string& service, const std::string& step_code,
                               const std::string& status, const std::string& description) = 0;

  // Named arguments, in order: id, step_code, action_type, status,
  // status_description, service, job_params (and sub_action from one
  // executor). Callers ignore the result.
  virtual Result update_action(const Json& arguments) = 0;

  // Named arguments, in order: action_record_id, log_content (text), and
  // optionally (all three or none) log_stream, log_start_offset,
  // log_end_offset: the piece's place in the caller's log file, by which a
  // piece sent again is acknowledged without being stored twice. The error
  // of the result tells whether the piece was accepted.
  virtual Result update_action_docker_logs(const Json& arguments) = 0;

  // data: the current action record.
  virtual Result get_action_details(const std::string& action_record_id) = 0;

  // data: a collection of action identifiers scaled down by the platform.
  virtual Result get_downscaled_ids() = 0;

  // data: the URL of the model family's codebase archive.
  virtual Result get_model_codebase(const std::string& model_family) = 0;
  // data: the URL of the model family's requirements file.
  virtual Result get_model_codebase_requirements(const std::string& model_family) = 0;

  // data: object with "username", "password" (and optionally "registry").
  virtual Result get_docker_hub_credentials() = 0;

  // data: object with "access_key", "secret_key" of the action's owner.
  virtual Result get_user_access_key_pair(const std::string& user_id) = 0;

  // data: object with "user_access_token" for the named secret.
  // `action_record_id` names the action that asks (empty: none named): a
  // secret bound to an owner is answered only for that owner's action, and
  // without an action only the platform's default of that name is.
  virtual Result get_model_secret_keys(const std::string& secret_name,
                                       const std::string& action_record_id = "") = 0;

  // data: object with "internal_api_key" for the action.
  virtual Result get_internal_api_key(const std::string& action_record_id) = 0;

  // The default image reference for data processing, used as it comes.
  virtual Json get_data_processing_image() = 0;

  // A free port number of this instance, as it comes.
  virtual Json get_open_port() = 0;

  // An object with "shutdownThreshold", "launchDuration", "instanceSource".
  virtual Json get_shutdown_details() = 0;

  // Reports the resources this machine has available. Named arguments, in
  // order: available_memory and available_cpu (percentages), available_gpu_memory
  // (gigabytes), gpu_utilisation (percentage). The error of the result tells
  // whether the report was accepted. This default, for backends that take no
  // such report, refuses it.
  virtual Result update_available_resources(const Json& arguments) {
    static_cast<void>(arguments);
    return Result::failure("not supported by this backend");
  }
};

}  // namespace backend
}  // namespace tavoren
