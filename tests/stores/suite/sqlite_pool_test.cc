// The connection pool of the embedded backend's database: the writers of
// one process take turns before SQLite's lock, a turn is waited for no
// longer than the busy time-out, and the write-ahead log is copied back
// off the writers' path.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
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

// A commit that leaves a thousand pages or more in the log has them copied
// back into the file by the checkpointer's thread, while the writer's
// connection stays open (its log is not removed at close first); a small
// commit asks for nothing.
TEST(SqlitePoolTest, ALargeLogIsCopiedBackByTheCheckpointersThread) {
  testing::TempDir dir;
  const std::filesystem::path path = dir.path() / "pool.db";
  Checkpointer checkpointer(path, std::chrono::seconds(30));
  Connection writer(path, std::chrono::seconds(30));
  checkpointer.watch(writer);
  writer.exec("CREATE TABLE pieces (content BLOB)");
  const auto wait_for_copies = [&](std::uint64_t copies) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (checkpointer.copies() < copies && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return checkpointer.copies();
  };

  const auto file_size = [&] { return std::filesystem::file_size(path); };
  const std::uintmax_t empty = file_size();
  {
    Transaction transaction(writer, Transaction::Kind::write);
    // About 6 MiB: some 1,500 pages of 4 KiB.
    writer.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500) "
        "INSERT INTO pieces SELECT randomblob(4000) FROM n");
    transaction.commit();
  }
  EXPECT_EQ(wait_for_copies(1), 1u);
  EXPECT_GT(file_size(), empty + 5u * 1024 * 1024);

  writer.exec("INSERT INTO pieces VALUES (x'00')");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(checkpointer.copies(), 1u);
}

}  // namespace
}  // namespace tavoren::backend::sqlite
