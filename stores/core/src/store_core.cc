// Every store operation, once, over the port of its database. Writes run
// in one write transaction each, with row locks on the actions they change
// and queue entries taken skipping the rows another server is handing out;
// reads of several statements on one snapshot, reads of one statement by
// themselves. Statements whose rows are not needed go through Tx::run, so
// that a port that pipelines sends them with the next statement.

#include "tavoren/store_core.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "core_internal.h"
#include "nonce_batch.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"
#include "tavoren/store_port.h"
#include "tavoren/store_rules.h"

namespace tavoren::backend {

namespace rules = store_rules;

namespace core {

// At most this many expired rows go in one sweep.
constexpr std::int64_t kSweepBatch = 64;

// When one kind of expired row is next swept (CoreOptions::sweep_every).
// A claimed sweep whose transaction rolls back waits for the next period.
class SweepClock {
 public:
  explicit SweepClock(std::chrono::milliseconds every) : every_ms_(every.count()) {}

  // Whether the caller sweeps now: true for one caller per period.
  bool claim() {
    if (every_ms_ == 0) return true;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::int64_t next = next_ms_.load();
    while (now >= next) {
      if (next_ms_.compare_exchange_weak(next, now + every_ms_)) return true;
    }
    return false;
  }
  // After a claimed sweep that removed `removed` rows: a full batch may
  // have left more, which the next write sweeps at once.
  void swept(std::int64_t removed) {
    if (removed >= kSweepBatch) next_ms_.store(0);
  }

