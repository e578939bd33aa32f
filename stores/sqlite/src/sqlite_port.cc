// The store port on SQLite: the core's statements expanded into SQLite's
// SQL, bound and stepped on a borrowed connection.

#include "sqlite_port.h"

#include <atomic>
#include <string>

namespace tavoren::backend::sqlite {
namespace {

const core::Phrases& phrases() {
  static const core::Phrases kPhrases{
      .now = "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')",
      .now_ms = "CAST(round((julianday('now') - 2440587.5) * 86400000.0) AS INTEGER)",
      .lock = "",
      .skip_locked = "",
      .collate_c = "",
      .next_scale_down = "(SELECT coalesce(max(scale_down_seq), 0) + 1 FROM actions)",
      .purge_answers =
          "DELETE FROM write_answers WHERE (caller, idempotency_key) IN (SELECT caller, "
          "idempotency_key FROM write_answers WHERE expires_at <= $1 "
          "AND NOT (caller = $3 AND idempotency_key = $4) LIMIT $2)",
      .purge_nonces =
          "DELETE FROM request_nonces WHERE (access_key, nonce) IN (SELECT access_key, nonce "
          "FROM request_nonces WHERE expires_at <= $1 LIMIT $2)",
      .parameter_prefix = "?",
  };
  return kPhrases;
}

// The core's statement in SQLite's SQL.
const std::string& expanded(std::string_view sql) { return core::expanded_sql(sql, phrases()); }

void bind_all(Statement& statement, const core::Params& params) {
  int index = 1;
  for (const core::Params::Value& value : params.values()) {
    switch (value.kind) {
      case core::Params::Kind::null:
        statement.bind_null(index);
        break;
      case core::Params::Kind::text:
        statement.bind(index, std::string_view(value.text));
        break;
      case core::Params::Kind::integer:
      case core::Params::Kind::boolean:
        statement.bind(index, value.integer);
        break;
      case core::Params::Kind::bytes:
        statement.bind_blob(index, value.text);
        break;
    }
    ++index;
  }
}

class SqliteCursor final : public core::Cursor {
 public:
  SqliteCursor(Connection& connection, std::string_view sql, const core::Params& params)
      : statement_(connection.prepare(expanded(sql).c_str())) {
    bind_all(statement_, params);
  }
  bool next() override { return statement_.step(); }
  bool is_null(int column) override { return statement_.is_null(column); }
  std::string text(int column) override { return statement_.text(column); }
  std::int64_t integer(int column) override { return statement_.integer(column); }
  bool boolean(int column) override { return statement_.integer(column) != 0; }
  std::string bytes(int column) override { return statement_.text(column); }
  int columns() { return statement_.columns(); }

 private:
  Statement statement_;
};

class SqliteTx final : public core::Tx {
 public:
  explicit SqliteTx(Connection& connection) : connection_(connection) {}
  core::Rows query(std::string_view sql, const core::Params& params) override {
    return core::Rows(std::make_unique<SqliteCursor>(connection_, sql, params));
  }
  void run(std::string_view sql, const core::Params& params) override { change(sql, params); }
  std::int64_t change(std::string_view sql, const core::Params& params) override {
    Statement statement = connection_.prepare(expanded(sql).c_str());
    bind_all(statement, params);
    statement.run();
    return connection_.changes();
  }
  void lock(std::string_view, std::string_view) override {}
  std::uint64_t stop_if_found(std::string_view sql, const core::Params& params) override {
    static std::atomic<std::uint64_t> probes{0};
    const std::uint64_t probe = ++probes;
    SqliteCursor rows(connection_, sql, params);
    if (!rows.next()) return probe;
    core::Found found{probe, {}};
    for (int column = 0; column < rows.columns(); ++column) {
      found.columns.push_back(rows.is_null(column) ? std::string() : rows.text(column));
    }
    throw found;
  }

