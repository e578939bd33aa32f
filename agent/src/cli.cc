#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tavoren/common/text.h"

namespace tavoren::agent {

std::optional<std::string> ParsedArgs::value(const std::string& name) const {
  auto found = options.find(name);
  if (found == options.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

const std::vector<std::string>& ParsedArgs::values(const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto found = options.find(name);
  return found == options.end() ? kNone : found->second;
}

ParsedArgs parse_args(const std::vector<std::string>& args,
                      const std::vector<OptionDef>& definitions) {
  ParsedArgs parsed;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A negative number ("-1", "-.5") is an argument, not an option.
    bool negative_number = arg.size() > 1 && arg[0] == '-' &&
                           (std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.');
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-' || negative_number) {
      parsed.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    const OptionDef* definition = nullptr;
    for (const OptionDef& candidate : definitions) {
      if (candidate.name == name) definition = &candidate;
    }
    if (definition == nullptr) throw UsageError("unknown option " + name);
    std::string value;
    if (definition->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        throw UsageError("option " + name + " needs a value");
      }
    } else if (inline_value) {
      throw UsageError("option " + name + " takes no value");
    }
    auto& slot = parsed.options[name];
    if (!slot.empty() && !definition->repeatable)
      throw UsageError("option " + name + " given twice");
    slot.push_back(value);
  }
  return parsed;
}

OptionDef backend_option() { return {"--backend", true}; }

OptionDef backend_ca_option() { return {"--backend-ca", true}; }

namespace {

// The host of "scheme://HOST[:PORT][/...]", without brackets around an
// IPv6 address.
std::string host_of(std::string_view url) {
  std::string_view rest = url.substr(url.find("://") + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (rest.starts_with("[")) return std::string(rest.substr(1, rest.find(']') - 1));
  return std::string(rest.substr(0, rest.find(':')));
}

bool is_loopback_host(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  int a = 0, b = 0, c = 0, d = 0;
  char tail = 0;
  return std::sscanf(host.c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail) == 4 && a == 127 &&
         b >= 0 && b <= 255 && c >= 0 && c <= 255 && d >= 0 && d <= 255;
}

}  // namespace

BackendLocation backend_location(const ParsedArgs& args) {
  BackendLocation location;
  std::optional<std::string> named = args.value("--backend");
  if (!named) named = get_env("TAVOREN_BACKEND");
  if (named && (named->starts_with("https://") || named->starts_with("http://"))) {
    if (named->starts_with("http://") && !is_loopback_host(host_of(*named))) {
      throw UsageError("a backend server is reached over https:// (http:// only on this host)");
    }
    location.url = *named;
    std::optional<std::string> ca = args.value("--backend-ca");
    if (!ca) ca = get_env("TAVOREN_BACKEND_CA");
    if (ca && !ca->empty()) location.ca_file = *ca;
    return location;
  }
  if (args.has("--backend-ca")) throw UsageError("--backend-ca needs a backend server's URL");
  location.database = database_path(args);
  return location;
}

backend::Session key_pair_from_environment() {
  backend::Session session{get_env("TAVOREN_ACCESS_KEY").value_or(""),
                           get_env("TAVOREN_SECRET_KEY").value_or("")};
  if (session.access_key.empty()) throw Refusal("TAVOREN_ACCESS_KEY is not set");
  if (session.secret_key.empty()) throw Refusal("TAVOREN_SECRET_KEY is not set");
  return session;
}

backend::RemoteOptions remote_options(const BackendLocation& location,
                                      const backend::Session& session) {
  backend::RemoteOptions options;
  options.base_url = location.url.value_or("");
  options.session = session;
  options.ca_file = location.ca_file;
  options.allow_plain_http = options.base_url.starts_with("http://");
  return options;
}

std::filesystem::path database_path(const ParsedArgs& args) {
  if (auto given = args.value("--backend")) {
    if (given->empty()) throw UsageError("--backend needs a file path");
    return *given;
  }
  if (auto env = get_env("TAVOREN_BACKEND"); env && !env->empty()) return *env;
  if (auto state = get_env("XDG_STATE_HOME"); state && !state->empty()) {
    return std::filesystem::path(*state) / "tavoren" / "agent.db";
  }
  if (::geteuid() == 0) return "/var/lib/tavoren/agent.db";
  if (auto home = get_env("HOME"); home && !home->empty()) {
    return std::filesystem::path(*home) / ".local" / "state" / "tavoren" / "agent.db";
  }
  return "/var/lib/tavoren/agent.db";
}

void create_database_folder(const std::filesystem::path& database) {
  if (!database.has_parent_path()) return;
  const std::filesystem::path folder = database.parent_path();
  std::error_code ec;
  if (std::filesystem::exists(folder, ec)) return;
  if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Refusal("cannot create the folder of " + database.string() + ": " + std::strerror(errno));
  }
}

double parse_seconds(const std::string& option, const std::string& text) {
  double value = 0;
  try {
    value = parse_double(text);
  } catch (const std::exception&) {
    value = -1;
  }
  if (!std::isfinite(value) || value <= 0) {
    throw UsageError(option + " needs a positive number of seconds, not \"" + text + "\"");
  }
  return value;
}

int parse_count(const std::string& option, const std::string& text, int most) {
  const bool digits =
      !text.empty() && text.size() <= 9 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int value = digits ? std::stoi(text) : 0;
  if (value < 1 || value > most) {
    throw UsageError(option + " needs a whole number from 1 to " + std::to_string(most) +
                     ", not \"" + text + "\"");
  }
  return value;
}

}  // namespace tavoren::agent
