// The backend server's request handling: every operation of the backend
// protocol (tavoren/protocol.h), for every instance and operator,
// answered from one store (tavoren/store.h): the embedded SQLite
// store, or PostgreSQL shared by several servers.
//
// A request is admitted from its head alone, before its body is read
// (admit()): POST only (405), the path names an operation (404), its
// signature holds over the headers (401, or 503 when the nonce memory is
// full or the key holds its share of it; the nonce is consumed here, once).
// When the store's servers share it, the nonce is remembered there too, so
// that a request replayed to another server of the store is refused as
// well: in the request's first write transaction, or after its handling
// when it writes nothing (Store::with_nonce), and its answer is then the
// same 401.
// Every unauthenticated refusal is the same 401 whatever its cause (an
// unknown key, a wrong signature), and its warning line is written at most
// once per key (or peer) per refusal_log_period, with the count of those
// left out. Then handle(): the body has the signed SHA-256 (401), the
// key's role may call the operation (403), a write carries
// an idempotency key (400), the body fits the operation (400), and an
// instance key names only its own instance's work (403): actions assigned
// to it and not ended, an owner's key pair only while an action of that
// owner is assigned to it and not ended, its own scaled-down actions. Once
// an action's end is recorded its instance keeps only the appending of its
// log for ServiceOptions::final_log_grace; its other writes about it are
// answered not_current (a repeat of a write answered before gets its kept
// answer), its reads 403. Model secrets and internal API keys are refused
// by the store, as ones that do not exist (tavoren/store.h). Each 403
// writes one audit line (warning level) naming the caller's access key,
// role and instance, the operation and its target; never a secret. Every
// answer carries the protocol header.
//
// Writes are answered once per (access key, idempotency key): the first
// answer is kept in the database (for answer_keep) and a repeat with the
// same operation and body gets it again without the write being done
// again; a repeat with another body is refused (400); a repeat that comes
// while the first is being handled gets 503 with Retry-After. Every write
// keeps its answer in the same transaction as the write itself, so even a
// crash between the write and its answer hands out no second batch, stores
// no log piece or report twice and submits no action twice.
//
// Keys: AccessKeys creates, lists and revokes the server's access keys,
// whose secrets are sealed (AES-GCM) under the access-keys subkey of the
// server's master key, bound to their row, before they are stored, and
// makes the instances' transport keys; its lookup() serves
// RequestVerifier, caching each key, and each unknown key (up to a bound),
// for at most cache_time so that a revoked key stops working within it and
// a flood of one unknown key costs one database read per cache_time.
//
// The refusals of the HTTP server itself (too large, busy, stopping,
// malformed) are rendered in the protocol's form by render_refusal().
//
// Ownership: the caller owns the store, which must outlive the service and
// the keys; neither opens connections of its own (each instance is served
// through a view sharing the store's connections).
// Threads: handle() and every AccessKeys member may be called from several
// threads at once.
// Failures: handle() answers every failure (a database failure is a 500
// with no detail beyond its kind); it throws nothing. AccessKeys throws
// ValueError for a missing master key and DatabaseError when the
// database fails. Time limits: every database call waits at most the
// store's own time limits (its lock wait, statement and connection
// limits); nothing else waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "tavoren/common/sealing.h"
#include "tavoren/http_server.h"
#include "tavoren/metrics.h"
#include "tavoren/protocol.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/store.h"

namespace tavoren::server {

// The single encryption key of the servers before master keys (for moving
// their stores): TAVOREN_ENCRYPTION_KEY of the environment, else the
// content of `key_file` (one trailing line break dropped). Throws
// ValueError when neither gives one, or when it is not 16, 24 or 32 bytes
// long; the message never holds the key.
std::string load_encryption_key(const std::optional<std::string>& key_file);

// A refusal of the HTTP server in the protocol's form: the failure body,
// the protocol header, and the status of the protocol (413 `too_large` for
// a body or headers too large, 429 `busy`, 503 `unavailable`, 400
// `malformed`, 500 `internal_error`). For http_server::Options.
http_server::Response render_refusal(http_server::Refusal refusal);

// The server's master key from `master_key_file`, and the previous one from
// `previous_key_file` while a rotation is under way (each as
// sealing::parse_master_key reads it). The master key never leaves the
// server: it is neither put into the environment nor given to a child.
// ValueError naming the file (never the key) for a file that cannot be
// read or holds no usable key.
std::shared_ptr<const sealing::Keyring> load_keyring(
    const std::string& master_key_file,
    const std::optional<std::string>& previous_key_file = std::nullopt);

// Whether `store` may be served with master keys: a store under the single
// key of older servers, or whose move was interrupted, is refused
// (ValueError naming the command that moves it).
void require_master_sealed(backend::Store& store, const std::string& store_text);

// A key pair made by AccessKeys::create, its secret shown once.
struct NewAccessKey {
  std::string access_key;
  std::string secret_key;
  // An instance key's transport key (empty for an operator key): what its
  // agent holds as TAVOREN_ENCRYPTION_KEY to open the key pairs it is sent.
  std::string transport_key;
};

class AccessKeys {
 public:
  // `keyring`: the server's master key (not null); the store must have been
  // given the same.
  AccessKeys(backend::Store& store, std::shared_ptr<const sealing::Keyring> keyring,
             std::chrono::milliseconds cache_time = std::chrono::seconds(2));