 private:
  const std::int64_t every_ms_;
  std::atomic<std::int64_t> next_ms_{0};
};

}  // namespace core

using core::Params;
using core::Port;
using core::Rows;
using core::Tx;
using rules::refusal;
using rules::unix_now;

namespace core_internal {

void record_event(Tx& tx, const std::string& id, std::string_view operation,
                  const Json& arguments) {
  record_event_text(tx, id, operation, rules::to_text(arguments));
}

void record_event_text(Tx& tx, const std::string& id, std::string_view operation,
                       const std::string& arguments) {
  tx.run(
      "INSERT INTO status_history (action_id, operation, arguments, recorded_at) "
      "VALUES ($1, $2, $3, {now})",
      Params().text(id).text(operation).text(arguments));
}

void scale_down_in(Tx& tx, const std::string& id, std::string_view cause) {
  tx.run(
      "UPDATE actions SET scaled_down_at = {now}, scale_down_seq = {next_scale_down}, "
      "scale_down_cause = $2 WHERE id = $1",
      Params().text(id).text(cause));
  Json event = Json::object();
  if (cause != end_cause::kScaledDown) event["cause"] = cause;
  record_event(tx, id, "scale_down", event);
}

}  // namespace core_internal

#define LIVE_ACTION_SQL TAVOREN_LIVE_ACTION_SQL
// What list and show answer as an action's state.
#define ACTION_STATE_SQL                                                             \
  "CASE WHEN rejected_reason IS NOT NULL THEN 'rejected' WHEN ended_at IS NOT NULL " \
  "THEN 'ended' ELSE state END"

namespace {

// The record's "_idUser" when it is a text, kept beside the record for the
// access checks.
std::optional<std::string> owner_of(const Json& record) {
  if (!record.is_object()) return std::nullopt;
  return rules::text_argument(record, "_idUser");
}

std::optional<Json> load_record(Tx& tx, const std::string& id, bool lock) {
  Rows rows = tx.query(lock ? "SELECT record FROM actions WHERE id = $1{lock}"
                            : "SELECT record FROM actions WHERE id = $1",
                       Params().text(id));
  if (!rows.next()) return std::nullopt;
  return rules::parse_stored(rows.text(0), "action record");
}

using core_internal::record_event;

std::optional<Json> read_setting(Tx& tx, const char* name) {
  Rows rows = tx.query("SELECT value FROM settings WHERE name = $1", Params().text(name));
  if (!rows.next()) return std::nullopt;
  return rules::parse_stored(rows.text(0), std::string("setting ") + name);
}

void write_setting(Tx& tx, const char* name, const Json& value) {
  tx.run(
      "INSERT INTO settings (name, value) VALUES ($1, $2) "
      "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
      Params().text(name).text(rules::to_text(value)));
}

// The answer kept under (caller $1, key $2) that has not expired at $3.
constexpr const char* kFindAnswerSql =
    "SELECT request_hash, answer FROM write_answers "
    "WHERE caller = $1 AND idempotency_key = $2 AND expires_at > $3";

std::optional<RecordedAnswer> find_answer(Tx& tx, const std::string& caller,
                                          const std::string& key) {
  Rows rows = tx.query(kFindAnswerSql, Params().text(caller).text(key).integer(unix_now()));
  if (!rows.next()) return std::nullopt;
  return RecordedAnswer{rows.text(0), rows.text(1), true};
}

// Keeps the answer, replacing an expired answer of the same key, after a
// sweep of a few other expired answers when one is due.
void keep_answer(Tx& tx, core::SweepClock& sweep, const WriteOnce& once,
                 const std::string& answer) {
  const std::int64_t now = unix_now();
  if (sweep.claim()) {
    sweep.swept(tx.change(
        "{purge_answers}",
        Params().integer(now).integer(core::kSweepBatch).text(once.caller).text(once.key)));
  }
  tx.run(
      "INSERT INTO write_answers (caller, idempotency_key, request_hash, answer, expires_at) "
      "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (caller, idempotency_key) DO UPDATE SET "
      "request_hash = excluded.request_hash, answer = excluded.answer, "
      "expires_at = excluded.expires_at",
      Params()
          .text(once.caller)
          .text(once.key)
          .text(once.request_hash)
          .text(answer)
          .integer(now + static_cast<std::int64_t>(once.keep.count())));
}

// Serializes the writes under one (caller, key) across every server of the
// database until the transaction ends.
void lock_answer_slot(Tx& tx, const std::string& caller, const std::string& key) {
  tx.lock("answer:" + caller, key);
}

// A stored secret opened, or the refusal that says why it cannot be.
Result opened_secret(const sealing::Keyring* keyring, const std::string& stored,
                     const std::string& binding, const char* field, const std::string& what) {
  Json data = Json::object();
  try {
    data[field] = rules::open_secret(keyring, stored, binding, what);
  } catch (const DatabaseError& e) {
    return refusal(refusal_kind::kFailed, e.what());
  }
  return Result::ok(std::move(data));
}

using Rejections = std::vector<std::pair<std::string, std::string>>;

// An entry written into the queue by other means than submit may not be a
// record at all: it is set aside, so that it neither stops the queue nor
// comes back on every poll.
std::optional<Json> queued_record_or_reason(const std::string& text, std::string& reason) {
  Json record;
  try {
    record = parse_json(text);
  } catch (const JsonError& e) {
    reason = e.beyond_limits() ? e.what() : "its text is not JSON";
    return std::nullopt;
  }
  if (!record.is_object()) {
    reason = "it is JSON but not an object";
    return std::nullopt;
  }
  return record;
}

// Records the poll as the machine's contact (making the machine at its
// first poll), which also locks its row. Only a poll that may get work
// starts the poll interval: a poll within the interval ($4) of the last
// poll that could get work is "too soon". The machine keeps a bound of the
// live actions it holds: a poll whose batch ($5) fits under its limit
// within that bound raises the bound by the batch, whatever it takes, so
// that its actions need not be counted; any other poll leaves the bound
// unknown (null) until they are (bound_held). Only a hand-out makes a
// machine hold more, and ends lower the count, not the bound, so the bound
// holds. Its rows are not needed, so a port that pipelines sends it with
// the pick that follows.
#define TOO_SOON_SQL \
  "(machines.last_poll_ms IS NOT NULL AND excluded.contact_ms - machines.last_poll_ms < $4)"
void record_poll(Tx& tx, const CoreOptions& options) {
  tx.run(
      "INSERT INTO machines (instance_id, gpus, max_actions, labels, created_at, "
      "first_contact_at, last_contact_at, contact_ms, last_poll_ms, last_poll_too_soon, mode) "
      "VALUES ($1, NULL, $3, '{}', {now}, {now}, {now}, {now_ms} + $2, {now_ms} + $2, FALSE, "
      "'active') "
      "ON CONFLICT (instance_id) DO UPDATE SET "
      "first_contact_at = coalesce(machines.first_contact_at, excluded.first_contact_at), "
      "last_contact_at = excluded.last_contact_at, contact_ms = excluded.contact_ms, "
      "lost_at = NULL, "
      "mode = CASE WHEN machines.drained_by = 'agent' THEN 'active' ELSE machines.mode END, "
      "drained_by = CASE WHEN machines.drained_by = 'agent' THEN NULL ELSE machines.drained_by "
      "END, last_poll_too_soon = " TOO_SOON_SQL ", last_poll_ms = CASE WHEN " TOO_SOON_SQL
      " THEN machines.last_poll_ms ELSE excluded.contact_ms END, held_at_most = CASE WHEN "
      "machines.held_at_most IS NOT NULL AND machines.held_at_most + $5 <= machines.max_actions "
      "THEN machines.held_at_most + $5 END",
      Params()
          .text(options.instance_id)
          .integer(options.fleet.clock_offset.count())
          .integer(options.fleet.default_max_actions)
          .integer(options.fleet.min_poll_interval.count())
          .integer(options.assign_batch));
}

// A column of the polling machine's row ($3: its identifier).
#define POLLING_MACHINE_SQL(column) "(SELECT " column " FROM machines WHERE instance_id = $3)"
// Whether a queued action's GPU memory fits the polling machine's latest
// inventory (what it has free on its healthy GPUs: the most on one, and
// all together; null before an inventory; $4: kLargeGpuRequirementMib):
// below $4 one GPU must hold it, as the agent's own choice of a single GPU;
// from $4 on their sum.
#define GPU_MEMORY_FITS_SQL \
  "(gpu_memory_mib IS NULL OR " POLLING_MACHINE_SQL("gpu_free_max_mib") " IS NULL " \
  "OR (gpu_memory_mib < $4 AND gpu_memory_mib <= " POLLING_MACHINE_SQL(            \
      "gpu_free_max_mib") ") OR (gpu_memory_mib >= $4 AND gpu_memory_mib <= "       \
  POLLING_MACHINE_SQL("gpu_free_sum_mib") "))"
// The live actions the machine named by parameter `instance` holds,
// counted.
#define HELD_SQL(instance)                                      \
  "(SELECT count(*) FROM actions WHERE assigned_to = " instance \
  " AND state = 'assigned' "                                    \
  "AND " LIVE_ACTION_SQL ")"
// Whether the poll raised the machine's bound of the actions it holds by
// a whole batch within its limit (record_poll): they need not be counted.
#define FAR_FROM_LIMIT_SQL "(held_at_most IS NOT NULL)"
// How many actions the poll may take: none when the machine is not active
// or polls too soon, else up to the batch within what its limit leaves.
#define POLL_TAKES_SQL \
  "(SELECT CASE WHEN mode <> 'active' OR last_poll_too_soon THEN 0 WHEN " FAR_FROM_LIMIT_SQL \
  " THEN $2 ELSE (SELECT CASE WHEN held >= max_actions THEN 0 WHEN max_actions - held < $2 " \
  "THEN max_actions - held ELSE $2 END FROM (SELECT " HELD_SQL("$3")                               \
  " AS held) AS holding) END "                                                               \
  "FROM machines WHERE instance_id = $3)"

// The pick of one poll, in the same statement as what it must know of the
// machine: first the machine's row (its mode, whether it polled too soon,
// and whether its actions went uncounted), then the queued entries it
// takes, in queue order. Entries another server is handing out now are
// skipped, not waited for: each goes to one agent only. The machine's row
// is locked, so the count of the actions it holds is its own. The
// operator's count of GPUs overrides what the agent says ($1).
constexpr const char* kPickSql =
    "SELECT 0 AS part, 0 AS seq, mode, last_poll_too_soon, " FAR_FROM_LIMIT_SQL
    " AS far, NULL AS id, NULL AS record, NULL AS attempt FROM machines WHERE instance_id = $3 "
    "UNION ALL SELECT 1, seq, NULL, NULL, NULL, id, record, attempt FROM (SELECT seq, id, "
    "record, attempt FROM actions WHERE state = 'queued' AND scaled_down_at IS NULL AND (NOT "
    "gpu_required OR ($1 AND " POLLING_MACHINE_SQL(
        "coalesce(gpus, 1) > 0") ")) AND " GPU_MEMORY_FITS_SQL " ORDER BY seq LIMIT " POLL_TAKES_SQL
                                 "{skip_locked}) AS picked "
                                 "ORDER BY part, seq";

// After a poll that counted the machine's actions (its bound was unknown
// or too close to its limit), sets the bound to their count, this poll's
// included.
void bound_held(Tx& tx, const std::string& instance, bool far) {
  if (far) return;
  tx.run("UPDATE machines SET held_at_most = " HELD_SQL("$1") " WHERE instance_id = $1",
         Params().text(instance));
}

// One poll's hand-out in its transaction: the machine's contact, the pick,
// the entries set aside and the records handed out. It stays one function,
// read top to bottom, because each step uses what the one before locked.
Result assign_in(Tx& tx, const CoreOptions& options, bool has_gpu, Rejections& rejected) {
  const std::string& instance = options.instance_id;
  record_poll(tx, options);
  std::string mode;
  bool too_soon = false;
  bool far = false;
  std::vector<std::tuple<std::string, Json, std::int64_t>> picked;
  {
    Rows rows =
        tx.query(kPickSql, Params()
                               .boolean(has_gpu)
                               .integer(options.assign_batch)
                               .text(instance)
                               .integer(static_cast<std::int64_t>(kLargeGpuRequirementMib)));
    while (rows.next()) {
      if (rows.integer(0) == 0) {
        mode = rows.text(2);
        too_soon = rows.boolean(3);
        far = rows.boolean(4);
        continue;
      }
      std::string id = rows.text(5);
      std::string reason;
      if (std::optional<Json> record = queued_record_or_reason(rows.text(6), reason)) {
        picked.emplace_back(std::move(id), *std::move(record), rows.integer(7) + 1);
      } else {
        rejected.emplace_back(std::move(id), std::move(reason));
      }
    }
  }
  if (too_soon) return Result::ok(Json::array(), std::string(poll_message::kTooSoon));
  if (mode == "draining") return Result::ok(Json::array(), std::string(poll_message::kDraining));
  if (mode == "preempting") {
    return Result::ok(Json::array(), std::string(poll_message::kPreempting));
  }
  for (const auto& [id, reason] : rejected) {
    tx.run(
        "UPDATE actions SET state = 'assigned', assigned_to = $1, assigned_at = {now}, "
        "rejected_reason = $2 WHERE id = $3",
        Params().text(instance).text(reason).text(id));
    Json event = Json::object();
    event["instance_id"] = instance;
    event["reason"] = reason;
    record_event(tx, id, "reject", event);
  }
  Json assigned = Json::array();
  for (auto& [id, record, attempt] : picked) {
    record["status"] = "assigned";
    record["attempt"] = attempt;
    tx.run(
        "UPDATE actions SET state = 'assigned', assigned_to = $1, assigned_at = {now}, "
        "record = $2, attempt = $4 WHERE id = $3",
        Params().text(instance).text(rules::to_text(record)).text(id).integer(attempt));
    tx.run(
        "INSERT INTO attempts (action_id, attempt, instance_id, assigned_at) "
        "VALUES ($1, $2, $3, {now})",
        Params().text(id).integer(attempt).text(instance));
    if (attempt > 1) {
      // A new attempt starts a log of its own; the earlier one's pieces
      // stay under its number.
      tx.run(
          "UPDATE actions SET log_bytes = 0, log_stream = NULL, log_stream_end = NULL, "
          "log_limit_reached_at = NULL WHERE id = $1",
          Params().text(id));
    }
    Json event = Json::object();
    event["instance_id"] = instance;
    event["has_gpu"] = has_gpu;
    event["attempt"] = attempt;
    record_event(tx, id, "assign_jobs", event);
    assigned.push_back(std::move(record));
  }
  bound_held(tx, instance, far);
  return Result::ok(std::move(assigned));
}

// Records one status report in the action's history and lets `change`
// amend the record; refused when the action does not exist.
// The refusal of a write about an attempt that is not current.
Result not_current(const std::string& id, std::int64_t attempt) {
  return Result::failure(std::string(kNotCurrent), core_internal::not_current_text(id, attempt));
}

// The attempt a write names (nullopt when none), or its refusal.
std::variant<std::optional<std::int64_t>, Result> named_attempt(const Json& arguments) {
  try {
    return core_internal::attempt_argument(arguments);
  } catch (const ValueError& e) {
    return refusal(refusal_kind::kValueError, e.what());
  }
}

template <typename Change>
Result record_report(Port& port, const CoreOptions& options, const std::string& id,
                     const char* operation, const Json& arguments, Change&& change) {
  auto attempt = named_attempt(arguments);
  if (auto* refused = std::get_if<Result>(&attempt)) return *refused;
  const std::optional<std::int64_t> named = std::get<std::optional<std::int64_t>>(attempt);
  return core::write_with(port, [&](Tx& tx) {
    if (named && !core_internal::is_current(tx, id, *named, options.instance_id)) {
      if (!tx.query("SELECT 1 FROM actions WHERE id = $1", Params().text(id)).next()) {
        return refusal(refusal_kind::kKeyError, rules::unknown_action(id));
      }
      return not_current(id, *named);
    }
    Rows row =
        tx.query("SELECT record, report_bytes FROM actions WHERE id = $1{lock}", Params().text(id));
    if (!row.next()) return refusal(refusal_kind::kKeyError, rules::unknown_action(id));
    const std::string stored_record = row.text(0);
    const std::int64_t report_bytes = row.integer(1);
    Json record = rules::parse_stored(stored_record, "action record");
    // The report as the agent's contract has it; the attempt only fenced it.
    Json report = arguments;
    if (report.is_object()) report.erase("attempt");
    const std::string report_text = rules::to_text(report);
    if (auto refused = rules::report_too_large(id, report_text.size(), report_bytes)) {
      return *refused;
    }
    if (change(record)) {
      const std::string record_text = rules::to_text(record);
      if (auto refused = rules::record_too_large(id, stored_record.size(), record_text.size())) {
        return *refused;
      }
      tx.run(
          "UPDATE actions SET record = $2, owner = $3, report_bytes = report_bytes + $4 "
          "WHERE id = $1",
          Params()
              .text(id)
              .text(record_text)
              .optional_text(owner_of(record))
              .integer(static_cast<std::int64_t>(report_text.size())));
    } else {
      tx.run("UPDATE actions SET report_bytes = report_bytes + $2 WHERE id = $1",
             Params().text(id).integer(static_cast<std::int64_t>(report_text.size())));
    }
    core_internal::record_event_text(tx, id, operation, report_text);
    return Result::ok(Json(), "recorded");
  });
}

// Appends one piece to an action's log, up to the log limit; a placed piece
// is stored as store_rules::plan_log_piece says.
Result append_log_in(Tx& tx, const CoreOptions& options, const rules::LogPiece& log_piece,
                     std::optional<std::int64_t> attempt) {
  const std::string& id = log_piece.action_id;
  Rows action = tx.query(
      "SELECT log_limit_reached_at IS NOT NULL, log_bytes, log_stream, log_stream_end, attempt, "
      "state = 'assigned' AND " LIVE_ACTION_SQL
      " AND ($2 = '' OR assigned_to = $2) "
      "FROM actions WHERE id = $1{lock}",
      Params().text(id).text(options.instance_id));
  if (!action.next()) return refusal(refusal_kind::kKeyError, rules::unknown_action(id));
  if (attempt && (action.integer(4) != *attempt || !action.boolean(5))) {
    return not_current(id, *attempt);
  }
  const bool limit_reached = action.boolean(0);
  const std::int64_t offset = action.integer(1);
  std::optional<rules::LogMark> mark;
  if (!action.is_null(2)) mark = rules::LogMark{action.text(2), action.integer(3)};
  if (log_piece.content.empty()) return Result::ok(Json(), "nothing to store");
  const rules::LogPlan plan = rules::plan_log_piece(log_piece, mark);
  if (plan.repeat) return Result::ok(Json(), "stored before");
  if (plan.mark) {
    tx.run("UPDATE actions SET log_stream = $2, log_stream_end = $3 WHERE id = $1",
           Params().text(id).text(plan.mark->stream).integer(plan.mark->end));
  }
  const std::string_view piece = log_piece.content.substr(plan.skip);
  if (piece.empty()) return Result::ok(Json(), "stored before");
  const std::int64_t limit = options.log_limit_bytes;
  // Output beyond the limit is acknowledged, so that the job goes on.
  if (limit > 0 && limit_reached) return Result::ok(Json(), "not stored: log limit reached");
  const bool over = limit > 0 && offset + static_cast<std::int64_t>(piece.size()) > limit;
  const std::string stored = over ? log_limit_notice(limit) : std::string(piece);
  // Pieces sent before the first assignment belong to the first attempt.
  const std::int64_t piece_attempt = std::max<std::int64_t>(action.integer(4), 1);
  tx.run(
      "INSERT INTO log_pieces (action_id, attempt, start_offset, content) "
      "VALUES ($1, $2, $3, $4)",
      Params().text(id).integer(piece_attempt).integer(offset).bytes(stored));
  const auto size = static_cast<std::int64_t>(stored.size());
  if (over) {
    tx.run(
        "UPDATE actions SET log_bytes = log_bytes + $2, log_limit_reached_at = {now} "
        "WHERE id = $1",
        Params().text(id).integer(size));
    Json event = Json::object();
    event["log_limit"] = limit;
    record_event(tx, id, "log_limit", event);
  } else {
    tx.run("UPDATE actions SET log_bytes = log_bytes + $2 WHERE id = $1",
           Params().text(id).integer(size));
  }
  return Result::ok(Json(), over ? "not stored: log limit reached" : "stored");
}

// The codebase row of a model family: (url, requirements url or null).
std::optional<std::pair<std::string, Json>> codebase_of(Port& port,
                                                        const std::string& model_family) {
  return core::read_with(
      port, Port::Read::statement, [&](Tx& tx) -> std::optional<std::pair<std::string, Json>> {
        Rows rows = tx.query("SELECT url, requirements_url FROM codebases WHERE model_family = $1",
                             Params().text(model_family));
        if (!rows.next()) return std::nullopt;
        return std::make_pair(rows.text(0), rows.nullable_text(1));
      });
}

std::optional<Json> setting(Port& port, const char* name) {
  return core::read_with(port, Port::Read::statement,
                         [&](Tx& tx) { return read_setting(tx, name); });
}

void require_action(Tx& tx, const std::string& id) {
  if (!tx.query("SELECT 1 FROM actions WHERE id = $1", Params().text(id)).next()) {
    throw KeyError(rules::unknown_action(id));
  }
}

// A record's "status" as list() answers it: a text as it is, another value
// as its JSON text; null for an entry that is no record or has none.
Json listed_status(const std::string& text) {
  try {
    const Json record = parse_json(text);
    if (!record.is_object()) return Json();
    const auto found = record.find("status");
    if (found == record.end() || found->is_null()) return Json();
    return found->is_string() ? *found : Json(found->dump());
  } catch (const JsonError&) {
    return Json();
  }
}

constexpr const char* kAccessKeyColumns =
    "SELECT access_key, sealed_secret, role, coalesce(instance_id, ''), created_at, "
    "revoked_at IS NOT NULL FROM access_keys ";

AccessKeyRecord access_key_row(Rows& rows) {
  return AccessKeyRecord{rows.text(0), rows.text(1), rows.text(2),
                         rows.text(3), rows.text(4), rows.boolean(5)};
}

// Writes a batch of nonces in one statement of its own (one round trip
// where the database commits a single statement by itself); an expired
// nonce of the same key is taken over. Answers the pairs found fresh.
std::set<core_internal::NonceBatch::Key> write_nonces(
    Port& port, const std::vector<core_internal::NonceEntry>& batch) {
  std::string sql = "INSERT INTO request_nonces (access_key, nonce, expires_at) VALUES ";
  Params params;
  int next = 1;
  for (const core_internal::NonceEntry& entry : batch) {
    if (next > 1) sql += ", ";
    sql += "($" + std::to_string(next) + ", $" + std::to_string(next + 1) + ", $" +
           std::to_string(next + 2) + ")";
    next += 3;
    params.text(entry.access_key).text(entry.nonce).integer(entry.expires_at);
  }
  sql +=
      " ON CONFLICT (access_key, nonce) DO UPDATE SET expires_at = excluded.expires_at "
      "WHERE request_nonces.expires_at <= $" +
      std::to_string(next) + " RETURNING access_key, nonce";
  params.integer(unix_now());
  std::set<core_internal::NonceBatch::Key> fresh;
  port.write_alone([&](Tx& tx) {
    fresh.clear();
    Rows rows = tx.query(sql, params);
    while (rows.next()) fresh.emplace(rows.text(0), rows.text(1));
  });
  return fresh;
}

}  // namespace

// ---- Construction ----------------------------------------------------------

void check_core_options(const CoreOptions& options) {
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
  if (options.sweep_every.count() < 0) throw ValueError("sweep_every must not be negative");
  const FleetRules& fleet = options.fleet;
  if (fleet.unresponsive_after.count() <= 0 || fleet.lost_after <= fleet.unresponsive_after) {
    throw ValueError("A machine must become unresponsive after some time, and lost later");
  }
  if (fleet.requeue_lost < 0 || fleet.default_max_actions < 0 ||
      fleet.min_poll_interval.count() < 0) {
    throw ValueError(
        "requeue_lost, default_max_actions and min_poll_interval must not be negative");
  }
}

namespace core {

struct Shared {
  Shared(Port& port, std::chrono::milliseconds sweep_every)
      : answers(sweep_every),
        nonces(sweep_every),
        batch([&port](const std::vector<core_internal::NonceEntry>& entries) {
          return write_nonces(port, entries);
        }) {}
  SweepClock answers;
  SweepClock nonces;
  core_internal::NonceBatch batch;
};

}  // namespace core

StoreCore::StoreCore(std::shared_ptr<core::Port> port, CoreOptions options)
    : port_(std::move(port)),
      options_(std::move(options)),
      shared_(std::make_shared<core::Shared>(*port_, options_.sweep_every)) {}

StoreCore::StoreCore(std::shared_ptr<core::Port> port, CoreOptions options,
                     std::shared_ptr<core::Shared> shared)
    : port_(std::move(port)), options_(std::move(options)), shared_(std::move(shared)) {}

StoreCore::~StoreCore() = default;

std::unique_ptr<Store> StoreCore::instance_view(const std::string& instance_id,
                                                Session session) const {
  CoreOptions options = options_;
  options.instance_id = instance_id;
  options.session = std::move(session);
  return std::unique_ptr<Store>(new StoreCore(port_, std::move(options), shared_));
}

const Session& StoreCore::session() const { return options_.session; }

// ---- The agent's operations ------------------------------------------------

Result StoreCore::assign_jobs(bool has_gpu) {
  if (options_.instance_id.empty())
    return refusal(refusal_kind::kFailed, rules::no_instance_refusal());
  Rejections rejected;
  Result result = core::write_with(*port_, [&](Tx& tx) {
    // A body run again (a lost connection) starts afresh.
    rejected.clear();
    return assign_in(tx, options_, has_gpu, rejected);
  });
  for (const auto& [id, reason] : rejected) {
    log::error("Queued action %s is not an action record (%s); it is set aside", id, reason);
  }
  return result;
}

RecordedAnswer StoreCore::assign_jobs(bool has_gpu, const WriteOnce& once) {
  return write_once(once, [&] { return once.render(assign_jobs(has_gpu)); });
}

Result StoreCore::update_action_status(const Json& arguments) {
  auto id = rules::identifier_argument(arguments, "action_record_id", "update_action_status");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(*port_, options_, std::get<std::string>(id), "update_action_status",
                       arguments,
                       [&](Json& record) { return rules::apply_action_status(arguments, record); });
}

Result StoreCore::update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) {
  const Json arguments = rules::status_arguments(action_record_id, action_type, service, step_code,
                                                 status, description);
  return record_report(*port_, options_, action_record_id, "update_status", arguments,
                       [](Json&) { return false; });
}

