// The backend server's request handling: authentication, authorization,
// writes answered once, and the dispatch of each operation to the store.

#include <algorithm>
#include <any>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/server.h"
#include "tavoren/store_rules.h"

namespace tavoren::server {

namespace wire = backend::wire;
using backend::Result;
using http_server::Response;

struct BackendService::Call {
  const http_server::Request& request;
  const wire::Operation& operation;
  std::string access_key;
  wire::Verification verification;
  Json arguments;
  // The action or user the request names; empty when none.
  std::string target;
  // Actions this call's assign_jobs handed out.
  std::size_t assigned = 0;
  // The attempt of the named action this instance held before, when the
  // action has been taken from it: its writes are refused as not current.
  std::optional<std::int64_t> lost_attempt;
};

namespace {

// The operations of an instance that name one of its actions, and the
// argument that names it.
const char* action_argument_of(std::string_view operation) {
  if (operation == "update_action") return "id";
  // get_internal_api_key is not among them: the store answers another
  // instance's key, or an ended action's, as one that does not exist.
  for (const char* name : {"get_action_details", "update_action_status", "update_status",
                           "update_action_docker_logs", "record_exit"}) {
    if (operation == name) return "action_record_id";
  }
  return nullptr;
}

Response answer(int status, std::string body) {
  Response response;
  response.status = status;
  response.headers = {{"Content-Type", std::string(wire::kContentType)},
                      {std::string(wire::kProtocolHeader), std::string(wire::kProtocolVersion)}};
  if (status == wire::status::kUnavailable || status == wire::status::kTooManyRequests) {
    response.headers.emplace_back(std::string(wire::kRetryAfterHeader), "1");
  }
  response.body = std::move(body);
  return response;
}

Response failure(int status, std::string_view code, std::string_view message) {
  return answer(status, wire::write_failure(code, message));
}

std::string refused(std::string_view kind, std::string_view message) {
  return wire::write_answer(Result::failure(std::string(kind), std::string(message)));
}

std::string text_of(const Json& arguments, const char* name) {
  const auto found = arguments.find(name);
  if (found == arguments.end() || !found->is_string()) return "";
  return found->get<std::string>();
}

bool present(const Json& arguments, const char* name) {
  const auto found = arguments.find(name);
  return found != arguments.end() && !found->is_null();
}

// The address of a peer "HOST:PORT" ("[V6]:PORT"), without its port.
std::string host_of(std::string_view peer) {
  if (peer.starts_with('[')) {
    const std::size_t end = peer.find(']');
    return std::string(peer.substr(1, end == std::string_view::npos ? peer.npos : end - 1));
  }
  const std::size_t colon = peer.rfind(':');
  if (colon == std::string_view::npos || peer.find(':') != colon) return std::string(peer);
  return std::string(peer.substr(0, colon));
}

// What operator/set_machine asks to change. Labels are an object of texts
// (an empty text removes the label).
backend::MachineChange machine_change_of(const Json& arguments) {
  backend::MachineChange change;
  auto number = [&](const char* name) -> std::optional<int> {
    if (!present(arguments, name)) return std::nullopt;
    const std::int64_t value = arguments.at(name).get<std::int64_t>();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
      throw ValueError(std::string(name) + " is out of range");
    }
    return static_cast<int>(value);
  };
  change.gpus = number("gpus");
  change.max_actions = number("max_actions");
  if (present(arguments, "labels")) {
    for (const auto& [key, value] : arguments.at("labels").items()) {
      if (!value.is_string()) throw TypeError("The label " + key + " must be a text");
      change.labels[key] = value.get<std::string>();
    }
  }
  return change;
}

// The stores' time text ("2026-12-09T13:32:24.123Z") of a moment; such
// texts order as their moments do.
std::string time_text(std::chrono::system_clock::time_point moment) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return std::string(text, length) + millis;
}

