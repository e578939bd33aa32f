// The operator's subcommands: they fill and read the embedded backend's
// database. Reading commands never create a database; every command checks
// its whole input before it writes anything.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <type_traits>

#include "cli.h"
#include "commands.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/json.h"
#include "tavoren/common/text.h"
#include "tavoren/sqlite_store.h"

namespace tavoren::agent {
namespace {

using backend::LocalBackendOptions;
using backend::LocalScaling;

// Runs `use` on the backend that the command names: a server (through an
// operator's key pair from the environment) or the embedded backend's
// database. Reading commands refuse a missing database file instead of
// creating an empty one. Writing commands create the file (and its folder)
// when needed, and remove a file they created when `use` refuses, so that a
// refused command leaves nothing behind.
template <typename Use>
auto with_backend(const ParsedArgs& args, bool writes, Use&& use)
    -> decltype(use(std::declval<LocalScaling&>())) {
  const BackendLocation location = backend_location(args);
  if (location.url) {
    backend::RemoteOperator server(remote_options(location, key_pair_from_environment()));
    return use(server);
  }
  const std::filesystem::path& path = location.database;
  std::error_code ec;
  bool existed = std::filesystem::exists(path, ec);
  const bool key_existed = std::filesystem::exists(backend::own_key_path(path), ec);
  if (!existed) {
    if (!writes) throw Refusal("no agent database at " + path.string());
    create_database_folder(path);
  }
  try {
    LocalBackendOptions options;
    options.database = path;
    options.own_key_file = true;
    LocalScaling backend(std::move(options));
    return use(backend);
  } catch (...) {
    if (!existed) {
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(path.string() + suffix, ec);
      }
      if (!key_existed) std::filesystem::remove(backend::own_key_path(path), ec);
    }
    throw;
  }
}

// Runs one subcommand body, turning its failures into messages and exit
// statuses.
template <typename Body>
int guarded(const char* name, const char* usage, Body&& body) {
  try {
    return body();
  } catch (const UsageError& e) {
    std::cerr << "tavoren-agent " << name << ": " << e.what() << "\nusage: " << usage << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tavoren-agent " << name << ": " << e.what() << "\n";
    return kExitRefused;
  }
}

bool want_help(const ParsedArgs& args, const char* help) {
  if (args.help) std::cout << help;
  return args.help;
}

// A --param or --detail value: JSON when it reads as JSON (numbers, true,
// objects...), otherwise the text as given. JSON beyond the limits of
// parse_json is refused.
Json flag_value(const std::string& text) {
  try {
    return parse_json(text);
  } catch (const JsonError& e) {
    if (e.beyond_limits()) throw Refusal(std::string("the value is refused: ") + e.what());
    return Json(text);
  }
}

void add_pairs(Json& target, const std::string& option, const std::vector<std::string>& pairs) {
  for (const std::string& pair : pairs) {
    auto eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw UsageError(option + " needs name=value, not \"" + pair + "\"");
    }
    target[pair.substr(0, eq)] = flag_value(pair.substr(eq + 1));
  }
}

std::string read_all(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char kSubmitUsage[] =
    "tavoren-agent submit [--backend PATH|URL] [FILE|-]\n"
    "       tavoren-agent submit [--backend PATH|URL] --type TYPE [--image IMAGE] [--user ID]\n"
    "                            [--param NAME=VALUE]... [--detail NAME=VALUE]...";
const char kSubmitHelp[] =
    "usage: tavoren-agent submit [--backend PATH|URL] [FILE|-]\n"
    "       tavoren-agent submit [--backend PATH|URL] --type TYPE [--image IMAGE] [--user ID]\n"
    "                            [--param NAME=VALUE]... [--detail NAME=VALUE]...\n"
    "\n"
    "Queues one action and prints its new identifier.\n"
    "The action record is a JSON object read from FILE (or standard input\n"
    "when FILE is - or absent), with \"action\" (the type) and \"actionDetails\".\n"
    "Or build it from flags:\n"
    "  --type TYPE           the action type\n"
    "  --image IMAGE         the container image (actionDetails.docker)\n"
    "  --user ID             the owner (_idUser), whose key pair the job receives\n"
    "  --param NAME=VALUE    a job parameter (jobParams), repeatable\n"
    "  --detail NAME=VALUE   an action detail (actionDetails), repeatable\n"
    "VALUEs that read as JSON (numbers, true, objects) are kept as such.\n";

}  // namespace

