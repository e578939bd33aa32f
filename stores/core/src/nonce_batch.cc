#include "nonce_batch.h"

namespace tavoren::backend::core_internal {

bool NonceBatch::remember(const NonceEntry& entry) {
  Waiter me{&entry};
  std::unique_lock lock(mutex_);
  queue_.push_back(&me);
  while (!me.done) {
    if (writing_) {
      written_.wait(lock);
    } else {
      lead(lock);
    }
  }
  if (me.error) std::rethrow_exception(me.error);
  return me.fresh;
}

std::size_t NonceBatch::waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void NonceBatch::lead(std::unique_lock<std::mutex>& lock) {
  writing_ = true;
  std::vector<Waiter*> batch;
  while (!queue_.empty() && batch.size() < kMaxBatch) {
    batch.push_back(queue_.front());
    queue_.pop_front();
  }
  lock.unlock();
  std::vector<NonceEntry> distinct;
  std::set<Key> seen;
  for (const Waiter* waiter : batch) {
    if (seen.emplace(waiter->entry->access_key, waiter->entry->nonce).second) {
      distinct.push_back(*waiter->entry);
    }
  }
  std::set<Key> fresh;
  std::exception_ptr error;
  try {
    fresh = write_(distinct);
  } catch (...) {
    // Passed on to every caller of the batch, which rethrows it.
    error = std::current_exception();
  }
  lock.lock();
  for (Waiter* waiter : batch) {
    waiter->error = error;
    // Erased once found: a second of the same pair is not fresh.
    waiter->fresh = !error && fresh.erase({waiter->entry->access_key, waiter->entry->nonce}) > 0;
    waiter->done = true;
  }
  writing_ = false;
  written_.notify_all();
}

}  // namespace tavoren::backend::core_internal