// A store failure: the caller may retry (500). The message names no
// secret (the store's messages never do), but stays in the server's log.
class StoreFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the store remembers the service's nonces, with the handling of
// each request (Store::with_nonce): when the options name no memory and
// the store's servers share it. The verifier's own memory stands in front.
bool nonces_in_store(const backend::Store& store, const ServiceOptions& options) {
  return !options.nonce_memory && store.shares_nonces();
}

}  // namespace

std::string audit_line(const AuditEntry& entry) {
  std::string line = "refused " + entry.operation + " for " + wire::role_name(entry.role) +
                     " key " + entry.access_key;
  if (!entry.instance_id.empty()) line += " (instance " + entry.instance_id + ")";
  if (!entry.target.empty()) line += " on " + entry.target;
  return line + ": " + entry.reason;
}

ServiceMetrics::ServiceMetrics(metrics::Registry& registry)
    : requests(registry.counter("tavoren_backend_requests_total",
                                "Answered requests by operation and HTTP status",
                                {"operation", "status"})),
      duration(registry.histogram("tavoren_backend_request_duration_seconds",
                                  "Time the service took to answer a request, by operation",
                                  {"operation"})),
      authentication_refusals(registry.counter("tavoren_backend_authentication_refusals_total",
                                               "Requests whose signature was refused, by reason",
                                               {"reason"})),
      authorization_refusals(registry.counter("tavoren_backend_authorization_refusals_total",
                                              "Authenticated requests refused with 403, by "
                                              "operation",
                                              {"operation"})),
      assignments(registry
                      .counter("tavoren_backend_assignments_total",
                               "Actions handed out to instances by assign_jobs")
                      .get()),
      store_errors(
          registry
              .counter(
                  "tavoren_backend_store_errors_total",
                  "Failures of the database: requests answered 500, and counts for the metrics")
              .get()),
      polls_refused(registry.counter(
          "tavoren_backend_polls_refused_total",
          "Polls answered with no work: polled too soon, draining or preempting", {"reason"})),
      not_current(registry
                      .counter("tavoren_backend_not_current_total",
                               "Writes refused for naming an attempt that is no longer current")
                      .get()),
      ends(registry.counter("tavoren_backend_action_ends_total",
                            "Ends of actions' attempts recorded, by cause", {"cause"})),
      requeues(registry.counter("tavoren_backend_requeues_total",
                                "Actions queued again as their next attempt, by the cause of "
                                "the end before",
                                {"cause"})) {}

BackendService::BackendService(backend::Store& store, AccessKeys& keys, ServiceOptions options)
    : store_(store),
      keys_(keys),
      options_(std::move(options)),
      verifier_(wire::VerifierOptions{
          .keys = [this](const std::string& access_key) { return keys_.lookup(access_key); },
          .clock = options_.clock,
          .max_skew = options_.max_skew,
          .nonce_quota = options_.nonce_quota,
          .nonce_memory = options_.nonce_memory}),
      nonces_in_store_(nonces_in_store(store, options_)),
      metrics_(*options_.registry),
      refusal_log_(options_.refusal_log_period, options_.refusal_log) {}

BackendService::~BackendService() = default;

