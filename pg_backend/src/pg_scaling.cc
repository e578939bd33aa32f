// The PostgreSQL store's operations. Each call runs in one transaction on
// a borrowed connection: writes at READ COMMITTED with row locks on the
// actions they change (queue entries taken with SKIP LOCKED), reads on one
// REPEATABLE READ snapshot; a read of a single statement runs by itself,
// which is one snapshot too. A write made inside another write of the same
// pool on the same thread (a write and its kept answer) joins it through a
// savepoint; the write of write_once joins without one unless it throws.
// Statements whose rows are not needed are deferred (pg.h): a write
// answered once takes three round trips, BEGIN with the kept-answer check,
// the write's first read, and the rest with COMMIT.

#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "pg.h"
#include "schema.h"
#include "tavoren/backend_store_rules.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"
#include "tavoren/pg_backend.h"

namespace tavoren::backend {

namespace rules = store_rules;
using pg::Params;
using pg::Rows;
using rules::refusal;

// The time now as the embedded store writes it (UTC, milliseconds).
#define NOW_TEXT \
  "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
// An action counts as live while it is assigned and neither ended nor set
// aside.
#define LIVE_ACTION_SQL "ended_at IS NULL AND rejected_reason IS NULL"
// What list and show answer as an action's state.
#define ACTION_STATE_SQL                                                             \
  "CASE WHEN rejected_reason IS NOT NULL THEN 'rejected' WHEN ended_at IS NOT NULL " \
  "THEN 'ended' ELSE state END"

namespace detail {

struct PgScalingState {
  PgBackendOptions options;
  // Shared by every view of the same store.
  std::shared_ptr<pg::Pool> pool;
};

}  // namespace detail

namespace {

// At most this many expired answers are purged by one write.
constexpr std::int64_t kPurgeBatch = 64;

// The transaction this thread has open on a pool, if any.
struct OpenTransaction {
  pg::Pool* pool = nullptr;
  pg::Connection* connection = nullptr;
  int depth = 0;
  // Set by write_once around its write: the next write made inside joins
  // the transaction without a savepoint of its own, and when it throws, it
  // spoils the transaction (its rows may be half written), which write_once
  // then rolls back whole and makes again with savepoints.
  bool bare_write = false;
  bool spoiled = false;
};

OpenTransaction*& open_transaction() {
  thread_local OpenTransaction* open = nullptr;
  return open;
}

template <typename Body>
auto run_and(Body& body, pg::Connection& connection, const std::function<void()>& done) {
  if constexpr (std::is_void_v<decltype(body(connection))>) {
    body(connection);
    done();
  } else {
    auto result = body(connection);
    done();
    return result;
  }
}

// Runs `body(connection)` in a transaction and commits when it returns; a
// throw rolls it back. Inside a transaction of the same pool on this
// thread, a read runs in it and a write in a savepoint of it. BEGIN and
// SAVEPOINT travel with the body's first statement, RELEASE and the
// body's deferred statements with COMMIT.
template <typename Body>
auto in_transaction(detail::PgScalingState& impl, bool write, Body&& body) {
  OpenTransaction*& open = open_transaction();
  if (open != nullptr && open->pool == impl.pool.get()) {
    pg::Connection& connection = *open->connection;
    if (!write) return body(connection);
    if (open->bare_write) {
      open->bare_write = false;
      struct Bare {
        OpenTransaction& open;
        bool done = false;
        ~Bare() {
          if (!done) open.spoiled = true;
        }
      } bare{*open};
      return run_and(body, connection, [&] { bare.done = true; });
    }
    const std::string name = "nested_" + std::to_string(++open->depth);
    const std::uint64_t savepoint = connection.defer("SAVEPOINT " + name);
    struct Nested {
      pg::Connection& connection;
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
    } nested{connection, *open, name, savepoint};
    return run_and(body, connection, [&] {
      connection.defer("RELEASE SAVEPOINT " + name);
      nested.released = true;
    });
  }
  for (int attempt = 0;; ++attempt) {
    pg::Pool::Lease lease = impl.pool->acquire();
    const std::uint64_t trips = lease->round_trips();
    const std::uint64_t begun =
        lease->defer(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    bool committing = false;
    try {
      OpenTransaction mine{impl.pool.get(), &*lease, 0};
      struct Close {
        pg::Pool::Lease& lease;
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
      return run_and(body, *lease, [&] {
        committing = true;
        lease->exec("COMMIT");
        close.committed = true;
      });
    } catch (const DatabaseError&) {
      // A connection lost since its last use (the database restarted),
      // found by the transaction's first round trip, which did not commit:
      // nothing was done, so the call goes on with a new one.
      if (attempt == 0 && !committing && lease->broken() && lease->round_trips() == trips + 1) {
        lease.discard();
        impl.pool->drop_idle();
        continue;
      }
      throw;
    }
  }
}

// Runs `body(connection)`, a read of one statement (which sees one snapshot
// by itself), outside a transaction: one round trip. Inside a transaction
// of the same pool on this thread, it runs in that transaction.
template <typename Body>
auto in_statement(detail::PgScalingState& impl, Body&& body) {
  OpenTransaction*& open = open_transaction();
  if (open != nullptr && open->pool == impl.pool.get()) return body(*open->connection);
  for (int attempt = 0;; ++attempt) {
    pg::Pool::Lease lease = impl.pool->acquire();
    try {
      return body(*lease);
    } catch (const DatabaseError&) {
      // A connection lost since its last use: a read is simply repeated.
      if (attempt == 0 && lease->broken()) {
        lease.discard();
        impl.pool->drop_idle();
        continue;
      }
      throw;
    }
  }
}

template <typename Body>
auto in_write(detail::PgScalingState& impl, Body&& body) {
  return in_transaction(impl, true, std::forward<Body>(body));
}

template <typename Body>
auto in_read(detail::PgScalingState& impl, Body&& body) {
  return in_transaction(impl, false, std::forward<Body>(body));
}

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Json nullable_text(const Rows& rows, int row, int column) {
  return rows.is_null(row, column) ? Json() : Json(rows.text(row, column));
}

// The record's "_idUser" when it is a text, kept beside the record.
std::optional<std::string> owner_of(const Json& record) {
  if (!record.is_object()) return std::nullopt;
  return rules::text_argument(record, "_idUser");
}

Params& owner_param(Params& params, const Json& record) {
  if (std::optional<std::string> owner = owner_of(record)) return params.text(*owner);
  return params.null();
}

std::optional<Json> load_record(pg::Connection& connection, const std::string& id, bool lock) {
  Rows rows = connection.exec(lock ? "SELECT record FROM actions WHERE id = $1 FOR NO KEY UPDATE"
                                   : "SELECT record FROM actions WHERE id = $1",
                              Params().text(id));
  if (rows.empty()) return std::nullopt;
  return rules::parse_stored(rows.text(0, 0), "action record");
}

// Sent with the transaction's next statement or its COMMIT.
void store_record(pg::Connection& connection, const std::string& id, const Json& record) {
  Params params;
  params.text(id).text(rules::to_text(record));
  owner_param(params, record);
  connection.defer("UPDATE actions SET record = $2, owner = $3 WHERE id = $1", std::move(params));
}

// Sent with the transaction's next statement or its COMMIT.
void record_event(pg::Connection& connection, const std::string& id, std::string_view operation,
                  const Json& arguments) {
  connection.defer(
      "INSERT INTO status_history (action_id, operation, arguments, recorded_at) "
      "VALUES ($1, $2, $3, " NOW_TEXT ")",
      Params().text(id).text(operation).text(rules::to_text(arguments)));
}

std::optional<Json> read_setting(pg::Connection& connection, const char* name) {
  Rows rows = connection.exec("SELECT value FROM settings WHERE name = $1", Params().text(name));
  if (rows.empty()) return std::nullopt;
  return rules::parse_stored(rows.text(0, 0), std::string("setting ") + name);
}

void write_setting(pg::Connection& connection, const char* name, const Json& value) {
  connection.exec(
      "INSERT INTO settings (name, value) VALUES ($1, $2) "
      "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
      Params().text(name).text(rules::to_text(value)));
}

void require_action(pg::Connection& connection, const std::string& id) {
  if (connection.exec("SELECT 1 FROM actions WHERE id = $1", Params().text(id)).empty()) {
    throw KeyError(rules::unknown_action(id));
  }
}

std::optional<RecordedAnswer> find_answer(pg::Connection& connection, const std::string& caller,
                                          const std::string& key) {
  Rows rows = connection.exec(
      "SELECT request_hash, answer FROM write_answers "
      "WHERE caller = $1 AND idempotency_key = $2 AND expires_at > $3",
      Params().text(caller).text(key).integer(unix_now()));
  if (rows.empty()) return std::nullopt;
  return RecordedAnswer{rows.text(0, 0), rows.text(0, 1), true};
}

// Sent with the transaction's COMMIT.
void keep_answer(pg::Connection& connection, const WriteOnce& once, const std::string& answer) {
  const std::int64_t now = unix_now();
  // One statement: the purge of expired answers (never this key's own, which
  // the same statement may replace) and the answer. An expired answer of
  // the same key may still be there: it is replaced. The purge reads the
  // oldest answers off the expiry index and deletes them by their row
  // addresses, whatever plan the prepared statement settles on: a scan of
  // the whole table on every write would grow with the answers kept.
  connection.defer(
      "WITH purged AS (DELETE FROM write_answers WHERE ctid = ANY (ARRAY("
      "SELECT ctid FROM write_answers WHERE expires_at <= $6 "
      "AND (caller, idempotency_key) <> ($1, $2) ORDER BY expires_at LIMIT $7 "
      "FOR UPDATE SKIP LOCKED))) "
      "INSERT INTO write_answers (caller, idempotency_key, request_hash, answer, expires_at) "
      "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (caller, idempotency_key) DO UPDATE SET "
      "request_hash = excluded.request_hash, answer = excluded.answer, "
      "expires_at = excluded.expires_at",
      Params()
          .text(once.caller)
          .text(once.key)
          .text(once.request_hash)
          .text(answer)
          .integer(now + static_cast<std::int64_t>(once.keep.count()))
          .integer(now)
          .integer(kPurgeBatch));
}

// Serializes the writes under one (caller, key) across every server of
// the database until this transaction ends. Sent with the next statement,
// which the server runs once it holds the lock (at READ COMMITTED, on a
// snapshot taken after it).
void lock_answer_slot(pg::Connection& connection, const std::string& caller,
                      const std::string& key) {
  connection.defer("SELECT pg_advisory_xact_lock(hashtext($1), hashtext($2))",
                   Params().text("answer:" + caller).text(key));
}

void check_options(const PgBackendOptions& options) {
  if (options.conninfo.empty()) throw ValueError("The PostgreSQL connection string is empty");
  pg::check_conninfo(options.conninfo);
  if (!options.schema.empty() && !pg::is_plain_identifier(options.schema)) {
    throw ValueError("The schema name \"" + options.schema +
                     "\" is not a plain identifier (a-z, 0-9, _)");
  }
  if (options.assign_batch < 1) {
    throw ValueError("assign_batch must be at least 1, not " +
                     std::to_string(options.assign_batch));
  }
  if (options.port_range) {
    const auto [low, high] = *options.port_range;
    if (low < 1 || high > 65535 || low > high) {
      throw ValueError("Invalid port range " + std::to_string(low) + "-" + std::to_string(high));
    }
  }
  if (options.log_limit_bytes < 0) throw ValueError("log_limit_bytes must not be negative");
  if (options.statement_timeout.count() <= 0 || options.connect_timeout.count() <= 0) {
    throw ValueError("The PostgreSQL time limits must be positive");
  }
}

pg::ConnectionSettings settings_of(const PgBackendOptions& options) {
  return pg::ConnectionSettings{options.conninfo, options.schema, options.connect_timeout,
                                options.statement_timeout};
}

}  // namespace

PgScaling::PgScaling(PgBackendOptions options) {
  check_options(options);
  auto pool =
      std::make_shared<pg::Pool>(settings_of(options), options.max_connections, options.pool_wait);
  impl_ = std::make_unique<detail::PgScalingState>(
      detail::PgScalingState{std::move(options), std::move(pool)});
  pg::Pool::Lease lease = impl_->pool->acquire();
  pg_schema::require_current(*lease);
}

PgScaling::PgScaling(ViewTag, std::unique_ptr<detail::PgScalingState> state)
    : impl_(std::move(state)) {}

PgScaling::~PgScaling() = default;

int PgScaling::migrate(const PgBackendOptions& options) {
  check_options(options);
  pg::Connection connection(settings_of(options));
  return pg_schema::migrate(connection, options.schema);
}

int PgScaling::schema_version() { return pg_schema::current_version(); }

std::unique_ptr<PgScaling> PgScaling::for_instance(const std::string& instance_id,
                                                   Session session) const {
  PgBackendOptions options = impl_->options;
  options.instance_id = instance_id;
  options.session = std::move(session);
  return std::unique_ptr<PgScaling>(
      new PgScaling(ViewTag{}, std::make_unique<detail::PgScalingState>(
                                   detail::PgScalingState{std::move(options), impl_->pool})));
}

std::unique_ptr<Store> PgScaling::instance_view(const std::string& instance_id,
                                                Session session) const {
  return for_instance(instance_id, std::move(session));
}

const Session& PgScaling::session() const { return impl_->options.session; }

// ---- The agent's operations --------------------------------------------

namespace {

using Rejections = std::vector<std::pair<std::string, std::string>>;

Result assign_in(detail::PgScalingState& impl, pg::Connection& connection, bool has_gpu,
                 Rejections& rejected) {
  const std::string& instance = impl.options.instance_id;
  std::vector<std::pair<std::string, Json>> picked;
  {
    // Entries another server is handing out now are skipped, not waited
    // for: each goes to one agent only.
    Rows rows = connection.exec(
        "SELECT id, record FROM actions WHERE state = 'queued' AND scaled_down_at IS NULL "
        "AND (NOT gpu_required OR $1) ORDER BY seq LIMIT $2 FOR NO KEY UPDATE SKIP LOCKED",
        Params().boolean(has_gpu).integer(impl.options.assign_batch));
    for (int row = 0; row < rows.size(); ++row) {
      std::string id = rows.text(row, 0);
      Json record;
      try {
        record = parse_json(rows.text(row, 1));
      } catch (const JsonError& e) {
        rejected.emplace_back(std::move(id), e.beyond_limits() ? e.what() : "its text is not JSON");
        continue;
      }
      if (!record.is_object()) {
        rejected.emplace_back(std::move(id), "it is JSON but not an object");
        continue;
      }
      picked.emplace_back(std::move(id), std::move(record));
    }
  }
  for (const auto& [id, reason] : rejected) {
    connection.defer(
        "UPDATE actions SET state = 'assigned', assigned_to = $1, assigned_at = " NOW_TEXT
        ", rejected_reason = $2 WHERE id = $3",
        Params().text(instance).text(reason).text(id));
    Json event = Json::object();
    event["instance_id"] = instance;
    event["reason"] = reason;
    record_event(connection, id, "reject", event);
  }
  Json assigned = Json::array();
  for (auto& [id, record] : picked) {
    record["status"] = "assigned";
    connection.defer(
        "UPDATE actions SET state = 'assigned', assigned_to = $1, assigned_at = " NOW_TEXT
        ", record = $2 WHERE id = $3",
        Params().text(instance).text(rules::to_text(record)).text(id));
    Json event = Json::object();
    event["instance_id"] = instance;
    event["has_gpu"] = has_gpu;
    record_event(connection, id, "assign_jobs", event);
    assigned.push_back(std::move(record));
  }
  return Result::ok(std::move(assigned));
}

template <typename Change>
Result record_report(detail::PgScalingState& impl, const std::string& id, const char* operation,
                     const Json& arguments, Change&& change) {
  return in_write(impl, [&](pg::Connection& connection) {
    std::optional<Json> record = load_record(connection, id, true);
    if (!record) return refusal(rules::unknown_action(id));
    record_event(connection, id, operation, arguments);
    if (change(*record)) store_record(connection, id, *record);
    return Result::ok(Json(), "recorded");
  });
}

Result append_log_in(detail::PgScalingState& impl, pg::Connection& connection,
                     const rules::LogPiece& log_piece) {
  const std::string& id = log_piece.action_id;
  Rows action = connection.exec(
      "SELECT log_limit_reached_at IS NOT NULL, log_bytes, log_stream, log_stream_end "
      "FROM actions WHERE id = $1 FOR NO KEY UPDATE",
      Params().text(id));
  if (action.empty()) return refusal(rules::unknown_action(id));
  const bool limit_reached = action.boolean(0, 0);
  const std::int64_t offset = action.integer(0, 1);
  std::optional<rules::LogMark> mark;
  if (!action.is_null(0, 2)) mark = rules::LogMark{action.text(0, 2), action.integer(0, 3)};
  if (log_piece.content.empty()) return Result::ok(Json(), "nothing to store");
  const rules::LogPlan plan = rules::plan_log_piece(log_piece, mark);
  if (plan.repeat) return Result::ok(Json(), "stored before");
  if (plan.mark) {
    connection.defer("UPDATE actions SET log_stream = $2, log_stream_end = $3 WHERE id = $1",
                     Params().text(id).text(plan.mark->stream).integer(plan.mark->end));
  }
  const std::string_view piece = log_piece.content.substr(plan.skip);
  if (piece.empty()) return Result::ok(Json(), "stored before");
  const std::int64_t limit = impl.options.log_limit_bytes;
  // Output beyond the limit is acknowledged, so that the job goes on.
  if (limit > 0 && limit_reached) return Result::ok(Json(), "not stored: log limit reached");
  const bool over = limit > 0 && offset + static_cast<std::int64_t>(piece.size()) > limit;
  const std::string stored = over ? log_limit_notice(limit) : std::string(piece);
  connection.defer("INSERT INTO log_pieces (action_id, start_offset, content) VALUES ($1, $2, $3)",
                   Params().text(id).integer(offset).bytes(stored));
  if (over) {
    connection.defer(
        "UPDATE actions SET log_bytes = log_bytes + $2, log_limit_reached_at = " NOW_TEXT
        " WHERE id = $1",
        Params().text(id).integer(static_cast<std::int64_t>(stored.size())));
    Json event = Json::object();
    event["log_limit"] = limit;
    record_event(connection, id, "log_limit", event);
  } else {
    connection.defer("UPDATE actions SET log_bytes = log_bytes + $2 WHERE id = $1",
                     Params().text(id).integer(static_cast<std::int64_t>(stored.size())));
  }
  return Result::ok(Json(), over ? "not stored: log limit reached" : "stored");
}

}  // namespace

Result PgScaling::assign_jobs(bool has_gpu) {
  if (impl_->options.instance_id.empty()) return refusal(rules::no_instance_refusal());
  Rejections rejected;
  Result result = in_write(*impl_, [&](pg::Connection& connection) {
    rejected.clear();
    return assign_in(*impl_, connection, has_gpu, rejected);
  });
  for (const auto& [id, reason] : rejected) {
    log::error("Queued action %s is not an action record (%s); it is set aside", id, reason);
  }
  return result;
}

RecordedAnswer PgScaling::assign_jobs(bool has_gpu, const WriteOnce& once) {
  return write_once(once, [&] { return once.render(assign_jobs(has_gpu)); });
}

Result PgScaling::update_action_status(const Json& arguments) {
  auto id = rules::identifier_argument(arguments, "action_record_id", "update_action_status");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(*impl_, std::get<std::string>(id), "update_action_status", arguments,
                       [&](Json& record) { return rules::apply_action_status(arguments, record); });
}

Result PgScaling::update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) {
  const Json arguments = rules::status_arguments(action_record_id, action_type, service, step_code,
                                                 status, description);
  return record_report(*impl_, action_record_id, "update_status", arguments,
                       [](Json&) { return false; });
}

Result PgScaling::update_action(const Json& arguments) {
  auto id = rules::identifier_argument(arguments, "id", "update_action");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(*impl_, std::get<std::string>(id), "update_action", arguments,
                       [&](Json& record) { return rules::apply_action_update(arguments, record); });
}

Result PgScaling::update_action_docker_logs(const Json& arguments) {
  auto piece = rules::log_arguments(arguments);
  if (auto* refused = std::get_if<Result>(&piece)) return *refused;
  const auto& log_piece = std::get<rules::LogPiece>(piece);
  return in_write(*impl_, [&](pg::Connection& connection) {
    return append_log_in(*impl_, connection, log_piece);
  });
}

RecordedAnswer PgScaling::update_action_docker_logs(const Json& arguments, const WriteOnce& once) {
  return write_once(once, [&] { return once.render(update_action_docker_logs(arguments)); });
}

RecordedAnswer PgScaling::write_once(const WriteOnce& once,
                                     const std::function<std::string()>& write) {
  // Thrown out of a transaction spoiled by a write that threw.
  struct Spoiled {};
  const OpenTransaction* outer = open_transaction();
  // Outermost, the write first runs without a savepoint (two statements
  // and a subtransaction less); in the rare case that it throws, everything
  // is rolled back and made again with the savepoint that undoes exactly
  // the part that threw.
  const bool bare = outer == nullptr || outer->pool != impl_->pool.get();
  auto attempt = [&](bool bare_write) {
    return in_write(*impl_, [&](pg::Connection& connection) {
      lock_answer_slot(connection, once.caller, once.key);
      if (std::optional<RecordedAnswer> kept = find_answer(connection, once.caller, once.key)) {
        return *std::move(kept);
      }
      OpenTransaction& open = *open_transaction();
      open.bare_write = bare_write;
      RecordedAnswer first{once.request_hash, write(), false};
      open.bare_write = false;
      if (open.spoiled) throw Spoiled{};
      keep_answer(connection, once, first.answer);
      return first;
    });
  };
  if (bare) {
    try {
      return attempt(true);
    } catch (const Spoiled&) {
      // Rolled back; made again below.
    }
  }
  return attempt(false);
}

Result PgScaling::get_action_details(const std::string& action_record_id) {
  return in_statement(*impl_, [&](pg::Connection& connection) {
    std::optional<Json> record = load_record(connection, action_record_id, false);
    if (!record) return refusal(rules::unknown_action(action_record_id));
    return Result::ok(*std::move(record));
  });
}

namespace {

Result downscaled(detail::PgScalingState& impl, const std::optional<std::string>& instance) {
  return in_statement(impl, [&](pg::Connection& connection) {
    Rows rows = instance ? connection.exec(
                               "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL AND "
                               "assigned_to = $1 ORDER BY scale_down_seq",
                               Params().text(*instance))
                         : connection.exec(
                               "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL "
                               "ORDER BY scale_down_seq");
    Json ids = Json::array();
    for (int row = 0; row < rows.size(); ++row) ids.push_back(rows.text(row, 0));
    return Result::ok(std::move(ids));
  });
}

std::optional<std::pair<std::string, Json>> codebase_of(detail::PgScalingState& impl,
                                                        const std::string& model_family) {
  return in_statement(
      impl, [&](pg::Connection& connection) -> std::optional<std::pair<std::string, Json>> {
        Rows rows =
            connection.exec("SELECT url, requirements_url FROM codebases WHERE model_family = $1",
                            Params().text(model_family));
        if (rows.empty()) return std::nullopt;
        return std::make_pair(rows.text(0, 0), nullable_text(rows, 0, 1));
      });
}

}  // namespace

Result PgScaling::get_downscaled_ids() { return downscaled(*impl_, std::nullopt); }

Result PgScaling::get_own_downscaled_ids() {
  return downscaled(*impl_, impl_->options.instance_id);
}

Result PgScaling::get_model_codebase(const std::string& model_family) {
  auto codebase = codebase_of(*impl_, model_family);
  if (!codebase) return refusal(rules::codebase_missing(model_family));
  return Result::ok(codebase->first);
}

Result PgScaling::get_model_codebase_requirements(const std::string& model_family) {
  auto codebase = codebase_of(*impl_, model_family);
  if (!codebase) return refusal(rules::codebase_missing(model_family));
  if (codebase->second.is_null()) return refusal(rules::requirements_missing(model_family));
  return Result::ok(codebase->second);
}

Result PgScaling::get_docker_hub_credentials() {
  std::optional<Json> credentials = in_statement(*impl_, [&](pg::Connection& connection) {
    return read_setting(connection, rules::kRegistrySetting);
  });
  return rules::registry_credentials_answer(std::move(credentials));
}

Result PgScaling::get_user_access_key_pair(const std::string& user_id) {
  return in_statement(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec("SELECT access_key, secret_key FROM key_pairs WHERE user_id = $1",
                                Params().text(user_id));
    if (rows.empty()) {
      return refusal(rules::not_configured("The key pair of user \"" + user_id + "\"",
                                           config_command::kKeyPair));
    }
    Json pair = Json::object();
    pair["access_key"] = rows.text(0, 0);
    pair["secret_key"] = rows.text(0, 1);
    return Result::ok(std::move(pair));
  });
}

Result PgScaling::get_model_secret_keys(const std::string& secret_name) {
  return in_statement(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec("SELECT user_access_token FROM model_secrets WHERE name = $1",
                                Params().text(secret_name));
    if (rows.empty()) {
      return refusal(rules::not_configured("The model secret \"" + secret_name + "\"",
                                           config_command::kModelSecret));
    }
    Json data = Json::object();
    try {
      data["user_access_token"] =
          rules::open_secret(rows.text(0, 0), "model secret \"" + secret_name + "\"");
    } catch (const DatabaseError& e) {
      return refusal(e.what());
    }
    return Result::ok(std::move(data));
  });
}

