// Access-key encryption and durations between backend timestamps.
//
// Stored form of one encrypted key: Base64 of nonce (12 random bytes), the
// AES-GCM ciphertext of the key's UTF-8 bytes, and the full 16-byte tag. The
// encryption key's bytes are the AES key itself (16, 24 or 32 bytes).

#include <date/date.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "keys_detail.h"
#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {

namespace detail {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Overwrites a buffer that held key material or plaintext when it goes out
// of scope.
class Wipe {
 public:
  explicit Wipe(std::string& buffer) : buffer_(buffer) {}
  ~Wipe() { OPENSSL_cleanse(buffer_.data(), buffer_.size()); }
  Wipe(const Wipe&) = delete;
  Wipe& operator=(const Wipe&) = delete;

 private:
  std::string& buffer_;
};

const EVP_CIPHER* cipher_for_key(std::string_view key) {
  switch (key.size()) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      throw ValueError("encryption key must be 16, 24 or 32 bytes long, not " +
                       std::to_string(key.size()));
  }
}

const unsigned char* bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}
unsigned char* bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

int checked_length(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) throw ValueError("input too long to encrypt");
  return static_cast<int>(size);
}

void require(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("AES-GCM failure: ") + what);
}

// Starts an AES-GCM context for the key and nonce, in the given direction.
CipherCtx start_gcm(std::string_view key, std::string_view nonce, bool encrypt) {
  const EVP_CIPHER* cipher = cipher_for_key(key);
  if (nonce.size() != kNonceSize) {
    throw ValueError("nonce must be " + std::to_string(kNonceSize) + " bytes long");
  }
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::runtime_error("AES-GCM failure: no cipher context");
  const int enc = encrypt ? 1 : 0;
  require(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, enc), "init");
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr),
      "nonce length");
  require(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce), enc),
          "key and nonce");
  return ctx;
}

// Runs `input` through the context into a buffer of the same length.
std::string transform(EVP_CIPHER_CTX* ctx, std::string_view input) {
  std::string output(input.size(), '\0');
  if (!input.empty()) {
    int written = 0;
    require(
        EVP_CipherUpdate(ctx, bytes(output), &written, bytes(input), checked_length(input.size())),
        "update");
    output.resize(static_cast<std::size_t>(written));
  }
  return output;
}

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_base64_char(char c) { return kBase64Alphabet.find(c) != std::string_view::npos; }

}  // namespace

std::string aes_gcm_encrypt(std::string_view key, std::string_view nonce,
                            std::string_view plaintext) {
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/true);
  std::string sealed = transform(ctx.get(), plaintext);
  int tail = 0;
  unsigned char rest[EVP_MAX_BLOCK_LENGTH];
  require(EVP_EncryptFinal_ex(ctx.get(), rest, &tail), "final");
  if (tail != 0) throw std::runtime_error("AES-GCM failure: unexpected final block");
  std::string tag(kTagSize, '\0');
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag.data()),
      "tag");
  return sealed + tag;
}

std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed) {
  if (sealed.size() < kTagSize) throw ValueError("encrypted data shorter than its tag");
  const std::string_view ciphertext = sealed.substr(0, sealed.size() - kTagSize);
  std::string tag(sealed.substr(sealed.size() - kTagSize));
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/false);
  std::string plaintext = transform(ctx.get(), ciphertext);
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()),
      "tag");
  int tail = 0;
  unsigned char rest[EVP_MAX_BLOCK_LENGTH];
  if (EVP_DecryptFinal_ex(ctx.get(), rest, &tail) != 1 || tail != 0) {
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    throw ValueError("authentication tag does not verify");
  }
  return plaintext;
}

std::string base64_encode(std::string_view input) {
  const int length = checked_length(input.size());
  std::string text(4 * ((input.size() + 2) / 3) + 1, '\0');  // with the terminating NUL
  const int written = EVP_EncodeBlock(bytes(text), bytes(input), length);
  text.resize(static_cast<std::size_t>(written));
  return text;
}

