// Command-line parsing shared by the agent's subcommands.
//
// Each subcommand declares the options it accepts; anything else is a usage
// error. Exit statuses: 0 success, 1 a refusal (bad input, unknown action,
// database failure), 2 a usage error (unknown option, wrong arguments).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tavoren/backend_client.h"

namespace tavoren::agent {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
// `run` exits with it after SIGHUP: restart me, the actions are left running.
inline constexpr int kExitRestart = 75;

// The command line does not fit the subcommand's usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The input was understood but refused.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionDef {
  std::string name;  // with the leading dashes: "--backend"
  bool takes_value = false;
  bool repeatable = false;
};

struct ParsedArgs {
  std::vector<std::string> positionals;
  // Every value of each option given, in order ("" for a flag).
  std::map<std::string, std::vector<std::string>> options;
  bool help = false;

  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  const std::vector<std::string>& values(const std::string& name) const;
};

// Parses `args` against `definitions`. "--name=value" and "--name value" are both
// accepted; "--" ends the options; "-" alone and negative numbers are
// positionals. "--help" (or
// "-h") sets help. Throws UsageError.
ParsedArgs parse_args(const std::vector<std::string>& args,
                      const std::vector<OptionDef>& definitions);

// The "--backend" option every subcommand accepts; it may be given more
// than once, to name several backend servers.
OptionDef backend_option();
// "--backend-ca": the CA certificates a backend server's certificate must
// chain to, accepted next to "--backend".
OptionDef backend_ca_option();

// Where the backend is: backend servers (url, then fallback_urls) or the
// embedded backend's database file (database).
struct BackendLocation {
  // The first server: "https://HOST[:PORT]"; "http://" only for a loopback
  // host.
  std::optional<std::string> url;
  // The other servers of the same store, in order, in the same form: a
  // client moves on to them when one stops answering.
  std::vector<std::string> fallback_urls;
  std::filesystem::path database;
  // With a url: "--backend-ca", else TAVOREN_BACKEND_CA; empty: the
  // system's CA store.
  std::optional<std::filesystem::path> ca_file;
};

// Every "--backend" given, else TAVOREN_BACKEND: servers when a value
// starts with "https://" or "http://" (http only for 127.0.0.0/8, ::1 and
// localhost: nothing signed crosses a network in clear), else the
// database_path(). Servers may be named by "--backend" given more than once
// and by comma-separated lists ("https://a:8443,https://b:8443", the only
// form TAVOREN_BACKEND has); the first named is the primary, the others
// its fallbacks, in order. Throws UsageError for "http://" to another host,
// an empty or repeated server, a database file named next to a server or
// two database files, and "--backend-ca" without a server.
BackendLocation backend_location(const ParsedArgs& args);

// The key pair of TAVOREN_ACCESS_KEY and TAVOREN_SECRET_KEY; Refusal when
// either is missing, naming the variable (never a value).
backend::Session key_pair_from_environment();

// The options of a client of the servers at `location` with `session`.
backend::RemoteOptions remote_options(const BackendLocation& location,
                                      const backend::Session& session);

// The database file: "--backend" when given, else TAVOREN_BACKEND, else
// $XDG_STATE_HOME/tavoren/agent.db, else /var/lib/tavoren/agent.db for root
// and $HOME/.local/state/tavoren/agent.db for other users.
std::filesystem::path database_path(const ParsedArgs& args);

// Creates the folder of the database file `database` when it is missing,
// with the folders above it. The database's own folder is created for the
// agent's user alone (0700): it holds the backend's secrets. A folder that
// exists is left as it is. Throws Refusal when a folder cannot be made.
void create_database_folder(const std::filesystem::path& database);

// A positive number of seconds; UsageError naming `option` otherwise.
double parse_seconds(const std::string& option, const std::string& text);

// A whole number from `least` to `most`; UsageError naming `option`
// otherwise.
int parse_count(const std::string& option, const std::string& text, int most, int least = 1);

}  // namespace tavoren::agent
