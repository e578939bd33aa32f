#include "sessions.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "tavoren/common/text.h"
#include "tavoren/protocol_signing.h"

namespace tavoren::web {

namespace wire = backend::wire;

namespace {

constexpr std::string_view kChallengePrefix = "tavoren-web-sign-in:v1:";
constexpr std::string_view kSessionPrefix = "v1.";

bool lower_hex(std::string_view text, std::size_t size) {
  return text.size() == size && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string new_challenge(std::string_view key, std::int64_t now_ms) {
  const std::string body =
      std::string(kChallengePrefix) + std::to_string(now_ms) + ":" + wire::new_nonce();
  return body + ":" + wire::hmac_sha256_hex(key, body);
}

std::optional<Challenge> check_challenge(std::string_view key, std::string_view text,
                                         std::int64_t now_ms, std::chrono::milliseconds lifetime) {
  if (!text.starts_with(kChallengePrefix) || text.size() > 256) return std::nullopt;
  const std::size_t tag_at = text.rfind(':');
  const std::string_view body = text.substr(0, tag_at);
  if (!same_text(text.substr(tag_at + 1), wire::hmac_sha256_hex(key, body))) return std::nullopt;
  const std::string_view rest = body.substr(kChallengePrefix.size());
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<std::int64_t> issued = plain_count(rest.substr(0, colon));
  const std::string_view nonce = rest.substr(colon + 1);
  if (!issued || !lower_hex(nonce, 32)) return std::nullopt;
  const std::int64_t expires = *issued + lifetime.count();
  // A little of the future is allowed: the servers' clocks differ.
  if (*issued > now_ms + 5000 || expires <= now_ms) return std::nullopt;
  return Challenge{std::string(nonce), expires};
}

bool UsedChallenges::use(const std::string& nonce, std::int64_t expires_ms, std::int64_t now_ms) {
  std::scoped_lock lock(mutex_);
  std::erase_if(used_, [&](const auto& entry) { return entry.second <= now_ms; });
  while (used_.size() >= kMostKept) {
    used_.erase(std::min_element(used_.begin(), used_.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; }));
  }
  return used_.emplace(nonce, expires_ms).second;
}

std::string session_value(std::string_view key, std::string_view access_key,
                          std::int64_t expires_ms) {
  const std::string body =
      std::string(kSessionPrefix) + std::string(access_key) + "." + std::to_string(expires_ms);
  return body + "." + wire::hmac_sha256_hex(key, "tavoren-web-session:" + body);
}

std::optional<SessionCookie> session_of(std::string_view key, std::string_view cookies,
                                        std::int64_t now_ms) {
  for (const std::string& part : split(std::string(cookies), ';')) {
    const std::string cookie = trim(part);
    const std::size_t equals = cookie.find('=');
    if (equals == std::string::npos || cookie.substr(0, equals) != kSessionCookie) continue;
    const std::string value = cookie.substr(equals + 1);
    if (!value.starts_with(kSessionPrefix) || value.size() > 256) return std::nullopt;
    const std::size_t tag_at = value.rfind('.');
    const std::string body = value.substr(0, tag_at);
    if (!same_text(value.substr(tag_at + 1),
                   wire::hmac_sha256_hex(key, "tavoren-web-session:" + body))) {
      return std::nullopt;
    }
    const std::string rest = body.substr(kSessionPrefix.size());
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    const std::optional<std::int64_t> expires = plain_count(std::string_view(rest).substr(dot + 1));
    if (!expires || *expires <= now_ms) return std::nullopt;
    return SessionCookie{rest.substr(0, dot), *expires};
  }
  return std::nullopt;
}

}  // namespace tavoren::web
