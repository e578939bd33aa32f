// What a backend server of many instances needs from the database: who
// may touch an action, the first answers of writes, its access keys, and
// ports handed out per instance.

#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "local_scaling_impl.h"
#include "tavoren/common/errors.h"

namespace tavoren::backend {

using detail::in_read_transaction;
using detail::in_write_transaction;

namespace {

// An action counts as live while it is assigned and neither ended nor set
// aside; this is the SQL condition on a row of actions.
#define LIVE_ACTION_SQL "ended_at IS NULL AND rejected_reason IS NULL"

// At most this many expired answers are purged by one write.
constexpr std::int64_t kPurgeBatch = 64;

}  // namespace

namespace detail {

std::int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<RecordedAnswer> find_answer(sqlite::Connection& connection, const std::string& caller,
                                          const std::string& key) {
  sqlite::Statement select = connection.prepare(
      "SELECT request_hash, answer FROM write_answers "
      "WHERE caller = ? AND idempotency_key = ? AND expires_at > ?");
  select.bind(1, caller).bind(2, key).bind(3, unix_now());
  if (!select.step()) return std::nullopt;
  return RecordedAnswer{select.text(0), select.text(1), true};
}

void keep_answer(sqlite::Connection& connection, const WriteOnce& once, const std::string& answer) {
  const std::int64_t now = unix_now();
  connection
      .prepare(
          "DELETE FROM write_answers WHERE (caller, idempotency_key) IN (SELECT caller, "
          "idempotency_key FROM write_answers WHERE expires_at <= ? LIMIT ?)")
      .bind(1, now)
      .bind(2, kPurgeBatch)
      .run();
  // An expired answer of the same key may still be there: it is replaced.
  connection
      .prepare(
          "INSERT INTO write_answers (caller, idempotency_key, request_hash, answer, expires_at) "
          "VALUES (?, ?, ?, ?, ?) ON CONFLICT (caller, idempotency_key) DO UPDATE SET "
          "request_hash = excluded.request_hash, answer = excluded.answer, "
          "expires_at = excluded.expires_at")
      .bind(1, once.caller)
      .bind(2, once.key)
      .bind(3, once.request_hash)
      .bind(4, answer)
      .bind(5, now + static_cast<std::int64_t>(once.keep.count()))
      .run();
}

int hand_out_range_port(LocalScalingState& impl) {
  const std::string& instance = impl.options.instance_id;
  if (instance.empty()) {
    throw std::runtime_error(
        "This backend connection has no instance identifier; ports are handed out per instance");
  }
  const int low = impl.options.port_range->first;
  const int high = impl.options.port_range->second;
  return in_write_transaction(impl, [&](sqlite::Connection& connection) {
    const std::int64_t now = unix_now();
    // A port goes back to the range once every action that held it has
    // ended; one handed out while no action was live is kept for port_hold.
    connection
        .prepare(
            "DELETE FROM instance_ports WHERE instance_id = ?1 AND NOT EXISTS ("
            "  SELECT 1 FROM instance_port_holders h JOIN actions a ON a.id = h.action_id"
            "  WHERE h.instance_id = ?1 AND h.port = instance_ports.port AND a." LIVE_ACTION_SQL
            ") AND (handed_at <= ?2 OR EXISTS (SELECT 1 FROM instance_port_holders h"
            "  WHERE h.instance_id = ?1 AND h.port = instance_ports.port))")
        .bind(1, instance)
        .bind(2, now - static_cast<std::int64_t>(impl.options.port_hold.count()))
        .run();
    connection
        .prepare(
            "DELETE FROM instance_port_holders WHERE instance_id = ?1 AND NOT EXISTS ("
            "  SELECT 1 FROM instance_ports p WHERE p.instance_id = ?1"
            "  AND p.port = instance_port_holders.port)")
        .bind(1, instance)
        .run();
    std::set<std::int64_t> held;
    {
      sqlite::Statement select =
          connection.prepare("SELECT port FROM instance_ports WHERE instance_id = ?");
      select.bind(1, instance);
      while (select.step()) held.insert(select.integer(0));
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
    connection.prepare("INSERT INTO instance_ports (instance_id, port, handed_at) VALUES (?, ?, ?)")
        .bind(1, instance)
        .bind(2, std::int64_t{port})
        .bind(3, now)
        .run();
    connection
        .prepare(
            "INSERT INTO instance_port_holders (instance_id, port, action_id) "
            "SELECT ?1, ?2, id FROM actions WHERE assigned_to = ?1 AND " LIVE_ACTION_SQL)
        .bind(1, instance)
        .bind(2, std::int64_t{port})
        .run();
    return port;
  });
}

}  // namespace detail

std::optional<ActionAccess> LocalScaling::action_access(const std::string& action_record_id) {
  return in_read_transaction(*impl_,
                             [&](sqlite::Connection& connection) -> std::optional<ActionAccess> {
                               sqlite::Statement select = connection.prepare(
                                   "SELECT assigned_to, CASE WHEN json_valid(record) THEN "
                                   "json_extract(record, '$._idUser') END, NOT (" LIVE_ACTION_SQL
                                   ") FROM actions WHERE id = ?");
                               select.bind(1, action_record_id);
                               if (!select.step()) return std::nullopt;
                               ActionAccess access;
                               if (!select.is_null(0)) access.assigned_to = select.text(0);
                               if (!select.is_null(1)) access.owner = select.text(1);
                               access.ended = select.integer(2) != 0;
                               return access;
                             });
}

bool LocalScaling::has_live_action_of(const std::string& instance_id, const std::string& user_id) {
  if (instance_id.empty() || user_id.empty()) return false;
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT 1 FROM actions WHERE assigned_to = ? AND " LIVE_ACTION_SQL
        " AND json_valid(record) AND json_extract(record, '$._idUser') = ? LIMIT 1");
    select.bind(1, instance_id).bind(2, user_id);
    return select.step();
  });
}

