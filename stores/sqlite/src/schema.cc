// The database's schema and its migrations. The file's user_version tells
// which migrations it has had; each migration runs once, in order, inside
// the same write transaction as the version bump.

#include "schema.h"

#include <string>

#include "tavoren/sqlite_store.h"

namespace tavoren::backend {
namespace {

// Migration n brings a file from version n to n + 1.
constexpr const char* kMigrations[] = {
    // 0 -> 1: the first schema.
    R"sql(
CREATE TABLE actions (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT NOT NULL UNIQUE CHECK (length(id) = 24),
  action_type TEXT NOT NULL,
  gpu_required INTEGER NOT NULL CHECK (gpu_required IN (0, 1)),
  record TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('queued', 'assigned')),
  assigned_to TEXT,
  submitted_at TEXT NOT NULL,
  assigned_at TEXT,
  scaled_down_at TEXT,
  -- The order of scale-downs (timestamps of one millisecond tie).
  scale_down_seq INTEGER UNIQUE
);
CREATE INDEX actions_by_state ON actions (state, seq);

CREATE TABLE status_history (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  action_id TEXT NOT NULL REFERENCES actions (id),
  operation TEXT NOT NULL,
  arguments TEXT NOT NULL,
  recorded_at TEXT NOT NULL
);
CREATE INDEX status_history_by_action ON status_history (action_id, seq);

CREATE TABLE log_pieces (
  action_id TEXT NOT NULL REFERENCES actions (id),
  start_offset INTEGER NOT NULL,
  content BLOB NOT NULL,
  PRIMARY KEY (action_id, start_offset)
) WITHOUT ROWID;

CREATE TABLE settings (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);

CREATE TABLE key_pairs (
  user_id TEXT PRIMARY KEY,
  access_key TEXT NOT NULL,
  secret_key TEXT NOT NULL,
  encrypted INTEGER NOT NULL CHECK (encrypted IN (0, 1))
);

CREATE TABLE codebases (
  model_family TEXT PRIMARY KEY,
  url TEXT NOT NULL,
  requirements_url TEXT
);

CREATE TABLE model_secrets (
  name TEXT PRIMARY KEY,
  user_access_token TEXT NOT NULL
);

CREATE TABLE internal_api_keys (
  action_id TEXT PRIMARY KEY REFERENCES actions (id),
  api_key TEXT NOT NULL
);

CREATE TABLE handed_ports (
  port INTEGER PRIMARY KEY,
  handed_at INTEGER NOT NULL
);
)sql",

    // 1 -> 2: the machines' resource reports.
    R"sql(
CREATE TABLE machine_resources (
  instance_id TEXT PRIMARY KEY,
  report TEXT NOT NULL,
  reported_at TEXT NOT NULL
);
)sql",

    // 2 -> 3: how each action ended, and queue entries set aside unread.
    R"sql(
ALTER TABLE actions ADD COLUMN ended_at TEXT;
ALTER TABLE actions ADD COLUMN exit_status INTEGER;
ALTER TABLE actions ADD COLUMN rejected_reason TEXT;
)sql",

    // 3 -> 4: what a server of many instances keeps: its access keys, the
    // first answers of writes, ports handed out per instance and the
    // actions holding them, and when an action's log reached its limit.
    R"sql(
ALTER TABLE actions ADD COLUMN log_limit_reached_at TEXT;
CREATE INDEX actions_by_instance ON actions (assigned_to);

CREATE TABLE access_keys (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  access_key TEXT NOT NULL UNIQUE,
  sealed_secret TEXT NOT NULL,
  role TEXT NOT NULL CHECK (role IN ('instance', 'operator')),
  instance_id TEXT,
  created_at TEXT NOT NULL,
  revoked_at TEXT
);

