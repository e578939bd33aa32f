// How the probes run a host tool: in its own process group, under the time
// limit the caller passes (one of tool_limits()), with LC_ALL=C for output
// that is parsed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/common/process.h"

namespace tavoren::host_probe::detail {

// The GPU tool every probe of the GPUs runs.
inline constexpr const char* kNvidiaSmi = "nvidia-smi";

struct ToolOptions {
  // What becomes of standard output: the caller reads it (the tool runs
  // with LC_ALL=C, as its output is parsed), it goes to the agent's log
  // (log_tool_output), or it is dropped (only the exit status counts).
  enum class Output { parsed, logged, dropped };
  Output stdout_use = Output::parsed;
  // The caller reads standard error (RunResult::err); otherwise it goes to
  // the agent's log (log_tool_output).
  bool capture_stderr = false;
  // Written to the tool's standard input (else /dev/null).
  std::optional<std::string> input;
};

// Runs `argv` without a shell, both its output streams captured (what the
// caller does not read is logged, see ToolOptions, and left out of the
// result). When `limit` passes, the tool's process group is killed and
// reaped, the warning "<tool> did not finish within <limit>; killed" is
// logged and ToolTimeoutError is thrown; `tool` names it there ("docker
// info"). A tool that cannot be started throws process::SpawnError. Any
// exit status is returned as it is.
process::RunResult run_tool(const std::vector<std::string>& argv, std::string_view tool,
                            std::chrono::milliseconds limit, const ToolOptions& options = {});

// run_tool(), then its standard output; process::ExitError on a non-zero
// exit status.
std::string tool_output(const std::vector<std::string>& argv, std::string_view tool,
                        std::chrono::milliseconds limit);

// The data root of the container engine from the output of `docker info`:
// the trimmed text between the first and second ':' of the first line that
// starts (after blanks) with "Docker Root Dir"; nullopt without such a
// line. Throws ValueError when that line has no ':'.
std::optional<std::string> docker_root_dir(const std::string& info);

}  // namespace tavoren::host_probe::detail
