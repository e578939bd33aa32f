// The bounded, expiring set of recent nonces.

#include <algorithm>
#include <string>
#include <string_view>

#include "tavoren/protocol_signing.h"

namespace tavoren::backend::wire {

NonceCache::NonceCache(std::size_t capacity, std::size_t quota)
    : capacity_(capacity), quota_(quota != 0 ? quota : std::max<std::size_t>(1, capacity / 16)) {}

void NonceCache::drop_expired(std::chrono::system_clock::time_point now) {
  auto oldest = by_expiry_.begin();
  while (oldest != by_expiry_.end() && oldest->first < now) {
    const std::string_view key = oldest->second;
    const auto count = count_of_.find(key.substr(0, key.find('\n')));
    if (count != count_of_.end() && --count->second == 0) count_of_.erase(count);
    expiry_of_.erase(oldest->second);
    oldest = by_expiry_.erase(oldest);
  }
}

NonceCache::Outcome NonceCache::remember(std::string_view scope, std::string_view nonce,
                                         std::chrono::system_clock::time_point expires_at,
                                         std::chrono::system_clock::time_point now) {
  std::string key;
  key.reserve(scope.size() + nonce.size() + 1);
  key.append(scope).append(1, '\n').append(nonce);

  const std::lock_guard<std::mutex> lock(mutex_);
  drop_expired(now);
  if (expiry_of_.find(key) != expiry_of_.end()) return Outcome::kReplayed;
  if (expiry_of_.size() >= capacity_) return Outcome::kFull;
  auto count = count_of_.find(scope);
  if (count != count_of_.end() && count->second >= quota_) return Outcome::kOverQuota;
  if (count == count_of_.end()) count = count_of_.emplace(std::string(scope), 0).first;
  ++count->second;
  expiry_of_.emplace(key, expires_at);
  by_expiry_.emplace(expires_at, std::move(key));
  return Outcome::kFresh;
}

std::size_t NonceCache::size() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return expiry_of_.size();
}

}  // namespace tavoren::backend::wire
