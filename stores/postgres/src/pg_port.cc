// The store port on PostgreSQL: the core's statements expanded into
// PostgreSQL's SQL and sent through the pipelining connection layer.

#include "pg_port.h"

#include <string>
#include <utility>

namespace tavoren::backend::pg {
namespace {

const core::Phrases& phrases() {
  static const core::Phrases kPhrases{
      .now = "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')",
      .now_ms = "CAST(floor(extract(epoch FROM clock_timestamp()) * 1000) AS BIGINT)",
      .lock = " FOR NO KEY UPDATE",
      .skip_locked = " FOR NO KEY UPDATE SKIP LOCKED",
      .collate_c = " COLLATE \"C\"",
      .next_scale_down = "nextval('scale_down_order')",
      // The oldest expired answers are read off the expiry index and
      // deleted by their row addresses, whatever plan the prepared
      // statement settles on: a scan of the whole table on every write
      // would grow with the answers kept.
      .purge_answers =
          "DELETE FROM write_answers WHERE ctid = ANY (ARRAY(SELECT ctid FROM write_answers "
          "WHERE expires_at <= $1 AND (caller, idempotency_key) <> ($3, $4) "
          "ORDER BY expires_at LIMIT $2 FOR UPDATE SKIP LOCKED))",
      .purge_nonces =
          "DELETE FROM request_nonces WHERE ctid = ANY (ARRAY(SELECT ctid FROM request_nonces "
          "WHERE expires_at <= $1 ORDER BY expires_at LIMIT $2 FOR UPDATE SKIP LOCKED))",
      .parameter_prefix = "$",
  };
  return kPhrases;
}

// The core's statement in PostgreSQL's SQL.
const std::string& expanded(std::string_view sql) { return core::expanded_sql(sql, phrases()); }

class PgCursor final : public core::Cursor {
 public:
  explicit PgCursor(Rows rows) : rows_(std::move(rows)) {}
  bool next() override { return ++row_ < rows_.size(); }
  bool is_null(int column) override { return rows_.is_null(row_, column); }
  std::string text(int column) override { return rows_.text(row_, column); }
  std::int64_t integer(int column) override { return rows_.integer(row_, column); }
  bool boolean(int column) override { return rows_.boolean(row_, column); }
  std::string bytes(int column) override { return rows_.bytes(row_, column); }

 private:
  Rows rows_;
  int row_ = -1;
};

// Throws Found when the probe sent (Tx::stop_if_found) found a row.
void stop_if_probe_found(Connection& connection) {
  std::optional<Rows> probe = connection.take_watched();
  if (!probe || probe->empty()) return;
  core::Found found{connection.watched_place(), {}};
  for (int column = 0; column < probe->columns(); ++column) {
    found.columns.push_back(probe->is_null(0, column) ? std::string() : probe->text(0, column));
  }
  throw found;
}

// Runs a statement on the connection; a probe it carried that found a row
// wins over the statement's answer, and over its failure.
Rows exec_after_probe(Connection& connection, std::string_view sql, const core::Params& params) {
  std::optional<Rows> rows;
  try {
    rows.emplace(connection.exec(expanded(sql).c_str(), params));
  } catch (const DatabaseError&) {
    stop_if_probe_found(connection);
    throw;
  }
  stop_if_probe_found(connection);
  return std::move(*rows);
}

// Sends a probe still queued, so that it is settled before the
// transaction (or savepoint) ends.
void settle_probe(Connection& connection) {
  if (connection.watch_queued()) exec_after_probe(connection, "SELECT 1", core::Params());
}

class PgTx final : public core::Tx {
 public:
  explicit PgTx(Connection& connection) : connection_(connection) {}
  core::Rows query(std::string_view sql, const core::Params& params) override {
    return core::Rows(std::make_unique<PgCursor>(exec_after_probe(connection_, sql, params)));
  }
  void run(std::string_view sql, const core::Params& params) override {
    connection_.defer(expanded(sql), params);
  }
  std::int64_t change(std::string_view sql, const core::Params& params) override {
    return exec_after_probe(connection_, sql, params).affected();
  }
  std::uint64_t stop_if_found(std::string_view sql, const core::Params& params) override {
    // A probe of an enclosing write is settled first.
    settle_probe(connection_);
    return connection_.defer_watched(expanded(sql), params);
  }
  void lock(std::string_view scope, std::string_view key) override {
    // Sent with the next statement, which the server runs once it holds
    // the lock (at READ COMMITTED, on a snapshot taken after it).
    if (key.empty()) {
      connection_.defer("SELECT pg_advisory_xact_lock(hashtext($1))", Params().text(scope));
    } else {
      connection_.defer("SELECT pg_advisory_xact_lock(hashtext($1), hashtext($2))",
                        Params().text(scope).text(key));
    }
  }

