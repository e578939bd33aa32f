#include "command_line.h"

#include <CLI/CLI.hpp>
#include <string_view>
#include <utility>

namespace tavoren::server::cli {

std::optional<std::string> Parsed::get(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

Parsed parse(const std::vector<std::string>& args, const std::vector<std::string>& with_value,
             const std::vector<std::string>& flags, const std::vector<std::string>& repeatable) {
  CLI::App app;
  app.set_help_flag();
  Parsed parsed;
  app.add_flag("-h,--help", parsed.help);
  app.add_option("words", parsed.words);
  std::map<std::string, std::string> values;
  std::vector<std::pair<std::string, CLI::Option*>> options;
  for (const std::string& name : with_value) {
    options.emplace_back(
        name,
        app.add_option(name, values[name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
  }
  for (const std::string& name : repeatable) {
    app.add_option(name, parsed.lists[name])
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }
  for (const std::string& name : flags) {
    options.emplace_back(name,
                         app.add_flag(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
  }
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string what = e.what();
    throw UsageError(what.substr(0, what.find(':')) + " needs a value");
  } catch (const CLI::ExtrasError& e) {
    const std::string what = e.what();
    throw UsageError("Unknown option " + what.substr(what.rfind(' ') + 1));
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  for (const auto& [name, option] : options) {
    if (option->count() > 0) parsed.values[name] = values[name];
  }
  return parsed;
}

std::string required(const Parsed& parsed, const std::string& name) {
  std::optional<std::string> value = parsed.get(name);
  if (!value || value->empty()) throw UsageError(name + " is required");
  return *value;
}

std::int64_t number(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  std::int64_t value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {  // std::stoll's refusals, as "not a number"
    used = 0;
  }
  if (used == 0 || used != text.size()) throw UsageError(what + " is not a number: " + text);
  return value;
}

bool is_postgresql(const std::string& store) {
  return store.starts_with("postgresql://") || store.starts_with("postgres://");
}

std::string store_text(const Parsed& parsed) {
  const std::string store = required(parsed, "--store");
  constexpr std::string_view kScheme = "sqlite:";
  if (!is_postgresql(store) && (!store.starts_with(kScheme) || store.size() == kScheme.size())) {
    throw UsageError("--store takes sqlite:PATH or postgresql://HOST/DATABASE");
  }
  return store;
}

}  // namespace tavoren::server::cli