bool LocalScaling::has_live_action(const std::string& instance_id) {
  if (instance_id.empty()) return false;
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT 1 FROM actions WHERE assigned_to = ? AND " LIVE_ACTION_SQL " LIMIT 1");
    select.bind(1, instance_id);
    return select.step();
  });
}

Result LocalScaling::get_own_downscaled_ids() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    sqlite::Statement select = connection.prepare(
        "SELECT id FROM actions WHERE scale_down_seq IS NOT NULL AND assigned_to = ? "
        "ORDER BY scale_down_seq");
    select.bind(1, impl_->options.instance_id);
    Json ids = Json::array();
    while (select.step()) ids.push_back(select.text(0));
    return Result::ok(std::move(ids));
  });
}

std::optional<RecordedAnswer> LocalScaling::recorded_answer(const std::string& caller,
                                                            const std::string& key) {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    return detail::find_answer(connection, caller, key);
  });
}

RecordedAnswer LocalScaling::record_answer(const std::string& caller, const std::string& key,
                                           const std::string& request_hash,
                                           const std::string& answer, std::chrono::seconds keep) {
  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    if (std::optional<RecordedAnswer> kept = detail::find_answer(connection, caller, key)) {
      return *std::move(kept);
    }
    detail::keep_answer(connection, WriteOnce{caller, key, request_hash, keep, {}}, answer);
    return RecordedAnswer{request_hash, answer, false};
  });
}

void LocalScaling::add_access_key(const AccessKeyRecord& key) {
  store_rules::check_access_key(key);
  in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    {
      sqlite::Statement taken =
          connection.prepare("SELECT 1 FROM access_keys WHERE access_key = ?");
      taken.bind(1, key.access_key);
      if (taken.step()) throw ValueError("The access key " + key.access_key + " exists already");
    }
    sqlite::Statement insert = connection.prepare(
        "INSERT INTO access_keys (access_key, sealed_secret, role, instance_id, created_at) "
        "VALUES (?, ?, ?, ?, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))");
    insert.bind(1, key.access_key).bind(2, key.sealed_secret).bind(3, key.role);
    if (key.instance_id.empty()) {
      insert.bind_null(4);
    } else {
      insert.bind(4, key.instance_id);
    }
    insert.run();
  });
}

namespace {

constexpr const char* kAccessKeyColumns =
    "SELECT access_key, sealed_secret, role, coalesce(instance_id, ''), created_at, "
    "revoked_at IS NOT NULL FROM access_keys ";

AccessKeyRecord access_key_row(sqlite::Statement& select) {
  return AccessKeyRecord{select.text(0), select.text(1), select.text(2),
                         select.text(3), select.text(4), select.integer(5) != 0};
}

}  // namespace

std::vector<AccessKeyRecord> LocalScaling::access_keys() {
  return in_read_transaction(*impl_, [&](sqlite::Connection& connection) {
    const std::string sql = std::string(kAccessKeyColumns) + "ORDER BY seq";
    sqlite::Statement select = connection.prepare(sql.c_str());
    std::vector<AccessKeyRecord> keys;
    while (select.step()) keys.push_back(access_key_row(select));
    return keys;
  });
}

std::optional<AccessKeyRecord> LocalScaling::find_access_key(const std::string& access_key) {
  return in_read_transaction(
      *impl_, [&](sqlite::Connection& connection) -> std::optional<AccessKeyRecord> {
        const std::string sql = std::string(kAccessKeyColumns) + "WHERE access_key = ?";
        sqlite::Statement select = connection.prepare(sql.c_str());
        select.bind(1, access_key);
        if (!select.step()) return std::nullopt;
        return access_key_row(select);
      });
}

bool LocalScaling::revoke_access_key(const std::string& access_key) {
  return in_write_transaction(*impl_, [&](sqlite::Connection& connection) {
    connection
        .prepare(
            "UPDATE access_keys SET revoked_at = coalesce(revoked_at, "
            "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')) WHERE access_key = ?")
        .bind(1, access_key)
        .run();
    return connection.changes() > 0;
  });
}

}  // namespace tavoren::backend
