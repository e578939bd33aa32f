// What the store core's files share: helpers over a transaction that more
// than one of them needs. Internal to the store core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tavoren/common/json.h"
#include "tavoren/store_core.h"
#include "tavoren/store_port.h"

namespace tavoren::backend::core_internal {

// An action counts as live while it is assigned and neither ended nor set
// aside.
#define TAVOREN_LIVE_ACTION_SQL "ended_at IS NULL AND rejected_reason IS NULL"

// Appends one event to the action's history.
void record_event(core::Tx& tx, const std::string& id, std::string_view operation,
                  const Json& arguments);
// The same, with the arguments as their JSON text already.
void record_event_text(core::Tx& tx, const std::string& id, std::string_view operation,
                       const std::string& arguments);

// The database's clock now, in milliseconds since the epoch, moved by the
// store's clock offset.
std::int64_t now_ms(core::Tx& tx, const CoreOptions& options);

// Ends the current attempt of action `id` (whose row this transaction
// locks): with `cause`, unless the server scaled it down, which then names
// the cause. A cause that requeues queues the action again while its retry
// budget allows; else the action ends. Answers the cause stored and
// whether it was queued again. Throws KeyError for an unknown action.
EndRecorded end_attempt(core::Tx& tx, const CoreOptions& options, const std::string& id,
                        std::string_view cause, std::optional<int> exit_status);

// Marks action `id` (locked by this transaction, not scaled down yet)
// scaled down: no longer handed out, answered by get_downscaled_ids, and
// ending with `cause` whatever its agent reports.
void scale_down_in(core::Tx& tx, const std::string& id, std::string_view cause);

// The refusal of a write that names an attempt which is not the action's
// current one.
std::string not_current_text(const std::string& id, std::int64_t attempt);

// The "attempt" of a write's named arguments: nullopt when absent or null;
// ValueError when it is not a whole number from 1 on.
std::optional<std::int64_t> attempt_argument(const Json& arguments);

// Whether `attempt` is action `id`'s current attempt: assigned, live, and
// (when `instance_id` is not empty) held by that instance.
bool is_current(core::Tx& tx, const std::string& id, std::int64_t attempt,
                const std::string& instance_id);

}  // namespace tavoren::backend::core_internal