Result StoreCore::update_step(const Json& named) {
  auto id = rules::identifier_argument(named, "action_record_id", "update_status");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  auto text = [&](const char* name) { return rules::text_argument(named, name).value_or(""); };
  Json arguments =
      rules::status_arguments(std::get<std::string>(id), text("action_type"), text("service"),
                              text("step_code"), text("status"), text("description"));
  if (named.contains("attempt")) arguments["attempt"] = named.at("attempt");
  return record_report(*port_, options_, std::get<std::string>(id), "update_status", arguments,
                       [](Json&) { return false; });
}

Result StoreCore::update_action(const Json& arguments) {
  auto id = rules::identifier_argument(arguments, "id", "update_action");
  if (auto* refused = std::get_if<Result>(&id)) return *refused;
  return record_report(*port_, options_, std::get<std::string>(id), "update_action", arguments,
                       [&](Json& record) { return rules::apply_action_update(arguments, record); });
}

Result StoreCore::update_action_docker_logs(const Json& arguments) {
  auto piece = rules::log_arguments(arguments);
  if (auto* refused = std::get_if<Result>(&piece)) return *refused;
  const auto& log_piece = std::get<rules::LogPiece>(piece);
  auto attempt = named_attempt(arguments);
  if (auto* refused = std::get_if<Result>(&attempt)) return *refused;
  return core::write_with(*port_, [&](Tx& tx) {
    return append_log_in(tx, options_, log_piece, std::get<std::optional<std::int64_t>>(attempt));
  });
}

