// The backend over the network: the agent's client of a backend server
// (RemoteScaling, the Scaling contract) and the operator's client
// (RemoteOperator, the operator's calls), both speaking the protocol of
// tavoren/protocol.h over HTTPS.
//
// Every call is one signed POST. The secret key never leaves the process:
// it keys the request's signature only, and no error message, URL or
// header holds it (nor the access key).
//
// Several servers: with fallback_urls, a client moves on to the next server
// of the list when one stops answering (see RemoteOptions); retries and
// their limits are counted per call, whichever server each attempt went to.
//
// Transport (libcurl): TLS 1.2 or later, the server's certificate and name
// verified against the system's CA store or the given CA file; proxies as
// the environment names them (https_proxy, no_proxy); plain http only when
// allow_plain_http is set (tests); redirects are never followed.
// Connections are kept alive and reused across calls and threads: a client
// holds a small pool of request handles (idle_handles), each keeping its
// connection open between calls; a call borrows one handle for its
// duration, so there are never more connections than calls in flight.
// The handles share one DNS cache and one TLS session cache.
//
// Time limits: connect_timeout to set up a connection (name resolution and
// the TLS handshake included) and attempt_timeout for a whole attempt.
// Retries: a call is tried up to retry.max_attempts times after a transport
// failure (no answer, connection dropped, time limit reached), a 5xx or a
// 429, waiting a random time between zero and base_delay * 2^(n-1) (capped
// at max_delay) after attempt n, and at least the server's Retry-After
// (itself capped at max_delay). A call thus takes at most about
// max_attempts * attempt_timeout plus the waits. A 401 whose error is
// replayed_nonce is retried too, signed anew with a fresh nonce: the server
// saw this very request before (libcurl sends it again by itself when a
// reused connection dies before its answer). Other statuses (400, any other
// 401, 403, 404, 413) are not retried, nor are transport failures that
// another attempt cannot mend (a certificate that fails verification, an
// unreadable CA file, an answer over max_answer_bytes). Every write carries
// one idempotency key, the same on each of its attempts, so that the server
// applies it once.
// A write that got no answer at all (its last attempt failed for a cause
// that may pass) is not forgotten: the next call of the same operation with
// the same body is the same write made again, with the same key, so that
// the server answers it with the first answer if that one was done after
// all (a batch of assign_jobs whose answer was lost, a log piece stored
// before the connection broke). Once such a call is answered its key is
// dropped; the client remembers at most unanswered_writes of them, the
// oldest going first.
//
// Ownership: the caller owns the client. Nothing a call returns refers back
// into it. No call may be in flight when it is destroyed.
// Threads: every call may be made from several threads at once; the
// injected random source and sleep must allow that too.
// Failures:
// - A refusal by the backend (an answer with error set) is returned in the
//   Result of the Scaling operations that answer one. The bare-value
//   operations throw NotConfiguredError (tavoren/backend.h) for a setting
//   the operator has not configured and std::runtime_error for other
//   refusals, with the refusal's message; the operator's calls and
//   record_exit throw ValueError, TypeError or KeyError
//   (tavoren/common/errors.h) for refusals of those kinds, as the embedded
//   backend does, std::runtime_error for others.
// - A call that got no usable answer throws RemoteCallError: after the last
//   attempt (may_pass() true), or at once for a status that is not retried,
//   a refused TLS certificate, an answer over max_answer_bytes, or an answer
//   that does not follow the protocol (may_pass() false).
// - Constructors throw ValueError for unusable options (a URL that is not
//   https://host[:port], an empty key), std::runtime_error when libcurl
//   cannot be set up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/common/json.h"