void BackendService::count(std::string_view path, int status,
                           std::chrono::steady_clock::time_point start) {
  const wire::Operation* operation = wire::operation_of_path(path);
  const std::string name = operation != nullptr ? std::string(operation->name) : "unknown";
  metrics_.requests.with({name, std::to_string(status)}).inc();
  metrics_.duration.with({name}).observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

http_server::Admission BackendService::admit(const http_server::RequestHead& head) {
  const auto start = std::chrono::steady_clock::now();
  auto checked = check_head(head);
  if (auto* refusal = std::get_if<Response>(&checked)) {
    count(head.path(), refusal->status, start);
    return http_server::Admission::refuse(std::move(*refusal));
  }
  return http_server::Admission::admit(std::get<wire::Verification>(std::move(checked)));
}

std::variant<Response, wire::Verification> BackendService::check_head(
    const http_server::RequestHead& head) {
  if (head.method() != "POST") {
    Response refused = failure(405, wire::failure::kMalformed, "Only POST is served");
    refused.headers.emplace_back("Allow", "POST");
    return refused;
  }
  const wire::Operation* operation = wire::operation_of_path(head.path());
  if (operation == nullptr) {
    return failure(
        wire::status::kNoSuchOperation, wire::failure::kNoSuchOperation,
        "No operation of protocol " + std::string(wire::kProtocolVersion) + " at this path");
  }
  const wire::Verification verification = verifier_.verify_head(
      wire::IncomingRequest{.method = head.method(),
                            .path = head.path(),
                            .body = {},
                            .header = [&](std::string_view name) -> std::optional<std::string> {
                              std::optional<std::string_view> value = head.header(name);
                              if (!value) return std::nullopt;
                              return std::string(*value);
                            }});
  if (verification.ok()) return verification;
  return unauthenticated(*operation, head.header(wire::header::kAccessKey).value_or(""),
                         head.peer(), verification);
}

Response BackendService::unauthenticated(const wire::Operation& operation,
                                         std::string_view access_key, const std::string& peer,
                                         const wire::Verification& verification) {
  metrics_.authentication_refusals.with({wire::refusal_name(verification.refusal)}).inc();
  // One line per caller and period: a flood of one bad key is one line.
  const std::string key(access_key.substr(0, 64));
  refusal_log_.write(key.empty() ? "peer " + host_of(peer) : "key " + key,
                     "Unauthenticated request " + std::string(operation.name) + " from " + peer +
                         ": " + wire::refusal_name(verification.refusal));
  const bool busy = verification.status() == wire::status::kUnavailable;
  const bool replayed = verification.refusal == wire::Refusal::kReplayedNonce;
  return failure(verification.status(),
                 busy       ? wire::failure::kUnavailable
                 : replayed ? wire::failure::kReplayedNonce
                            : wire::failure::kNotAuthenticated,
                 verification.detail);
}

Response BackendService::handle(const http_server::Request& request) {
  const auto start = std::chrono::steady_clock::now();
  Response response = handle_request(request);
  count(request.path(), response.status, start);
  return response;
}

Response BackendService::handle_request(const http_server::Request& request) {
  // A request the HTTP server did not admit through admit() (a direct
  // call) is checked here, head first.
  const auto* admitted = std::any_cast<wire::Verification>(&request.admission());
  wire::Verification verification;
  if (admitted != nullptr) {
    verification = *admitted;
  } else {
    auto checked = check_head(http_server::RequestHead(request.method(), request.target(),
                                                       request.headers(), request.peer()));
    if (auto* refusal = std::get_if<Response>(&checked)) return std::move(*refusal);
    verification = std::get<wire::Verification>(std::move(checked));
  }
  const wire::Operation* operation = wire::operation_of_path(request.path());
  verification = wire::RequestVerifier::check_body(std::move(verification), request.body());
  if (!verification.ok()) {
    metrics_.authentication_refusals.with({wire::refusal_name(verification.refusal)}).inc();
    return failure(verification.status(), wire::failure::kNotAuthenticated, verification.detail);
  }
  Call call{request,
            *operation,
            std::string(request.header(wire::header::kAccessKey).value_or("")),
            std::move(verification),
            Json(),
            ""};
  try {
    if (!nonces_in_store_) return handle_call(call);
    std::optional<Response> answer;
    const std::int64_t expires_at = std::chrono::duration_cast<std::chrono::seconds>(
                                        call.verification.nonce_expires_at.time_since_epoch())
                                        .count();
    if (store_.with_nonce(call.access_key, call.verification.nonce, expires_at,
                          [&] { answer = handle_call(call); })) {
      return *std::move(answer);
    }
    return unauthenticated(*operation, call.access_key, request.peer(), wire::replayed_nonce());
  } catch (const StoreFailure& e) {
    metrics_.store_errors.inc();
    log::error("%s failed: %s", std::string(operation->name), e.what());
  } catch (const backend::DatabaseError& e) {
    metrics_.store_errors.inc();
    log::error("%s failed: %s", std::string(operation->name), e.what());
  } catch (const std::exception& e) {
    log::error("%s failed: %s", std::string(operation->name), e.what());
  }
  return failure(wire::status::kInternalError, wire::failure::kInternalError,
                 "The server could not handle the request; try again");
}

RateLimitedLog::RateLimitedLog(std::chrono::milliseconds period,
                               std::function<void(const std::string&)> write)
    : period_(period), write_(std::move(write)) {}

void RateLimitedLog::write(const std::string& subject, const std::string& line,
                           std::chrono::steady_clock::time_point now) {
  // Subjects kept within one period; the others share one.
  constexpr std::size_t kMaxSubjects = 4096;
  std::size_t left_out = 0;
  {
    std::lock_guard lock(mutex_);
    if (subjects_.size() >= kMaxSubjects && subjects_.find(subject) == subjects_.end()) {
      std::erase_if(subjects_, [&](const auto& entry) {
        return now - entry.second.written >= period_ && entry.second.left_out == 0;
      });
    }
    const std::string& kept =
        subjects_.size() >= kMaxSubjects && subjects_.find(subject) == subjects_.end()
            ? std::string("(others)")
            : subject;
    auto [entry, made] = subjects_.try_emplace(kept, Subject{now, 0});
    if (!made) {
      if (now - entry->second.written < period_) {
        ++entry->second.left_out;
        return;
      }
      left_out = entry->second.left_out;
      entry->second = Subject{now, 0};
    }
  }
  const std::string text =
      left_out == 0 ? line
                    : line + " (" + std::to_string(left_out) + " more like it since the last line)";
  if (write_) {
    write_(text);
  } else {
    log::warning("%s", text);
  }
}

Response render_refusal(http_server::Refusal refusal) {
  using http_server::Refusal;
  switch (refusal) {
    case Refusal::kMalformed:
      return failure(wire::status::kMalformed, wire::failure::kMalformed,
                     "The request is not well-formed HTTP");
    case Refusal::kHeadersTooLarge:
      return failure(wire::status::kTooLarge, wire::failure::kTooLarge,
                     "The request's headers exceed the server's limit");
    case Refusal::kBodyTooLarge:
      return failure(wire::status::kTooLarge, wire::failure::kTooLarge,
                     "The request's body exceeds the server's limit");
    case Refusal::kBusy:
      return failure(wire::status::kTooManyRequests, wire::failure::kBusy,
                     "Too many requests in progress; try again later");
    case Refusal::kShuttingDown:
      return failure(wire::status::kUnavailable, wire::failure::kUnavailable,
                     "The server is shutting down; try again later");
    case Refusal::kInternal:
      break;
  }
  return failure(wire::status::kInternalError, wire::failure::kInternalError,
                 "The server could not handle the request; try again");
}

Response BackendService::forbidden(const Call& call, const std::string& reason) {
  AuditEntry entry{call.access_key,
                   call.verification.role,
                   call.verification.instance_id,
                   std::string(call.operation.name),
                   call.target,
                   reason};
  if (options_.audit) {
    options_.audit(entry);
  } else {
    log::warning("%s", audit_line(entry));
  }
  metrics_.authorization_refusals.with({entry.operation}).inc();
  return failure(wire::status::kForbidden, wire::failure::kForbidden, reason);
}

Response BackendService::handle_call(Call& call) {
  if (!wire::may_call(call.verification.role, call.operation)) {
    return forbidden(call, std::string("the operation needs a key of the ") +
                               wire::role_name(call.operation.role) + " role");
  }
  if (call.operation.write && call.verification.idempotency_key.empty()) {
    return failure(wire::status::kMalformed, wire::failure::kMalformed,
                   "A write needs an Idempotency-Key header");
  }
  try {
    call.arguments = wire::read_arguments(call.operation, call.request.body());
  } catch (const wire::ProtocolError& e) {
    return failure(wire::status::kMalformed, wire::failure::kMalformed, e.what());
  }
  // A log piece's place in the agent's file: all three arguments or none,
  // offsets from 0, the start not after the end.
  if (call.operation.name == "update_action_docker_logs") {
    auto piece = backend::store_rules::log_arguments(call.arguments);
    if (const auto* refused = std::get_if<backend::Result>(&piece)) {
      return failure(wire::status::kMalformed, wire::failure::kMalformed, refused->message);
    }
  }
  if (&call.operation == &wire::versions_operation()) {
    Json data = Json::object();
    data["versions"] = Json::array({std::string(wire::kProtocolVersion)});
    return answer(wire::status::kOk, wire::write_answer(backend::Result::ok(std::move(data))));
  }
  if (call.verification.role == wire::Role::kInstance) {
    note_contact(call);
    const std::string reason = refuse_instance(call);
    if (!reason.empty()) return forbidden(call, reason);
    if (call.lost_attempt) {
      metrics_.not_current.inc();
      return answer(wire::status::kOk,
                    refused(wire::refusal::kNotCurrent,
                            "Attempt " + std::to_string(*call.lost_attempt) + " of action " +
                                call.target + " is not its current attempt on this instance"));
    }
  }
  if (call.operation.write) return handle_write(call);
  Response response = answer(wire::status::kOk, execute(call));
  metrics_.assignments.inc(static_cast<double>(call.assigned));
  return response;
}

std::string BackendService::refuse_instance(Call& call) {
  const std::string& instance = call.verification.instance_id;
  if (const char* argument = action_argument_of(call.operation.name)) {
    call.target = text_of(call.arguments, argument);
    const std::optional<backend::ActionAccess> access = store_.action_access(call.target);
    if (access && access->assigned_to == instance) {
      return access->ended ? refuse_ended(call, *access) : "";
    }
    // An action taken from this instance: what it writes about it is
    // refused as not current, so that its agent stops the work.
    if (access && call.operation.write) {
      call.lost_attempt = store_.held_attempt(call.target, instance);
      if (call.lost_attempt) return "";
    }
    return "the action is not assigned to this instance";
  }
  if (call.operation.name == "get_user_access_key_pair") {
    call.target = text_of(call.arguments, "user_id");
    if (!store_.has_live_action_of(instance, call.target)) {
      return "no running action of this owner is assigned to this instance";
    }
  }
  // A model secret is the store's to refuse: another owner's secret, or
  // one asked for by a machine without running work, is answered as one
  // that does not exist.
  if (call.operation.name == "get_model_secret_keys") {
    call.target = text_of(call.arguments, "secret_name");
  }
  return "";
}

std::string BackendService::refuse_ended(Call& call, const backend::ActionAccess& access) {
  // The last flush of the log shipper may follow the end by a little.
  if (call.operation.name == "update_action_docker_logs" && !access.ended_at.empty() &&
      access.ended_at > time_text(std::chrono::system_clock::now() - options_.final_log_grace)) {
    return "";
  }
  if (call.operation.write) {
    // A repeat of a write answered before the end (the end itself
    // included) gets its kept answer.
    if (store_.recorded_answer(call.access_key, call.verification.idempotency_key)) return "";
    // Any other write is refused as not current, so that the agent stops.
    call.lost_attempt = store_.held_attempt(call.target, call.verification.instance_id);
    if (call.lost_attempt) return "";
  }
  return "the action has ended";
}

void BackendService::note_contact(const Call& call) {
  const std::string& instance = call.verification.instance_id;
  // A poll records its own contact in its transaction.
  if (instance.empty() || call.operation.name == "assign_jobs") return;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(contacts_mutex_);
    auto [entry, made] = contacts_.try_emplace(instance, now);
    if (!made) {
      if (now - entry->second < options_.contact_interval) return;
      entry->second = now;
    }
  }
  try {
    store_.record_contact(instance, backend::Contact{{}, {}, host_of(call.request.peer())});
  } catch (const std::exception& e) {
    log::warning("The contact of instance %s was not recorded: %s", instance, e.what());
  }
}

