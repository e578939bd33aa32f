// The schema of the PostgreSQL store. The table schema_version holds the
// version reached; migration n brings version n to n + 1 and runs once, in
// order, in the same transaction as the version's update.

#include "schema.h"

#include <iterator>
#include <string>

namespace tavoren::backend::pg_schema {
namespace {

constexpr const char* kMigrations[] = {
    // 0 -> 1: the first schema. Timestamps are texts in the form the
    // embedded store answers (UTC, milliseconds); records and reports are
    // JSON texts, so their keys keep their order.
    R"sql(
CREATE TABLE actions (
  seq BIGSERIAL PRIMARY KEY,
  id TEXT NOT NULL UNIQUE CHECK (length(id) = 24),
  action_type TEXT NOT NULL,
  gpu_required BOOLEAN NOT NULL,
  record TEXT NOT NULL,
  -- The record's "_idUser", kept beside it for the access checks.
  owner TEXT,
  state TEXT NOT NULL CHECK (state IN ('queued', 'assigned')),
  assigned_to TEXT,
  submitted_at TEXT NOT NULL,
  assigned_at TEXT,
  scaled_down_at TEXT,
  scale_down_seq BIGINT UNIQUE,
  ended_at TEXT,
  exit_status INTEGER,
  rejected_reason TEXT,
  log_limit_reached_at TEXT,
  -- The bytes of log stored so far: the offset of the next piece.
  log_bytes BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX actions_queue ON actions (seq) WHERE state = 'queued' AND scaled_down_at IS NULL;
CREATE INDEX actions_by_instance ON actions (assigned_to);
CREATE SEQUENCE scale_down_order;

CREATE TABLE status_history (
  seq BIGSERIAL PRIMARY KEY,
  action_id TEXT NOT NULL REFERENCES actions (id),
  operation TEXT NOT NULL,
  arguments TEXT NOT NULL,
  recorded_at TEXT NOT NULL
);
CREATE INDEX status_history_by_action ON status_history (action_id, seq);

CREATE TABLE log_pieces (
  action_id TEXT NOT NULL REFERENCES actions (id),
  start_offset BIGINT NOT NULL,
  content BYTEA NOT NULL,
  PRIMARY KEY (action_id, start_offset)
);

CREATE TABLE settings (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);

CREATE TABLE key_pairs (
  user_id TEXT PRIMARY KEY,
  access_key TEXT NOT NULL,
  secret_key TEXT NOT NULL,
  encrypted BOOLEAN NOT NULL
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
  handed_at BIGINT NOT NULL
);

CREATE TABLE machine_resources (
  instance_id TEXT PRIMARY KEY,
  report TEXT NOT NULL,
  reported_at TEXT NOT NULL
);

CREATE TABLE access_keys (
  seq BIGSERIAL PRIMARY KEY,
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
  expires_at BIGINT NOT NULL,
  PRIMARY KEY (caller, idempotency_key)
);
CREATE INDEX write_answers_by_expiry ON write_answers (expires_at);

CREATE TABLE instance_ports (
  instance_id TEXT NOT NULL,
  port INTEGER NOT NULL,
  handed_at BIGINT NOT NULL,
  PRIMARY KEY (instance_id, port)
);

CREATE TABLE instance_port_holders (
  instance_id TEXT NOT NULL,
  port INTEGER NOT NULL,
  action_id TEXT NOT NULL REFERENCES actions (id),
  PRIMARY KEY (instance_id, port, action_id)
);
)sql",

    // 1 -> 2: where the agent's log file stands for each action: the
    // stream of its last placed piece and the highest file end offset
    // stored for that stream, so that a piece sent again is stored once.
    R"sql(
ALTER TABLE actions ADD COLUMN log_stream TEXT;
ALTER TABLE actions ADD COLUMN log_stream_end BIGINT;
)sql",