namespace tavoren::backend {

struct RetryPolicy {
  // Attempts per call, the first included (at least 1).
  int max_attempts = 4;
  std::chrono::milliseconds base_delay{200};
  std::chrono::milliseconds max_delay{5000};
  // A uniform draw from [0, 1). Empty: a per-thread generator.
  std::function<double()> random;
  // Waits between attempts. Empty: std::this_thread::sleep_for.
  std::function<void(std::chrono::milliseconds)> sleep;
};

struct RemoteOptions {
  // "https://host[:port]" (an optional trailing "/"; no path, query or user
  // information). "http://" only with allow_plain_http.
  std::string base_url;
  // Other servers of the same store (servers sharing one PostgreSQL
  // database), in the same form as base_url: calls go to one server at a
  // time, base_url first; an attempt that gets no answer from it (a
  // transport failure, 502, 503 or 504) moves this client on to the next
  // server in the list (after the last, the first again), for the
  // following attempts and calls. A write keeps its idempotency key across
  // servers, so that their store applies it once.
  std::vector<std::string> fallback_urls;
  // The caller's key pair: an instance's for RemoteScaling, an operator's
  // for RemoteOperator.
  Session session;
  // CA certificates (PEM) that the server's certificate must chain to.
  // Empty: the system's store.
  std::optional<std::filesystem::path> ca_file;
  std::chrono::milliseconds connect_timeout{5000};
  // The limit of one attempt, from its start to the end of its answer.
  std::chrono::milliseconds attempt_timeout{30000};
  RetryPolicy retry;
  // A larger answer body fails the call (not retried).
  std::size_t max_answer_bytes = std::size_t{64} << 20;
  std::string user_agent = "tavoren-agent";
  // Accepts an http:// base URL: for loopback tests only, as it sends the
  // signed requests and their answers in clear.
  bool allow_plain_http = false;
  // Request handles, each with its open connection, kept for reuse between
  // calls. More calls in flight at once get handles of their own, closed
  // (with their connections) after the call.
  std::size_t idle_handles = 8;
  // Unanswered writes whose keys are kept for the same write made again.
  std::size_t unanswered_writes = 256;
};

// A call that got no usable answer.
class RemoteCallError : public CallFailure {
 public:
  RemoteCallError(const std::string& what, long status, int curl_code, int attempts,
                  bool may_pass = false)
      : CallFailure(what, may_pass), status_(status), curl_code_(curl_code), attempts_(attempts) {}
  // The HTTP status of the last answer; 0 when none came.
  long status() const { return status_; }
  // libcurl's code of the last attempt (0 when an answer came).
  int curl_code() const { return curl_code_; }
  // How many attempts were made.
  int attempts() const { return attempts_; }

 private:
  long status_;
  int curl_code_;
  int attempts_;
};

namespace detail {
class RemoteCaller;
}

class RemoteScaling final : public Scaling {
 public:
  explicit RemoteScaling(RemoteOptions options);
  ~RemoteScaling() override;
  RemoteScaling(const RemoteScaling&) = delete;
  RemoteScaling& operator=(const RemoteScaling&) = delete;

  // ---- Scaling -----------------------------------------------------------
  const Session& session() const override;
  Result assign_jobs(bool has_gpu) override;
  Result update_action_status(const Json& arguments) override;
  Result update_status(const std::string& action_record_id, const std::string& action_type,
                       const std::string& service, const std::string& step_code,
                       const std::string& status, const std::string& description) override;
  Result update_action(const Json& arguments) override;
  Result update_action_docker_logs(const Json& arguments) override;
  Result get_action_details(const std::string& action_record_id) override;
  Result get_downscaled_ids() override;
  Result get_model_codebase(const std::string& model_family) override;
  Result get_model_codebase_requirements(const std::string& model_family) override;
  Result get_docker_hub_credentials() override;
  Result get_user_access_key_pair(const std::string& user_id) override;
  Result get_model_secret_keys(const std::string& secret_name,
                               const std::string& action_record_id = "") override;
  Result get_internal_api_key(const std::string& action_record_id) override;
  Json get_data_processing_image() override;
  Json get_open_port() override;
  Json get_shutdown_details() override;
  Result update_available_resources(const Json& arguments) override;

  // Records that the action's process ended on this instance with
  // `exit_status` (its exit code, or 128 + the signal) and `cause` (one an
  // agent reports: tavoren/store.h's end_cause), as the embedded backend's
  // record_end does. KeyError for an action the server does not know,
  // NotCurrentError when its attempt was taken from this instance. The
  // action's attempt is forgotten once the end is recorded.
  void record_exit(const std::string& action_record_id, int exit_status,
                   std::string_view cause = "exited");