RecordedAnswer StoreCore::update_action_docker_logs(const Json& arguments, const WriteOnce& once) {
  return write_once(once, [&] { return once.render(update_action_docker_logs(arguments)); });
}

RecordedAnswer StoreCore::write_once(const WriteOnce& once,
                                     const std::function<std::string()>& write) {
  if (port_->reads_kept_answer_first()) {
    if (std::optional<RecordedAnswer> kept = recorded_answer(once.caller, once.key)) {
      return *std::move(kept);
    }
  }
  // The kept answer is looked for with the write's first statement: when
  // there is one, the write stops there and is undone.
  std::uint64_t probe = 0;
  try {
    return core::write_with(
        *port_,
        [&](Tx& tx) {
          lock_answer_slot(tx, once.caller, once.key);
          probe = tx.stop_if_found(kFindAnswerSql,
                                   Params().text(once.caller).text(once.key).integer(unix_now()));
          RecordedAnswer first{once.request_hash, write(), false};
          keep_answer(tx, shared_->answers, once, first.answer);
          return first;
        },
        /*answered=*/true);
  } catch (const core::Found& kept) {
    // Another write's probe (one this write made inside) is not ours.
    if (kept.probe != probe) throw;
    return RecordedAnswer{kept.columns.at(0), kept.columns.at(1), true};
  }
}

Result StoreCore::get_action_details(const std::string& action_record_id) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    std::optional<Json> record = load_record(tx, action_record_id, false);
    if (!record) return refusal(refusal_kind::kKeyError, rules::unknown_action(action_record_id));
    return Result::ok(*std::move(record));
  });
}

Result StoreCore::downscaled(const std::optional<std::string>& instance) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows = instance ? tx.query(
                               "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL AND "
                               "assigned_to = $1 ORDER BY scale_down_seq",
                               Params().text(*instance))
                         : tx.query(
                               "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL "
                               "ORDER BY scale_down_seq");
    Json ids = Json::array();
    while (rows.next()) ids.push_back(rows.text(0));
    return Result::ok(std::move(ids));
  });
}

Result StoreCore::get_downscaled_ids() { return downscaled(std::nullopt); }

Result StoreCore::get_own_downscaled_ids() { return downscaled(options_.instance_id); }