    // 2 -> 3: the machines the server knows (the operator's limits, their
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
  contact_ms BIGINT NOT NULL,
  last_poll_ms BIGINT,
  -- Whether the last poll came within the poll interval (and got nothing).
  last_poll_too_soon BOOLEAN NOT NULL DEFAULT FALSE,
  agent_version TEXT,
  provider TEXT,
  address TEXT,
  lost_at TEXT,
  mode TEXT NOT NULL CHECK (mode IN ('active', 'draining')),
  drain_deadline_ms BIGINT
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
);
CREATE INDEX attempts_by_instance ON attempts (instance_id, action_id);
INSERT INTO attempts (action_id, attempt, instance_id, assigned_at, ended_at, end_cause,
                      exit_status)
  SELECT id, 1, assigned_to, assigned_at, ended_at, end_cause, exit_status FROM actions
  WHERE assigned_to IS NOT NULL AND assigned_at IS NOT NULL;

CREATE TABLE attempt_logs (
  action_id TEXT NOT NULL REFERENCES actions (id),
  attempt INTEGER NOT NULL,
  start_offset BIGINT NOT NULL,
  content BYTEA NOT NULL,
  PRIMARY KEY (action_id, attempt, start_offset)
);
)sql",
    // 3 -> 4: who drained a machine: the operator, or its own agent
    // stopping with a drain (which the agent's next poll ends).
    R"sql(
ALTER TABLE machines ADD COLUMN drained_by TEXT CHECK (drained_by IN ('operator', 'agent'));
UPDATE machines SET drained_by = 'operator' WHERE mode = 'draining';
)sql",
    // 4 -> 5: every attempt's log pieces in one table, keyed by attempt, so
    // that queuing an action again moves no bytes.
    R"sql(
ALTER TABLE log_pieces ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1;
UPDATE log_pieces SET attempt = actions.attempt FROM actions
  WHERE actions.id = log_pieces.action_id AND actions.attempt > 1;
ALTER TABLE log_pieces ALTER COLUMN attempt DROP DEFAULT;
ALTER TABLE log_pieces DROP CONSTRAINT log_pieces_pkey;
ALTER TABLE log_pieces ADD PRIMARY KEY (action_id, attempt, start_offset);
INSERT INTO log_pieces (action_id, attempt, start_offset, content)
  SELECT action_id, attempt, start_offset, content FROM attempt_logs;
DROP TABLE attempt_logs;
)sql",
    // 5 -> 6: the bytes an instance's reports about an action have stored
    // (status history), which have a limit.
    R"sql(
ALTER TABLE actions ADD COLUMN report_bytes BIGINT NOT NULL DEFAULT 0;
)sql" TAVOREN_PG_REPORT_BYTES_SQL,
    // 6 -> 7: the nonces of signed requests, shared by the servers of the
    // store, each until its expiry (Unix seconds).
    R"sql(
CREATE TABLE request_nonces (
  access_key TEXT NOT NULL,
  nonce TEXT NOT NULL,
  expires_at BIGINT NOT NULL,
  PRIMARY KEY (access_key, nonce)
);
CREATE INDEX request_nonces_by_expiry ON request_nonces (expires_at);
)sql",
    // 7 -> 8: a model secret may belong to one owner (the platform's
    // default of a name has the owner ''); the instances' transport keys.
    R"sql(
ALTER TABLE model_secrets ADD COLUMN owner TEXT NOT NULL DEFAULT '';
ALTER TABLE model_secrets DROP CONSTRAINT model_secrets_pkey;
ALTER TABLE model_secrets ADD PRIMARY KEY (owner, name);

CREATE TABLE transport_keys (
  instance_id TEXT PRIMARY KEY,
  sealed_key TEXT NOT NULL,
  created_at TEXT NOT NULL
);
)sql",
    // 8 -> 9: one compact sample of each machine's inventory per five
    // minutes, for a day (sampled_at in Unix seconds).
    R"sql(
CREATE TABLE machine_samples (
  instance_id TEXT NOT NULL,
  sampled_at BIGINT NOT NULL,
  sample TEXT NOT NULL,
  PRIMARY KEY (instance_id, sampled_at)
);
CREATE INDEX machine_samples_by_time ON machine_samples (sampled_at);
)sql",
    // 9 -> 10: a machine's cloud may take it back ("preempting" mode).
    R"sql(
ALTER TABLE machines DROP CONSTRAINT machines_mode_check;
ALTER TABLE machines ADD CONSTRAINT machines_mode_check
  CHECK (mode IN ('active', 'draining', 'preempting'));
)sql",
    // 10 -> 11: placement from the inventory: the GPU memory an action asks
    // for (MiB), and the most free on one healthy GPU of each machine and
    // on all of them together (its latest inventory; null before one).
    R"sql(
