#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

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

namespace {

// A negative number ("-1", "-.5") is an argument, not an option.
bool is_negative_number(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' &&
         (std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.');
}

const OptionDef* find_definition(const std::vector<OptionDef>& definitions,
                                 const std::string& name) {
  for (const OptionDef& candidate : definitions) {
    if (candidate.name == name) return &candidate;
  }
  return nullptr;
}

// The name of an option in a CLI11 message ("--type: 1 required TEXT
// missing"), or the word it did not expect.
std::string named_in(const std::string& message) {
  const std::size_t colon = message.find(':');
  if (message.starts_with("-")) return message.substr(0, colon);
  const std::string word = colon == std::string::npos ? message : trim(message.substr(colon + 1));
  return word.substr(0, word.find('='));
}

}  // namespace

ParsedArgs parse_args(const std::vector<std::string>& args,
                      const std::vector<OptionDef>& definitions) {
  // What CLI11 reads differently from this program's rules is settled
  // first: a negative number is an argument even where it is no option's
  // value, and a flag takes no "=value".
  std::vector<std::string> words = args;
  std::map<std::string, std::string> stand_ins;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& arg = words[i];
    if (arg == "--") break;
    const std::string name = arg.substr(0, arg.find('='));
    if (const OptionDef* definition = find_definition(definitions, name)) {
      if (!definition->takes_value && name.size() < arg.size()) {
        throw UsageError("option " + name + " takes no value");
      }
      if (definition->takes_value && name.size() == arg.size()) ++i;  // its value follows
    } else if (is_negative_number(arg)) {
      const std::string stand_in = "\x01" + std::to_string(i);
      stand_ins[stand_in] = arg;
      words[i] = stand_in;
    }
  }

  CLI::App app;
  app.set_help_flag();
  ParsedArgs parsed;
  app.add_flag("-h,--help", parsed.help);
  std::vector<std::string> positionals;
  app.add_option("arguments", positionals);
  std::map<std::string, std::vector<std::string>> values;
  std::map<std::string, CLI::Option*> options;
  for (const OptionDef& definition : definitions) {
    CLI::Option* option;
    if (definition.takes_value) {
      option = app.add_option(definition.name, values[definition.name])
                   ->expected(1)
                   ->allow_extra_args(false)
                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    } else {
      option = app.add_flag(definition.name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    options[definition.name] = option;
  }
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& e) {
    throw UsageError("option " + named_in(e.what()) + " needs a value");
  } catch (const CLI::ExtrasError& e) {
    throw UsageError("unknown option " + named_in(e.what()));
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  for (const OptionDef& definition : definitions) {
    const std::size_t given = options[definition.name]->count();
    if (given == 0) continue;
    if (given > 1 && !definition.repeatable) {
      throw UsageError("option " + definition.name + " given twice");
    }
    parsed.options[definition.name] =
        definition.takes_value ? values[definition.name] : std::vector<std::string>(given, "");
  }
  for (std::string& word : positionals) {
    const auto original = stand_ins.find(word);
    parsed.positionals.push_back(original == stand_ins.end() ? std::move(word) : original->second);
  }
  return parsed;
}

OptionDef backend_option() { return {"--backend", true, /*repeatable=*/true}; }

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

bool is_server_url(std::string_view value) {
  return value.starts_with("https://") || value.starts_with("http://");
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
  std::vector<std::string> named = args.values("--backend");
  if (named.empty()) {
    if (std::optional<std::string> env = get_env("TAVOREN_BACKEND")) named.push_back(*env);
  }
  const bool servers = std::any_of(named.begin(), named.end(), [](const std::string& value) {
    return is_server_url(trim(value));
  });
  if (servers) {
    std::vector<std::string> urls;
    for (const std::string& value : named) {
      for (const std::string& part : split(value, ',')) {
        std::string url = trim(part);
        if (url.empty()) throw UsageError("--backend names an empty backend server");
        if (!is_server_url(url)) {
          throw UsageError(
              "--backend names backend servers (https://HOST:PORT) or one database file, not both");
        }
        if (url.starts_with("http://") && !is_loopback_host(host_of(url))) {
          throw UsageError("a backend server is reached over https:// (http:// only on this host)");
        }
        if (std::find(urls.begin(), urls.end(), url) != urls.end()) {
          // Not echoed: a mistyped URL may hold a password.
          throw UsageError("--backend names one backend server twice");
        }
        urls.push_back(std::move(url));
      }
    }
    location.url = urls.front();
    location.fallback_urls.assign(urls.begin() + 1, urls.end());
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
  options.fallback_urls = location.fallback_urls;
  options.session = session;
  options.ca_file = location.ca_file;
  // backend_location() lets http:// through for this host only.
  options.allow_plain_http =
      options.base_url.starts_with("http://") ||
      std::any_of(options.fallback_urls.begin(), options.fallback_urls.end(),
                  [](const std::string& url) { return url.starts_with("http://"); });
  return options;
}

std::filesystem::path database_path(const ParsedArgs& args) {
  if (args.values("--backend").size() > 1) {
    throw UsageError("--backend names one database file (several only for backend servers)");
  }
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

int parse_count(const std::string& option, const std::string& text, int most, int least) {
  const bool digits =
      !text.empty() && text.size() <= 9 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int value = digits ? std::stoi(text) : -1;
  if (value < least || value > most) {
    throw UsageError(option + " needs a whole number from " + std::to_string(least) + " to " +
                     std::to_string(most) + ", not \"" + text + "\"");
  }
  return value;
}

}  // namespace tavoren::agent