Result PgScaling::get_internal_api_key(const std::string& action_record_id) {
  return in_statement(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec("SELECT api_key FROM internal_api_keys WHERE action_id = $1",
                                Params().text(action_record_id));
    if (rows.empty()) {
      return refusal(
          rules::not_configured("The internal API key of action \"" + action_record_id + "\"",
                                config_command::kInternalApiKey));
    }
    Json data = Json::object();
    try {
      data["internal_api_key"] = rules::open_secret(
          rows.text(0, 0), "internal API key of action \"" + action_record_id + "\"");
    } catch (const DatabaseError& e) {
      return refusal(e.what());
    }
    return Result::ok(std::move(data));
  });
}

Json PgScaling::get_data_processing_image() {
  std::optional<Json> image = in_statement(*impl_, [&](pg::Connection& connection) {
    return read_setting(connection, rules::kDataProcessingImageSetting);
  });
  if (!image) {
    throw NotConfiguredError(
        rules::not_configured("The data-processing image", config_command::kDataProcessingImage));
  }
  return *std::move(image);
}

Json PgScaling::get_shutdown_details() {
  std::optional<Json> details = in_statement(*impl_, [&](pg::Connection& connection) {
    return read_setting(connection, rules::kShutdownSetting);
  });
  if (!details) {
    throw NotConfiguredError(
        rules::not_configured("The shutdown settings", config_command::kShutdown));
  }
  return *std::move(details);
}