int submit_command(const Args& raw) {
  return guarded("submit", kSubmitUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(),
                                       backend_ca_option(),
                                       {"--type", true},
                                       {"--image", true},
                                       {"--user", true},
                                       {"--param", true, true},
                                       {"--detail", true, true}});
    if (want_help(args, kSubmitHelp)) return kExitOk;
    bool from_flags = args.has("--type") || args.has("--image") || args.has("--user") ||
                      args.has("--param") || args.has("--detail");
    Json record;
    if (from_flags) {
      if (!args.positionals.empty()) {
        throw UsageError("give the record either as a file or as flags, not both");
      }
      auto type = args.value("--type");
      if (!type) throw UsageError("--type is required when the record is given as flags");
      Json details = Json::object();
      if (auto image = args.value("--image")) details["docker"] = *image;
      add_pairs(details, "--detail", args.values("--detail"));
      Json params = Json::object();
      add_pairs(params, "--param", args.values("--param"));
      record["action"] = *type;
      record["actionDetails"] = details;
      if (!params.empty()) record["jobParams"] = params;
      if (auto user = args.value("--user")) record["_idUser"] = *user;
    } else {
      if (args.positionals.size() > 1) throw UsageError("at most one record file");
      std::string text;
      if (args.positionals.empty() || args.positionals[0] == "-") {
        text = read_all(std::cin);
      } else {
        std::optional<std::string> content = read_file_if_present(args.positionals[0]);
        if (!content) throw Refusal("cannot read " + args.positionals[0]);
        text = std::move(*content);
      }
      try {
        record = parse_json(text);
      } catch (const JsonError& e) {
        throw Refusal(std::string(e.beyond_limits() ? "the action record is refused: "
                                                    : "the action record is not valid JSON: ") +
                      e.what());
      }
      if (!record.is_object()) {
        throw Refusal(std::string("the action record must be a JSON object, not ") +
                      record.type_name());
      }
    }
    return with_backend(args, true, [&](auto& backend) {
      std::cout << backend.submit(record) << "\n";
      return kExitOk;
    });
  });
}

namespace {
const char kListUsage[] = "tavoren-agent list [--backend PATH|URL] [--json] [--queue [--limit N]]";
const char kListHelp[] =
    "usage: tavoren-agent list [--backend PATH|URL] [--json] [--queue [--limit N]]\n"
    "\n"
    "Lists every action, oldest first: identifier, type, status, state\n"
    "(queued, assigned, ended or rejected), the exit status of an ended one,\n"
    "whether it was scaled down, and when it was submitted. --json prints the\n"
    "list as one JSON array.\n"
    "\n"
    "--queue lists the queued actions instead, in the order they are handed\n"
    "out (at most --limit, 100 unless given): position, identifier, type, when\n"
    "submitted, and why each waits, as the backend knows it from the machines'\n"
    "liveness, drains, caps and GPUs.\n";

// The queue page: one line per queued action, with why it waits.
void print_queue(const Json& page) {
  std::cout << page.value("total", 0) << " queued\n";
  for (const Json& action : page.value("actions", Json::array())) {
    std::cout << action.value("position", 0) << "  " << text_of(action.value("_id", Json()), "-")
              << "  " << text_of(action.value("action", Json()), "-") << "  "
              << text_of(action.value("submittedAt", Json()), "-") << "  "
              << text_of(action.value("reason", Json()), "-") << "\n";
  }
}

}  // namespace