  // Tells the server this agent is alive (and its version and provider).
  // `mode` "draining": the agent is stopping with a drain, and its machine
  // is to show as draining until its agent polls again; "preempting": the
  // machine's cloud takes it back, and it is to get no more work.
  Result heartbeat(const std::string& agent_version, const std::string& provider,
                   std::string_view mode = "active");

  // Attempts. Each action this client is handed by assign_jobs comes with
  // its attempt number, which every later write about the action names, so
  // that a write about an attempt taken from this instance is refused as
  // not current (Result error kNotCurrent) instead of landing on the
  // attempt that replaced it. adopt() tells the client an action's attempt
  // (a kept action taken back after a restart); forget() drops it.
  void adopt(const std::string& action_record_id, std::int64_t attempt);
  void forget(const std::string& action_record_id);
  std::optional<std::int64_t> attempt_of(const std::string& action_record_id) const;

 private:
  // Calls a write about the action named by arguments[id_key], naming its
  // attempt when known; against a server that does not take attempts (one
  // older than this client), once refused for it, without.
  Result call_about(const char* operation, Json arguments, const char* id_key);

  std::unique_ptr<detail::RemoteCaller> caller_;
  mutable std::mutex attempts_mutex_;
  std::map<std::string, std::int64_t> attempts_;
  std::atomic<bool> unfenced_{false};
  // Set once a server refused a log piece's place as an unknown argument
  // (a server older than its agents): pieces go without it from then on.
  std::atomic<bool> unplaced_pieces_{false};
};

// A stretch of an action's shipped log, as the operator's logs call
// answers it: the same fields as the embedded backend's LogChunk.
struct RemoteLogChunk {
  std::string content;
  std::int64_t next_offset = 0;
  bool finished = false;
  // False from a server that answers whole logs.
  bool more = false;
};

// The operator's calls of the embedded backend, against a server, with an
// operator's key pair. Each call has the name, arguments and answer of the
// LocalScaling call it mirrors (see tavoren/sqlite_store.h).
class RemoteOperator {
 public:
  explicit RemoteOperator(RemoteOptions options);
  ~RemoteOperator();
  RemoteOperator(const RemoteOperator&) = delete;
  RemoteOperator& operator=(const RemoteOperator&) = delete;

  std::string submit(const Json& record);
  Json list();
  Json show(const std::string& action_record_id);
  RemoteLogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0);
  void scale_down(const std::string& action_record_id);
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "");
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key);
  void set_codebase(const std::string& model_family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt);
  void set_model_secret(const std::string& secret_name, const std::string& user_access_token,
                        const std::string& owner = "");
  void set_internal_api_key(const std::string& action_record_id, const std::string& key);
  void set_data_processing_image(const std::string& image);
  void set_shutdown_details(double shutdown_threshold, double launch_duration,
                            const std::string& instance_source);
  Json machine_resources();
  Json configuration();
  // The machines, as tavoren/store.h's calls of the same names answer and
  // take them (set_machine: gpus -1 trusts the agent's has_gpu; unset
  // fields stay; an empty label value removes the label).
  Json machines();
  Json queue(std::int64_t limit);
  Json machine(const std::string& instance_id);
  void set_machine(const std::string& instance_id, std::optional<int> gpus,
                   std::optional<int> max_actions,
                   const std::map<std::string, std::string>& labels);
  void drain_machine(const std::string& instance_id, std::optional<std::chrono::seconds> deadline);
  void undrain_machine(const std::string& instance_id);
  void forget_machine(const std::string& instance_id);
  // An earlier attempt's log (the current one's with logs()).
  RemoteLogChunk attempt_log(const std::string& action_record_id, std::int64_t attempt,
                             std::int64_t after_offset = 0);

 private:
  std::unique_ptr<detail::RemoteCaller> caller_;
};

}  // namespace tavoren::backend
