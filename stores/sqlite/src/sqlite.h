// A thin layer over SQLite's C interface: connections with cached prepared
// statements, scoped transactions and a pool of connections to one file.
//
// Every failure of SQLite becomes a DatabaseError naming what was attempted
// and SQLite's own message. A connection is used by one thread at a time;
// the pool hands each caller a connection of its own.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tavoren::backend::sqlite {

class Connection;

// One execution of a cached prepared statement. Bindings and the
// statement's cursor are reset when the object goes out of scope, so the
// statement is ready for the next user.
class Statement {
 public:
  // `owned`: a statement prepared for this use only, finalized afterwards
  // (the cached one was in use further up the same thread's call).
  Statement(Connection& connection, sqlite3_stmt* statement, bool owned);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters are numbered from 1.
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, std::int64_t value);
  Statement& bind_blob(int index, std::string_view bytes);
  Statement& bind_null(int index);

  // Advances to the next row; false when there is none.
  bool step();
  // Runs a statement that yields no rows.
  void run();

  // How many columns each row has.
  int columns() const;
  // Columns of the current row, numbered from 0.
  bool is_null(int column);
  std::string text(int column);
  std::int64_t integer(int column);

 private:
  Connection& connection_;
  sqlite3_stmt* statement_;
  bool owned_;
};

class Connection {
 public:
  // Opens (creating when missing) the file in write-ahead log mode with the
  // given busy time-out and foreign keys enforced.
  Connection(const std::filesystem::path& path, std::chrono::milliseconds busy_timeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs statements without parameters (pragmas, schema, BEGIN/COMMIT).
  void exec(const char* sql);
  // The prepared statement for `sql`, prepared once per connection.
  Statement prepare(const char* sql);
  // The value of a pragma that yields one integer.
  std::int64_t pragma_integer(const char* sql);

  // Whether a transaction is open.
  bool in_transaction() const;
  // Rows changed by the last INSERT, UPDATE or DELETE on this connection.
  std::int64_t changes() const;

  // Throws a DatabaseError for the result code `rc` while doing `what`.
  [[noreturn]] void fail(int rc, std::string_view what) const;

  // Calls `hook` after each commit of this connection with the pages now
  // in the write-ahead log, instead of copying them back at 1,000 pages in
  // the committing call itself.
  void on_commit(int (*hook)(void* context, sqlite3*, const char* db, int pages), void* context);
  // Copies what it can of the write-ahead log back into the file, waiting
  // for no reader or writer (a passive checkpoint).
  void checkpoint();

 private:
  friend class Statement;
  struct Cached {
    sqlite3_stmt* statement = nullptr;
    bool in_use = false;
  };
  void release(sqlite3_stmt* statement);

  sqlite3* db_ = nullptr;
  std::map<std::string, Cached, std::less<>> statements_;
};

// A transaction on one connection, rolled back unless committed.
class Transaction {
 public:
  enum class Kind {
    // Takes the write lock at once (waiting up to the busy time-out): for
    // every transaction that writes, so it never fails half-way on a lock.
    write,
    // A consistent snapshot for several reads.
    read,
  };
  Transaction(Connection& connection, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

// Creates the database file `path` with mode 0600 when it is missing, and
// closes it, its -wal and its -shm file to other users when an older
// program left them readable (where this user owns them). Failures are left
// for SQLite's open to report.
void protect_database_files(const std::filesystem::path& path);

// Copies a file's write-ahead log back into it on a thread of its own,
// once a commit left at least kPages pages in the log, so that no writer
// waits for that copy (and its flush to disk) in its turn. Should the log
// still reach kInlinePages, the committing writer copies it itself, which
// bounds the log. The thread starts at the first request and is joined by
// the destructor; a failed copy is logged and tried again at the next
// request.
class Checkpointer {
 public:
  static constexpr int kPages = 1000;
  static constexpr int kInlinePages = 16000;

  Checkpointer(std::filesystem::path path, std::chrono::milliseconds busy_timeout);
  ~Checkpointer();
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // Makes `connection`'s commits hand their log to this checkpointer.
  void watch(Connection& connection);
  // Copies done so far by the thread (for tests).
  std::uint64_t copies() const;

 private:
  static int committed(void* context, sqlite3* db, const char* name, int pages);
  void request();
  void run();

  const std::filesystem::path path_;
  const std::chrono::milliseconds busy_timeout_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
  bool stopping_ = false;
  std::uint64_t copies_ = 0;
  std::thread thread_;
};

// Connections to one file, each lent to one caller at a time. Connections
// are opened on demand; a few idle ones are kept for reuse, and their
// write-ahead log is copied back by a Checkpointer. The constructor
// protects the file (protect_database_files).
class Pool {
 public:
  Pool(std::filesystem::path path, std::chrono::milliseconds busy_timeout);
  ~Pool();

  class Lease {
   public:
    Lease(Pool& pool, std::unique_ptr<Connection> connection);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& operator*() { return *connection_; }
    Connection* operator->() { return connection_.get(); }

   private:
    Pool& pool_;
    std::unique_ptr<Connection> connection_;
  };

  Lease acquire();

  // The turn of one writer of this process: held around a write
  // transaction, so that the writers of one process queue here in order
  // instead of in SQLite's busy handler, which polls with sleeps of up to
  // 100 ms and hands the lock to whoever wakes first. Waits at most the
  // busy time-out, then throws DatabaseError as a busy database does.
  class WriterTurn {
   public:
    explicit WriterTurn(Pool& pool) : pool_(&pool) {}
    WriterTurn(WriterTurn&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
    WriterTurn(const WriterTurn&) = delete;
    WriterTurn& operator=(const WriterTurn&) = delete;
    WriterTurn& operator=(WriterTurn&&) = delete;
    ~WriterTurn();

   private:
    Pool* pool_;
  };
  WriterTurn writer_turn();

 private:
  void give_back(std::unique_ptr<Connection> connection);

  static constexpr std::size_t kMaxIdle = 4;
  const std::filesystem::path path_;
  const std::chrono::milliseconds busy_timeout_;
  // Declared before the connections: it outlives none of their commits.
  Checkpointer checkpointer_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  // The writers' turn: a flag and a condition variable rather than a timed
  // mutex, whose timed wait the thread sanitizer cannot follow.
  std::mutex turn_mutex_;
  std::condition_variable turn_free_;
  bool turn_taken_ = false;
};

}  // namespace tavoren::backend::sqlite
