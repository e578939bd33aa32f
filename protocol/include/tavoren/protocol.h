// The backend's network protocol: what a request and an answer look like,
// shared by the agent's network client and the backend server.
//
// Transport: HTTPS (TLS 1.2 or later), HTTP/1.1 with keep-alive. Every
// operation is one `POST /<version>/<operation>` whose body is a JSON
// object of the operation's named arguments (positional arguments of the
// Scaling contract are named too). A server names its version in the
// kProtocolHeader of every answer.
//
// Answers: a request the backend handled, whatever it decided, answers
// status 200 with the envelope {"data": ..., "error": ..., "message": ...}
// (error null when there is none): a refusal by the backend is such an
// answer, with error set. Operations that answer a bare value put it in
// data. Anything else is a protocol failure, with another status and the
// small body {"error": <failure code>, "message": <text>}: 400 malformed,
// 401 not authenticated, 403 not allowed, 404 no such operation, 413 too
// large, 429 or 503 with Retry-After (busy, or going away).
//
// Requests are signed; see tavoren/protocol_signing.h.
//
// Threads: everything here is pure (or reads constant tables) and safe
// from any thread. No network, so no time limits.
// Failures: readers of texts from outside throw ProtocolError (a
// ValueError) naming the fault; writers throw ValueError for a value that
// cannot be sent (a text that is not UTF-8 in a request).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"

namespace tavoren::backend::wire {

// ---- Paths -------------------------------------------------------------

// The protocol version, the first segment of every path.
inline constexpr std::string_view kProtocolVersion = "v1";

// The answer header in which a server names the version it speaks.
inline constexpr std::string_view kProtocolHeader = "X-Tavoren-Protocol";

// The one path outside every version: which versions the server speaks
// (POST, signed with a key of either role, an empty object as the body,
// answering {"versions": ["v1"]} as data).
inline constexpr std::string_view kVersionsPath = "/versions";

// "/v1/<operation>".
std::string path_of(std::string_view operation);

// ---- Operations --------------------------------------------------------

// Who may call an operation: an agent with its instance's key pair, or an
// operator's tool with an operator key pair. A viewer key (of people who
// watch the fleet) may call the operator's reads, the configuration's
// excepted.
enum class Role { kInstance, kOperator, kViewer };

// "instance", "operator" or "viewer".
const char* role_name(Role role);
// The role named `name` (as role_name writes it); nullopt for another text.
std::optional<Role> role_named(std::string_view name);

// What an argument must hold. kAny takes every JSON value, null included.
enum class ValueKind { kText, kBoolean, kNumber, kInteger, kObject, kAny };

struct Argument {
  std::string_view name;
  ValueKind kind;
  // A missing optional argument, or one given as null, counts as absent.
  bool required;
};

// How the answer's data is used: a Result as it comes, or a bare value
// (the operation's answer is data itself; a set error means it failed).
enum class AnswerShape { kResult, kValue };

struct Operation {
  // The last segment of the path ("assign_jobs", "operator/submit").
  std::string_view name;
  Role role;
  // A write changes the store: its requests carry an idempotency key, and
  // a repeated key is answered with the first answer.
  bool write;
  AnswerShape answer;
  // In the order a caller writes them.
  std::vector<Argument> arguments;
  // Whether a key of either role may call it (`role` then says nothing).
  bool any_role = false;
};

// Whether a key of role `caller` may call `operation`.
bool may_call(Role caller, const Operation& operation);

// Every operation of this protocol version: the Scaling contract's, the
// record of an action's end, then the operator's calls.
const std::vector<Operation>& operations();

// The operation named `name`; nullptr for none.
const Operation* find_operation(std::string_view name);

// The operation of kVersionsPath.
const Operation& versions_operation();

// The operation a request path names (kVersionsPath included); nullptr for
// a path of another version or naming no operation.
const Operation* operation_of_path(std::string_view path);

// ---- Requests ----------------------------------------------------------

// A text from the other side that does not follow this protocol.
class ProtocolError : public ValueError {
 public:
  using ValueError::ValueError;
};

// The request body for `arguments` (a JSON object, keys in their order).
// Throws ValueError when a text in it is not valid UTF-8, TypeError when
// it is not an object.
std::string write_arguments(const Json& arguments);

// The named arguments of a request body for `operation`, checked against
// the operation's table: a JSON object within `limits`, every required
// argument present, every present argument of its kind, no other key.
// Throws ProtocolError naming the first fault (a 400 answer).
Json read_arguments(const Operation& operation, std::string_view body,
                    const JsonLimits& limits = {});

// ---- Answers -----------------------------------------------------------

// The envelope of `result`; a refusal also names its kind ("kind", see
// backend::refusal_kind). Texts that are not valid UTF-8 (a log stored
// byte for byte) are sent with U+FFFD in place of the bad bytes.
std::string write_answer(const Result& result);
// The envelope of a bare value: data `value`, no error.
std::string write_value(const Json& value);

// The Result of an envelope. An envelope must be an object with the keys
// "data", "error" (null or a text) and "message" (a text; null reads as
// ""), and may hold "kind" (a text). A refusal without a known kind (from
// a server that sends none) is of the kind its error names, else
// kFailed. Throws ProtocolError otherwise.
Result read_answer(std::string_view body, const JsonLimits& limits = {});

// The kinds of refusal. For the operator's calls, record_exit and the
// bare-value operations the envelope's error is the kind itself, so that
// a client can raise the same kind of failure as the embedded backend
// does; the message is the refusal's own text.
namespace refusal = backend::refusal_kind;

// ---- Protocol failures -------------------------------------------------

namespace status {
inline constexpr int kOk = 200;
inline constexpr int kMalformed = 400;
inline constexpr int kNotAuthenticated = 401;
inline constexpr int kForbidden = 403;
inline constexpr int kNoSuchOperation = 404;
inline constexpr int kTooLarge = 413;
inline constexpr int kTooManyRequests = 429;
inline constexpr int kInternalError = 500;
inline constexpr int kUnavailable = 503;
}  // namespace status

// The "error" of a failure body, one per status above.
namespace failure {
inline constexpr std::string_view kMalformed = "malformed";
inline constexpr std::string_view kNotAuthenticated = "not_authenticated";
// 401 for a request whose nonce was seen before: a client's own request
// sent twice (an HTTP library sends a request again by itself when a reused
// connection dies before any answer, with the same signature). The client
// signs it anew and tries again.
inline constexpr std::string_view kReplayedNonce = "replayed_nonce";
inline constexpr std::string_view kForbidden = "forbidden";
inline constexpr std::string_view kNoSuchOperation = "no_such_operation";
inline constexpr std::string_view kTooLarge = "too_large";
inline constexpr std::string_view kBusy = "busy";
inline constexpr std::string_view kInternalError = "internal_error";
inline constexpr std::string_view kUnavailable = "unavailable";
}  // namespace failure

// Whether a client should try a request again after this status: 429 and
// every 5xx.
bool is_retryable_status(long status);

struct Failure {
  std::string error;
  std::string message;
};

// {"error": error, "message": message}.
std::string write_failure(std::string_view error, std::string_view message);
// The failure body, or nullopt for a body that is not one (an HTML page of
// a proxy).
std::optional<Failure> read_failure(std::string_view body);

// ---- Headers -----------------------------------------------------------

inline constexpr std::string_view kRetryAfterHeader = "Retry-After";
inline constexpr std::string_view kContentType = "application/json";

}  // namespace tavoren::backend::wire