Result PgScaling::update_available_resources(const Json& arguments) {
  const std::string& instance = impl_->options.instance_id;
  if (std::optional<Result> refused = rules::resource_report_refusal(instance, arguments)) {
    return *refused;
  }
  return in_write(*impl_, [&](pg::Connection& connection) {
    connection.exec(
        "INSERT INTO machine_resources (instance_id, report, reported_at) "
        "VALUES ($1, $2, " NOW_TEXT
        ") ON CONFLICT (instance_id) "
        "DO UPDATE SET report = excluded.report, reported_at = excluded.reported_at",
        Params().text(instance).text(rules::to_text(arguments)));
    return Result::ok(Json(), "recorded");
  });
}

namespace {

int hand_out_range_port(detail::PgScalingState& impl) {
  const std::string& instance = impl.options.instance_id;
  if (instance.empty()) {
    throw std::runtime_error(
        "This backend connection has no instance identifier; ports are handed out per instance");
  }
  const int low = impl.options.port_range->first;
  const int high = impl.options.port_range->second;
  return in_write(impl, [&](pg::Connection& connection) {
    // One hand-out per instance at a time, whichever server makes it.
    connection.exec("SELECT pg_advisory_xact_lock(hashtext($1))",
                    Params().text("ports:" + instance));
    const std::int64_t now = unix_now();
    // A port goes back to the range once every action that held it has
    // ended; one handed out while no action was live is kept for port_hold.
    connection.exec(
        "DELETE FROM instance_ports WHERE instance_id = $1 AND NOT EXISTS ("
        "  SELECT 1 FROM instance_port_holders h JOIN actions a ON a.id = h.action_id"
        "  WHERE h.instance_id = $1 AND h.port = instance_ports.port AND a." LIVE_ACTION_SQL
        ") AND (handed_at <= $2 OR EXISTS (SELECT 1 FROM instance_port_holders h"
        "  WHERE h.instance_id = $1 AND h.port = instance_ports.port))",
        Params().text(instance).integer(now -
                                        static_cast<std::int64_t>(impl.options.port_hold.count())));
    connection.exec(
        "DELETE FROM instance_port_holders WHERE instance_id = $1 AND NOT EXISTS ("
        "  SELECT 1 FROM instance_ports p WHERE p.instance_id = $1"
        "  AND p.port = instance_port_holders.port)",
        Params().text(instance));
    std::set<std::int64_t> held;
    {
      Rows rows = connection.exec("SELECT port FROM instance_ports WHERE instance_id = $1",
                                  Params().text(instance));
      for (int row = 0; row < rows.size(); ++row) held.insert(rows.integer(row, 0));
    }
    int port = 0;
    for (int candidate = low; candidate <= high; ++candidate) {
      if (!held.contains(candidate)) {
        port = candidate;
        break;
      }
    }
    if (port == 0) {
      throw std::runtime_error("Every port of the range " + std::to_string(low) + "-" +
                               std::to_string(high) + " is held by live actions of instance " +
                               instance);
    }
    connection.exec("INSERT INTO instance_ports (instance_id, port, handed_at) VALUES ($1, $2, $3)",
                    Params().text(instance).integer(port).integer(now));
    connection.exec(
        "INSERT INTO instance_port_holders (instance_id, port, action_id) "
        "SELECT $1, $2, id FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL,
        Params().text(instance).integer(port));
    return port;
  });
}

}  // namespace

