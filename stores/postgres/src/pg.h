// A thin layer over libpq: connections with their time limits, statements
// with parameters, results, and a pool of connections to one database.
//
// Statements go out in libpq's pipeline mode: a statement whose rows are not
// needed may be deferred, and travels to the server with the next one that
// is waited for, in the same round trip; the server still runs them one
// after the other, in order. Data statements (SELECT, INSERT, UPDATE,
// DELETE, WITH) are prepared on first use and reused by their text on the
// same connection.
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
#include <unordered_map>
#include <utility>
#include <vector>

#include "tavoren/store.h"
#include "tavoren/store_port.h"

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

// The parameters of one statement ($1, $2, ... in order): the store
// port's. A text holding a NUL byte, which PostgreSQL's texts cannot hold,
// is refused (ValueError) by exec and defer before anything is sent.
using Params = core::Params;

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
  int columns() const;
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
  Failure(const std::string& message, std::string sqlstate, std::string table = {})
      : DatabaseError(message), sqlstate_(std::move(sqlstate)), table_(std::move(table)) {}
  const std::string& sqlstate() const { return sqlstate_; }
  // The table a failed constraint belongs to, when the server named one.
  const std::string& table() const { return table_; }

 private:
  std::string sqlstate_;
  std::string table_;
};

class Connection {
 public:
  // Connects; DatabaseError when it cannot within connect_timeout.
  explicit Connection(const ConnectionSettings& settings);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs the deferred statements, then this one, in one round trip, and
  // answers this one's rows. The first failure among them is thrown (a
  // Failure); the statements after it are not run.
  Rows exec(const char* sql, const Params& params = Params());
  // Queues a statement whose rows are not needed, to be sent ahead of the
  // next exec(); a failure of it is thrown by that exec(). Answers its place
  // in this connection's sequence of statements (see drop_deferred_from).
  std::uint64_t defer(std::string sql, Params params = Params());
  // Forgets the deferred statements from place `from` on, and answers
  // whether none of them had been sent yet: when the one at `from` is still
  // queued, the server never saw it nor anything after it. Otherwise every
  // queued statement is forgotten (all of them came after `from`).
  bool drop_deferred_from(std::uint64_t from);
  // As defer(), for a query whose rows are kept when it is sent, to be
  // taken by take_watched(). One such statement at a time.
  std::uint64_t defer_watched(std::string sql, Params params = Params());
  // Whether the watched statement is still queued, not sent yet.
  bool watch_queued() const;
  // The watched statement's rows once it was sent, then forgotten;
  // nullopt before (or when none was watched).
  std::optional<Rows> take_watched();
  // The place of the last statement watched (what defer_watched answered).
  std::uint64_t watched_place() const { return watched_place_; }
  // Runs statements without parameters, several separated by ";" (the
  // schema's migrations). std::logic_error while statements are deferred.
  void exec_script(const char* sql);
  // Whether the connection is lost (it is then dropped, not reused).
  bool broken() const;
  // Whether a transaction is open or failed on it, or statements are still
  // queued on it.
  bool in_transaction() const;
  // Round trips to the server so far (each exec and exec_script is one).
  std::uint64_t round_trips() const { return round_trips_; }

 private:
  struct Statement {
    std::string sql;
    Params params;
    bool watched = false;
  };
  struct Prepared {
    std::string name;
  };
  // Sends the deferred statements and this one as one pipeline and reads
  // every answer; answers this one's.
  Rows run_pipeline(const char* sql, const Params& params);
  // Queues one statement on the pipeline, with its preparation the first
  // time its text is seen; records what each answer it awaits belongs to.
  void send_statement(const char* text, const Params& parameters,
                      std::vector<std::string>& answers);
  // Reads the pipeline's answers up to its sync; answers the last
  // statement's rows, or throws the first failure.
  Rows read_answers(const std::vector<std::string>& answers,
                    std::optional<std::size_t> watched_answer);
  // Marks the connection unusable and forgets the deferred statements;
  // answers the failure to throw.
  Failure give_up(const PGresult* result);

  PGconn* connection_ = nullptr;
  // Set when the pipeline's answers were left unread (the connection is
  // not used again).
  bool unusable_ = false;
  std::vector<Statement> deferred_;
  // The watched statement's result, once read.
  std::optional<Rows> watched_;
  std::uint64_t watched_place_ = 0;
  // Statements sent so far (a deferred one counts once it is sent).
  std::uint64_t sent_ = 0;
  std::uint64_t round_trips_ = 0;
  std::uint64_t names_ = 0;
  std::unordered_map<std::string, Prepared> prepared_;
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
