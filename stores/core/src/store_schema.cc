// The one list of the stores' tables.

#include "tavoren/store_schema.h"

namespace tavoren::backend::store_schema {

// One flat list, one entry per table, read top to bottom: it stays whole
// however long it grows.
const std::vector<Table>& tables() {
  static const std::vector<Table> kTables = {
      {"actions",
       {"seq",
        "id",
        "action_type",
        "gpu_required",
        "record",
        "state",
        "assigned_to",
        "submitted_at",
        "assigned_at",
        "scaled_down_at",
        "scale_down_seq",
        "ended_at",
        "exit_status",
        "rejected_reason",
        "log_limit_reached_at",
        "log_stream",
        "log_stream_end",
        "attempt",
        "requeues",
        "end_cause",
        "scale_down_cause"},
       {},
       {"owner", "log_bytes", "report_bytes", "gpu_memory_mib"},
       "seq",
       false},
      {"status_history",
       {"seq", "action_id", "operation", "arguments", "recorded_at"},
       {},
       {},
       "seq",
       false},
      {"log_pieces",
       {"action_id", "attempt", "start_offset", "content"},
       {"content"},
       {},
       "action_id, attempt, start_offset",
       false},
      {"attempts",
       {"action_id", "attempt", "instance_id", "assigned_at", "ended_at", "end_cause",
        "exit_status"},
       {},
       {},
       "action_id, attempt",
       false},
      {"settings", {"name", "value"}, {}, {}, "name"},
      {"key_pairs", {"user_id", "access_key", "secret_key", "encrypted"}, {}, {}, "user_id"},
      {"codebases", {"model_family", "url", "requirements_url"}, {}, {}, "model_family"},
      {"model_secrets", {"owner", "name", "user_access_token"}, {}, {}, "owner, name"},
      {"internal_api_keys", {"action_id", "api_key"}, {}, {}, "action_id"},
      {"transport_keys", {"instance_id", "sealed_key", "created_at"}, {}, {}, "instance_id"},
      {"handed_ports", {"port", "handed_at"}, {}, {}, "port"},
      {"machine_resources", {"instance_id", "report", "reported_at"}, {}, {}, "instance_id"},
      // An access key's order moves, not its sequence number.
      {"access_keys",
       {"access_key", "sealed_secret", "role", "instance_id", "created_at", "revoked_at"},
       {},
       {"seq"},
       "seq"},
      {"machines",
       {"instance_id", "gpus", "max_actions", "labels", "created_at", "first_contact_at",
        "last_contact_at", "contact_ms", "last_poll_ms", "last_poll_too_soon", "agent_version",
        "provider", "address", "lost_at", "mode", "drain_deadline_ms", "drained_by"},
       {},
       {"gpu_free_max_mib", "gpu_free_sum_mib", "gpu_total", "gpu_healthy", "held_at_most"},
       "instance_id"},
      {"write_answers",
       {"caller", "idempotency_key", "request_hash", "answer", "expires_at"},
       {},
       {},
       "caller, idempotency_key"},
      {"instance_ports", {"instance_id", "port", "handed_at"}, {}, {}, "instance_id, port"},
      {"instance_port_holders",
       {"instance_id", "port", "action_id"},
       {},
       {},
       "instance_id, port, action_id"},
      {"request_nonces", {"access_key", "nonce", "expires_at"}, {}, {}, "access_key, nonce"},
      {"machine_samples",
       {"instance_id", "sampled_at", "sample"},
       {},
       {},
       "instance_id, sampled_at"},
  };
  return kTables;
}

const Table* find_table(const std::string& name) {
  for (const Table& table : tables()) {
    if (table.name == name) return &table;
  }
  return nullptr;
}

}  // namespace tavoren::backend::store_schema
