// Signed requests of the backend protocol: the caller proves it holds the
// secret key of its key pair without ever sending it.
//
// A client signs every request with sign_request(): it adds the access key,
// the time (Unix seconds), a random nonce, the SHA-256 of the body, and an
// HMAC-SHA256, keyed with the secret key, over the canonical request:
//
//   <method>\n<path>\n<timestamp>\n<nonce>\n<body SHA-256>\n<idempotency key>
//
// (hexadecimal in lowercase; the idempotency key is empty for a read). A
// server checks it in two steps, since the signature covers the body only
// through its announced hash: RequestVerifier::verify_head(), as soon as
// the headers arrive, checks every header present and well formed, a known
// access key, the signature (compared in constant time), a clock skew of at
// most max_skew either way, and a nonce not seen before (consuming it);
// check_body() then checks that the body has the announced hash. verify()
// does both. A changed method, path, body, timestamp, nonce or idempotency
// key breaks the signature. An unknown key and a wrong signature are
// refused with the same detail, so a caller cannot tell them apart.
//
// Secrets: no function here logs anything, and no refusal's detail holds a
// secret key, an access key or a signature, so a detail may go into an
// answer body and an audit line as it is.
//
// Threads: the free functions are safe from any thread. A NonceCache and a
// RequestVerifier may be used from several threads at once (the key
// lookup and the clock given to a verifier must be safe so too).
// Failures: sign_request, new_nonce and new_idempotency_key throw
// std::runtime_error when OpenSSL fails (no randomness); verify() reports
// every refusal in its answer and throws only what the key lookup throws.
// No network is involved, so no time limits apply.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/protocol.h"

namespace tavoren::backend::wire {

namespace header {
inline constexpr std::string_view kAccessKey = "X-Tavoren-Key";
inline constexpr std::string_view kTimestamp = "X-Tavoren-Timestamp";
inline constexpr std::string_view kNonce = "X-Tavoren-Nonce";
inline constexpr std::string_view kContentSha256 = "X-Tavoren-Content-SHA256";
inline constexpr std::string_view kSignature = "X-Tavoren-Signature";
inline constexpr std::string_view kIdempotencyKey = "Idempotency-Key";
}  // namespace header

// The largest clock difference between a signer and a verifier.
inline constexpr std::chrono::seconds kMaxClockSkew{300};
// How long a nonce is remembered beyond the last moment its request could
// be accepted (its timestamp plus the skew allowed): timestamps are whole
// seconds, and a clock may be stepped.
inline constexpr std::chrono::seconds kNonceGrace{60};

using Clock = std::function<std::chrono::system_clock::time_point()>;

// ---- Primitives --------------------------------------------------------

// Lowercase hexadecimal of SHA-256(data).
std::string sha256_hex(std::string_view data);
// Lowercase hexadecimal of HMAC-SHA256(key, data).
std::string hmac_sha256_hex(std::string_view key, std::string_view data);
// 128 random bits (OpenSSL's RAND_bytes) as 32 lowercase hexadecimal
// characters: a request's nonce.
std::string new_nonce();
// The same form: the idempotency key of one write call, kept across its
// retries.
std::string new_idempotency_key();

// The text that is signed (see the top of this file).
std::string canonical_request(std::string_view method, std::string_view path,
                              std::string_view timestamp, std::string_view nonce,
                              std::string_view body_sha256, std::string_view idempotency_key);

// ---- Signing -----------------------------------------------------------

struct HeaderField {
  std::string name;
  std::string value;
};

struct OutgoingRequest {
  std::string_view method = "POST";
  // The path as sent (no scheme, host or query).
  std::string_view path;
  std::string_view body;
  // Empty for a read; a write's key, the same on every retry of one call.
  std::string_view idempotency_key;
};

// The headers that sign `request` with `credentials` at `now` with
// `nonce`, in this order: access key, timestamp, nonce, body hash,
// idempotency key (writes only), signature. The secret key appears in none.
std::vector<HeaderField> sign_request(const OutgoingRequest& request, const Session& credentials,
                                      std::chrono::system_clock::time_point now,
                                      std::string_view nonce);
// Signed now, with a new nonce.
std::vector<HeaderField> sign_request(const OutgoingRequest& request, const Session& credentials);

// ---- Nonces ------------------------------------------------------------

// The nonces seen recently, each kept until the end of the window in which
// its request could still be accepted.
//
// Bounded: it holds at most `capacity` nonces, and at most `quota` of one
// scope (access key), so that one caller cannot crowd out the others. When
// it is full, expired nonces are dropped first; if none has expired, the
// new nonce is refused (kFull, or kOverQuota for a scope at its quota: a
// 503 for the caller to retry later) rather than an unexpired one
// forgotten, since forgetting would let that request be replayed.
class NonceCache {
 public:
  enum class Outcome {
    kFresh,      // not seen before: now remembered until its expiry
    kReplayed,   // seen before and not expired
    kFull,       // not remembered: capacity reached by unexpired nonces
    kOverQuota,  // not remembered: this scope holds its quota of unexpired nonces
  };

  // `quota` 0: capacity / 16 (at least 1).
  explicit NonceCache(std::size_t capacity = std::size_t{1} << 20, std::size_t quota = 0);
  NonceCache(const NonceCache&) = delete;
  NonceCache& operator=(const NonceCache&) = delete;