 private:
  Connection& connection_;
};

// The write transaction this thread has open, if any: a write made inside
// another write of the same pool joins it instead of waiting for a turn it
// already holds.
struct OpenWrite {
  Pool* pool = nullptr;
  Connection* connection = nullptr;
  int depth = 0;
  // Set by write_answered around its body: the next write made inside
  // joins without a savepoint of its own (a savepoint copies every page it
  // changes aside, to be freed again at its release), and when it throws
  // it spoils the transaction, which write_answered then rolls back whole
  // and runs again with savepoints.
  bool bare_write = false;
  bool spoiled = false;
};

// Thrown out of a transaction spoiled by a bare write that threw.
struct Spoiled {};

OpenWrite*& open_write_of_this_thread() {
  thread_local OpenWrite* open = nullptr;
  return open;
}

// Runs `body` inside the open write: bare when write_answered allows it,
// else in a savepoint undone alone when it throws.
void nested_write(OpenWrite& open, const std::function<void(core::Tx&)>& body) {
  if (open.bare_write) {
    open.bare_write = false;
    struct Bare {
      OpenWrite& open;
      bool done = false;
      ~Bare() {
        if (!done) open.spoiled = true;
      }
    } bare{open};
    SqliteTx tx(*open.connection);
    body(tx);
    bare.done = true;
    return;
  }
  const std::string name = "nested_" + std::to_string(++open.depth);
  Connection& connection = *open.connection;
  connection.exec(("SAVEPOINT " + name).c_str());
  struct Nested {
    Connection& connection;
    OpenWrite& open;
    const std::string& name;
    bool released = false;
    ~Nested() {
      if (!released) {
        try {
          connection.exec(("ROLLBACK TO " + name).c_str());
          connection.exec(("RELEASE " + name).c_str());
        } catch (const DatabaseError&) {
          // The enclosing transaction fails and is rolled back whole.
        }
      }
      --open.depth;
    }
  } nested{connection, open, name};
  SqliteTx tx(connection);
  body(tx);
  connection.exec(("RELEASE " + name).c_str());
  nested.released = true;
}

}  // namespace

void SqlitePort::read(Read, const std::function<void(core::Tx&)>& body) {
  OpenWrite* open = open_write_of_this_thread();
  if (open != nullptr && open->pool == pool_.get()) {
    SqliteTx tx(*open->connection);
    body(tx);
    return;
  }
  Pool::Lease lease = pool_->acquire();
  Transaction transaction(*lease, Transaction::Kind::read);
  SqliteTx tx(*lease);
  body(tx);
}

void SqlitePort::write(const std::function<void(core::Tx&)>& body) {
  OpenWrite*& open = open_write_of_this_thread();
  if (open != nullptr && open->pool == pool_.get()) {
    nested_write(*open, body);
    return;
  }
  const Pool::WriterTurn turn = pool_->writer_turn();
  Pool::Lease lease = pool_->acquire();
  Transaction transaction(*lease, Transaction::Kind::write);
  OpenWrite mine{pool_.get(), &*lease, 0};
  struct Restore {
    OpenWrite*& slot;
    OpenWrite* previous;
    ~Restore() { slot = previous; }
  } restore{open, open};
  open = &mine;
  SqliteTx tx(*lease);
  body(tx);
  if (mine.spoiled) throw Spoiled{};
  transaction.commit();
}

void SqlitePort::write_answered(const std::function<void(core::Tx&)>& body) {
  const OpenWrite* outer = open_write_of_this_thread();
  // Outermost, the inner write first runs without a savepoint; in the rare
  // case that it throws, everything is rolled back and made again with the
  // savepoint that undoes exactly the part that threw.
  if (outer == nullptr || outer->pool != pool_.get()) {
    try {
      write([&](core::Tx& tx) {
        open_write_of_this_thread()->bare_write = true;
        body(tx);
      });
      return;
    } catch (const Spoiled&) {
      // Rolled back; made again below.
    }
  }
  write(body);
}

}  // namespace tavoren::backend::sqlite