Json PgScaling::get_open_port() {
  if (impl_->options.port_range) return Json(hand_out_range_port(*impl_));
  // Another request may have been answered a port that is still free (its
  // job has not bound it yet): such ports are skipped for port_hold.
  constexpr int kAttempts = 64;
  const std::int64_t hold = impl_->options.port_hold.count();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int port =
        impl_->options.port_probe ? impl_->options.port_probe() : rules::probe_free_port();
    if (port < 1 || port > 65535) {
      throw std::runtime_error("The port probe answered an invalid port " + std::to_string(port));
    }
    const std::int64_t now = unix_now();
    const bool handed = in_write(*impl_, [&](pg::Connection& connection) {
      connection.exec("DELETE FROM handed_ports WHERE handed_at <= $1",
                      Params().integer(now - hold));
      return connection
                 .exec(
                     "INSERT INTO handed_ports (port, handed_at) VALUES ($1, $2) "
                     "ON CONFLICT (port) DO NOTHING",
                     Params().integer(port).integer(now))
                 .affected() == 1;
    });
    if (handed) return Json(port);
  }
  throw std::runtime_error("No free port found on this host after " + std::to_string(kAttempts) +
                           " tries");
}

// ---- The operator's calls ------------------------------------------------

std::string PgScaling::submit(const Json& record) {
  rules::validate_submission(record);
  const std::string action_type = record.at("action").get<std::string>();
  const bool gpu_required = rules::gpu_required(record);
  return in_write(*impl_, [&](pg::Connection& connection) {
    while (true) {
      const std::string id = rules::new_action_id();
      const Json stored = rules::queued_record(id, record);
      Params params;
      params.text(id).text(action_type).boolean(gpu_required).text(stored.dump());
      owner_param(params, stored);
      const Rows inserted = connection.exec(
          "INSERT INTO actions (id, action_type, gpu_required, record, owner, state, "
          "submitted_at) VALUES ($1, $2, $3, $4, $5, 'queued', " NOW_TEXT
          ") ON CONFLICT (id) DO NOTHING",
          params);
      if (inserted.affected() == 0) continue;
      record_event(connection, id, "submit", Json::object());
      return id;
    }
  });
}

