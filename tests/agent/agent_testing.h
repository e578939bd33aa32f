// Running the agent program from the tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/process.h"

namespace tavoren::testing {

// One finished run of the program.
struct AgentRun {
  int exit_status = 0;
  std::string out;
  std::string err;
};

// Runs the program with `args`, `input` on its standard input.
// The code of a program that ended (-N for signal N), as the tests compare it.
inline std::optional<int> returncode_of(const std::optional<process::ExitStatus>& status) {
  if (!status) return std::nullopt;
  return status->returncode();
}

AgentRun run_agent(const std::vector<std::string>& args,
                   const std::optional<std::string>& input = std::nullopt);

// The program's path, for tests that start it themselves.
std::string agent_program();

// Starts the program with `args` in the background: standard input from
// /dev/null, standard output and error together into the file `output`.
process::Child spawn_agent(const std::vector<std::string>& args, const std::string& output);

// Polls `condition` until it holds or `limit` passes; its last answer.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace tavoren::testing