  // Remembers `nonce` of the caller `scope` (the access key) until
  // `expires_at`; nonces whose expiry is before `now` are forgotten.
  Outcome remember(std::string_view scope, std::string_view nonce,
                   std::chrono::system_clock::time_point expires_at,
                   std::chrono::system_clock::time_point now);

  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }
  std::size_t quota() const { return quota_; }

 private:
  void drop_expired(std::chrono::system_clock::time_point now);

  const std::size_t capacity_;
  const std::size_t quota_;
  mutable std::mutex mutex_;
  // Unexpired nonces per scope.
  std::map<std::string, std::size_t, std::less<>> count_of_;
  std::map<std::string, std::chrono::system_clock::time_point, std::less<>> expiry_of_;
  std::multimap<std::chrono::system_clock::time_point, std::string> by_expiry_;
};

// ---- Verification ------------------------------------------------------

// What an access key grants, as the server's key store knows it.
struct KeyGrant {
  std::string secret_key;
  Role role = Role::kInstance;
  // The instance of an instance key; empty for an operator key.
  std::string instance_id;
};

// What a remembered nonce says: fresh (now remembered), replayed, or not
// remembered for lack of room (kFull, kOverQuota).
using NonceOutcome = NonceCache::Outcome;

// Remembers the nonce of a caller (scope) until its expiry, somewhere the
// server's peers see it too (a shared database). Throws what its store
// throws.
using NonceMemory = std::function<NonceOutcome(const std::string& scope, const std::string& nonce,
                                               std::chrono::system_clock::time_point expires_at,
                                               std::chrono::system_clock::time_point now)>;

// The grant of an access key, nullopt for an unknown (or revoked) one.
using KeyLookup = std::function<std::optional<KeyGrant>(const std::string& access_key)>;

// A header's value by its name (matched without regard to case), nullopt
// when the request has none.
using HeaderReader = std::function<std::optional<std::string>(std::string_view name)>;

struct IncomingRequest {
  std::string_view method;
  std::string_view path;
  std::string_view body;
  HeaderReader header;
};

enum class Refusal {
  kNone,
  kMissingHeader,    // a signing header is absent
  kMalformedHeader,  // a signing header is not of its form
  kUnknownKey,       // the access key is not in the key store
  kBodyMismatch,     // the body does not have the announced SHA-256
  kBadSignature,     // the signature does not match
  kClockSkew,        // the timestamp is too far from the server's clock
  kReplayedNonce,    // the nonce was seen within the window
  kNonceCacheFull,   // the nonce could not be remembered (try again)
  kNonceQuota,       // the key holds its share of the nonce memory (try again)
};

// "missing_header", "bad_signature", ... ("none" for kNone).
const char* refusal_name(Refusal refusal);

struct Verification {
  Refusal refusal = Refusal::kNone;
  // Why, for the answer body and the audit line; never a secret.
  std::string detail;
  // Set when refusal is kNone.
  Role role = Role::kInstance;
  std::string instance_id;
  // The request's idempotency key ("" when it has none).
  std::string idempotency_key;
  // The SHA-256 the body must have, as signed (set by verify_head()).
  std::string body_sha256;
  // The request's nonce and how long it must be remembered (set by
  // verify_head(), for a memory the handling of the request writes to).
  std::string nonce;
  std::chrono::system_clock::time_point nonce_expires_at;

  bool ok() const { return refusal == Refusal::kNone; }
  // 200 when accepted, 503 for kNonceCacheFull and kNonceQuota, 401
  // otherwise.
  int status() const;
};

// The refusal of a request whose nonce was used before.
Verification replayed_nonce();

struct VerifierOptions {
  KeyLookup keys;
  // The server's clock. Empty: std::chrono::system_clock::now.
  Clock clock;
  std::chrono::seconds max_skew = kMaxClockSkew;
  std::size_t nonce_capacity = std::size_t{1} << 20;
  // One key's share of the nonce memory (of this verifier's own, in front
  // of a shared one too); 0: nonce_capacity / 16.
  std::size_t nonce_quota = 0;
  // Where nonces are also remembered, for the servers that share it; a
  // nonce goes there once the verifier's own NonceCache (which holds each
  // key to its quota) has taken it as fresh. Empty: that cache alone.
  NonceMemory nonce_memory;
};

class RequestVerifier {
 public:
  // Throws std::invalid_argument without a key lookup.
  explicit RequestVerifier(VerifierOptions options);

  // Checks the headers alone, in this order: their presence and form, the
  // key, the signature, the clock skew, the nonce (body is not looked at).
  // A nonce is remembered only for a request whose signature held, so
  // unsigned traffic cannot fill the memory; each nonce is accepted once.
  Verification verify_head(const IncomingRequest& request);
  // Whether `body` has the hash an accepted head announced: `head` as it
  // was, or kBodyMismatch.
  static Verification check_body(Verification head, std::string_view body);
  // verify_head(), then check_body().
  Verification verify(const IncomingRequest& request);

  const NonceCache& nonces() const { return nonces_; }

 private:
  VerifierOptions options_;
  NonceCache nonces_;
};

}  // namespace tavoren::backend::wire