Response BackendService::handle_write(Call& call) {
  const std::string& key = call.verification.idempotency_key;
  const std::string hash =
      wire::sha256_hex(std::string(call.operation.name) + "\n" + call.request.body());
  const std::pair<std::string, std::string> slot{call.access_key, key};
  {
    std::lock_guard lock(writes_mutex_);
    if (!writes_in_progress_.insert(slot).second) {
      return failure(wire::status::kUnavailable, wire::failure::kUnavailable,
                     "The first request with this idempotency key is still being handled");
    }
  }
  struct Release {
    BackendService& service;
    const std::pair<std::string, std::string>& slot;
    ~Release() {
      std::lock_guard lock(service.writes_mutex_);
      service.writes_in_progress_.erase(slot);
    }
  } release{*this, slot};

  auto reply = [&](const backend::RecordedAnswer& kept) {
    if (kept.request_hash != hash) {
      return failure(wire::status::kMalformed, wire::failure::kMalformed,
                     "The idempotency key was used before for another request");
    }
    return answer(wire::status::kOk, kept.answer);
  };
  // The write and its answer are kept in one transaction: a server that
  // dies in between has done neither, and the client's retry does it once;
  // a retry is answered the kept answer.
  const backend::WriteOnce once{call.access_key, key, hash, options_.answer_keep, {}};
  Response response = reply(store_.write_once(once, [&] { return execute(call); }));
  // Counted once the write is in the database.
  metrics_.assignments.inc(static_cast<double>(call.assigned));
  return response;
}

