#include "agent_testing.h"

#include <thread>

namespace tavoren::testing {

std::string agent_program() { return TAVOREN_AGENT_PROGRAM; }

AgentRun run_agent(const std::vector<std::string>& args, const std::optional<std::string>& input) {
  std::vector<std::string> argv = {agent_program()};
  argv.insert(argv.end(), args.begin(), args.end());
  process::RunOptions options;
  options.timeout = std::chrono::seconds(30);
  options.capture_stderr = true;
  options.input = input;
  process::RunResult result = process::run_capture(argv, options);
  return {result.exit_status.returncode(), result.out, result.err};
}

process::Child spawn_agent(const std::vector<std::string>& args, const std::string& output) {
  process::SpawnRequest request;
  request.argv = {agent_program()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.stdin_stream = process::Stream::null;
  request.stdout_stream = process::Stream::file;
  request.stderr_stream = process::Stream::stdout;
  request.output_path = output;
  return process::Child::spawn(request);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace tavoren::testing