CREATE TABLE write_answers (
  caller TEXT NOT NULL,
  idempotency_key TEXT NOT NULL,
  request_hash TEXT NOT NULL,
  answer TEXT NOT NULL,
  expires_at INTEGER NOT NULL,
  PRIMARY KEY (caller, idempotency_key)
) WITHOUT ROWID;
CREATE INDEX write_answers_by_expiry ON write_answers (expires_at);

CREATE TABLE instance_ports (
  instance_id TEXT NOT NULL,
  port INTEGER NOT NULL,
  handed_at INTEGER NOT NULL,
  PRIMARY KEY (instance_id, port)
) WITHOUT ROWID;

CREATE TABLE instance_port_holders (
  instance_id TEXT NOT NULL,
  port INTEGER NOT NULL,
  action_id TEXT NOT NULL REFERENCES actions (id),
  PRIMARY KEY (instance_id, port, action_id)
) WITHOUT ROWID;
)sql",

    // 4 -> 5: where the agent's log file stands for each action: the
    // stream of its last placed piece and the highest file end offset
    // stored for that stream, so that a piece sent again is stored once.
    R"sql(
ALTER TABLE actions ADD COLUMN log_stream TEXT;
ALTER TABLE actions ADD COLUMN log_stream_end INTEGER;
)sql",

    // 5 -> 6: what the access checks and the log read without parsing or
    // summing: the record's "_idUser" (when a text) kept beside it, and the
    // bytes of log stored so far (the offset of the next piece).
    R"sql(
ALTER TABLE actions ADD COLUMN owner TEXT;
ALTER TABLE actions ADD COLUMN log_bytes INTEGER NOT NULL DEFAULT 0;
UPDATE actions SET owner = json_extract(record, '$._idUser')
  WHERE json_valid(record) AND json_type(record, '$._idUser') = 'text';
UPDATE actions SET log_bytes = (SELECT coalesce(max(start_offset + length(content)), 0)
  FROM log_pieces WHERE action_id = actions.id);
)sql",

    // 6 -> 7: the machines the server knows (the operator's limits, their
    // last contact on the database's clock, their drain), each action's
    // attempts with how each ended, and the logs of earlier attempts.
    R"sql(
ALTER TABLE actions ADD COLUMN attempt INTEGER NOT NULL DEFAULT 0;
ALTER TABLE actions ADD COLUMN requeues INTEGER NOT NULL DEFAULT 0;
ALTER TABLE actions ADD COLUMN end_cause TEXT;
ALTER TABLE actions ADD COLUMN scale_down_cause TEXT;
UPDATE actions SET attempt = 1 WHERE assigned_to IS NOT NULL;
UPDATE actions SET scale_down_cause = 'scaled_down' WHERE scaled_down_at IS NOT NULL;
UPDATE actions SET end_cause = coalesce(scale_down_cause, 'exited') WHERE ended_at IS NOT NULL;

CREATE TABLE machines (
  instance_id TEXT PRIMARY KEY,
  gpus INTEGER CHECK (gpus IS NULL OR gpus >= 0),
  max_actions INTEGER NOT NULL CHECK (max_actions >= 0),
  labels TEXT NOT NULL,
  created_at TEXT NOT NULL,
  first_contact_at TEXT,
  last_contact_at TEXT,
  contact_ms INTEGER NOT NULL,
  last_poll_ms INTEGER,
  -- Whether the last poll came within the poll interval (and got nothing).
  last_poll_too_soon INTEGER NOT NULL DEFAULT 0 CHECK (last_poll_too_soon IN (0, 1)),
  agent_version TEXT,
  provider TEXT,
  address TEXT,
  lost_at TEXT,
  mode TEXT NOT NULL CHECK (mode IN ('active', 'draining')),
  drain_deadline_ms INTEGER
);
CREATE INDEX actions_live_by_instance ON actions (assigned_to)
  WHERE state = 'assigned' AND ended_at IS NULL AND rejected_reason IS NULL;