std::string BackendService::execute(Call& call) {
  // Refusals of the store become answers with their kind; a database
  // failure is the server's (500).
  try {
    return call.verification.role == wire::Role::kInstance ? execute_instance(call)
                                                           : execute_operator(call);
  } catch (const backend::DatabaseError&) {
    throw;
  } catch (const backend::NotConfiguredError& e) {
    return refused(wire::refusal::kNotConfigured, e.what());
  } catch (const backend::NotCurrentError& e) {
    metrics_.not_current.inc();
    return refused(wire::refusal::kNotCurrent, e.what());
  } catch (const KeyError& e) {
    return refused(wire::refusal::kKeyError, e.what());
  } catch (const TypeError& e) {
    return refused(wire::refusal::kTypeError, e.what());
  } catch (const ValueError& e) {
    return refused(wire::refusal::kValueError, e.what());
  } catch (const std::runtime_error& e) {
    return refused(wire::refusal::kFailed, e.what());
  }
}

std::string BackendService::execute_instance(Call& call) {
  const Json& a = call.arguments;
  const std::string_view name = call.operation.name;
  auto view = store_.instance_view(call.verification.instance_id);
  auto id = [&](const char* argument = "action_record_id") { return text_of(a, argument); };
  if (name == "assign_jobs") {
    backend::Result assigned = view->assign_jobs(a.at("has_gpu"));
    const Json& data = assigned.data;
    auto real = [](const Json& record) {
      return record.is_object() && record.value("_id", Json()) != backend::kNullActionId;
    };
    if (assigned.message == backend::poll_message::kTooSoon) {
      metrics_.polls_refused.with({"too_soon"}).inc();
    } else if (assigned.message == backend::poll_message::kDraining) {
      metrics_.polls_refused.with({"draining"}).inc();
    } else if (assigned.message == backend::poll_message::kPreempting) {
      metrics_.polls_refused.with({"preempting"}).inc();
    }
    if (!assigned.has_error()) {
      call.assigned = data.is_array()
                          ? static_cast<std::size_t>(std::count_if(data.begin(), data.end(), real))
                          : (real(data) ? 1 : 0);
    }
    return wire::write_answer(assigned);
  }
  if (name == "update_action_status") return wire::write_answer(view->update_action_status(a));
  if (name == "update_status") return wire::write_answer(view->update_step(a));
  if (name == "update_action") return wire::write_answer(view->update_action(a));
  if (name == "update_action_docker_logs") {
    return wire::write_answer(view->update_action_docker_logs(a));
  }
  if (name == "get_action_details") return wire::write_answer(view->get_action_details(id()));
  if (name == "get_downscaled_ids") return wire::write_answer(view->get_own_downscaled_ids());
  if (name == "get_model_codebase") {
    return wire::write_answer(view->get_model_codebase(text_of(a, "model_family")));
  }
  if (name == "get_model_codebase_requirements") {
    return wire::write_answer(view->get_model_codebase_requirements(text_of(a, "model_family")));
  }
  if (name == "get_docker_hub_credentials") {
    return wire::write_answer(view->get_docker_hub_credentials());
  }
  if (name == "get_user_access_key_pair") {
    return wire::write_answer(view->get_user_access_key_pair(text_of(a, "user_id")));
  }
  if (name == "get_model_secret_keys") {
    return wire::write_answer(
        view->get_model_secret_keys(text_of(a, "secret_name"), text_of(a, "action_record_id")));
  }
  if (name == "get_internal_api_key") return wire::write_answer(view->get_internal_api_key(id()));
  if (name == "get_data_processing_image") {
    return wire::write_value(view->get_data_processing_image());
  }
  if (name == "get_open_port") return wire::write_value(view->get_open_port());
  if (name == "get_shutdown_details") return wire::write_value(view->get_shutdown_details());
  if (name == "update_available_resources") {
    return wire::write_answer(view->update_available_resources(a));
  }
  if (name == "record_exit") return record_exit(a, *view);
  if (name == "heartbeat") return heartbeat(call);
  throw std::logic_error("No handling for operation " + std::string(name));
}