  // A new key pair: an access key "TK" + 18 characters of A-Z and 2-7, a
  // secret of 32 random bytes in 64 lowercase hexadecimal characters. An
  // instance key names its instance (role kInstance), and comes with a new
  // transport key of that instance; an operator key names none.
  NewAccessKey create(backend::wire::Role role, const std::string& instance_id = "");
  // A new transport key of the instance, replacing its earlier one: 32
  // random characters of A-Z, a-z, 0-9, "-" and "_" (the agent uses their
  // bytes as an AES-256 key). Shown once.
  std::string new_transport_key(const std::string& instance_id);
  // Every key, without its secret (sealed_secret is left empty).
  std::vector<backend::AccessKeyRecord> list();
  // Whether the key existed.
  bool revoke(const std::string& access_key);

  // The grant of a key that exists and is not revoked (cached for up to
  // cache_time); nullopt otherwise. A secret that cannot be opened with
  // this encryption key counts as no key (and is logged, never shown).
  std::optional<backend::wire::KeyGrant> lookup(const std::string& access_key);

 private:
  struct Cached {
    std::optional<backend::wire::KeyGrant> grant;
    std::chrono::steady_clock::time_point fetched;
  };
  void keep(const std::string& access_key, std::optional<backend::wire::KeyGrant> grant,
            std::chrono::steady_clock::time_point now);

  backend::Store& store_;
  const std::shared_ptr<const sealing::Keyring> keyring_;
  const std::chrono::milliseconds cache_time_;
  std::mutex mutex_;
  std::map<std::string, Cached> cache_;
  // When expired entries were last dropped.
  std::chrono::steady_clock::time_point trimmed_;
};

// One refused request of an authenticated caller.
struct AuditEntry {
  std::string access_key;
  backend::wire::Role role = backend::wire::Role::kInstance;
  std::string instance_id;
  std::string operation;
  // The action or user named by the request; empty when none.
  std::string target;
  std::string reason;
};

// "refused <operation> for <role> key <access key> (instance <id>) on
// <target>: <reason>", as the default audit log writes it.
std::string audit_line(const AuditEntry& entry);

struct ServiceOptions {
  // The server's clock, for signatures. Empty: the system clock.
  backend::wire::Clock clock;
  std::chrono::seconds max_skew = backend::wire::kMaxClockSkew;
  // How long the first answer of a write is kept.
  std::chrono::seconds answer_keep = std::chrono::hours(24);
  // Receives one entry per 403; unset: one warning line through the
  // process-wide logger (audit_line). Called from worker threads, several
  // at once; must not throw.
  std::function<void(const AuditEntry&)> audit;
  // Contacts of one instance closer together than this are recorded once
  // (a poll records its own).
  std::chrono::milliseconds contact_interval = std::chrono::seconds(1);
  // How long after an action's end its instance may still append to its
  // log (the last flush of its log shipper); every other right over the
  // action ends with it.
  std::chrono::seconds final_log_grace = std::chrono::seconds(60);
  // Where the service counts its requests (see ServiceMetrics); never null.
  metrics::Registry* registry = &metrics::Registry::process_wide();
  // Where nonces are remembered; empty: in the store when its servers
  // share it (Store::shares_nonces, PostgreSQL), else in this process.
  backend::wire::NonceMemory nonce_memory;
  // One key's share of the in-process nonce memory; 0: the default.
  std::size_t nonce_quota = 0;
  // At most one warning line per key (or peer) and period for refused
  // signatures.
  std::chrono::milliseconds refusal_log_period = std::chrono::seconds(10);
  // Receives each warning line of a refused signature; unset: the
  // process-wide logger. Called from worker threads; must not throw.
  std::function<void(const std::string&)> refusal_log;
};

// Lines about one kind of event, at most one per subject and period: the
// first of a period is written, the others counted and named in the next
// line written. Bounded: beyond a few thousand subjects within one period,
// the others share one subject. Thread-safe.
class RateLimitedLog {
 public:
  RateLimitedLog(std::chrono::milliseconds period, std::function<void(const std::string&)> write);
  // Writes `line` unless `subject` had a line within the period.
  void write(const std::string& subject, const std::string& line,
             std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

 private:
  struct Subject {
    std::chrono::steady_clock::time_point written;
    std::size_t left_out = 0;
  };
  const std::chrono::milliseconds period_;
  const std::function<void(const std::string&)> write_;
  std::mutex mutex_;
  std::map<std::string, Subject> subjects_;
};

// What the service counts, in its options' registry:
//   tavoren_backend_requests_total{operation,status} and
//   tavoren_backend_request_duration_seconds{operation}: every answered
//     request ("unknown" for a path that names no operation);
//   tavoren_backend_authentication_refusals_total{reason}: signatures
//     refused (401, or 503 when the nonce memory is full);
//   tavoren_backend_authorization_refusals_total{operation}: 403 answers;
//   tavoren_backend_assignments_total: actions handed out by assign_jobs
//     (a repeated request answered from its kept answer counts no more);
//   tavoren_backend_store_errors_total: requests the database failed (500);
//   tavoren_backend_polls_refused_total{reason}: polls answered with no work
//     because the machine polled too soon ("too_soon") or is draining
//     ("draining");
//   tavoren_backend_not_current_total: writes refused for naming an attempt
//     that is no longer current;
//   tavoren_backend_action_ends_total{cause}: ends of attempts recorded
//     (record_exit here; the program adds the sweep's machine_lost ends);
//   tavoren_backend_requeues_total{cause}: actions queued again after an
//     end with that cause.
struct ServiceMetrics {
  explicit ServiceMetrics(metrics::Registry& registry);
  metrics::Family<metrics::Counter>& requests;
  metrics::Family<metrics::Histogram>& duration;
  metrics::Family<metrics::Counter>& authentication_refusals;
  metrics::Family<metrics::Counter>& authorization_refusals;
  metrics::Counter& assignments;
  metrics::Counter& store_errors;
  metrics::Family<metrics::Counter>& polls_refused;
  metrics::Counter& not_current;
  // Ends of actions' attempts, and actions queued again, by cause.
  metrics::Family<metrics::Counter>& ends;
  metrics::Family<metrics::Counter>& requeues;
};

class BackendService final : public http_server::Handler {
 public:
  // `store`: an object without an instance, with the server's options
  // (port range, log limit). Both references must outlive the service.
  BackendService(backend::Store& store, AccessKeys& keys, ServiceOptions options = {});
  ~BackendService() override;