int list_command(const Args& raw) {
  return guarded("list", kListUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(),
                                       backend_ca_option(),
                                       {"--json", false},
                                       {"--queue", false},
                                       {"--limit", true}});
    if (want_help(args, kListHelp)) return kExitOk;
    if (!args.positionals.empty()) throw UsageError("list takes no arguments");
    if (args.has("--limit") && !args.has("--queue")) throw UsageError("--limit goes with --queue");
    if (args.has("--queue")) {
      const int limit =
          args.has("--limit") ? parse_count("--limit", *args.value("--limit"), 10000, 1) : 100;
      const Json page =
          with_backend(args, false, [&](auto& backend) { return backend.queue(limit); });
      if (args.has("--json")) {
        std::cout << page.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
      } else {
        print_queue(page);
      }
      return kExitOk;
    }
    Json actions = with_backend(args, false, [](auto& backend) { return backend.list(); });
    if (args.has("--json")) {
      std::cout << actions.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
      return kExitOk;
    }
    for (const Json& action : actions) {
      std::cout << text_of(action.value("_id", Json()), "-") << "  "
                << text_of(action.value("action", Json()), "-") << "  "
                << text_of(action.value("status", Json()), "-") << "  "
                << text_of(action.value("state", Json()), "-");
      if (const Json exit_status = action.value("exitStatus", Json()); exit_status.is_number()) {
        std::cout << " (exit " << exit_status.dump() << ")";
      }
      if (const Json cause = action.value("endCause", Json()); cause.is_string()) {
        std::cout << " " << cause.get<std::string>();
      }
      std::cout << (action.value("scaledDown", false) ? "  scaled-down" : "") << "  "
                << text_of(action.value("submittedAt", Json()), "-") << "\n";
    }
    return kExitOk;
  });
}

namespace {
const char kShowUsage[] = "tavoren-agent show [--backend PATH|URL] ID";
const char kShowHelp[] =
    "usage: tavoren-agent show [--backend PATH|URL] ID\n"
    "\n"
    "Prints one action as JSON: its current record, its state, and the\n"
    "history of every status report about it.\n";

std::string one_identifier(const ParsedArgs& args) {
  if (args.positionals.size() != 1) throw UsageError("expected one action identifier");
  if (args.positionals[0].empty()) throw UsageError("the action identifier is empty");
  return args.positionals[0];
}
}  // namespace

int show_command(const Args& raw) {
  return guarded("show", kShowUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(), backend_ca_option()});
    if (want_help(args, kShowHelp)) return kExitOk;
    std::string id = one_identifier(args);
    return with_backend(args, false, [&](auto& backend) {
      std::cout << backend.show(id).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
      return kExitOk;
    });
  });
}

namespace {
const char kLogsUsage[] =
    "tavoren-agent logs [--backend PATH|URL] [--follow] [--interval SECONDS] [--attempt N] ID";
const char kLogsHelp[] =
    "usage: tavoren-agent logs [--backend PATH|URL] [--follow] [--interval SECONDS]\n"
    "                          [--attempt N] ID\n"
    "\n"
    "Prints the log the agent has shipped for the action, byte for byte: its\n"
    "current attempt's, or with --attempt N an earlier attempt's (an action whose\n"
    "machine was lost runs again as its next attempt, with a log of its own).\n"
    "  --follow             keep printing new log as it arrives, until the action\n"
    "                       has ended (its exit status is then the last line on\n"
    "                       standard error) or until interrupted\n"
    "  --interval SECONDS   how often --follow looks for more (default 1)\n";
}  // namespace

int logs_command(const Args& raw) {
  return guarded("logs", kLogsUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(),
                                       backend_ca_option(),
                                       {"--follow", false},
                                       {"--interval", true},
                                       {"--attempt", true}});
    if (want_help(args, kLogsHelp)) return kExitOk;
    std::string id = one_identifier(args);
    std::optional<std::int64_t> attempt;
    if (auto text = args.value("--attempt")) attempt = parse_count("--attempt", *text, 1'000'000);
    double interval = 1.0;
    if (auto text = args.value("--interval")) interval = parse_seconds("--interval", *text);
    return with_backend(args, false, [&](auto& backend) {
      std::int64_t offset = 0;
      while (true) {
        auto chunk = attempt ? backend.attempt_log(id, *attempt, offset) : backend.logs(id, offset);
        if (!chunk.content.empty()) {
          std::cout.write(chunk.content.data(), static_cast<std::streamsize>(chunk.content.size()));
          std::cout.flush();
        }
        offset = chunk.next_offset;
        if (chunk.more) continue;  // the next page is there already
        if (!args.has("--follow")) return kExitOk;
        if (chunk.finished) {
          const Json shown = backend.show(id);
          std::cerr << "tavoren-agent logs: action " << id << " "
                    << shown["state"].get<std::string>();
          if (shown["exitStatus"].is_number()) {
            std::cerr << " with exit status " << shown["exitStatus"].get<int>();
          }
          std::cerr << "\n";
          return kExitOk;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(interval));
      }
    });
  });
}