CREATE TABLE attempts (
  action_id TEXT NOT NULL REFERENCES actions (id),
  attempt INTEGER NOT NULL,
  instance_id TEXT NOT NULL,
  assigned_at TEXT NOT NULL,
  ended_at TEXT,
  end_cause TEXT,
  exit_status INTEGER,
  PRIMARY KEY (action_id, attempt)
) WITHOUT ROWID;
CREATE INDEX attempts_by_instance ON attempts (instance_id, action_id);
INSERT INTO attempts (action_id, attempt, instance_id, assigned_at, ended_at, end_cause,
                      exit_status)
  SELECT id, 1, assigned_to, assigned_at, ended_at, end_cause, exit_status FROM actions
  WHERE assigned_to IS NOT NULL AND assigned_at IS NOT NULL;

CREATE TABLE attempt_logs (
  action_id TEXT NOT NULL REFERENCES actions (id),
  attempt INTEGER NOT NULL,
  start_offset INTEGER NOT NULL,
  content BLOB NOT NULL,
  PRIMARY KEY (action_id, attempt, start_offset)
) WITHOUT ROWID;
)sql",
    // 7 -> 8: who drained a machine: the operator, or its own agent
    // stopping with a drain (which the agent's next poll ends).
    R"sql(
ALTER TABLE machines ADD COLUMN drained_by TEXT CHECK (drained_by IN ('operator', 'agent'));
UPDATE machines SET drained_by = 'operator' WHERE mode = 'draining';
)sql",
    // 8 -> 9: every attempt's log pieces in one table, keyed by attempt, so
    // that queuing an action again moves no bytes.
    R"sql(
CREATE TABLE log_pieces_by_attempt (
  action_id TEXT NOT NULL REFERENCES actions (id),
  attempt INTEGER NOT NULL,
  start_offset INTEGER NOT NULL,
  content BLOB NOT NULL,
  PRIMARY KEY (action_id, attempt, start_offset)
) WITHOUT ROWID;
INSERT INTO log_pieces_by_attempt (action_id, attempt, start_offset, content)
  SELECT action_id, attempt, start_offset, content FROM attempt_logs;
INSERT INTO log_pieces_by_attempt (action_id, attempt, start_offset, content)
  SELECT pieces.action_id, max(actions.attempt, 1), pieces.start_offset, pieces.content
  FROM log_pieces pieces JOIN actions ON actions.id = pieces.action_id;
DROP TABLE attempt_logs;
DROP TABLE log_pieces;
ALTER TABLE log_pieces_by_attempt RENAME TO log_pieces;
)sql",
    // 9 -> 10: the bytes an instance's reports about an action have stored
    // (status history), which have a limit.
    R"sql(
ALTER TABLE actions ADD COLUMN report_bytes INTEGER NOT NULL DEFAULT 0;
UPDATE actions SET report_bytes = (SELECT coalesce(sum(length(CAST(arguments AS BLOB))), 0)
  FROM status_history WHERE action_id = actions.id
  AND operation IN ('update_action_status', 'update_status', 'update_action'));
)sql",
    // 10 -> 11: the nonces of signed requests (a store shared by several
    // servers keeps them; SQLite's has the table for a like schema).
    R"sql(
CREATE TABLE request_nonces (
  access_key TEXT NOT NULL,
  nonce TEXT NOT NULL,
  expires_at INTEGER NOT NULL,
  PRIMARY KEY (access_key, nonce)
) WITHOUT ROWID;
CREATE INDEX request_nonces_by_expiry ON request_nonces (expires_at);
)sql",
    // 11 -> 12: a model secret may belong to one owner (the platform's
    // default of a name has the owner ''); the instances' transport keys.
    R"sql(
CREATE TABLE model_secrets_by_owner (
  owner TEXT NOT NULL DEFAULT '',
  name TEXT NOT NULL,
  user_access_token TEXT NOT NULL,
  PRIMARY KEY (owner, name)
);
INSERT INTO model_secrets_by_owner (owner, name, user_access_token)
  SELECT '', name, user_access_token FROM model_secrets;