  // Checks the method, the path and the signature of the head (see the top
  // of this file); the admitted request carries its Verification.
  http_server::Admission admit(const http_server::RequestHead& head) override;
  http_server::Response handle(const http_server::Request& request) override;

  // The service's counters (for a program that counts more of the same).
  ServiceMetrics& metrics() { return metrics_; }

 private:
  struct Call;
  // The refusal of a request's head, or its verification.
  std::variant<http_server::Response, backend::wire::Verification> check_head(
      const http_server::RequestHead& head);
  // The refusal of a request that is not authenticated (401, or 503 when
  // the nonce memory is full), counted and logged.
  http_server::Response unauthenticated(const backend::wire::Operation& operation,
                                        std::string_view access_key, const std::string& peer,
                                        const backend::wire::Verification& verification);
  // Counts one answer of `path`.
  void count(std::string_view path, int status, std::chrono::steady_clock::time_point start);
  http_server::Response handle_request(const http_server::Request& request);
  http_server::Response handle_call(Call& call);
  http_server::Response handle_write(Call& call);
  std::string execute(Call& call);
  std::string execute_instance(Call& call);
  // record_exit on the caller's view of the store, counted by cause.
  std::string record_exit(const Json& arguments, backend::Store& view);
  // A heartbeat: the caller's contact, and its agent's own drain.
  std::string heartbeat(Call& call);
  std::string execute_operator(Call& call);
  // The operator's calls about machines.
  std::string execute_machine_call(Call& call);
  // The refusal reason when an instance may not do this call; empty when
  // it may.
  std::string refuse_instance(Call& call);
  // The same for a call about an action of this instance that has ended.
  std::string refuse_ended(Call& call, const backend::ActionAccess& access);
  http_server::Response forbidden(const Call& call, const std::string& reason);
  // Records a contact of the calling instance, at most once per
  // contact_interval per instance; a failure is logged, never answered.
  void note_contact(const Call& call);

  backend::Store& store_;
  AccessKeys& keys_;
  ServiceOptions options_;
  backend::wire::RequestVerifier verifier_;
  // Nonces are remembered in the store, with each request's handling.
  const bool nonces_in_store_;
  ServiceMetrics metrics_;
  RateLimitedLog refusal_log_;
  // (access key, idempotency key) of the writes being handled now.
  std::mutex writes_mutex_;
  std::set<std::pair<std::string, std::string>> writes_in_progress_;
  // When each instance's contact was last recorded by this service.
  std::mutex contacts_mutex_;
  std::map<std::string, std::chrono::steady_clock::time_point> contacts_;
};

}  // namespace tavoren::server
