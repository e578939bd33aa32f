#include "tavoren/child_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace tavoren {
namespace {

using namespace std::chrono_literals;
using Stage = ChildEnd::Stage;

// Runs `body` on `count` threads released together; returns how many
// returned true.
template <typename Body>
int run_together(int count, Body body) {
  std::atomic<bool> go{false};
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      if (body()) ++wins;
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  return wins.load();
}

// The log thread, is_running, stop and the destructor race for the end:
// one takes it, and a taker that could not see the end hands it back.
TEST(ChildEnd, OneThreadTakesTheEndAndItIsOpenAgainOnlyWhenHandedBack) {
  ChildEnd end;
  EXPECT_EQ(end.stage(), Stage::open);
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(run_together(8, [&] { return end.take(); }), 1) << round;
    EXPECT_EQ(end.stage(), Stage::taken);
    EXPECT_FALSE(end.take());
    end.settle(false);
    EXPECT_EQ(end.stage(), Stage::open);
  }
}

TEST(ChildEnd, AFinishedEndIsNeverTakenAgain) {
  ChildEnd end;
  ASSERT_TRUE(end.take());
  end.settle(true);
  EXPECT_EQ(end.stage(), Stage::finished);
  EXPECT_EQ(run_together(8, [&] { return end.take(); }), 0);
  // A stray settle cannot reopen it, and a new launch leaves it finished.
  end.settle(false);
  end.launched();
  EXPECT_EQ(end.stage(), Stage::finished);
  EXPECT_FALSE(end.take());
}

TEST(ChildEnd, TheEndIsLoggedOnceWhoeverRecordsIt) {
  ChildEnd end;
  EXPECT_EQ(run_together(8, [&] { return end.claim_log_line(); }), 1);
  EXPECT_FALSE(end.claim_log_line());
}

// What the unit learns about the child is kept apart from who records it.
TEST(ChildEnd, FactsAboutTheChildAreKeptApartFromTheStage) {
  ChildEnd end;
  EXPECT_FALSE(end.gone());
  EXPECT_FALSE(end.reported());
  EXPECT_FALSE(end.watched());
  EXPECT_FALSE(end.detached());

  end.set_watched(true);
  EXPECT_TRUE(end.watched());
  ASSERT_TRUE(end.take());
  end.mark_gone();
  end.mark_reported();
  end.set_watched(false);
  end.settle(true);
  EXPECT_TRUE(end.gone());
  EXPECT_TRUE(end.reported());
  EXPECT_FALSE(end.watched());
  EXPECT_FALSE(end.detached());

  // A new child is not gone; what was reported stays reported.
  end.launched();
  EXPECT_FALSE(end.gone());
  EXPECT_TRUE(end.reported());

  end.mark_detached();
  EXPECT_TRUE(end.detached());
}

TEST(ChildEnd, RecordingFromSeveralThreadsIsSeenByAll) {
  ChildEnd end;
  std::atomic<int> seen{0};
  std::thread recorder([&] {
    ASSERT_TRUE(end.take());
    end.mark_gone();
    end.mark_reported();
    end.settle(true);
  });
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (end.stage() != Stage::finished) std::this_thread::yield();
      // Settled after the facts: whoever sees it finished sees them too.
      if (end.gone() && end.reported()) ++seen;
    });
  }
  recorder.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(seen.load(), 4);
}

TEST(ChildEnd, ARetryWaitsItsTimeUnlessTheDeliveryIsGivenUp) {
  ChildEnd end;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(end.wait_to_retry(begin + 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 30ms);

  // Given up from another thread, a long wait ends at once.
  std::thread destructor([&] {
    std::this_thread::sleep_for(20ms);
    end.give_up_delivery();
  });
  const auto waiting = std::chrono::steady_clock::now();
  EXPECT_FALSE(end.wait_to_retry(waiting + 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - waiting, 5s);
  destructor.join();

  // And every later retry too.
  EXPECT_FALSE(end.wait_to_retry(std::chrono::steady_clock::now() + 10s));
}

}  // namespace
}  // namespace tavoren