std::string BackendService::record_exit(const Json& a, backend::Store& view) {
  const std::int64_t status = a.at("exit_status").get<std::int64_t>();
  if (status < std::numeric_limits<int>::min() || status > std::numeric_limits<int>::max()) {
    throw ValueError("The exit status " + std::to_string(status) + " is out of range");
  }
  backend::ActionEnd end;
  end.exit_status = static_cast<int>(status);
  if (present(a, "cause")) end.cause = text_of(a, "cause");
  if (present(a, "attempt")) end.attempt = a.at("attempt").get<std::int64_t>();
  const backend::EndRecorded recorded = view.record_end(text_of(a, "action_record_id"), end);
  metrics_.ends.with({recorded.cause}).inc();
  if (recorded.requeued) metrics_.requeues.with({recorded.cause}).inc();
  return wire::write_answer(Result::ok(Json()));
}

std::string BackendService::heartbeat(Call& call) {
  const Json& a = call.arguments;
  const std::string mode = present(a, "mode") ? text_of(a, "mode") : "active";
  if (mode != "active" && mode != "draining" && mode != "preempting") {
    throw ValueError("\"mode\" must be \"active\", \"draining\" or \"preempting\"");
  }
  store_.record_contact(
      call.verification.instance_id,
      backend::Contact{text_of(a, "agent_version"), text_of(a, "provider"),
                       host_of(call.request.peer()), mode == "draining", mode == "preempting"});
  return wire::write_answer(Result::ok(Json(), "alive"));
}