std::string base64_decode(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (is_base64_char(c) || c == '=') kept.push_back(c);
  }
  if (kept.size() % 4 != 0) throw ValueError("invalid Base64: incomplete group of four");
  // Padding: at most two "=" and only at the very end.
  std::size_t padding = 0;
  while (padding < kept.size() && kept[kept.size() - 1 - padding] == '=') ++padding;
  if (padding > 2 || kept.find('=') < kept.size() - padding) {
    throw ValueError("invalid Base64: misplaced padding");
  }
  if (kept.empty()) return {};
  std::string decoded(kept.size() / 4 * 3, '\0');
  const int written = EVP_DecodeBlock(bytes(decoded), bytes(kept), checked_length(kept.size()));
  if (written < 0 || static_cast<std::size_t>(written) != decoded.size()) {
    throw ValueError("invalid Base64");
  }
  // The decoder counts the padding as zero bytes; drop them.
  decoded.resize(decoded.size() - padding);
  return decoded;
}

}  // namespace detail

namespace {

constexpr const char* kEncryptionKeyEnv = "TAVOREN_ENCRYPTION_KEY";

// The argument, or TAVOREN_ENCRYPTION_KEY when the argument is empty; empty
// when neither is set.
std::string resolve_encryption_key(const std::string& encryption_key) {
  if (!encryption_key.empty()) return encryption_key;
  return get_env(kEncryptionKeyEnv).value_or("");
}

std::string encrypt_key(std::string_view aes_key, std::string_view key) {
  std::string nonce(detail::kNonceSize, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()),
                 static_cast<int>(detail::kNonceSize)) != 1) {
    throw std::runtime_error("cannot draw a random nonce");
  }
  return detail::base64_encode(nonce + detail::aes_gcm_encrypt(aes_key, nonce, key));
}

std::string decrypt_key(std::string_view aes_key, std::string_view encoded, const char* which) {
  const std::string data = detail::base64_decode(encoded);
  if (data.size() < detail::kNonceSize + detail::kTagSize) {
    throw ValueError(std::string("encrypted ") + which + " is too short (" +
                     std::to_string(data.size()) + " bytes)");
  }
  const std::string_view view(data);
  std::string plaintext;
  try {
    plaintext = detail::aes_gcm_decrypt(aes_key, view.substr(0, detail::kNonceSize),
                                        view.substr(detail::kNonceSize));
  } catch (const ValueError& e) {
    throw ValueError(std::string("cannot decrypt the ") + which + ": " + e.what());
  }
  detail::Wipe wipe(plaintext);
  return replace_invalid_utf8(plaintext);
}

}  // namespace

std::string encrypt_text(std::string_view plaintext, std::string_view encryption_key) {
  return encrypt_key(encryption_key, plaintext);
}

std::string decrypt_text(std::string_view sealed, std::string_view encryption_key) {
  return decrypt_key(encryption_key, sealed, "text");
}

std::optional<KeyPair> get_encrypted_access_key_pair(const std::string& access_key,
                                                     const std::string& secret_key,
                                                     const std::string& encryption_key) {
  return log_errors("get_encrypted_access_key_pair", {.default_return = std::nullopt},
                    [&]() -> std::optional<KeyPair> {
                      std::string aes_key = resolve_encryption_key(encryption_key);
                      detail::Wipe wipe(aes_key);
                      if (aes_key.empty()) {
                        log::warning("Encryption key is not set, returning unencrypted keys");
                        return KeyPair{access_key, secret_key};
                      }
                      KeyPair encrypted;
                      encrypted.access_key = encrypt_key(aes_key, access_key);
                      encrypted.secret_key = encrypt_key(aes_key, secret_key);
                      return encrypted;
                    });
}

std::optional<KeyPair> get_decrypted_access_key_pair(const std::string& enc_access_key,
                                                     const std::string& enc_secret_key,
                                                     const std::string& encryption_key) {
  return log_errors(
      "get_decrypted_access_key_pair", {.default_return = std::nullopt},
      [&]() -> std::optional<KeyPair> {
        std::string aes_key = resolve_encryption_key(encryption_key);
        detail::Wipe wipe(aes_key);
        if (aes_key.empty()) {
          log::warning("Encryption key is not set, Will assume that the keys are not encrypted");
          return KeyPair{enc_access_key, enc_secret_key};
        }
        KeyPair decrypted;
        decrypted.access_key = decrypt_key(aes_key, enc_access_key, "access key");
        decrypted.secret_key = decrypt_key(aes_key, enc_secret_key, "secret key");
        return decrypted;
      });
}

// ---------------------------------------------------------------------------
// Timestamps.

