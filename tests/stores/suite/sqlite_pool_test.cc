// The connection pool of the embedded backend's database: the writers of
// one process take turns before SQLite's lock, and a turn is waited for no
// longer than the busy time-out.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sqlite.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"

namespace tavoren::backend::sqlite {
namespace {

TEST(SqlitePoolTest, AWriterWaitsForTheTurnOfAnotherWriterOfItsProcess) {
  testing::TempDir dir;
  Pool pool(dir.path() / "pool.db", std::chrono::seconds(30));
  std::atomic<bool> second_writes{false};
  std::thread second;
  {
    const auto turn = pool.writer_turn();
    Pool::Lease lease = pool.acquire();
    Transaction transaction(*lease, Transaction::Kind::write);
    lease->exec("CREATE TABLE numbers (n INTEGER)");
    second = std::thread([&] {
      const auto second_turn = pool.writer_turn();
      second_writes = true;
      Pool::Lease second_lease = pool.acquire();
      Transaction second_transaction(*second_lease, Transaction::Kind::write);
      second_lease->exec("INSERT INTO numbers VALUES (2)");
      second_transaction.commit();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(second_writes);
    lease->exec("INSERT INTO numbers VALUES (1)");
    transaction.commit();
  }
  second.join();
  EXPECT_TRUE(second_writes);
  Pool::Lease lease = pool.acquire();
  EXPECT_EQ(lease->pragma_integer("SELECT count(*) FROM numbers"), 2);
}

TEST(SqlitePoolTest, ATurnIsWaitedForAtMostTheBusyTimeOut) {
  testing::TempDir dir;
  Pool pool(dir.path() / "pool.db", std::chrono::milliseconds(50));
  const auto turn = pool.writer_turn();
  bool refused = false;
  std::thread other([&] {
    try {
      pool.writer_turn();
    } catch (const DatabaseError& e) {
      refused = std::string(e.what()).find("locked") != std::string::npos;
    }
  });
  other.join();
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace tavoren::backend::sqlite