std::map<std::string, std::int64_t> PgScaling::count_by_state() {
  return in_read(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec("SELECT " ACTION_STATE_SQL
                                " AS current, count(*) FROM actions GROUP BY current");
    std::map<std::string, std::int64_t> counts;
    for (int row = 0; row < rows.size(); ++row) counts[rows.text(row, 0)] = rows.integer(row, 1);
    return counts;
  });
}

Json PgScaling::list() {
  return in_read(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec(
        "SELECT id, action_type, record, " ACTION_STATE_SQL
        ", assigned_to, scaled_down_at IS NOT NULL, submitted_at, exit_status FROM actions "
        "ORDER BY seq");
    Json actions = Json::array();
    for (int row = 0; row < rows.size(); ++row) {
      Json status;
      try {
        const Json record = parse_json(rows.text(row, 2));
        const auto found = record.is_object() ? record.find("status") : record.end();
        if (record.is_object() && found != record.end() && !found->is_null()) {
          status = found->is_string() ? *found : Json(found->dump());
        }
      } catch (const JsonError&) {
        // A rejected entry has no status.
      }
      Json summary = Json::object();
      summary["_id"] = rows.text(row, 0);
      summary["action"] = rows.text(row, 1);
      summary["status"] = std::move(status);
      summary["state"] = rows.text(row, 3);
      summary["assignedTo"] = nullable_text(rows, row, 4);
      summary["scaledDown"] = rows.boolean(row, 5);
      summary["submittedAt"] = rows.text(row, 6);
      summary["exitStatus"] = rows.is_null(row, 7) ? Json() : Json(rows.integer(row, 7));
      actions.push_back(std::move(summary));
    }
    return actions;
  });
}