DROP TABLE model_secrets;
ALTER TABLE model_secrets_by_owner RENAME TO model_secrets;

CREATE TABLE transport_keys (
  instance_id TEXT PRIMARY KEY,
  sealed_key TEXT NOT NULL,
  created_at TEXT NOT NULL
);
)sql",
    // 12 -> 13: one compact sample of each machine's inventory per five
    // minutes, for a day (sampled_at in Unix seconds).
    R"sql(
CREATE TABLE machine_samples (
  instance_id TEXT NOT NULL,
  sampled_at INTEGER NOT NULL,
  sample TEXT NOT NULL,
  PRIMARY KEY (instance_id, sampled_at)
) WITHOUT ROWID;
CREATE INDEX machine_samples_by_time ON machine_samples (sampled_at);
)sql",
    // 13 -> 14: a machine's cloud may take it back ("preempting" mode). A
    // CHECK changes only with its table, which is made anew.
    R"sql(
CREATE TABLE machines_14 (
  instance_id TEXT PRIMARY KEY,
  gpus INTEGER CHECK (gpus IS NULL OR gpus >= 0),
  max_actions INTEGER NOT NULL CHECK (max_actions >= 0),
  labels TEXT NOT NULL,
  created_at TEXT NOT NULL,
  first_contact_at TEXT,
  last_contact_at TEXT,
  contact_ms INTEGER NOT NULL,
  last_poll_ms INTEGER,
  -- Whether the last poll came within the poll interval (and got nothing).
  last_poll_too_soon INTEGER NOT NULL DEFAULT 0 CHECK (last_poll_too_soon IN (0, 1)),
  agent_version TEXT,
  provider TEXT,
  address TEXT,
  lost_at TEXT,
  mode TEXT NOT NULL CHECK (mode IN ('active', 'draining', 'preempting')),
  drain_deadline_ms INTEGER,
  drained_by TEXT CHECK (drained_by IN ('operator', 'agent'))
);
INSERT INTO machines_14 SELECT instance_id, gpus, max_actions, labels, created_at,
  first_contact_at, last_contact_at, contact_ms, last_poll_ms, last_poll_too_soon, agent_version,
  provider, address, lost_at, mode, drain_deadline_ms, drained_by FROM machines;
DROP TABLE machines;
ALTER TABLE machines_14 RENAME TO machines;
)sql",
    // 14 -> 15: placement from the inventory: the GPU memory an action asks
    // for (MiB), and the most free on one healthy GPU of each machine and
    // on all of them together (its latest inventory; null before one).
    R"sql(
ALTER TABLE actions ADD COLUMN gpu_memory_mib INTEGER;
ALTER TABLE machines ADD COLUMN gpu_free_max_mib INTEGER;
ALTER TABLE machines ADD COLUMN gpu_free_sum_mib INTEGER;
)sql",
    // 15 -> 16: read-only viewer keys (a CHECK changes only with its table,
    // which is made anew with the same rows); each machine's GPUs in all and
    // healthy, as its latest inventory counts them (null before one).
    R"sql(
ALTER TABLE machines ADD COLUMN gpu_total INTEGER;
ALTER TABLE machines ADD COLUMN gpu_healthy INTEGER;

CREATE TABLE access_keys_16 (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  access_key TEXT NOT NULL UNIQUE,
  sealed_secret TEXT NOT NULL,
  role TEXT NOT NULL CHECK (role IN ('instance', 'operator', 'viewer')),
  instance_id TEXT,
  created_at TEXT NOT NULL,
  revoked_at TEXT
);
INSERT INTO access_keys_16 SELECT seq, access_key, sealed_secret, role, instance_id, created_at,
  revoked_at FROM access_keys;