Result StoreCore::get_model_codebase(const std::string& model_family) {
  auto codebase = codebase_of(*port_, model_family);
  if (!codebase)
    return refusal(refusal_kind::kNotConfigured, rules::codebase_missing(model_family));
  return Result::ok(codebase->first);
}

Result StoreCore::get_model_codebase_requirements(const std::string& model_family) {
  auto codebase = codebase_of(*port_, model_family);
  if (!codebase)
    return refusal(refusal_kind::kNotConfigured, rules::codebase_missing(model_family));
  if (codebase->second.is_null())
    return refusal(refusal_kind::kNotConfigured, rules::requirements_missing(model_family));
  return Result::ok(codebase->second);
}

Result StoreCore::get_docker_hub_credentials() {
  return rules::registry_credentials_answer(options_.keyring.get(),
                                            setting(*port_, rules::kRegistrySetting));
}

Result StoreCore::get_user_access_key_pair(const std::string& user_id) {
  const sealing::Keyring* keyring = options_.keyring.get();
  const std::string& instance = options_.instance_id;
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows =
        tx.query("SELECT access_key, secret_key, encrypted FROM key_pairs WHERE user_id = $1",
                 Params().text(user_id));
    if (!rows.next()) {
      return refusal(refusal_kind::kNotConfigured,
                     rules::not_configured("The key pair of user \"" + user_id + "\"",
                                           config_command::kKeyPair));
    }
    Json pair = Json::object();
    pair["access_key"] = rows.text(0);
    pair["secret_key"] = rows.text(1);
    // Without a master key the pair is stored in the agent's form already.
    if (keyring == nullptr) return Result::ok(std::move(pair));
    if (options_.key_pairs_in_clear) {
      if (!rows.boolean(2)) return Result::ok(std::move(pair));  // stored before it had a key
      try {
        for (const char* column : {"access_key", "secret_key"}) {
          pair[column] = keyring->open(pair[column].get<std::string>(), sealing::Purpose::kKeyPairs,
                                       rules::key_pair_binding(column, user_id), "key pair");
        }
      } catch (const ValueError&) {
        return refusal(refusal_kind::kFailed, "The stored key pair of user \"" + user_id +
                                                  "\" cannot be decrypted with the store's key");
      }
      return Result::ok(std::move(pair));
    }
    Rows transport = tx.query("SELECT sealed_key FROM transport_keys WHERE instance_id = $1",
                              Params().text(instance));
    if (instance.empty() || !transport.next())
      return refusal(refusal_kind::kNotConfigured, rules::no_transport_key(instance));
    // Opened under the key-pairs subkey and sealed again under the asking
    // instance's transport key, the form its agent opens.
    try {
      std::string key = keyring->open(transport.text(0), sealing::Purpose::kAccessKeys,
                                      rules::transport_key_binding(instance), "transport key");
      sealing::Wipe wipe_key(key);
      for (const char* column : {"access_key", "secret_key"}) {
        std::string clear =
            keyring->open(pair[column].get<std::string>(), sealing::Purpose::kKeyPairs,
                          rules::key_pair_binding(column, user_id), "key pair");
        sealing::Wipe wipe_clear(clear);
        pair[column] = sealing::seal_text(clear, key);
      }
    } catch (const ValueError&) {
      return refusal(refusal_kind::kFailed, "The stored key pair of user \"" + user_id +
                                                "\" cannot be decrypted with the master key");
    }
    return Result::ok(std::move(pair));
  });
}

void StoreCore::set_transport_key(const std::string& instance_id, const std::string& key) {
  rules::require_text(instance_id, "The instance identifier", true);
  if (key.size() != 32) throw ValueError("A transport key must be 32 bytes long");
  if (!options_.keyring) throw ValueError("A transport key is kept only under a master key");
  const std::string sealed = options_.keyring->seal(key, sealing::Purpose::kAccessKeys,
                                                    rules::transport_key_binding(instance_id));
  core::write_with(*port_, [&](Tx& tx) {
    tx.run(
        "INSERT INTO transport_keys (instance_id, sealed_key, created_at) VALUES ($1, $2, {now}) "
        "ON CONFLICT (instance_id) DO UPDATE SET sealed_key = excluded.sealed_key, "
        "created_at = excluded.created_at",
        Params().text(instance_id).text(sealed));
  });
}

bool StoreCore::has_transport_key(const std::string& instance_id) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    return tx
        .query("SELECT 1 FROM transport_keys WHERE instance_id = $1", Params().text(instance_id))
        .next();
  });
}

Result StoreCore::get_model_secret_keys(const std::string& secret_name,
                                        const std::string& action_record_id) {
  // A secret that is not this caller's is refused as one that does not
  // exist: the answer tells nothing of other owners' names.
  const Result missing = refusal(refusal_kind::kNotConfigured,
                                 rules::not_configured("The model secret \"" + secret_name + "\"",
                                                       config_command::kModelSecret));
  const std::string& instance = options_.instance_id;
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    std::string owner;
    if (!action_record_id.empty()) {
      Rows action =
          tx.query("SELECT coalesce(owner, '') FROM actions WHERE id = $1 AND " LIVE_ACTION_SQL
                   " AND ($2 = '' OR assigned_to = $2)",
                   Params().text(action_record_id).text(instance));
      if (!action.next()) return missing;
      owner = action.text(0);
    } else if (!instance.empty() &&
               !tx.query("SELECT 1 FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL
                         " LIMIT 1",
                         Params().text(instance))
                    .next()) {
      return missing;
    }
    // The owner's own secret first (an owner is never empty, so it sorts
    // after the platform's default).
    Rows rows = tx.query(
        "SELECT user_access_token, owner FROM model_secrets WHERE name = $1 AND owner IN ('', $2) "
        "ORDER BY owner DESC LIMIT 1",
        Params().text(secret_name).text(owner));
    if (!rows.next()) return missing;
    return opened_secret(options_.keyring.get(), rows.text(0),
                         rules::model_secret_binding(rows.text(1), secret_name),
                         "user_access_token", "model secret \"" + secret_name + "\"");
  });
}

Result StoreCore::get_internal_api_key(const std::string& action_record_id) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    // Only while the action is live on this view's instance; otherwise as
    // if there were no key.
    Rows rows = tx.query(
        "SELECT api_key FROM internal_api_keys WHERE action_id = $1 AND EXISTS (SELECT 1 FROM "
        "actions WHERE id = $1 AND " LIVE_ACTION_SQL " AND ($2 = '' OR assigned_to = $2))",
        Params().text(action_record_id).text(options_.instance_id));
    if (!rows.next()) {
      return refusal(
          refusal_kind::kNotConfigured,
          rules::not_configured("The internal API key of action \"" + action_record_id + "\"",
                                config_command::kInternalApiKey));
    }
    return opened_secret(options_.keyring.get(), rows.text(0),
                         rules::internal_api_key_binding(action_record_id), "internal_api_key",
                         "internal API key of action \"" + action_record_id + "\"");
  });
}

Json StoreCore::get_data_processing_image() {
  std::optional<Json> image = setting(*port_, rules::kDataProcessingImageSetting);
  if (!image) {
    throw NotConfiguredError(
        rules::not_configured("The data-processing image", config_command::kDataProcessingImage));
  }
  return *std::move(image);
}

Json StoreCore::get_shutdown_details() {
  std::optional<Json> details = setting(*port_, rules::kShutdownSetting);
  if (!details) {
    throw NotConfiguredError(
        rules::not_configured("The shutdown settings", config_command::kShutdown));
  }
  return *std::move(details);
}