namespace {

// One parsed timestamp: whole seconds (UTC when an offset was given, else
// the wall-clock reading as written) and the fraction in nanoseconds.
struct Timestamp {
  std::int64_t seconds = 0;
  std::int64_t nanos = 0;
  bool has_offset = false;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Two decimal digits at the start of `text`, or -1.
int two_digits(std::string_view text) {
  if (text.size() < 2 || !is_digit(text[0]) || !is_digit(text[1])) return -1;
  return (text[0] - '0') * 10 + (text[1] - '0');
}

// Reads "+HH:MM" or "+HHMM" (or "-"), hours below 24 and minutes below 60.
std::optional<std::chrono::minutes> parse_offset(std::string_view text) {
  if (text.size() != 5 && text.size() != 6) return std::nullopt;
  if (text[0] != '+' && text[0] != '-') return std::nullopt;
  if (text.size() == 6 && text[3] != ':') return std::nullopt;
  const int hours = two_digits(text.substr(1));
  const int minutes = two_digits(text.substr(text.size() - 2));
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
  const std::chrono::minutes offset(hours * 60 + minutes);
  return text[0] == '-' ? -offset : offset;
}

// Parses "<date>T<time>[.fraction][offset]" ("T" or one blank between date
// and time; time as hours:minutes:seconds). The whole text must be used.
std::optional<Timestamp> parse_timestamp(std::string_view text) {
  const std::size_t separator = text.find_first_of("T ");
  if (separator == std::string_view::npos) return std::nullopt;
  const std::string_view date_part = text.substr(0, separator);
  std::string_view rest = text.substr(separator + 1);
  const std::size_t time_end = std::min(rest.find_first_of(".+-"), rest.size());
  const std::string_view time_part = rest.substr(0, time_end);
  rest.remove_prefix(time_end);

  Timestamp stamp;
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits])) ++digits;
    if (digits == 0) return std::nullopt;
    // Nanoseconds: the first nine digits, later ones dropped.
    std::int64_t scale = 100'000'000;
    for (std::size_t k = 0; k < digits && k < 9; ++k, scale /= 10) {
      stamp.nanos += (rest[k] - '0') * scale;
    }
    rest.remove_prefix(digits);
  }
  std::chrono::minutes offset{0};
  if (!rest.empty()) {
    const auto parsed = parse_offset(rest);
    if (!parsed) return std::nullopt;
    offset = *parsed;
    stamp.has_offset = true;
  }

  if (date_part.empty() || !is_digit(date_part.front())) return std::nullopt;
  std::istringstream in(std::string(date_part) + "T" + std::string(time_part));
  date::sys_seconds wall;
  in >> date::parse("%Y-%m-%dT%H:%M:%S", wall);
  if (in.fail() || in.peek() != std::istringstream::traits_type::eof()) return std::nullopt;
  stamp.seconds = (wall - offset).time_since_epoch().count();
  return stamp;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::optional<Timestamp> parse_provider_timestamp(const std::string& provider,
                                                  const std::string& text) {
  if (provider == "AWS" || provider == "OCI" || provider == "LAMBDA") {
    return parse_timestamp(text.substr(0, text.find('.')) + "+00:00");
  }
  return parse_timestamp(replace_all(text, "Z", "+00:00"));
}

}  // namespace

long long calculate_time_difference(const std::string& start_time_str,
                                    const std::string& finish_time_str) {
  return log_errors("calculate_time_difference", {.default_return = 0LL, .log_error = false},
                    [&]() -> long long {
                      const auto provider = config::service_provider();
                      if (!provider) throw ValueError("SERVICE_PROVIDER is not set");
                      const auto start = parse_provider_timestamp(*provider, start_time_str);
                      const auto finish = parse_provider_timestamp(*provider, finish_time_str);
                      if (!start || !finish) throw ValueError("unparsable timestamp");
                      if (start->has_offset != finish->has_offset) {
                        throw ValueError("cannot compare timestamps with and without offset");
                      }
                      long long seconds = finish->seconds - start->seconds;
                      const long long nanos = finish->nanos - start->nanos;  // |nanos| < 1 s
                      // Truncate toward zero.
                      if (seconds > 0 && nanos < 0) --seconds;
                      if (seconds < 0 && nanos > 0) ++seconds;
                      return seconds;
                    });
}

}  // namespace tavoren::host_probe
