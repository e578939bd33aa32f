// Access-key pairs in the agent's encrypted form (each key sealed as
// tavoren/common/sealing.h says, under TAVOREN_ENCRYPTION_KEY), and
// durations between backend timestamps.

#include <date/date.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/sealing.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {

namespace {

constexpr const char* kEncryptionKeyEnv = "TAVOREN_ENCRYPTION_KEY";

// The argument, or TAVOREN_ENCRYPTION_KEY when the argument is empty; empty
// when neither is set.
std::string resolve_encryption_key(const std::string& encryption_key) {
  if (!encryption_key.empty()) return encryption_key;
  return get_env(kEncryptionKeyEnv).value_or("");
}

}  // namespace

std::optional<KeyPair> get_encrypted_access_key_pair(const std::string& access_key,
                                                     const std::string& secret_key,
                                                     const std::string& encryption_key) {
  return log_errors("get_encrypted_access_key_pair", {.default_return = std::nullopt},
                    [&]() -> std::optional<KeyPair> {
                      std::string aes_key = resolve_encryption_key(encryption_key);
                      sealing::Wipe wipe(aes_key);
                      if (aes_key.empty()) {
                        log::warning("Encryption key is not set, returning unencrypted keys");
                        return KeyPair{access_key, secret_key};
                      }
                      KeyPair encrypted;
                      encrypted.access_key = sealing::seal_text(access_key, aes_key);
                      encrypted.secret_key = sealing::seal_text(secret_key, aes_key);
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
        sealing::Wipe wipe(aes_key);
        if (aes_key.empty()) {
          log::warning("Encryption key is not set, Will assume that the keys are not encrypted");
          return KeyPair{enc_access_key, enc_secret_key};
        }
        KeyPair decrypted;
        decrypted.access_key = sealing::open_text(enc_access_key, aes_key, "access key");
        decrypted.secret_key = sealing::open_text(enc_secret_key, aes_key, "secret key");
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
