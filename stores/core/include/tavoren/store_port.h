// The port a store's database offers the store core (tavoren/store_core.h):
// transactions on borrowed connections, statements with parameters, and the
// few phrases in which SQLite's and PostgreSQL's SQL differ. Each store
// operation is written once, in the core, over this port; each database has
// one implementation of it (stores/sqlite, stores/postgres).
//
// Statements are written in the core's SQL: parameters as $1, $2, ... (a
// number may recur), and these phrases, which a port replaces with its own
// before it prepares the statement:
//   {now}           the time now as text, UTC with milliseconds
//                   ("2026-12-09T13:32:24.123Z")
//   {now_ms}        the database's clock now, in milliseconds since the
//                   Unix epoch (an integer)
//   {lock}          locks the rows a SELECT reads for an update of this
//                   transaction (nothing where writers are serial)
//   {skip_locked}   the same, skipping rows that another transaction holds
//   {C}             byte-wise collation of the text before it
//   {next_scale_down}  the next number of the scale-down order
//   {purge_answers} a whole statement: deletes at most $2 kept answers that
//                   expired at $1, never the one of caller $3 and key $4
//   {purge_nonces}  a whole statement: deletes at most $2 request nonces
//                   that expired at $1
// Everything else is the SQL both databases read alike.
//
// Ownership: a port owns its connections; a Tx is lent for one call of a
// transaction's body and must not be kept.
// Threads: a port's functions may be called from several threads at once;
// a Tx belongs to the thread running the body.
// Failures: every function throws DatabaseError when the database fails
// (tavoren/store.h); whatever a body throws rolls its transaction (or its
// savepoint) back and is passed on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/store.h"

namespace tavoren::backend::core {

// The parameters of one statement, in the order of their numbers.
class Params {
 public:
  enum class Kind { null, text, integer, boolean, bytes };
  struct Value {
    Kind kind = Kind::null;
    std::string text;
    std::int64_t integer = 0;
  };

  Params& text(std::string_view value);
  Params& integer(std::int64_t value);
  Params& boolean(bool value);
  // Raw bytes for a binary column.
  Params& bytes(std::string_view value);
  Params& null();
  // A text, or NULL for nullopt.
  Params& optional_text(const std::optional<std::string>& value);
  // An integer, or NULL for nullopt.
  Params& optional_integer(const std::optional<std::int64_t>& value);

  const std::vector<Value>& values() const { return values_; }

 private:
  std::vector<Value> values_;
};

// The rows a port answers for one statement, read one after the other.
class Cursor {
 public:
  virtual ~Cursor() = default;
  // Moves to the next row; false when there is none.
  virtual bool next() = 0;
  // Columns of the current row, numbered from 0.
  virtual bool is_null(int column) = 0;
  virtual std::string text(int column) = 0;
  virtual std::int64_t integer(int column) = 0;
  virtual bool boolean(int column) = 0;
  // A binary column's bytes.
  virtual std::string bytes(int column) = 0;
};

// A statement's rows: a cursor with value semantics.
class Rows {
 public:
  explicit Rows(std::unique_ptr<Cursor> cursor) : cursor_(std::move(cursor)) {}
  bool next() { return cursor_->next(); }
  bool is_null(int column) { return cursor_->is_null(column); }
  std::string text(int column) { return cursor_->text(column); }
  std::int64_t integer(int column) { return cursor_->integer(column); }
  bool boolean(int column) { return cursor_->boolean(column); }
  std::string bytes(int column) { return cursor_->bytes(column); }
  // The column as text, or JSON null.
  Json nullable_text(int column);
  // The column as an integer, or JSON null.
  Json nullable_integer(int column);

 private:
  std::unique_ptr<Cursor> cursor_;
};

// Thrown out of a transaction's body in place of the answer of the
// statement that follows a probe which found a row (Tx::stop_if_found):
// that row's columns as texts ("" for NULL). Not an std::exception, so that
// no handler of failures inside the body takes it for one.
struct Found {
  // The probe that found it (what stop_if_found answered).
  std::uint64_t probe = 0;
  std::vector<std::string> columns;
};

// One transaction (or savepoint) as its body sees it.
class Tx {
 public:
  virtual ~Tx() = default;
  // Runs a statement and answers its rows (the statements run() deferred
  // go first).
  virtual Rows query(std::string_view sql, const Params& params = Params()) = 0;
  // Runs a statement whose rows are not needed. A port may defer it to the
  // transaction's next query or its commit; its failure is thrown there.
  virtual void run(std::string_view sql, const Params& params = Params()) = 0;
  // Runs a statement now and answers the rows it changed.
  virtual std::int64_t change(std::string_view sql, const Params& params = Params()) = 0;
  // Waits until no other transaction holds the lock named (`scope`, `key`),
  // and holds it until this transaction ends. A port whose writers are
  // serial already does nothing.
  virtual void lock(std::string_view scope, std::string_view key) = 0;
  // Runs the query `sql` ahead of the body's next statement. When it finds
  // a row, the body gets Found thrown from that statement (or from the
  // transaction's end, should the body make no other) instead of its
  // answer, and the transaction is rolled back: nothing the body did after
  // the probe is kept. A port that pipelines sends the probe with that
  // statement, in its round trip; another runs it at once. Answers the
  // probe's number, which its Found carries (a write made inside the body
  // may have a probe of its own).
  virtual std::uint64_t stop_if_found(std::string_view sql, const Params& params) = 0;
};

class Port {
 public:
  virtual ~Port() = default;