Json PgScaling::show(const std::string& action_record_id) {
  return in_read(*impl_, [&](pg::Connection& connection) {
    Json shown = Json::object();
    {
      Rows rows = connection.exec(
          "SELECT record, " ACTION_STATE_SQL
          ", assigned_to, submitted_at, assigned_at, scaled_down_at, log_bytes, ended_at, "
          "exit_status, rejected_reason IS NOT NULL, log_limit_reached_at FROM actions "
          "WHERE id = $1",
          Params().text(action_record_id));
      if (rows.empty()) throw KeyError(rules::unknown_action(action_record_id));
      shown["record"] = rows.boolean(0, 9) ? Json(rows.text(0, 0))
                                           : rules::parse_stored(rows.text(0, 0), "action record");
      shown["state"] = rows.text(0, 1);
      shown["assignedTo"] = nullable_text(rows, 0, 2);
      shown["submittedAt"] = rows.text(0, 3);
      shown["assignedAt"] = nullable_text(rows, 0, 4);
      shown["scaledDownAt"] = nullable_text(rows, 0, 5);
      shown["endedAt"] = nullable_text(rows, 0, 7);
      shown["exitStatus"] = rows.is_null(0, 8) ? Json() : Json(rows.integer(0, 8));
      shown["logBytes"] = rows.integer(0, 6);
      shown["logLimit"] =
          impl_->options.log_limit_bytes > 0 ? Json(impl_->options.log_limit_bytes) : Json();
      shown["logLimitReachedAt"] = nullable_text(rows, 0, 10);
    }
    Json history = Json::array();
    Rows events = connection.exec(
        "SELECT operation, arguments, recorded_at FROM status_history WHERE action_id = $1 "
        "ORDER BY seq",
        Params().text(action_record_id));
    for (int row = 0; row < events.size(); ++row) {
      Json event = Json::object();
      event["operation"] = events.text(row, 0);
      event["arguments"] = rules::parse_stored(events.text(row, 1), "status report");
      event["recordedAt"] = events.text(row, 2);
      history.push_back(std::move(event));
    }
    shown["history"] = std::move(history);
    return shown;
  });
}

LogChunk PgScaling::logs(const std::string& action_record_id, std::int64_t after_offset) {
  if (after_offset < 0) {
    throw ValueError("A log offset must not be negative, not " + std::to_string(after_offset));
  }
  return in_read(*impl_, [&](pg::Connection& connection) {
    Rows action = connection.exec(
        "SELECT ended_at IS NOT NULL OR rejected_reason IS NOT NULL FROM actions WHERE id = $1",
        Params().text(action_record_id));
    if (action.empty()) throw KeyError(rules::unknown_action(action_record_id));
    Rows pieces = connection.exec(
        "SELECT start_offset, content FROM log_pieces WHERE action_id = $1 "
        "AND start_offset + octet_length(content) > $2 ORDER BY start_offset",
        Params().text(action_record_id).integer(after_offset));
    LogChunk chunk;
    for (int row = 0; row < pieces.size(); ++row) {
      const std::int64_t start = pieces.integer(row, 0);
      std::string content = pieces.bytes(row, 1);
      if (start < after_offset) content.erase(0, static_cast<std::size_t>(after_offset - start));
      chunk.content += content;
    }
    chunk.next_offset = after_offset + static_cast<std::int64_t>(chunk.content.size());
    chunk.finished = action.boolean(0, 0);
    return chunk;
  });
}