ALTER TABLE actions ADD COLUMN gpu_memory_mib BIGINT;
ALTER TABLE machines ADD COLUMN gpu_free_max_mib BIGINT;
ALTER TABLE machines ADD COLUMN gpu_free_sum_mib BIGINT;
)sql",
    // 11 -> 12: read-only viewer keys; each machine's GPUs in all and
    // healthy, as its latest inventory counts them (null before one).
    R"sql(
ALTER TABLE machines ADD COLUMN gpu_total BIGINT;
ALTER TABLE machines ADD COLUMN gpu_healthy BIGINT;

ALTER TABLE access_keys DROP CONSTRAINT access_keys_role_check;
ALTER TABLE access_keys ADD CONSTRAINT access_keys_role_check
  CHECK (role IN ('instance', 'operator', 'viewer'));
)sql",
    // 12 -> 13: a bound of the live actions each machine holds, kept by its
    // polls so that a poll far from the machine's limit need not count them
    // (null: not known yet).
    R"sql(
ALTER TABLE machines ADD COLUMN held_at_most BIGINT;
)sql",
};

constexpr int kVersion = static_cast<int>(std::size(kMigrations));

// The version recorded in the current schema; 0 when it has no version
// table.
int version_of(pg::Connection& connection) {
  pg::Rows table = connection.exec(
      "SELECT 1 FROM information_schema.tables WHERE table_schema = current_schema() "
      "AND table_name = 'schema_version'");
  if (table.empty()) return 0;
  pg::Rows version = connection.exec("SELECT max(version) FROM schema_version");
  if (version.empty() || version.is_null(0, 0)) return 0;
  return static_cast<int>(version.integer(0, 0));
}

}  // namespace

int current_version() { return kVersion; }

int migrate(pg::Connection& connection, const std::string& schema) {
  connection.exec("BEGIN");
  try {
    // One migration at a time per schema, whichever server starts it.
    connection.exec("SELECT pg_advisory_xact_lock(hashtext('tavoren-schema:' || $1))",
                    pg::Params().text(schema));
    if (!schema.empty()) {
      // The name was checked to be a plain identifier.
      connection.exec(("CREATE SCHEMA IF NOT EXISTS " + schema).c_str());
    }
    pg::Rows current = connection.exec("SELECT current_schema()");
    if (current.empty() || current.is_null(0, 0)) {
      throw DatabaseError("The connection has no schema to hold the backend's tables");
    }
    const int found = version_of(connection);
    if (found > kVersion) {
      throw DatabaseError("The backend database has schema version " + std::to_string(found) +
                          ", newer than this program's " + std::to_string(kVersion) +
                          "; use a newer program");
    }
    if (found == 0) {
      // Never lay tables over a schema that belongs to something else.
      pg::Rows tables = connection.exec(
          "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()");
      if (tables.integer(0, 0) != 0) {
        throw DatabaseError("The schema " + current.text(0, 0) +
                            " holds tables of another program");
      }
      connection.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
      connection.exec("INSERT INTO schema_version (version) VALUES (0)");
    }
    for (int next = found; next < kVersion; ++next) connection.exec_script(kMigrations[next]);
    connection.exec("UPDATE schema_version SET version = $1", pg::Params().integer(kVersion));
    connection.exec("COMMIT");
    return found;
  } catch (...) {
    if (!connection.broken()) {
      try {
        connection.exec("ROLLBACK");
      } catch (const DatabaseError&) {
        // The connection is dropped by its pool.
      }
    }
    throw;
  }
}

void require_current(pg::Connection& connection) {
  const int found = version_of(connection);
  if (found == kVersion) return;
  if (found > kVersion) {
    throw DatabaseError("The backend database has schema version " + std::to_string(found) +
                        ", newer than this program's " + std::to_string(kVersion) +
                        "; use a newer program");
  }
  throw DatabaseError("The backend database has schema version " + std::to_string(found) +
                      ", older than this program's " + std::to_string(kVersion) +
                      "; run: tavoren-backend migrate --store <the same store>");
}

}  // namespace tavoren::backend::pg_schema