Result StoreCore::update_available_resources(const Json& arguments) {
  const std::string& instance = options_.instance_id;
  if (std::optional<Result> refused = rules::resource_report_refusal(instance, arguments)) {
    return *refused;
  }
  return core::write_with(*port_, [&](Tx& tx) {
    tx.run(
        "INSERT INTO machine_resources (instance_id, report, reported_at) "
        "VALUES ($1, $2, {now}) ON CONFLICT (instance_id) "
        "DO UPDATE SET report = excluded.report, reported_at = excluded.reported_at",
        Params().text(instance).text(rules::to_text(arguments)));
    const auto inventory = arguments.find("inventory");
    if (inventory == arguments.end() || inventory->is_null()) return Result::ok(Json(), "recorded");
    // What its GPUs have free decides which GPU actions it is handed; their
    // counts are kept beside, so that views of the fleet read no report.
    const auto [most_free, all_free] = rules::healthy_gpu_free_mib(*inventory);
    const Json counts = rules::gpu_counts(arguments);
    tx.run(
        "UPDATE machines SET gpu_free_max_mib = $2, gpu_free_sum_mib = $3, gpu_total = $4, "
        "gpu_healthy = $5 WHERE instance_id = $1",
        Params()
            .text(instance)
            .integer(most_free)
            .integer(all_free)
            .integer(counts.value("total", std::int64_t{0}))
            .integer(counts.value("healthy", std::int64_t{0})));
    // One sample per machine and period, kept for a day.
    const std::int64_t now = core_internal::now_ms(tx, options_) / 1000;
    if (!tx.query("SELECT 1 FROM machine_samples WHERE instance_id = $1 AND sampled_at > $2",
                  Params().text(instance).integer(now - rules::kSampleEverySeconds))
             .next()) {
      tx.run(
          "INSERT INTO machine_samples (instance_id, sampled_at, sample) VALUES ($1, $2, $3) "
          "ON CONFLICT (instance_id, sampled_at) DO NOTHING",
          Params().text(instance).integer(now).text(
              rules::to_text(rules::inventory_sample(arguments))));
      tx.run("DELETE FROM machine_samples WHERE sampled_at < $1",
             Params().integer(now - rules::kKeepSamplesSeconds));
    }
    return Result::ok(Json(), "recorded");
  });
}

int StoreCore::hand_out_range_port() {
  const std::string& instance = options_.instance_id;
  if (instance.empty()) {
    throw std::runtime_error(
        "This backend connection has no instance identifier; ports are handed out per instance");
  }
  const int low = options_.port_range->first;
  const int high = options_.port_range->second;
  return core::write_with(*port_, [&](Tx& tx) {
    // One hand-out per instance at a time, whichever server makes it.
    tx.lock("ports:" + instance, "");
    const std::int64_t now = unix_now();
    // A port goes back to the range once every action that held it has
    // ended; one handed out while no action was live is kept for port_hold.
    tx.run(
        "DELETE FROM instance_ports WHERE instance_id = $1 AND NOT EXISTS ("
        "  SELECT 1 FROM instance_port_holders h JOIN actions a ON a.id = h.action_id"
        "  WHERE h.instance_id = $1 AND h.port = instance_ports.port AND a." LIVE_ACTION_SQL
        ") AND (handed_at <= $2 OR EXISTS (SELECT 1 FROM instance_port_holders h"
        "  WHERE h.instance_id = $1 AND h.port = instance_ports.port))",
        Params().text(instance).integer(now -
                                        static_cast<std::int64_t>(options_.port_hold.count())));
    tx.run(
        "DELETE FROM instance_port_holders WHERE instance_id = $1 AND NOT EXISTS ("
        "  SELECT 1 FROM instance_ports p WHERE p.instance_id = $1"
        "  AND p.port = instance_port_holders.port)",
        Params().text(instance));
    std::set<std::int64_t> held;
    {
      Rows rows = tx.query("SELECT port FROM instance_ports WHERE instance_id = $1",
                           Params().text(instance));
      while (rows.next()) held.insert(rows.integer(0));
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
    tx.run("INSERT INTO instance_ports (instance_id, port, handed_at) VALUES ($1, $2, $3)",
           Params().text(instance).integer(port).integer(now));
    tx.run(
        "INSERT INTO instance_port_holders (instance_id, port, action_id) "
        "SELECT $1, $2, id FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL,
        Params().text(instance).integer(port));
    return port;
  });
}

Json StoreCore::get_open_port() {
  if (options_.port_range) return Json(hand_out_range_port());
  // Another request may have been answered a port that is still free (its
  // job has not bound it yet): such ports are skipped for port_hold.
  constexpr int kAttempts = 64;
  const std::int64_t hold = options_.port_hold.count();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int port = options_.port_probe ? options_.port_probe() : rules::probe_free_port();
    if (port < 1 || port > 65535) {
      throw std::runtime_error("The port probe answered an invalid port " + std::to_string(port));
    }
    const std::int64_t now = unix_now();
    const bool handed = core::write_with(*port_, [&](Tx& tx) {
      tx.run("DELETE FROM handed_ports WHERE handed_at <= $1", Params().integer(now - hold));
      return tx.change(
                 "INSERT INTO handed_ports (port, handed_at) VALUES ($1, $2) "
                 "ON CONFLICT (port) DO NOTHING",
                 Params().integer(port).integer(now)) == 1;
    });
    if (handed) return Json(port);
  }
  throw std::runtime_error("No free port found on this host after " + std::to_string(kAttempts) +
                           " tries");
}

// ---- The operator's calls ----------------------------------------------------

std::string StoreCore::submit(const Json& record) {
  rules::validate_submission(record);
  const std::string action_type = record.at("action").get<std::string>();
  const bool gpu_required = rules::gpu_required(record);
  return core::write_with(*port_, [&](Tx& tx) {
    while (true) {
      const std::string id = rules::new_action_id();
      const Json stored = rules::queued_record(id, record);
      const std::int64_t inserted = tx.change(
          "INSERT INTO actions (id, action_type, gpu_required, record, owner, state, "
          "submitted_at, gpu_memory_mib) VALUES ($1, $2, $3, $4, $5, 'queued', {now}, $6) "
          "ON CONFLICT (id) DO NOTHING",
          Params()
              .text(id)
              .text(action_type)
              .boolean(gpu_required)
              .text(stored.dump())
              .optional_text(owner_of(stored))
              .optional_integer(rules::required_gpu_memory_mib(record)));
      if (inserted == 0) continue;
      record_event(tx, id, "submit", Json::object());
      return id;
    }
  });
}

std::map<std::string, std::int64_t> StoreCore::count_by_state() {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows =
        tx.query("SELECT " ACTION_STATE_SQL " AS current, count(*) FROM actions GROUP BY current");
    std::map<std::string, std::int64_t> counts;
    while (rows.next()) counts[rows.text(0)] = rows.integer(1);
    return counts;
  });
}

Json StoreCore::list() {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows = tx.query(
        "SELECT id, action_type, record, " ACTION_STATE_SQL
        ", assigned_to, scaled_down_at IS NOT NULL, submitted_at, exit_status, attempt, end_cause "
        "FROM actions ORDER BY seq");
    Json actions = Json::array();
    while (rows.next()) {
      Json summary = Json::object();
      summary["_id"] = rows.text(0);
      summary["action"] = rows.text(1);
      summary["status"] = listed_status(rows.text(2));
      summary["state"] = rows.text(3);
      summary["assignedTo"] = rows.nullable_text(4);
      summary["scaledDown"] = rows.boolean(5);
      summary["submittedAt"] = rows.text(6);
      summary["exitStatus"] = rows.nullable_integer(7);
      summary["attempt"] = rows.integer(8);
      summary["endCause"] = rows.nullable_text(9);
      actions.push_back(std::move(summary));
    }
    return actions;
  });
}

Json StoreCore::show(const std::string& action_record_id) {
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    Json shown = Json::object();
    {
      Rows rows =
          tx.query("SELECT record, " ACTION_STATE_SQL
                   ", assigned_to, submitted_at, assigned_at, scaled_down_at, log_bytes, ended_at, "
                   "exit_status, rejected_reason IS NOT NULL, log_limit_reached_at, attempt, "
                   "end_cause FROM actions WHERE id = $1",
                   Params().text(action_record_id));
      if (!rows.next()) throw KeyError(rules::unknown_action(action_record_id));
      shown["record"] =
          rows.boolean(9) ? Json(rows.text(0)) : rules::parse_stored(rows.text(0), "action record");
      shown["state"] = rows.text(1);
      shown["assignedTo"] = rows.nullable_text(2);
      shown["submittedAt"] = rows.text(3);
      shown["assignedAt"] = rows.nullable_text(4);
      shown["scaledDownAt"] = rows.nullable_text(5);
      shown["endedAt"] = rows.nullable_text(7);
      shown["exitStatus"] = rows.nullable_integer(8);
      shown["logBytes"] = rows.integer(6);
      shown["logLimit"] = options_.log_limit_bytes > 0 ? Json(options_.log_limit_bytes) : Json();
      shown["logLimitReachedAt"] = rows.nullable_text(10);
      shown["attempt"] = rows.integer(11);
      shown["endCause"] = rows.nullable_text(12);
    }
    Json history = Json::array();
    Rows events = tx.query(
        "SELECT operation, arguments, recorded_at FROM status_history WHERE action_id = $1 "
        "ORDER BY seq",
        Params().text(action_record_id));
    while (events.next()) {
      Json event = Json::object();
      event["operation"] = events.text(0);
      event["arguments"] = rules::parse_stored(events.text(1), "status report");
      event["recordedAt"] = events.text(2);
      history.push_back(std::move(event));
    }
    shown["history"] = std::move(history);
    return shown;
  });
}