namespace {
const char kScaleDownUsage[] = "tavoren-agent scale-down [--backend PATH|URL] ID";
const char kScaleDownHelp[] =
    "usage: tavoren-agent scale-down [--backend PATH|URL] ID\n"
    "\n"
    "Marks the action scaled down: it is no longer handed out, and a running\n"
    "agent stops its container at its next reaper pass.\n";
}  // namespace

int scale_down_command(const Args& raw) {
  return guarded("scale-down", kScaleDownUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(), backend_ca_option()});
    if (want_help(args, kScaleDownHelp)) return kExitOk;
    std::string id = one_identifier(args);
    return with_backend(args, false, [&](auto& backend) {
      backend.scale_down(id);
      return kExitOk;
    });
  });
}

namespace {

// One configuration subcommand, described by its usage line.
struct ConfigSetting {
  std::string_view usage;  // "config <what> <arg> [<arg>]"
  std::string name;        // <what>
  std::size_t required = 0;
  std::size_t optional = 0;
};

ConfigSetting describe(std::string_view usage) {
  ConfigSetting setting{usage};
  std::vector<std::string> words = split_whitespace(usage);
  setting.name = words.size() > 1 ? words[1] : "";
  for (std::size_t i = 2; i < words.size(); ++i) {
    (words[i].front() == '[' ? setting.optional : setting.required) += 1;
  }
  return setting;
}

const std::vector<ConfigSetting>& config_settings() {
  namespace cc = backend::config_command;
  static const std::vector<ConfigSetting> kSettings = {
      describe(cc::kRegistry),    describe(cc::kKeyPair),        describe(cc::kCodebase),
      describe(cc::kModelSecret), describe(cc::kInternalApiKey), describe(cc::kDataProcessingImage),
      describe(cc::kShutdown),
  };
  return kSettings;
}

std::string config_usage() {
  std::string text = "tavoren-agent config show [--backend PATH|URL]";
  for (const ConfigSetting& setting : config_settings()) {
    text += "\n       tavoren-agent " + std::string(setting.usage) + " [--backend PATH|URL]";
  }
  return text;
}

double parse_number(const std::string& what, const std::string& text) {
  double value = 0;
  try {
    value = parse_double(text);
  } catch (const std::exception&) {
    throw Refusal(what + " must be a number, not \"" + text + "\"");
  }
  return value;
}

template <typename Backend>
void apply_setting(Backend& backend, const std::string& name, const std::vector<std::string>& a,
                   const std::string& owner) {
  namespace cc = backend::config_command;
  auto is = [&](std::string_view usage) { return describe(usage).name == name; };
  if (is(cc::kRegistry)) {
    backend.set_registry_credentials(a[0], a[1], a.size() > 2 ? a[2] : "");
  } else if (is(cc::kKeyPair)) {
    backend.set_key_pair(a[0], a[1], a[2]);
  } else if (is(cc::kCodebase)) {
    backend.set_codebase(a[0], a[1],
                         a.size() > 2 ? std::optional<std::string>(a[2]) : std::nullopt);
  } else if (is(cc::kModelSecret)) {
    backend.set_model_secret(a[0], a[1], owner);
  } else if (is(cc::kInternalApiKey)) {
    backend.set_internal_api_key(a[0], a[1]);
  } else if (is(cc::kDataProcessingImage)) {
    backend.set_data_processing_image(a[0]);
  } else if (is(cc::kShutdown)) {
    backend.set_shutdown_details(parse_number("the shutdown threshold", a[0]),
                                 parse_number("the launch duration", a[1]), a[2]);
  }
}

}  // namespace

