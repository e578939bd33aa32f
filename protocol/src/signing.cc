// Request signing and verification with HMAC-SHA256.

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/common/hex.h"
#include "tavoren/protocol_signing.h"

namespace tavoren::backend::wire {
namespace {

std::string random_hex() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("OpenSSL could not produce random bytes");
  }
  return lower_hex(bytes.data(), bytes.size());
}

bool is_lower_hex(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool is_idempotency_key(std::string_view text) {
  if (text.empty() || text.size() > 128) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '-' || c == '_')) return false;
  }
  return true;
}

std::optional<std::int64_t> parse_timestamp(std::string_view text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

Verification refused(Refusal refusal, std::string detail) {
  Verification verification;
  verification.refusal = refusal;
  verification.detail = std::move(detail);
  return verification;
}

}  // namespace

Verification replayed_nonce() {
  return refused(Refusal::kReplayedNonce, "the nonce was already used");
}

std::string sha256_hex(std::string_view data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL could not compute a SHA-256 digest");
  }
  return lower_hex(digest.data(), size);
}

std::string hmac_sha256_hex(std::string_view key, std::string_view data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac.data(),
           &size) == nullptr) {
    throw std::runtime_error("OpenSSL could not compute an HMAC-SHA256");
  }
  return lower_hex(mac.data(), size);
}

std::string new_nonce() { return random_hex(); }
std::string new_idempotency_key() { return random_hex(); }

std::string canonical_request(std::string_view method, std::string_view path,
                              std::string_view timestamp, std::string_view nonce,
                              std::string_view body_sha256, std::string_view idempotency_key) {
  std::string text;
  for (const std::string_view part : {method, path, timestamp, nonce, body_sha256}) {
    text += part;
    text += '\n';
  }
  text += idempotency_key;
  return text;
}

std::vector<HeaderField> sign_request(const OutgoingRequest& request, const Session& credentials,
                                      std::chrono::system_clock::time_point now,
                                      std::string_view nonce) {
  const std::string timestamp = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
  const std::string body_hash = sha256_hex(request.body);
  const std::string signature = hmac_sha256_hex(
      credentials.secret_key, canonical_request(request.method, request.path, timestamp, nonce,
                                                body_hash, request.idempotency_key));
  std::vector<HeaderField> fields;
  fields.push_back({std::string(header::kAccessKey), credentials.access_key});
  fields.push_back({std::string(header::kTimestamp), timestamp});
  fields.push_back({std::string(header::kNonce), std::string(nonce)});
  fields.push_back({std::string(header::kContentSha256), body_hash});
  if (!request.idempotency_key.empty()) {
    fields.push_back({std::string(header::kIdempotencyKey), std::string(request.idempotency_key)});
  }
  fields.push_back({std::string(header::kSignature), signature});
  return fields;
}

std::vector<HeaderField> sign_request(const OutgoingRequest& request, const Session& credentials) {
  return sign_request(request, credentials, std::chrono::system_clock::now(), new_nonce());
}

const char* refusal_name(Refusal refusal) {
  switch (refusal) {
    case Refusal::kNone:
      return "none";
    case Refusal::kMissingHeader:
      return "missing_header";
    case Refusal::kMalformedHeader:
      return "malformed_header";
    case Refusal::kUnknownKey:
      return "unknown_key";
    case Refusal::kBodyMismatch:
      return "body_mismatch";
    case Refusal::kBadSignature:
      return "bad_signature";
    case Refusal::kClockSkew:
      return "clock_skew";
    case Refusal::kReplayedNonce:
      return "replayed_nonce";
    case Refusal::kNonceCacheFull:
      return "nonce_cache_full";
    case Refusal::kNonceQuota:
      return "nonce_quota";
  }
  return "unknown";
}

int Verification::status() const {
  if (ok()) return status::kOk;
  if (refusal == Refusal::kNonceCacheFull || refusal == Refusal::kNonceQuota) {
    return status::kUnavailable;
  }
  return status::kNotAuthenticated;
}

namespace {

// The refusal of the first header whose value is not of its form, if any.
std::optional<Verification> check_formats(bool timestamp_ok, const std::string& nonce,
                                          const std::string& body_hash,
                                          const std::string& signature,
                                          const std::string& idempotency_key) {
  if (!timestamp_ok) {
    return refused(Refusal::kMalformedHeader,
                   std::string(header::kTimestamp) + " is not a number of seconds");
  }
  if (!is_lower_hex(nonce, 32)) {
    return refused(Refusal::kMalformedHeader,
                   std::string(header::kNonce) + " is not 32 lowercase hexadecimal digits");
  }
  if (!is_lower_hex(body_hash, 64)) {
    return refused(Refusal::kMalformedHeader,
                   std::string(header::kContentSha256) + " is not 64 lowercase hexadecimal digits");
  }
  if (!is_lower_hex(signature, 64)) {
    return refused(Refusal::kMalformedHeader,
                   std::string(header::kSignature) + " is not 64 lowercase hexadecimal digits");
  }
  if (!idempotency_key.empty() && !is_idempotency_key(idempotency_key)) {
    return refused(Refusal::kMalformedHeader, std::string(header::kIdempotencyKey) +
                                                  " is not 1 to 128 letters, digits, '-' or '_'");
  }
  return std::nullopt;
}

}  // namespace