LogChunk StoreCore::logs(const std::string& action_record_id, std::int64_t after_offset) {
  return read_log(action_record_id, std::nullopt, after_offset);
}

LogChunk StoreCore::attempt_log(const std::string& action_record_id, std::int64_t attempt,
                                std::int64_t after_offset) {
  return read_log(action_record_id, attempt, after_offset);
}

LogChunk StoreCore::read_log(const std::string& action_record_id,
                             std::optional<std::int64_t> attempt, std::int64_t after_offset) {
  if (after_offset < 0) {
    throw ValueError("A log offset must not be negative, not " + std::to_string(after_offset));
  }
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    bool finished = false;
    std::int64_t current = 0;
    {
      Rows action = tx.query(
          "SELECT ended_at IS NOT NULL OR rejected_reason IS NOT NULL, attempt FROM actions "
          "WHERE id = $1",
          Params().text(action_record_id));
      if (!action.next()) throw KeyError(rules::unknown_action(action_record_id));
      finished = action.boolean(0);
      current = action.integer(1);
    }
    if (attempt && (*attempt < 1 || *attempt > std::max<std::int64_t>(current, 1))) {
      throw KeyError("Action " + action_record_id + " has no attempt " + std::to_string(*attempt));
    }
    // An earlier attempt's log is whole: nothing follows it.
    const bool earlier = attempt && *attempt < current;
    // One byte past the page tells whether more is stored.
    Rows pieces = tx.query(
        "SELECT start_offset, content FROM log_pieces WHERE action_id = $1 AND attempt = $3 "
        "AND start_offset + length(content) > $2 AND start_offset <= $2 + $4 "
        "ORDER BY start_offset",
        Params()
            .text(action_record_id)
            .integer(after_offset)
            .integer(attempt.value_or(std::max<std::int64_t>(current, 1)))
            .integer(kLogPageBytes));
    LogChunk chunk;
    while (pieces.next()) {
      const std::int64_t start = pieces.integer(0);
      std::string content = pieces.bytes(1);
      if (start < after_offset) content.erase(0, static_cast<std::size_t>(after_offset - start));
      chunk.content += content;
    }
    if (chunk.content.size() > static_cast<std::size_t>(kLogPageBytes)) {
      chunk.content.resize(static_cast<std::size_t>(kLogPageBytes));
      chunk.more = true;
    }
    chunk.next_offset = after_offset + static_cast<std::int64_t>(chunk.content.size());
    chunk.finished = (finished || earlier) && !chunk.more;
    return chunk;
  });
}

void StoreCore::record_exit(const std::string& action_record_id, int exit_status) {
  record_end(action_record_id, ActionEnd{exit_status, std::string(end_cause::kExited), {}});
}

EndRecorded StoreCore::record_end(const std::string& action_record_id, const ActionEnd& end) {
  if (!end_cause::is_agent_cause(end.cause)) {
    throw ValueError("\"" + end.cause + "\" is not a cause an agent reports");
  }
  if (end.attempt && *end.attempt < 1)
    throw ValueError("\"attempt\" must be a whole number from 1 on");
  return core::write_with(*port_, [&](Tx& tx) {
    if (end.attempt &&
        !core_internal::is_current(tx, action_record_id, *end.attempt, options_.instance_id)) {
      require_action(tx, action_record_id);
      throw NotCurrentError(core_internal::not_current_text(action_record_id, *end.attempt));
    }
    return core_internal::end_attempt(tx, options_, action_record_id, end.cause, end.exit_status);
  });
}

void StoreCore::scale_down(const std::string& action_record_id) {
  core::write_with(*port_, [&](Tx& tx) {
    {
      Rows rows = tx.query("SELECT scaled_down_at IS NOT NULL FROM actions WHERE id = $1{lock}",
                           Params().text(action_record_id));
      if (!rows.next()) throw KeyError(rules::unknown_action(action_record_id));
      if (rows.boolean(0)) return;
    }
    core_internal::scale_down_in(tx, action_record_id, end_cause::kScaledDown);
  });
}

void StoreCore::set_registry_credentials(const std::string& username, const std::string& password,
                                         const std::string& registry) {
  const Json credentials =
      rules::registry_credentials(options_.keyring.get(), username, password, registry);
  core::write_with(*port_,
                   [&](Tx& tx) { write_setting(tx, rules::kRegistrySetting, credentials); });
}