DROP TABLE access_keys;
ALTER TABLE access_keys_16 RENAME TO access_keys;
)sql",
    // 16 -> 17: a bound of the live actions each machine holds, kept by its
    // polls so that a poll far from the machine's limit need not count them
    // (null: not known yet).
    R"sql(
ALTER TABLE machines ADD COLUMN held_at_most INTEGER;
)sql",
    // 17 -> 18: the same machines, with the check of their mode written as
    // comparisons. SQLite checks a list of three or more with a temporary
    // table, made and dropped by every statement that writes a machine's
    // row (each poll's contact among them).
    R"sql(
CREATE TABLE machines_18 (
  instance_id TEXT PRIMARY KEY,
  gpus INTEGER CHECK (gpus IS NULL OR gpus >= 0),
  max_actions INTEGER NOT NULL CHECK (max_actions >= 0),
  labels TEXT NOT NULL,
  created_at TEXT NOT NULL,
  first_contact_at TEXT,
  last_contact_at TEXT,
  contact_ms INTEGER NOT NULL,
  last_poll_ms INTEGER,
  -- Whether the last poll came within the poll interval (and got nothing).
  last_poll_too_soon INTEGER NOT NULL DEFAULT 0 CHECK (last_poll_too_soon IN (0, 1)),
  agent_version TEXT,
  provider TEXT,
  address TEXT,
  lost_at TEXT,
  mode TEXT NOT NULL CHECK (mode = 'active' OR mode = 'draining' OR mode = 'preempting'),
  drain_deadline_ms INTEGER,
  drained_by TEXT CHECK (drained_by IN ('operator', 'agent')),
  gpu_free_max_mib INTEGER,
  gpu_free_sum_mib INTEGER,
  gpu_total INTEGER,
  gpu_healthy INTEGER,
  held_at_most INTEGER
);
INSERT INTO machines_18 SELECT instance_id, gpus, max_actions, labels, created_at,
  first_contact_at, last_contact_at, contact_ms, last_poll_ms, last_poll_too_soon, agent_version,
  provider, address, lost_at, mode, drain_deadline_ms, drained_by, gpu_free_max_mib,
  gpu_free_sum_mib, gpu_total, gpu_healthy, held_at_most FROM machines;
DROP TABLE machines;
ALTER TABLE machines_18 RENAME TO machines;
)sql",
};

constexpr int kVersion = static_cast<int>(std::size(kMigrations));

}  // namespace

int current_schema_version() { return kVersion; }

void migrate(sqlite::Connection& connection, const std::string& path) {
  // Most opens find the schema current and take no write lock.
  if (connection.pragma_integer("PRAGMA user_version") == kVersion) return;

  sqlite::Transaction transaction(connection, sqlite::Transaction::Kind::write);
  const std::int64_t version = connection.pragma_integer("PRAGMA user_version");
  if (version > kVersion) {
    throw DatabaseError("The backend database " + path + " has schema version " +
                        std::to_string(version) + ", newer than this program's " +
                        std::to_string(kVersion) + "; use a newer program");
  }
  if (version < 0) {
    throw DatabaseError("The backend database " + path + " has an invalid schema version " +
                        std::to_string(version));
  }
  if (version == 0) {
    // A file without a version must be empty: never lay tables over a
    // database that belongs to something else.
    std::int64_t count = 0;
    {
      sqlite::Statement tables = connection.prepare("SELECT count(*) FROM sqlite_schema");
      if (tables.step()) count = tables.integer(0);
    }
    if (count != 0) {
      throw DatabaseError("The file " + path + " is a database of another program");
    }
  }
  for (std::int64_t next = version; next < kVersion; ++next) {
    connection.exec(kMigrations[next]);
  }
  // PRAGMA takes no bound parameters; the version is a constant of this
  // program.
  const std::string set_version = "PRAGMA user_version = " + std::to_string(kVersion);
  connection.exec(set_version.c_str());
  transaction.commit();
}

}  // namespace tavoren::backend
