// One JSON object per log line, for log collectors.
#pragma once

namespace tavoren::agent {

// Makes the process-wide logger write each line to standard error as one
// JSON object: {"time", "level", "message", "thread"}. Time is UTC with
// milliseconds ("2024-05-01T12:00:00.123Z"). Bytes that are not UTF-8 are
// replaced, never dropped.
void use_json_log_format();

}  // namespace tavoren::agent
