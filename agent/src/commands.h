// The agent program's subcommands. Each takes the arguments after its own
// name and returns the process's exit status (see cli.h).
#pragma once

#include <string>
#include <vector>

namespace tavoren::agent {

using Args = std::vector<std::string>;

int run_command(const Args& args);
int submit_command(const Args& args);
int list_command(const Args& args);
int show_command(const Args& args);
int logs_command(const Args& args);
int scale_down_command(const Args& args);
int config_command(const Args& args);
int machines_command(const Args& args);

}  // namespace tavoren::agent
