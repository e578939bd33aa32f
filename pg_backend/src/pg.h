// A thin layer over libpq: connections with their time limits, statements
// with parameters, results, and a pool of connections to one database.
//
// Every failure becomes a DatabaseError naming what was attempted and the
// server's primary message (never a parameter's value, never the
// connection's secrets). A connection is used by one thread at a time; the
// pool lends each caller one of its own and drops a connection that broke
// (the database restarted, the network failed), so the next call connects
// afresh.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavoren/backend_store.h"

namespace tavoren::backend::pg {

// How a connection is made and what it may wait for.
struct ConnectionSettings {
  // A postgresql:// URL or key=value connection string without a password
  // (credentials come from the password file or libpq's environment).
  std::string conninfo;
  // Tables are looked up in this schema; empty: the server's default.
  std::string schema;
  std::chrono::milliseconds connect_timeout{5000};
  // Applied to every statement and every lock wait.
  std::chrono::milliseconds statement_timeout{5000};
};

// The parameters of one statement ($1, $2, ... in order).
class Params {
 public:
  // ValueError for a text holding a NUL byte, which PostgreSQL's texts
  // cannot hold.
  Params& text(std::string_view value);
  Params& integer(std::int64_t value);
  Params& boolean(bool value);
  // Raw bytes for a bytea column, sent as they are.
  Params& bytes(std::string_view value);
  Params& null();

 private:
  friend class Connection;
  std::vector<std::string> values_;
  std::vector<bool> is_null_;
  std::vector<bool> binary_;
};

// The rows of one statement's result.
class Rows {
 public:
  explicit Rows(PGresult* result) : result_(result) {}
  Rows(Rows&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  Rows& operator=(Rows&&) = delete;
  ~Rows();

  int size() const;
  bool empty() const { return size() == 0; }
  bool is_null(int row, int column) const;
  std::string text(int row, int column) const;
  std::int64_t integer(int row, int column) const;
  bool boolean(int row, int column) const;
  // A bytea column (sent as hexadecimal text) as its bytes.
  std::string bytes(int row, int column) const;
  // Rows changed by an INSERT, UPDATE or DELETE.
  std::int64_t affected() const;

 private:
  PGresult* result_;
};

// A statement the server refused, with its SQLSTATE ("" when the
// connection failed).
class Failure : public DatabaseError {
 public:
  Failure(const std::string& message, std::string sqlstate)
      : DatabaseError(message), sqlstate_(std::move(sqlstate)) {}
  const std::string& sqlstate() const { return sqlstate_; }

 private:
  std::string sqlstate_;
};

class Connection {
 public:
  // Connects; DatabaseError when it cannot within connect_timeout.
  explicit Connection(const ConnectionSettings& settings);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Rows exec(const char* sql, const Params& params = Params());
  // Runs statements without parameters, several separated by ";" (the
  // schema's migrations).
  void exec_script(const char* sql);
  // Whether the connection is lost (it is then dropped, not reused).
  bool broken() const;
  // Whether a transaction is open or failed on it.
  bool in_transaction() const;

 private:
  PGconn* connection_ = nullptr;
};

// Checks a connection string before use: refused (ValueError) when it does
// not parse or carries a password. The message never holds the string.
void check_conninfo(const std::string& conninfo);
// Whether `name` may be used as a schema name as it is (lowercase letters,
// digits and "_", not starting with a digit, at most 63 characters).
bool is_plain_identifier(std::string_view name);

// Connections to one database, at most max_connections at once.
class Pool {
 public:
  Pool(ConnectionSettings settings, std::size_t max_connections,
       std::chrono::milliseconds acquire_timeout);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  class Lease {
   public:
    Lease(Pool& pool, std::unique_ptr<Connection> connection);
    Lease(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    Connection& operator*() { return *connection_; }
    Connection* operator->() { return connection_.get(); }
    // Closes this connection instead of lending it again.
    void discard();

   private:
    Pool* pool_;
    std::unique_ptr<Connection> connection_;
  };

  // An idle connection or a new one; waits up to acquire_timeout for one
  // while max_connections are lent, then throws DatabaseError.
  Lease acquire();
  // Closes the idle connections: after one was found broken, the others
  // (opened before the same restart) are likely broken too.
  void drop_idle();

 private:
  void give_back(std::unique_ptr<Connection> connection);

  const ConnectionSettings settings_;
  const std::size_t max_connections_;
  const std::chrono::milliseconds acquire_timeout_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::size_t lent_ = 0;
};

}  // namespace tavoren::backend::pg
