// Nonces remembered at the same time are written together: one statement
// for every caller waiting, each caller told whether its own nonce was
// fresh, a pair twice in one batch fresh once, and a failed write the
// failure of every caller of its batch.

#include "nonce_batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavoren::backend::core_internal {
namespace {

using namespace std::chrono_literals;

// A database of nonces in memory, which records each batch written.
class FakeNonces {
 public:
  std::set<NonceBatch::Key> write(const std::vector<NonceEntry>& batch) {
    std::unique_lock lock(mutex_);
    batches_.push_back(batch.size());
    // The first write waits until the test lets it go, so that the next
    // callers queue behind it.
    if (batches_.size() == 1) released_.wait(lock, [&] { return release_; });
    if (fail_) throw std::runtime_error("the database is gone");
    std::set<NonceBatch::Key> fresh;
    for (const NonceEntry& entry : batch) {
      if (seen_.emplace(entry.access_key, entry.nonce).second) {
        fresh.emplace(entry.access_key, entry.nonce);
      }
    }
    return fresh;
  }
  void release() {
    std::lock_guard lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  void fail() {
    std::lock_guard lock(mutex_);
    fail_ = true;
  }
  std::vector<std::size_t> batches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  bool fail_ = false;
  std::set<NonceBatch::Key> seen_;
  std::vector<std::size_t> batches_;
};

// Waits (a bounded while) until the first write is out.
void wait_for_first_write(FakeNonces& database) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (database.batches().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(database.batches().size(), 1u);
}

// Waits (a bounded while) until `count` callers queue behind the writer.
void wait_for_waiting(const NonceBatch& batch, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (batch.waiting() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(batch.waiting(), count);
}

TEST(NonceBatchTest, CallersWaitingTogetherShareOneWriteAndEachLearnsItsOwnAnswer) {
  FakeNonces database;
  NonceBatch batch([&](const std::vector<NonceEntry>& entries) { return database.write(entries); });
  std::thread first([&] { EXPECT_TRUE(batch.remember({"key", "n0", 1})); });
  wait_for_first_write(database);
  // While the first write is out, five callers queue: n1 twice, n2, and
  // n0 again, which the first write makes a replay.
  const std::vector<std::string> nonces = {"n1", "n1", "n2", "n0", "n3"};
  std::atomic<int> fresh{0};
  std::vector<std::thread> queued;
  for (const std::string& nonce : nonces) {
    wait_for_waiting(batch, queued.size());
    queued.emplace_back([&, nonce] {
      if (batch.remember({"key", nonce, 1})) ++fresh;
    });
  }
  wait_for_waiting(batch, nonces.size());
  database.release();
  first.join();
  for (std::thread& thread : queued) thread.join();
  EXPECT_EQ(fresh.load(), 3) << "n1 once, n2 and n3";
  // One write for the first caller, one for the five behind it, with the
  // pair written twice sent once.
  EXPECT_EQ(database.batches(), (std::vector<std::size_t>{1, 4}));
  EXPECT_FALSE(batch.remember({"key", "n2", 1}));
  EXPECT_TRUE(batch.remember({"other key", "n2", 1})) << "a nonce is its key's own";
}

TEST(NonceBatchTest, ABatchHoldsAtMostItsLimitAndTheRestFollow) {
  FakeNonces database;
  NonceBatch batch([&](const std::vector<NonceEntry>& entries) { return database.write(entries); });
  std::thread first([&] { EXPECT_TRUE(batch.remember({"key", "first", 1})); });
  wait_for_first_write(database);
  const std::size_t behind = NonceBatch::kMaxBatch + 8;
  std::vector<std::thread> queued;
  for (std::size_t i = 0; i < behind; ++i) {
    queued.emplace_back([&, i] { EXPECT_TRUE(batch.remember({"key", std::to_string(i), 1})); });
  }
  wait_for_waiting(batch, behind);
  database.release();
  first.join();
  for (std::thread& thread : queued) thread.join();
  const std::vector<std::size_t> batches = database.batches();
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[1], NonceBatch::kMaxBatch);
  EXPECT_EQ(batches[2], 8u);
}

TEST(NonceBatchTest, AFailedWriteIsTheFailureOfEveryCallerOfItsBatch) {
  FakeNonces database;
  database.fail();
  NonceBatch batch([&](const std::vector<NonceEntry>& entries) { return database.write(entries); });
  std::atomic<int> failures{0};
  auto remember = [&](const std::string& nonce) {
    try {
      batch.remember({"key", nonce, 1});
    } catch (const std::runtime_error&) {
      ++failures;
    }
  };
  std::thread first(remember, "a");
  wait_for_first_write(database);
  std::thread second(remember, "b");
  wait_for_waiting(batch, 1);
  std::thread third(remember, "c");
  wait_for_waiting(batch, 2);
  database.release();
  first.join();
  second.join();
  third.join();
  EXPECT_EQ(failures.load(), 3);
  EXPECT_EQ(database.batches(), (std::vector<std::size_t>{1, 2}));
}

}  // namespace
}  // namespace tavoren::backend::core_internal
