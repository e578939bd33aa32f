// Nonces remembered by callers at the same time, written to the database
// together. Internal to the store core.
//
// The first caller writes every nonce waiting at that moment (at most
// kMaxBatch) in one statement and the others wait for its answer; callers
// arriving meanwhile form the next batch, led by one of them. No timer:
// a caller alone writes at once.
//
// Threads: remember may be called from any number of threads at once.
// Failures: whatever the write throws is rethrown to every caller of its
// batch. Time limits: those of the write, once per batch ahead of a caller.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavoren::backend::core_internal {

struct NonceEntry {
  std::string access_key;
  std::string nonce;
  std::int64_t expires_at = 0;
};

class NonceBatch {
 public:
  static constexpr std::size_t kMaxBatch = 32;
  using Key = std::pair<std::string, std::string>;
  // Writes a batch of distinct (access key, nonce) pairs and answers those
  // it found fresh.
  using Write = std::function<std::set<Key>(const std::vector<NonceEntry>& batch)>;

  explicit NonceBatch(Write write) : write_(std::move(write)) {}

  // Whether the nonce was fresh. The same pair twice in one batch is fresh
  // at most once.
  bool remember(const NonceEntry& entry);
  // Callers not yet taken into a batch.
  std::size_t waiting() const;

 private:
  struct Waiter {
    const NonceEntry* entry = nullptr;
    bool done = false;
    bool fresh = false;
    std::exception_ptr error;
  };
  // Writes the next batch; called with `lock` held, which it lets go of
  // while it writes.
  void lead(std::unique_lock<std::mutex>& lock);

  const Write write_;
  mutable std::mutex mutex_;
  std::condition_variable written_;
  std::deque<Waiter*> queue_;
  bool writing_ = false;
};

}  // namespace tavoren::backend::core_internal