 private:
  Connection& connection_;
};

// The transaction this thread has open on a pool, if any.
struct OpenTransaction {
  Pool* pool = nullptr;
  Connection* connection = nullptr;
  int depth = 0;
  // Set by write_answered around its body: the next write made inside
  // joins the transaction without a savepoint of its own, and when it
  // throws, it spoils the transaction (its rows may be half written), which
  // write_answered then rolls back whole and runs again with savepoints.
  bool bare_write = false;
  bool spoiled = false;
};

OpenTransaction*& open_transaction() {
  thread_local OpenTransaction* open = nullptr;
  return open;
}

// A write inside the open transaction: bare when write_answered allows it,
// else in a savepoint undone alone when `body` throws.
void nested_write(OpenTransaction& open, const std::function<void(core::Tx&)>& body) {
  Connection& connection = *open.connection;
  PgTx tx(connection);
  if (open.bare_write) {
    open.bare_write = false;
    struct Bare {
      OpenTransaction& open;
      bool done = false;
      ~Bare() {
        if (!done) open.spoiled = true;
      }
    } bare{open};
    body(tx);
    settle_probe(connection);
    bare.done = true;
    return;
  }
  const std::string name = "nested_" + std::to_string(++open.depth);
  const std::uint64_t savepoint = connection.defer("SAVEPOINT " + name);
  struct Nested {
    Connection& connection;
    OpenTransaction& open;
    const std::string& name;
    std::uint64_t savepoint;
    bool released = false;
    ~Nested() {
      // A savepoint the server has not seen yet is undone by not sending
      // it, with everything queued after it.
      if (!released && !connection.drop_deferred_from(savepoint)) {
        try {
          connection.defer("ROLLBACK TO SAVEPOINT " + name);
          connection.exec(("RELEASE SAVEPOINT " + name).c_str());
        } catch (const DatabaseError&) {
          // The enclosing transaction fails and is rolled back whole.
        }
      }
      --open.depth;
    }
  } nested{connection, open, name, savepoint};
  body(tx);
  settle_probe(connection);
  connection.defer("RELEASE SAVEPOINT " + name);
  nested.released = true;
}

// Thrown out of a transaction spoiled by a bare write that threw.
struct Spoiled {};

// Whether a transaction failed on the nonce it carried: the nonce's key
// was there already.
bool replayed_nonce(const DatabaseError& error) {
  const auto* failure = dynamic_cast<const Failure*>(&error);
  return failure != nullptr && failure->sqlstate() == "23505" &&
         failure->table() == core::NonceRide::kTable;
}

}  // namespace

void PgPort::in_transaction(bool write, const std::function<void(core::Tx&)>& body) {
  OpenTransaction*& open = open_transaction();
  if (open != nullptr && open->pool == pool_.get()) {
    if (write) {
      nested_write(*open, body);
    } else {
      PgTx tx(*open->connection);
      body(tx);
    }
    return;
  }
  if (write) core::NonceRide::refuse_if_replayed(*this);
  for (int attempt = 0;; ++attempt) {
    Pool::Lease lease = pool_->acquire();
    lease->take_watched();
    const std::uint64_t trips = lease->round_trips();
    const std::uint64_t begun =
        lease->defer(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    bool committing = false;
    core::NonceRide* ride = write ? core::NonceRide::waiting(*this) : nullptr;
    try {
      OpenTransaction mine{pool_.get(), &*lease, 0};
      struct Close {
        Pool::Lease& lease;
        OpenTransaction*& slot;
        OpenTransaction* previous;
        std::uint64_t begun;
        bool committed = false;
        ~Close() {
          slot = previous;
          if (committed) return;
          // Nothing was sent yet: there is nothing to roll back.
          if (lease->drop_deferred_from(begun) || lease->broken()) return;
          try {
            lease->exec("ROLLBACK");
          } catch (const DatabaseError&) {
            lease.discard();
          }
        }
      } close{lease, open, open, begun};
      open = &mine;
      PgTx tx(*lease);
      if (ride != nullptr) ride->board(tx);
      body(tx);
      if (mine.spoiled) throw Spoiled{};
      settle_probe(*lease);
      committing = true;
      lease->exec("COMMIT");
      close.committed = true;
      if (ride != nullptr) ride->committed();
      return;
    } catch (const DatabaseError& error) {
      if (ride != nullptr && replayed_nonce(error)) {
        ride->rolled_back(true);
        throw core::ReplayedNonce();
      }
      if (ride != nullptr) ride->rolled_back(false);
      // A connection lost since its last use, found by the transaction's
      // first round trip, which did not commit: nothing was done, so the
      // call goes on with a new one.
      if (attempt == 0 && !committing && lease->broken() && lease->round_trips() == trips + 1) {
        lease.discard();
        pool_->drop_idle();
        continue;
      }
      throw;
    } catch (...) {
      if (ride != nullptr) ride->rolled_back(false);
      throw;
    }
  }
}

void PgPort::in_statement(const std::function<void(core::Tx&)>& body) {
  OpenTransaction*& open = open_transaction();
  if (open != nullptr && open->pool == pool_.get()) {
    PgTx tx(*open->connection);
    body(tx);
    return;
  }
  for (int attempt = 0;; ++attempt) {
    Pool::Lease lease = pool_->acquire();
    try {
      PgTx tx(*lease);
      body(tx);
      return;
    } catch (const DatabaseError&) {
      // A connection lost since its last use: a read is simply repeated.
      if (attempt == 0 && lease->broken()) {
        lease.discard();
        pool_->drop_idle();
        continue;
      }
      throw;
    }
  }
}

void PgPort::read(Read kind, const std::function<void(core::Tx&)>& body) {
  if (kind == Read::statement) {
    in_statement(body);
  } else {
    in_transaction(false, body);
  }
}

void PgPort::write(const std::function<void(core::Tx&)>& body) { in_transaction(true, body); }

void PgPort::write_alone(const std::function<void(core::Tx&)>& body) {
  core::NonceRide::refuse_if_replayed(*this);
  if (core::NonceRide::waiting(*this) != nullptr) {
    in_transaction(true, body);
  } else {
    in_statement(body);
  }
}

void PgPort::write_answered(const std::function<void(core::Tx&)>& body) {
  const OpenTransaction* outer = open_transaction();
  // Outermost, the inner write first runs without a savepoint (two
  // statements and a subtransaction less); in the rare case that it throws,
  // everything is rolled back and made again with the savepoint that undoes
  // exactly the part that threw.
  if (outer == nullptr || outer->pool != pool_.get()) {
    try {
      in_transaction(true, [&](core::Tx& tx) {
        open_transaction()->bare_write = true;
        body(tx);
      });
      return;
    } catch (const Spoiled&) {
      // Rolled back; made again below.
    }
  }
  in_transaction(true, body);
}

}  // namespace tavoren::backend::pg