std::string BackendService::execute_operator(Call& call) {
  const Json& a = call.arguments;
  const std::string_view name = call.operation.name;
  auto done = [] { return wire::write_answer(Result::ok(Json())); };
  if (name == "operator/submit")
    return wire::write_answer(Result::ok(store_.submit(a.at("record"))));
  if (name == "operator/list") return wire::write_answer(Result::ok(store_.list()));
  if (name == "operator/show") {
    Json shown = store_.show(text_of(a, "action_record_id"));
    // A viewer reads no secret of an action's record or history.
    if (call.verification.role == wire::Role::kViewer) {
      shown = backend::store_rules::masked_secrets(std::move(shown));
    }
    return wire::write_answer(Result::ok(std::move(shown)));
  }
  if (name == "operator/logs") {
    const std::int64_t after =
        present(a, "after_offset") ? a.at("after_offset").get<std::int64_t>() : 0;
    backend::LogChunk chunk = present(a, "attempt")
                                  ? store_.attempt_log(text_of(a, "action_record_id"),
                                                       a.at("attempt").get<std::int64_t>(), after)
                                  : store_.logs(text_of(a, "action_record_id"), after);
    Json data = Json::object();
    data["content"] = std::move(chunk.content);
    data["next_offset"] = chunk.next_offset;
    data["more"] = chunk.more;
    data["finished"] = chunk.finished;
    return wire::write_answer(Result::ok(std::move(data)));
  }
  if (name == "operator/scale_down") {
    store_.scale_down(text_of(a, "action_record_id"));
    return done();
  }
  if (name == "operator/set_registry_credentials") {
    store_.set_registry_credentials(text_of(a, "username"), text_of(a, "password"),
                                    text_of(a, "registry"));
    return done();
  }
  if (name == "operator/set_key_pair") {
    store_.set_key_pair(text_of(a, "user_id"), text_of(a, "access_key"), text_of(a, "secret_key"));
    return done();
  }
  if (name == "operator/set_codebase") {
    std::optional<std::string> requirements;
    if (present(a, "requirements_url")) requirements = text_of(a, "requirements_url");
    store_.set_codebase(text_of(a, "model_family"), text_of(a, "url"), requirements);
    return done();
  }
  if (name == "operator/set_model_secret") {
    store_.set_model_secret(text_of(a, "secret_name"), text_of(a, "user_access_token"),
                            text_of(a, "user_id"));
    return done();
  }
  if (name == "operator/set_internal_api_key") {
    store_.set_internal_api_key(text_of(a, "action_record_id"), text_of(a, "key"));
    return done();
  }
  if (name == "operator/set_data_processing_image") {
    store_.set_data_processing_image(text_of(a, "image"));
    return done();
  }
  if (name == "operator/set_shutdown_details") {
    store_.set_shutdown_details(a.at("shutdown_threshold").get<double>(),
                                a.at("launch_duration").get<double>(),
                                text_of(a, "instance_source"));
    return done();
  }
  if (name == "operator/machine_resources") {
    return wire::write_answer(Result::ok(store_.machine_resources()));
  }
  if (name == "operator/configuration") {
    return wire::write_answer(Result::ok(store_.configuration()));
  }
  if (name == "operator/machines" || name == "operator/machine" || name == "operator/queue" ||
      name.ends_with("_machine")) {
    return execute_machine_call(call);
  }
  throw std::logic_error("No handling for operation " + std::string(name));
}