void PgScaling::record_exit(const std::string& action_record_id, int exit_status) {
  in_write(*impl_, [&](pg::Connection& connection) {
    const Rows updated = connection.exec("UPDATE actions SET ended_at = " NOW_TEXT
                                         ", exit_status = $1 WHERE id = $2",
                                         Params().integer(exit_status).text(action_record_id));
    if (updated.affected() == 0) throw KeyError(rules::unknown_action(action_record_id));
    Json event = Json::object();
    event["exit_status"] = exit_status;
    if (!impl_->options.instance_id.empty()) event["instance_id"] = impl_->options.instance_id;
    record_event(connection, action_record_id, "exit", event);
  });
}

void PgScaling::scale_down(const std::string& action_record_id) {
  in_write(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec(
        "SELECT scaled_down_at IS NOT NULL FROM actions WHERE id = $1 FOR NO KEY UPDATE",
        Params().text(action_record_id));
    if (rows.empty()) throw KeyError(rules::unknown_action(action_record_id));
    if (rows.boolean(0, 0)) return;
    connection.exec("UPDATE actions SET scaled_down_at = " NOW_TEXT
                    ", scale_down_seq = nextval('scale_down_order') WHERE id = $1",
                    Params().text(action_record_id));
    record_event(connection, action_record_id, "scale_down", Json::object());
  });
}

void PgScaling::set_registry_credentials(const std::string& username, const std::string& password,
                                         const std::string& registry) {
  const Json credentials = rules::registry_credentials(username, password, registry);
  in_write(*impl_, [&](pg::Connection& connection) {
    write_setting(connection, rules::kRegistrySetting, credentials);
  });
}

void PgScaling::set_key_pair(const std::string& user_id, const std::string& access_key,
                             const std::string& secret_key) {
  const rules::StoredKeyPair stored = rules::key_pair_to_store(user_id, access_key, secret_key);
  in_write(*impl_, [&](pg::Connection& connection) {
    connection.exec(
        "INSERT INTO key_pairs (user_id, access_key, secret_key, encrypted) "
        "VALUES ($1, $2, $3, $4) ON CONFLICT (user_id) DO UPDATE SET "
        "access_key = excluded.access_key, secret_key = excluded.secret_key, "
        "encrypted = excluded.encrypted",
        Params()
            .text(user_id)
            .text(stored.access_key)
            .text(stored.secret_key)
            .boolean(stored.encrypted));
  });
}

void PgScaling::set_codebase(const std::string& model_family, const std::string& url,
                             const std::optional<std::string>& requirements_url) {
  rules::require_text(model_family, "The model family");
  rules::require_url(url, "The codebase URL");
  if (requirements_url) rules::require_url(*requirements_url, "The requirements URL");
  in_write(*impl_, [&](pg::Connection& connection) {
    Params params;
    params.text(model_family).text(url);
    if (requirements_url) {
      params.text(*requirements_url);
    } else {
      params.null();
    }
    connection.exec(
        "INSERT INTO codebases (model_family, url, requirements_url) VALUES ($1, $2, $3) "
        "ON CONFLICT (model_family) DO UPDATE SET url = excluded.url, "
        "requirements_url = excluded.requirements_url",
        params);
  });
}

void PgScaling::set_model_secret(const std::string& secret_name,
                                 const std::string& user_access_token) {
  rules::require_text(secret_name, "The secret name");
  rules::require_text(user_access_token, "The user access token");
  const std::string sealed = rules::seal_secret(user_access_token);
  in_write(*impl_, [&](pg::Connection& connection) {
    connection.exec(
        "INSERT INTO model_secrets (name, user_access_token) VALUES ($1, $2) "
        "ON CONFLICT (name) DO UPDATE SET user_access_token = excluded.user_access_token",
        Params().text(secret_name).text(sealed));
  });
}

void PgScaling::set_internal_api_key(const std::string& action_record_id, const std::string& key) {
  rules::require_action_id(action_record_id);
  rules::require_text(key, "The internal API key");
  const std::string sealed = rules::seal_secret(key);
  in_write(*impl_, [&](pg::Connection& connection) {
    require_action(connection, action_record_id);
    connection.exec(
        "INSERT INTO internal_api_keys (action_id, api_key) VALUES ($1, $2) "
        "ON CONFLICT (action_id) DO UPDATE SET api_key = excluded.api_key",
        Params().text(action_record_id).text(sealed));
  });
}

void PgScaling::set_data_processing_image(const std::string& image) {
  rules::require_text(image, "The data-processing image", true);
  in_write(*impl_, [&](pg::Connection& connection) {
    write_setting(connection, rules::kDataProcessingImageSetting, Json(image));
  });
}

void PgScaling::set_shutdown_details(double shutdown_threshold, double launch_duration,
                                     const std::string& instance_source) {
  const Json details =
      rules::shutdown_details(shutdown_threshold, launch_duration, instance_source);
  in_write(*impl_, [&](pg::Connection& connection) {
    write_setting(connection, rules::kShutdownSetting, details);
  });
}

// Names are ordered byte for byte (COLLATE "C"), as the embedded store
// orders them, whatever the database's collation.
Json PgScaling::machine_resources() {
  return in_read(*impl_, [&](pg::Connection& connection) {
    Rows rows = connection.exec(
        "SELECT instance_id, report, reported_at FROM machine_resources "
        "ORDER BY instance_id COLLATE \"C\"");
    Json machines = Json::object();
    for (int row = 0; row < rows.size(); ++row) {
      Json machine = Json::object();
      machine["report"] = rules::parse_stored(rows.text(row, 1), "resource report");
      machine["reportedAt"] = rows.text(row, 2);
      machines[rows.text(row, 0)] = std::move(machine);
    }
    return machines;
  });
}