// The one detail of an unknown key and of a wrong signature.
constexpr const char* kNotVerified = "the signature does not match a known access key";

RequestVerifier::RequestVerifier(VerifierOptions options)
    : options_(std::move(options)), nonces_(options_.nonce_capacity, options_.nonce_quota) {
  if (!options_.keys) throw std::invalid_argument("a request verifier needs a key lookup");
  if (!options_.clock) options_.clock = [] { return std::chrono::system_clock::now(); };
}

Verification RequestVerifier::verify(const IncomingRequest& request) {
  return check_body(verify_head(request), request.body);
}

Verification RequestVerifier::check_body(Verification head, std::string_view body) {
  if (!head.ok()) return head;
  if (head.body_sha256.size() != 64 ||
      CRYPTO_memcmp(sha256_hex(body).data(), head.body_sha256.data(), 64) != 0) {
    return refused(Refusal::kBodyMismatch, "the body does not have the announced SHA-256");
  }
  return head;
}

Verification RequestVerifier::verify_head(const IncomingRequest& request) {
  std::array<std::optional<std::string>, 5> values;
  constexpr std::array<std::string_view, 5> kNames = {header::kAccessKey, header::kTimestamp,
                                                      header::kNonce, header::kContentSha256,
                                                      header::kSignature};
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    values[i] = request.header ? request.header(kNames[i]) : std::nullopt;
    if (!values[i]) {
      return refused(Refusal::kMissingHeader, "the request has no " + std::string(kNames[i]));
    }
  }
  const std::string& access_key = *values[0];
  const std::string& timestamp_text = *values[1];
  const std::string& nonce = *values[2];
  const std::string& body_hash = *values[3];
  const std::string& signature = *values[4];
  const std::string idempotency_key =
      request.header ? request.header(header::kIdempotencyKey).value_or("") : "";

  const std::optional<std::int64_t> timestamp = parse_timestamp(timestamp_text);
  if (std::optional<Verification> malformed =
          check_formats(timestamp.has_value(), nonce, body_hash, signature, idempotency_key)) {
    return *malformed;
  }

  const std::optional<KeyGrant> grant = options_.keys(access_key);
  // An unknown key costs the same HMAC as a known one, and is refused in
  // the same words.
  const std::string expected =
      hmac_sha256_hex(grant ? std::string_view(grant->secret_key) : std::string_view(),
                      canonical_request(request.method, request.path, timestamp_text, nonce,
                                        body_hash, idempotency_key));
  if (!grant) return refused(Refusal::kUnknownKey, kNotVerified);
  if (CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) != 0) {
    return refused(Refusal::kBadSignature, kNotVerified);
  }

  const auto now = options_.clock();
  const std::int64_t now_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  const std::int64_t behind = now_seconds - *timestamp;
  if (behind > options_.max_skew.count() || -behind > options_.max_skew.count()) {
    return refused(Refusal::kClockSkew,
                   "the timestamp is " + std::to_string(behind > 0 ? behind : -behind) + " s " +
                       (behind > 0 ? "behind" : "ahead of") + " the server's clock (at most " +
                       std::to_string(options_.max_skew.count()) + " s allowed)");
  }
  // Remembered past the last moment the timestamp is accepted, so that the
  // nonce is never forgotten while its request could still come again.
  const std::chrono::system_clock::time_point expires_at =
      std::chrono::system_clock::time_point(std::chrono::seconds(*timestamp)) + options_.max_skew +
      kNonceGrace;
  // The verifier's own memory first, also in front of a shared one: it
  // holds each key to its quota here, and a replay to this server costs no
  // round trip to the shared memory.
  NonceOutcome outcome = nonces_.remember(access_key, nonce, expires_at, now);
  if (outcome == NonceOutcome::kFresh && options_.nonce_memory) {
    outcome = options_.nonce_memory(access_key, nonce, expires_at, now);
  }
  switch (outcome) {
    case NonceCache::Outcome::kFresh:
      break;
    case NonceCache::Outcome::kReplayed:
      return replayed_nonce();
    case NonceCache::Outcome::kFull:
      return refused(Refusal::kNonceCacheFull, "too many recent requests to remember; try again");
    case NonceCache::Outcome::kOverQuota:
      return refused(Refusal::kNonceQuota,
                     "too many recent requests of this key to remember; try again");
  }

  Verification verification;
  verification.role = grant->role;
  verification.instance_id = grant->instance_id;
  verification.idempotency_key = idempotency_key;
  verification.body_sha256 = body_hash;
  verification.nonce = nonce;
  verification.nonce_expires_at = expires_at;
  return verification;
}

}  // namespace tavoren::backend::wire