std::string BackendService::execute_machine_call(Call& call) {
  const Json& a = call.arguments;
  const std::string_view name = call.operation.name;
  auto done = [] { return wire::write_answer(Result::ok(Json())); };
  if (name == "operator/machines") return wire::write_answer(Result::ok(store_.machines()));
  if (name == "operator/queue") {
    const std::int64_t limit = present(a, "limit") ? a.at("limit").get<std::int64_t>() : 100;
    return wire::write_answer(Result::ok(store_.queue(limit)));
  }
  const std::string machine = text_of(a, "instance_id");
  if (name == "operator/machine") return wire::write_answer(Result::ok(store_.machine(machine)));
  if (name == "operator/set_machine") {
    store_.set_machine(machine, machine_change_of(a), false);
    return done();
  }
  if (name == "operator/drain_machine") {
    std::optional<std::chrono::seconds> deadline;
    if (present(a, "deadline_seconds")) {
      deadline = std::chrono::seconds(a.at("deadline_seconds").get<std::int64_t>());
    }
    store_.drain_machine(machine, deadline);
    return done();
  }
  if (name == "operator/undrain_machine") {
    store_.undrain_machine(machine);
    return done();
  }
  if (name == "operator/forget_machine") {
    store_.forget_machine(machine);
    return done();
  }
  throw std::logic_error("No handling for operation " + std::string(name));
}

}  // namespace tavoren::server