int config_command(const Args& raw) {
  std::string usage = config_usage();
  return guarded("config", usage.c_str(), [&] {
    ParsedArgs args = parse_args(raw, {backend_option(), backend_ca_option(), {"--user", true}});
    if (args.help) {
      std::cout << "usage: " << usage
                << "\n\nSets one setting of the embedded backend (replacing its earlier value),\n"
                   "or shows every setting with passwords, keys and tokens left out.\n"
                   "Passwords, tokens and key pairs are stored encrypted: under\n"
                   "TAVOREN_ENCRYPTION_KEY when it is set, else under a key kept beside the\n"
                   "database (its name with .key added, mode 0600), made on first use.\n"
                   "An argument given as - is read from standard input (its first line):\n"
                   "passwords, secret keys and tokens then stay off the command line.\n"
                   "config model-secret takes --user OWNER: the secret is then answered only\n"
                   "for that owner's actions; without it, it is the default of its name for\n"
                   "every action whose owner has none of its own.\n";
      return kExitOk;
    }
    if (args.positionals.empty()) throw UsageError("which setting?");
    const std::string& name = args.positionals[0];
    const std::string owner = args.value("--user").value_or("");
    if (args.has("--user") && name != describe(backend::config_command::kModelSecret).name) {
      throw UsageError("--user belongs to config model-secret only");
    }
    std::vector<std::string> values(args.positionals.begin() + 1, args.positionals.end());
    if (name == "show") {
      if (!values.empty()) throw UsageError("config show takes no arguments");
      return with_backend(args, false, [](auto& backend) {
        std::cout << backend.configuration().dump(2, ' ', false, Json::error_handler_t::replace)
                  << "\n";
        return kExitOk;
      });
    }
    for (const ConfigSetting& setting : config_settings()) {
      if (setting.name != name) continue;
      if (values.size() < setting.required || values.size() > setting.required + setting.optional) {
        throw UsageError("wrong number of arguments; usage: tavoren-agent " +
                         std::string(setting.usage));
      }
      // A secret given as "-" comes from standard input, so that it never
      // shows on a command line.
      if (std::count(values.begin(), values.end(), "-") > 1) {
        throw UsageError("at most one argument may be read from standard input (\"-\")");
      }
      for (std::string& value : values) {
        if (value != "-") continue;
        value = read_all(std::cin);
        if (value.ends_with('\n')) value.pop_back();
        if (value.ends_with('\r')) value.pop_back();
      }
      return with_backend(args, true, [&](auto& backend) {
        apply_setting(backend, name, values, owner);
        return kExitOk;
      });
    }
    throw UsageError("unknown setting \"" + name + "\"");
  });
}

namespace {
const char kMachinesUsage[] =
    "tavoren-agent machines [--backend PATH|URL] (list | show ID | set ID ... | drain ID "
    "| undrain ID | forget ID)";
const char kMachinesHelp[] =
    "usage: tavoren-agent machines [--backend PATH|URL] [--json] list\n"
    "       tavoren-agent machines [--backend PATH|URL] show ID\n"
    "       tavoren-agent machines [--backend PATH|URL] set ID [--gpus N|as-reported]\n"
    "                              [--max-actions N] [--label KEY=VALUE]...\n"
    "       tavoren-agent machines [--backend PATH|URL] drain ID [--deadline SECONDS]\n"
    "       tavoren-agent machines [--backend PATH|URL] undrain ID\n"
    "       tavoren-agent machines [--backend PATH|URL] forget ID\n"
    "\n"
    "The machines the backend knows (one per instance).\n"
    "  list      each machine: liveness (alive, unresponsive, lost), mode (active,\n"
    "            draining), last contact, agent version, actions held and cap, GPUs\n"
    "  show      one machine as JSON, with its live actions and latest attempts\n"
    "  set       its GPUs (0: CPU only; as-reported: the agent's report decides),\n"
    "            the most live actions it holds, labels (KEY= removes one)\n"
    "  drain     no new actions; after --deadline its running ones are scaled down\n"
    "  undrain   takes new actions again\n"
    "  forget    removes a lost machine and revokes its keys\n"
    "  --json    list as JSON\n";

// A whole number of an option, from 0 on.
int option_number(const ParsedArgs& args, const std::string& name) {
  return parse_count(name, *args.value(name), 100'000'000, 0);
}

template <typename Backend>
void set_machine_on(Backend& backend, const std::string& id, std::optional<int> gpus,
                    std::optional<int> max_actions,
                    const std::map<std::string, std::string>& labels) {
  if constexpr (std::is_same_v<Backend, LocalScaling>) {
    backend.set_machine(id, backend::MachineChange{gpus, max_actions, labels}, false);
  } else {
    backend.set_machine(id, gpus, max_actions, labels);
  }
}

void print_machines(const Json& machines) {
  for (const Json& machine : machines) {
    const Json gpus = machine.value("gpus", Json());
    const Json drained_by = machine.value("drainedBy", Json());
    std::cout << text_of(machine.value("instanceId", Json()), "-") << "  "
              << text_of(machine.value("liveness", Json()), "-") << "  "
              << text_of(machine.value("mode", Json()), "-")
              << (drained_by.is_string() ? " (by " + drained_by.get<std::string>() + ")" : "")
              << "  " << text_of(machine.value("lastContactAt", Json()), "never") << "  "
              << text_of(machine.value("agentVersion", Json()), "-") << "  "
              << machine.value("actionsHeld", 0) << "/" << machine.value("maxActions", 0)
              << " actions  " << (gpus.is_number() ? gpus.dump() : "as-reported") << " GPUs";
    // What its inventory shows: healthy GPUs of all it has.
    const Json health = machine.value("gpuHealth", Json());
    if (health.is_object()) {
      std::cout << " (" << health.value("healthy", 0) << "/" << health.value("total", 0)
                << " healthy)";
    }
    std::cout << "\n";
  }
}
}  // namespace

