// The command line of tavoren-backend: options "--name value" and flags
// "--name" of each command, and the checks its commands share.
//
// Failures: every function here throws UsageError, whose message is shown
// with the usage text (exit status 2). A value of --store is never echoed
// in a message: a mistyped URL may hold a password.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoren::server::cli {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options "--name value" and flags "--name", and the remaining words.
struct Parsed {
  std::map<std::string, std::string> values;
  // Every value of each repeatable option given, in order.
  std::map<std::string, std::vector<std::string>> lists;
  std::vector<std::string> words;
  bool help = false;
  bool has(const std::string& name) const { return values.contains(name); }
  std::optional<std::string> get(const std::string& name) const;
};

// Reads `args`: "--name value" or "--name=value" (the last one counts when
// given twice), the flags, "-h"/"--help" anywhere, and the words.
// Options in `repeatable` may be given several times, each with one value.
Parsed parse(const std::vector<std::string>& args, const std::vector<std::string>& with_value,
             const std::vector<std::string>& flags,
             const std::vector<std::string>& repeatable = {});

// The value of option `name`, which must be given and not empty.
std::string required(const Parsed& parsed, const std::string& name);

// `text` as a whole decimal number; `what` names it in the message.
std::int64_t number(const std::string& text, const std::string& what);

bool is_postgresql(const std::string& store);

// The text of --store, checked to be sqlite:PATH or a postgresql:// URL.
std::string store_text(const Parsed& parsed);

}  // namespace tavoren::server::cli