Json PgScaling::configuration() {
  return in_read(*impl_, [&](pg::Connection& connection) {
    Json shown = Json::object();
    std::optional<Json> registry = read_setting(connection, rules::kRegistrySetting);
    if (registry) registry->erase("password");
    shown["registry"] = registry.value_or(Json());
    shown["dataProcessingImage"] =
        read_setting(connection, rules::kDataProcessingImageSetting).value_or(Json());
    shown["shutdownDetails"] = read_setting(connection, rules::kShutdownSetting).value_or(Json());

    Json codebases = Json::object();
    {
      Rows rows = connection.exec(
          "SELECT model_family, url, requirements_url FROM codebases "
          "ORDER BY model_family COLLATE \"C\"");
      for (int row = 0; row < rows.size(); ++row) {
        Json codebase = Json::object();
        codebase["url"] = rows.text(row, 1);
        codebase["requirementsUrl"] = nullable_text(rows, row, 2);
        codebases[rows.text(row, 0)] = std::move(codebase);
      }
    }
    shown["codebases"] = std::move(codebases);

    Json key_pairs = Json::object();
    {
      Rows rows = connection.exec(
          "SELECT user_id, encrypted FROM key_pairs ORDER BY user_id COLLATE \"C\"");
      for (int row = 0; row < rows.size(); ++row) {
        key_pairs[rows.text(row, 0)] = Json{{"encrypted", rows.boolean(row, 1)}};
      }
    }
    shown["keyPairs"] = std::move(key_pairs);

    Json secrets = Json::array();
    {
      Rows rows = connection.exec("SELECT name FROM model_secrets ORDER BY name COLLATE \"C\"");
      for (int row = 0; row < rows.size(); ++row) secrets.push_back(rows.text(row, 0));
    }
    shown["modelSecrets"] = std::move(secrets);

    Json api_keys = Json::array();
    {
      Rows rows = connection.exec(
          "SELECT action_id FROM internal_api_keys ORDER BY action_id COLLATE \"C\"");
      for (int row = 0; row < rows.size(); ++row) api_keys.push_back(rows.text(row, 0));
    }
    shown["internalApiKeys"] = std::move(api_keys);
    return shown;
  });
}

// ---- For a server of many instances -----------------------------------

std::optional<ActionAccess> PgScaling::action_access(const std::string& action_record_id) {
  return in_statement(*impl_, [&](pg::Connection& connection) -> std::optional<ActionAccess> {
    Rows rows = connection.exec("SELECT assigned_to, owner, NOT (" LIVE_ACTION_SQL
                                ") FROM actions WHERE id = $1",
                                Params().text(action_record_id));
    if (rows.empty()) return std::nullopt;
    ActionAccess access;
    if (!rows.is_null(0, 0)) access.assigned_to = rows.text(0, 0);
    if (!rows.is_null(0, 1)) access.owner = rows.text(0, 1);
    access.ended = rows.boolean(0, 2);
    return access;
  });
}

bool PgScaling::has_live_action_of(const std::string& instance_id, const std::string& user_id) {
  if (instance_id.empty() || user_id.empty()) return false;
  return in_statement(*impl_, [&](pg::Connection& connection) {
    return !connection
                .exec("SELECT 1 FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL
                      " AND owner = $2 LIMIT 1",
                      Params().text(instance_id).text(user_id))
                .empty();
  });
}

bool PgScaling::has_live_action(const std::string& instance_id) {
  if (instance_id.empty()) return false;
  return in_statement(*impl_, [&](pg::Connection& connection) {
    return !connection
                .exec("SELECT 1 FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL
                      " LIMIT 1",
                      Params().text(instance_id))
                .empty();
  });
}

std::optional<RecordedAnswer> PgScaling::recorded_answer(const std::string& caller,
                                                         const std::string& key) {
  return in_statement(
      *impl_, [&](pg::Connection& connection) { return find_answer(connection, caller, key); });
}

RecordedAnswer PgScaling::record_answer(const std::string& caller, const std::string& key,
                                        const std::string& request_hash, const std::string& answer,
                                        std::chrono::seconds keep) {
  return in_write(*impl_, [&](pg::Connection& connection) {
    lock_answer_slot(connection, caller, key);
    if (std::optional<RecordedAnswer> kept = find_answer(connection, caller, key)) {
      return *std::move(kept);
    }
    keep_answer(connection, WriteOnce{caller, key, request_hash, keep, {}}, answer);
    return RecordedAnswer{request_hash, answer, false};
  });
}

void PgScaling::add_access_key(const AccessKeyRecord& key) {
  rules::check_access_key(key);
  in_write(*impl_, [&](pg::Connection& connection) {
    Params params;
    params.text(key.access_key).text(key.sealed_secret).text(key.role);
    if (key.instance_id.empty()) {
      params.null();
    } else {
      params.text(key.instance_id);
    }
    const Rows inserted = connection.exec(
        "INSERT INTO access_keys (access_key, sealed_secret, role, instance_id, created_at) "
        "VALUES ($1, $2, $3, $4, " NOW_TEXT ") ON CONFLICT (access_key) DO NOTHING",
        params);
    if (inserted.affected() == 0) {
      throw ValueError("The access key " + key.access_key + " exists already");
    }
  });
}

namespace {

constexpr const char* kAccessKeyColumns =
    "SELECT access_key, sealed_secret, role, coalesce(instance_id, ''), created_at, "
    "revoked_at IS NOT NULL FROM access_keys ";

AccessKeyRecord access_key_row(const Rows& rows, int row) {
  return AccessKeyRecord{rows.text(row, 0), rows.text(row, 1), rows.text(row, 2),
                         rows.text(row, 3), rows.text(row, 4), rows.boolean(row, 5)};
}

}  // namespace

std::vector<AccessKeyRecord> PgScaling::access_keys() {
  return in_read(*impl_, [&](pg::Connection& connection) {
    const std::string sql = std::string(kAccessKeyColumns) + "ORDER BY seq";
    Rows rows = connection.exec(sql.c_str());
    std::vector<AccessKeyRecord> keys;
    for (int row = 0; row < rows.size(); ++row) keys.push_back(access_key_row(rows, row));
    return keys;
  });
}

std::optional<AccessKeyRecord> PgScaling::find_access_key(const std::string& access_key) {
  return in_statement(*impl_, [&](pg::Connection& connection) -> std::optional<AccessKeyRecord> {
    const std::string sql = std::string(kAccessKeyColumns) + "WHERE access_key = $1";
    Rows rows = connection.exec(sql.c_str(), Params().text(access_key));
    if (rows.empty()) return std::nullopt;
    return access_key_row(rows, 0);
  });
}

bool PgScaling::revoke_access_key(const std::string& access_key) {
  return in_write(*impl_, [&](pg::Connection& connection) {
    return connection
               .exec("UPDATE access_keys SET revoked_at = coalesce(revoked_at, " NOW_TEXT
                     ") WHERE access_key = $1",
                     Params().text(access_key))
               .affected() > 0;
  });
}

}  // namespace tavoren::backend