int machines_command(const Args& raw) {
  return guarded("machines", kMachinesUsage, [&] {
    ParsedArgs args = parse_args(raw, {backend_option(),
                                       backend_ca_option(),
                                       {"--json", false},
                                       {"--gpus", true},
                                       {"--max-actions", true},
                                       {"--label", true, true},
                                       {"--deadline", true}});
    if (want_help(args, kMachinesHelp)) return kExitOk;
    if (args.positionals.empty()) throw UsageError("which machines command?");
    const std::string what = args.positionals[0];
    if (what == "list") {
      if (args.positionals.size() != 1) throw UsageError("machines list takes no arguments");
      const Json machines =
          with_backend(args, false, [](auto& backend) { return backend.machines(); });
      if (args.has("--json")) {
        std::cout << machines.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
      } else {
        print_machines(machines);
      }
      return kExitOk;
    }
    if (args.positionals.size() != 2 || args.positionals[1].empty()) {
      throw UsageError("machines " + what + " takes one machine identifier");
    }
    const std::string& id = args.positionals[1];
    if (what == "show") {
      const Json machine =
          with_backend(args, false, [&](auto& backend) { return backend.machine(id); });
      std::cout << machine.dump(args.has("--json") ? -1 : 2, ' ', false,
                                Json::error_handler_t::replace)
                << "\n";
      return kExitOk;
    }
    if (what == "set") {
      std::optional<int> gpus;
      if (auto text = args.value("--gpus")) {
        gpus = *text == "as-reported" ? backend::kGpusAsReported : option_number(args, "--gpus");
      }
      std::optional<int> max_actions;
      if (args.has("--max-actions")) max_actions = option_number(args, "--max-actions");
      std::map<std::string, std::string> labels;
      for (const std::string& label : args.values("--label")) {
        const std::size_t eq = label.find('=');
        if (eq == std::string::npos || eq == 0) {
          throw UsageError("--label needs KEY=VALUE, not \"" + label + "\"");
        }
        labels[label.substr(0, eq)] = label.substr(eq + 1);
      }
      if (!gpus && !max_actions && labels.empty()) {
        throw UsageError("machines set needs --gpus, --max-actions or --label");
      }
      return with_backend(args, false, [&](auto& backend) {
        set_machine_on(backend, id, gpus, max_actions, labels);
        return kExitOk;
      });
    }
    if (what == "drain") {
      std::optional<std::chrono::seconds> deadline;
      if (args.has("--deadline"))
        deadline = std::chrono::seconds(option_number(args, "--deadline"));
      return with_backend(args, false, [&](auto& backend) {
        backend.drain_machine(id, deadline);
        return kExitOk;
      });
    }
    if (what == "undrain" || what == "forget") {
      return with_backend(args, false, [&](auto& backend) {
        if (what == "undrain") {
          backend.undrain_machine(id);
        } else {
          backend.forget_machine(id);
        }
        return kExitOk;
      });
    }
    throw UsageError("unknown machines command \"" + what + "\"");
  });
}

}  // namespace tavoren::agent