void StoreCore::set_key_pair(const std::string& user_id, const std::string& access_key,
                             const std::string& secret_key) {
  const rules::StoredKeyPair stored =
      rules::key_pair_to_store(options_.keyring.get(), user_id, access_key, secret_key);
  core::write_with(*port_, [&](Tx& tx) {
    tx.run(
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

void StoreCore::set_codebase(const std::string& model_family, const std::string& url,
                             const std::optional<std::string>& requirements_url) {
  rules::require_text(model_family, "The model family");
  rules::require_codebase_url(url);
  if (requirements_url) rules::require_url(*requirements_url, "The requirements URL");
  core::write_with(*port_, [&](Tx& tx) {
    tx.run(
        "INSERT INTO codebases (model_family, url, requirements_url) VALUES ($1, $2, $3) "
        "ON CONFLICT (model_family) DO UPDATE SET url = excluded.url, "
        "requirements_url = excluded.requirements_url",
        Params().text(model_family).text(url).optional_text(requirements_url));
  });
}

void StoreCore::set_model_secret(const std::string& secret_name,
                                 const std::string& user_access_token, const std::string& owner) {
  rules::require_text(secret_name, "The secret name");
  rules::require_text(user_access_token, "The user access token");
  if (!owner.empty()) rules::require_text(owner, "The owner", true);
  const std::string sealed = rules::seal_secret(options_.keyring.get(), user_access_token,
                                                rules::model_secret_binding(owner, secret_name));
  core::write_with(*port_, [&](Tx& tx) {
    tx.run(
        "INSERT INTO model_secrets (owner, name, user_access_token) VALUES ($1, $2, $3) "
        "ON CONFLICT (owner, name) DO UPDATE SET user_access_token = excluded.user_access_token",
        Params().text(owner).text(secret_name).text(sealed));
  });
}

void StoreCore::set_internal_api_key(const std::string& action_record_id, const std::string& key) {
  rules::require_action_id(action_record_id);
  rules::require_text(key, "The internal API key");
  const std::string sealed = rules::seal_secret(options_.keyring.get(), key,
                                                rules::internal_api_key_binding(action_record_id));
  core::write_with(*port_, [&](Tx& tx) {
    require_action(tx, action_record_id);
    tx.run(
        "INSERT INTO internal_api_keys (action_id, api_key) VALUES ($1, $2) "
        "ON CONFLICT (action_id) DO UPDATE SET api_key = excluded.api_key",
        Params().text(action_record_id).text(sealed));
  });
}

void StoreCore::set_data_processing_image(const std::string& image) {
  rules::require_text(image, "The data-processing image", true);
  core::write_with(
      *port_, [&](Tx& tx) { write_setting(tx, rules::kDataProcessingImageSetting, Json(image)); });
}

void StoreCore::set_shutdown_details(double shutdown_threshold, double launch_duration,
                                     const std::string& instance_source) {
  const Json details =
      rules::shutdown_details(shutdown_threshold, launch_duration, instance_source);
  core::write_with(*port_, [&](Tx& tx) { write_setting(tx, rules::kShutdownSetting, details); });
}

// Names are ordered byte for byte, whatever the database's collation.
Json StoreCore::machine_resources() {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows = tx.query(
        "SELECT instance_id, report, reported_at FROM machine_resources "
        "ORDER BY instance_id{C}");
    Json machines = Json::object();
    while (rows.next()) {
      Json machine = Json::object();
      machine["report"] = rules::parse_stored(rows.text(1), "resource report");
      machine["reportedAt"] = rows.text(2);
      machines[rows.text(0)] = std::move(machine);
    }
    return machines;
  });
}

namespace {

// The names of a settings table's rows, in byte order.
Json names_in(Tx& tx, const char* sql) {
  Json names = Json::array();
  Rows rows = tx.query(sql);
  while (rows.next()) names.push_back(rows.text(0));
  return names;
}

}  // namespace

Json StoreCore::configuration() {
  return core::read_with(*port_, Port::Read::snapshot, [&](Tx& tx) {
    Json shown = Json::object();
    std::optional<Json> registry = read_setting(tx, rules::kRegistrySetting);
    if (registry) registry->erase("password");
    shown["registry"] = registry.value_or(Json());
    shown["dataProcessingImage"] =
        read_setting(tx, rules::kDataProcessingImageSetting).value_or(Json());
    shown["shutdownDetails"] = read_setting(tx, rules::kShutdownSetting).value_or(Json());

    Json codebases = Json::object();
    {
      Rows rows = tx.query(
          "SELECT model_family, url, requirements_url FROM codebases ORDER BY model_family{C}");
      while (rows.next()) {
        Json codebase = Json::object();
        codebase["url"] = rows.text(1);
        codebase["requirementsUrl"] = rows.nullable_text(2);
        codebases[rows.text(0)] = std::move(codebase);
      }
    }
    shown["codebases"] = std::move(codebases);

    Json key_pairs = Json::object();
    {
      Rows rows = tx.query("SELECT user_id, encrypted FROM key_pairs ORDER BY user_id{C}");
      while (rows.next()) key_pairs[rows.text(0)] = Json{{"encrypted", rows.boolean(1)}};
    }
    shown["keyPairs"] = std::move(key_pairs);
    shown["modelSecrets"] = names_in(
        tx,
        "SELECT CASE WHEN owner = '' THEN name ELSE owner || '/' || name END "
        "FROM model_secrets ORDER BY (CASE WHEN owner = '' THEN name ELSE owner || '/' || name "
        "END){C}");
    shown["internalApiKeys"] =
        names_in(tx, "SELECT action_id FROM internal_api_keys ORDER BY action_id{C}");
    return shown;
  });
}

// ---- For a server of many instances -----------------------------------------

std::optional<ActionAccess> StoreCore::action_access(const std::string& action_record_id) {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) -> std::optional<ActionAccess> {
    Rows rows = tx.query("SELECT assigned_to, owner, NOT (" LIVE_ACTION_SQL
                         "), ended_at FROM actions WHERE id = $1",
                         Params().text(action_record_id));
    if (!rows.next()) return std::nullopt;
    ActionAccess access;
    if (!rows.is_null(0)) access.assigned_to = rows.text(0);
    if (!rows.is_null(1)) access.owner = rows.text(1);
    access.ended = rows.boolean(2);
    if (!rows.is_null(3)) access.ended_at = rows.text(3);
    return access;
  });
}

bool StoreCore::has_live_action_of(const std::string& instance_id, const std::string& user_id) {
  if (instance_id.empty() || user_id.empty()) return false;
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    return tx
        .query("SELECT 1 FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL
               " AND owner = $2 LIMIT 1",
               Params().text(instance_id).text(user_id))
        .next();
  });
}

bool StoreCore::has_live_action(const std::string& instance_id) {
  if (instance_id.empty()) return false;
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    return tx
        .query("SELECT 1 FROM actions WHERE assigned_to = $1 AND " LIVE_ACTION_SQL " LIMIT 1",
               Params().text(instance_id))
        .next();
  });
}

std::optional<RecordedAnswer> StoreCore::recorded_answer(const std::string& caller,
                                                         const std::string& key) {
  return core::read_with(*port_, Port::Read::statement,
                         [&](Tx& tx) { return find_answer(tx, caller, key); });
}

RecordedAnswer StoreCore::record_answer(const std::string& caller, const std::string& key,
                                        const std::string& request_hash, const std::string& answer,
                                        std::chrono::seconds keep) {
  return core::write_with(*port_, [&](Tx& tx) {
    lock_answer_slot(tx, caller, key);
    if (std::optional<RecordedAnswer> kept = find_answer(tx, caller, key)) {
      return *std::move(kept);
    }
    keep_answer(tx, shared_->answers, WriteOnce{caller, key, request_hash, keep, {}}, answer);
    return RecordedAnswer{request_hash, answer, false};
  });
}

void StoreCore::add_access_key(const AccessKeyRecord& key) {
  rules::check_access_key(key);
  core::write_with(*port_, [&](Tx& tx) {
    const std::optional<std::string> instance =
        key.instance_id.empty() ? std::nullopt : std::optional<std::string>(key.instance_id);
    const std::int64_t inserted = tx.change(
        "INSERT INTO access_keys (access_key, sealed_secret, role, instance_id, created_at) "
        "VALUES ($1, $2, $3, $4, {now}) ON CONFLICT (access_key) DO NOTHING",
        Params()
            .text(key.access_key)
            .text(key.sealed_secret)
            .text(key.role)
            .optional_text(instance));
    if (inserted == 0) throw ValueError("The access key " + key.access_key + " exists already");
  });
}

std::vector<AccessKeyRecord> StoreCore::access_keys() {
  return core::read_with(*port_, Port::Read::statement, [&](Tx& tx) {
    Rows rows = tx.query(std::string(kAccessKeyColumns) + "ORDER BY seq");
    std::vector<AccessKeyRecord> keys;
    while (rows.next()) keys.push_back(access_key_row(rows));
    return keys;
  });
}

std::optional<AccessKeyRecord> StoreCore::find_access_key(const std::string& access_key) {
  return core::read_with(
      *port_, Port::Read::statement, [&](Tx& tx) -> std::optional<AccessKeyRecord> {
        Rows rows = tx.query(std::string(kAccessKeyColumns) + "WHERE access_key = $1",
                             Params().text(access_key));
        if (!rows.next()) return std::nullopt;
        return access_key_row(rows);
      });
}

void StoreCore::sweep_nonces_if_due() {
  if (shared_->nonces.claim()) {
    port_->write_alone([&](Tx& tx) {
      shared_->nonces.swept(
          tx.change("{purge_nonces}", Params().integer(unix_now()).integer(core::kSweepBatch)));
    });
  }
}

bool StoreCore::remember_nonce(const std::string& access_key, const std::string& nonce,
                               std::int64_t expires_at) {
  sweep_nonces_if_due();
  return shared_->batch.remember(core_internal::NonceEntry{access_key, nonce, expires_at});
}

bool StoreCore::with_nonce(const std::string& access_key, const std::string& nonce,
                           std::int64_t expires_at, const std::function<void()>& handle) {
  if (!port_->carries_nonces()) return Store::with_nonce(access_key, nonce, expires_at, handle);
  sweep_nonces_if_due();
  {
    core::NonceRide ride(*port_, access_key, nonce, expires_at);
    try {
      handle();
    } catch (...) {
      // A replay's failure is its refusal, not the handler's.
      if (ride.replayed()) return false;
      throw;
    }
    if (ride.replayed()) return false;
    if (ride.kept()) return true;
  }
  // No write carried it: remembered now, before the answer goes out.
  return shared_->batch.remember(core_internal::NonceEntry{access_key, nonce, expires_at});
}

bool StoreCore::revoke_access_key(const std::string& access_key) {
  return core::write_with(*port_, [&](Tx& tx) {
    return tx.change(
               "UPDATE access_keys SET revoked_at = coalesce(revoked_at, {now}) "
               "WHERE access_key = $1",
               Params().text(access_key)) > 0;
  });
}

}  // namespace tavoren::backend
