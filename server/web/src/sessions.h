// The sign-in's challenges and the session cookies: texts signed with the
// web-session key, so that any server of the store checks what another
// made. Not synchronised except UsedChallenges.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tavoren::web {

// "tavoren-web-sign-in:v1:ISSUED:NONCE:TAG": ISSUED in milliseconds since
// the epoch, NONCE 32 random lowercase hexadecimal digits, TAG the
// HMAC-SHA256 (hex) of everything before it under `key`.
std::string new_challenge(std::string_view key, std::int64_t now_ms);

struct Challenge {
  std::string nonce;
  std::int64_t expires_ms = 0;
};
// The challenge's nonce and end, when `text` is one made with `key` that
// is neither from the future nor older than `lifetime`.
std::optional<Challenge> check_challenge(std::string_view key, std::string_view text,
                                         std::int64_t now_ms, std::chrono::milliseconds lifetime);

// The challenges used within their lifetime, each once. Bounded: when full,
// the oldest are forgotten first (they expire first). Thread-safe.
class UsedChallenges {
 public:
  // False when `nonce` was used already.
  bool use(const std::string& nonce, std::int64_t expires_ms, std::int64_t now_ms);

 private:
  static constexpr std::size_t kMostKept = 100'000;
  std::mutex mutex_;
  std::map<std::string, std::int64_t> used_;
};

// The session cookie's value: "v1.ACCESS_KEY.EXPIRES_MS.TAG".
std::string session_value(std::string_view key, std::string_view access_key,
                          std::int64_t expires_ms);

struct SessionCookie {
  std::string access_key;
  std::int64_t expires_ms = 0;
};
// The session the cookie header `cookies` carries (name kSessionCookie),
// when its tag holds under `key` and it has not expired.
std::optional<SessionCookie> session_of(std::string_view key, std::string_view cookies,
                                        std::int64_t now_ms);

inline constexpr std::string_view kSessionCookie = "tavoren_session";

// Whether two texts are equal, in time that does not depend on where they
// differ.
bool same_text(std::string_view a, std::string_view b);

}  // namespace tavoren::web
