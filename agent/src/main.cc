// tavoren-agent: the agent service and the operator's commands for its
// embedded backend.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace {

const char kHelp[] =
    "usage: tavoren-agent COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  run          run the agent on this host until SIGTERM or SIGINT\n"
    "  submit       queue an action and print its identifier\n"
    "  list         list the actions\n"
    "  show ID      show one action and its status history\n"
    "  logs ID      print an action's log (--follow to keep printing)\n"
    "  scale-down ID  stop an action: it is no longer handed out, its container stops\n"
    "  config       set or show the embedded backend's settings\n"
    "  machines     list, show, set, drain, undrain or forget the backend's machines\n"
    "\n"
    "Every command accepts --backend PATH (the embedded backend's database) or\n"
    "--backend URL (a backend server, https://HOST:PORT; several servers of one\n"
    "store: --backend again, or URLs separated by commas, the first used first),\n"
    "and --help. Exit status: 0 success, 1 refused, 2 wrong usage.\n"
    "tavoren-agent --version shows the version.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tavoren::agent;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kHelp;
    return kExitOk;
  }
  if (command == "--version") {
    std::cout << "tavoren-agent " << TAVOREN_VERSION << "\n";
    return kExitOk;
  }
  if (command == "run") return run_command(args);
  if (command == "submit") return submit_command(args);
  if (command == "list") return list_command(args);
  if (command == "show") return show_command(args);
  if (command == "logs") return logs_command(args);
  if (command == "scale-down") return scale_down_command(args);
  if (command == "config") return config_command(args);
  if (command == "machines") return machines_command(args);
  std::cerr << "tavoren-agent: unknown command \"" << command << "\"\n\n" << kHelp;
  return kExitUsage;
}