  enum class Read {
    // Several statements on one consistent snapshot.
    snapshot,
    // One statement, which sees one snapshot by itself.
    statement,
  };
  // Runs `body` for reading. Inside a write transaction of this port on
  // the same thread, it runs in that transaction and sees its writes.
  virtual void read(Read kind, const std::function<void(Tx&)>& body) = 0;
  // Runs `body` in a write transaction and commits when it returns. Inside
  // a write transaction of this port on the same thread, it runs in a
  // savepoint of it: undone alone when it throws, committed with it
  // otherwise.
  virtual void write(const std::function<void(Tx&)>& body) = 0;
  // As write(), for a body that makes a write of its own through
  // write() and keeps its answer (write_once): the port may let that inner
  // write join without a savepoint when it can undo the whole transaction
  // and run the body again should the inner write throw.
  virtual void write_answered(const std::function<void(Tx&)>& body) = 0;
  // Runs `body`, which makes one writing statement, as a transaction of
  // its own: where the database commits a single statement by itself,
  // without a BEGIN and COMMIT of its own (one round trip). Inside a write
  // transaction of this port on the same thread, it joins that one.
  virtual void write_alone(const std::function<void(Tx&)>& body) = 0;
  // Whether write_once first looks for a kept answer in a read of its own:
  // worth it where a write waits its turn behind every other writer (a
  // retried request is then answered without that wait), not where the
  // write's own first round trip reads the same answer anyway.
  virtual bool reads_kept_answer_first() const = 0;
  // Whether the port carries a request's nonce in the request's first
  // write transaction (NonceRide): its outermost write boards the ride
  // waiting on its thread, and its write_alone makes a transaction while
  // one waits.
  virtual bool carries_nonces() const { return false; }
};

// The failure of a write of a request whose nonce was used before.
class ReplayedNonce : public DatabaseError {
 public:
  ReplayedNonce() : DatabaseError("the request's nonce was used before") {}
};

// A signed request's nonce riding with the first write transaction its
// handling makes on one thread (StoreCore::with_nonce), so that it costs
// no round trip of its own: that transaction writes the nonce first and
// fails when the nonce is there already, undoing the request's writes.
// Lives on the handling thread, while the request is handled there; a
// port that carries nonces asks for it at each outermost write.
class NonceRide {
 public:
  // Waits on this thread for a write of `port`, until destroyed.
  NonceRide(const Port& port, std::string access_key, std::string nonce, std::int64_t expires_at);
  ~NonceRide();
  NonceRide(const NonceRide&) = delete;
  NonceRide& operator=(const NonceRide&) = delete;

  // The ride waiting on this thread for a write of `port`, if any.
  static NonceRide* waiting(const Port& port);
  // Queues the nonce's statements in `tx`, the transaction's first.
  void board(Tx& tx);
  // The transaction that carried it committed: the nonce is kept.
  void committed();
  // The transaction that carried it ended without committing; `replayed`:
  // because the nonce was there already (its key's row, unique). Else the
  // nonce waits for the next write.
  void rolled_back(bool replayed);
  // Throws ReplayedNonce when this thread's request on `port` is a replay:
  // a port's writes check it first, so that no write of a replay is kept
  // after one that found the nonce (whoever caught that failure).
  static void refuse_if_replayed(const Port& port);

  bool kept() const { return state_ == State::kKept; }
  bool replayed() const { return state_ == State::kReplayed; }
  // The table whose unique key a replay violates.
  static constexpr const char* kTable = "request_nonces";

 private:
  enum class State { kWaiting, kAboard, kKept, kReplayed };
  // This thread's ride, when it is one for `port`.
  static NonceRide* of_thread(const Port& port);
  const Port& port_;
  const std::string access_key_;
  const std::string nonce_;
  const std::int64_t expires_at_;
  State state_ = State::kWaiting;
  NonceRide* previous_;
};

// Runs `body(tx)` through `run(kind..., function)` and answers what it
// answers.
template <typename Body>
auto read_with(Port& port, Port::Read kind, Body&& body) {
  using Answer = decltype(body(std::declval<Tx&>()));
  if constexpr (std::is_void_v<Answer>) {
    port.read(kind, [&](Tx& tx) { body(tx); });
  } else {
    std::optional<Answer> answer;
    port.read(kind, [&](Tx& tx) { answer.emplace(body(tx)); });
    return *std::move(answer);
  }
}

template <typename Body>
auto write_with(Port& port, Body&& body, bool answered = false) {
  using Answer = decltype(body(std::declval<Tx&>()));
  if constexpr (std::is_void_v<Answer>) {
    auto call = [&](Tx& tx) { body(tx); };
    answered ? port.write_answered(call) : port.write(call);
  } else {
    std::optional<Answer> answer;
    auto call = [&](Tx& tx) { answer.emplace(body(tx)); };
    answered ? port.write_answered(call) : port.write(call);
    return *std::move(answer);
  }
}

// The core's SQL with every phrase replaced by `phrases`' own and $n
// parameters written as `parameter_prefix` n; the text outside quotes only.
struct Phrases {
  std::string now;
  std::string now_ms;
  std::string lock;
  std::string skip_locked;
  std::string collate_c;
  std::string next_scale_down;
  std::string purge_answers;
  std::string purge_nonces;
  // "$" for PostgreSQL, "?" for SQLite.
  std::string parameter_prefix;
};
std::string expand_sql(std::string_view sql, const Phrases& phrases);
// expand_sql, remembered per thread for each statement and set of phrases
// (which must outlive the thread's use of it).
const std::string& expanded_sql(std::string_view sql, const Phrases& phrases);

}  // namespace tavoren::backend::core
