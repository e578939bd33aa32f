// The agent's process-wide logger.
//
// One spdlog logger, named "tavoren", writes to standard error by default.
// Messages use printf-style formats ("%s", "%d", "%f", ...). Arguments are
// converted the way the agent's messages expect: "%d" applied to a fraction
// prints its integer part, "%s" applied to a number prints it as written in
// JSON, and "%s" applied to a Json value prints its compact JSON text.
//
// Secrets: every text registered with register_secret() or held by a
// SecretRegistration is replaced by kSecretMask in every message before it
// reaches any sink, whichever part of the agent logs it, and so is every
// form in which the agent renders it into a logged text: shell-quoted
// (shell_quote), escaped for a double-quoted shell word
// (escape_double_quoted, of the raw and of the quoted text) and escaped as
// in a JSON string (a Json value printed with "%s"). Register access keys,
// tokens and passwords as soon as they are known. register_secret() keeps a
// secret for the process's life (the agent's own keys); a
// SecretRegistration keeps it while it lives (an action's keys): a secret is
// counted once per holder and forgotten when the last one lets it go, so
// the registry holds only what running actions and the agent itself use.
//
// Lines: every text an argument gives (a "%s" of a text or a Json value)
// is one field of the line: its control characters (C0, DEL, C1, and the
// Unicode line and paragraph separators) are written escaped ("\n", "\t",
// "\x1b", "\u2028"), so that no field can start a line of its own, and it
// is cut after kFieldLimit bytes with a note of how much was left out.
//
// Threads: every function here may be called from any thread at any time.
// Failures: logging never throws; a format that does not match its
// arguments is logged as the raw format followed by a note.
#pragma once

#include <spdlog/spdlog.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tavoren/common/json.h"

namespace tavoren {
namespace log {

enum class Level { debug, info, warning, error };

inline constexpr std::string_view kSecretMask = "********";

// The process-wide logger. Created on first use with a standard-error sink
// at level debug.
spdlog::logger& logger();

// Sets the least level that is written.
void set_level(Level level);

// Adds a text that must never appear in a log line, for the process's
// life. Texts shorter than four characters are ignored (masking them would
// garble ordinary words).
void register_secret(std::string_view secret);
// Forgets every registered secret, held ones included (tests); registrations
// made before do nothing when they end.
void clear_secrets();
// The number of distinct secrets registered now.
std::size_t registered_secret_count();

// Keeps one secret masked from construction to destruction (or reset()).
// The same secret held by several registrations, or also registered by
// register_secret(), stays masked until the last of them ends. A default
// constructed or moved-from registration, or one of a text shorter than
// four characters, holds nothing. Move-only.
class SecretRegistration {
 public:
  SecretRegistration() = default;
  explicit SecretRegistration(std::string_view secret);
  ~SecretRegistration();
  SecretRegistration(SecretRegistration&& other) noexcept;
  SecretRegistration& operator=(SecretRegistration&& other) noexcept;
  SecretRegistration(const SecretRegistration&) = delete;
  SecretRegistration& operator=(const SecretRegistration&) = delete;

  // Lets the secret go now.
  void reset();
  // Whether it holds a secret.
  bool holds() const { return held_; }
  // Whether it holds exactly `secret`.
  bool holds(std::string_view secret) const { return held_ && secret_ == secret; }

 private:
  std::string secret_;
  std::uint64_t generation_ = 0;
  bool held_ = false;
};
// Returns `text` with every registered secret replaced by kSecretMask.
std::string mask_secrets(std::string_view text);

// The most bytes one field of a line keeps.
inline constexpr std::size_t kFieldLimit = 4096;
// `text` as one field of a line: control characters escaped, cut after
// `limit` bytes (at a character's boundary) with a note of the bytes left
// out. Secrets are not masked here.
std::string field(std::string_view text, std::size_t limit = kFieldLimit);

// One argument of a printf-style message.
class Arg {
 public:
  using Value = std::variant<std::int64_t, std::uint64_t, double, bool, std::string, Json>;
  template <typename T>
  requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)&&std::is_signed_v<T> Arg(T v)
      : value_(static_cast<std::int64_t>(v)) {}
  template <typename T>
  requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)&&std::is_unsigned_v<T> Arg(T v)
      : value_(static_cast<std::uint64_t>(v)) {}
  Arg(bool v) : value_(v) {}
  Arg(float v) : value_(static_cast<double>(v)) {}
  Arg(double v) : value_(v) {}
  Arg(const char* v) : value_(std::string(v == nullptr ? "(null)" : v)) {}
  Arg(std::string_view v) : value_(std::string(v)) {}
  Arg(const std::string& v) : value_(v) {}
  Arg(const Json& v) : value_(v) {}

  const Value& value() const { return value_; }

 private:
  Value value_;
};

// Formats `format` with `args` as described at the top of this file.
std::string format(std::string_view format, const std::vector<Arg>& args);

// Writes one message at `level` (masked, formatted).
void write(Level level, std::string_view format, const std::vector<Arg>& args);

template <typename... Args>
void debug(std::string_view fmt, const Args&... args) {
  write(Level::debug, fmt, {Arg(args)...});
}
template <typename... Args>
void info(std::string_view fmt, const Args&... args) {
  write(Level::info, fmt, {Arg(args)...});
}
template <typename... Args>
void warning(std::string_view fmt, const Args&... args) {
  write(Level::warning, fmt, {Arg(args)...});
}
template <typename... Args>
void error(std::string_view fmt, const Args&... args) {
  write(Level::error, fmt, {Arg(args)...});
}

// Logs `message` at error level, flushes, and ends the process with exit
// status 1. Used only for failures that must end the agent.
[[noreturn]] void fatal(std::string_view message);

// Keeps every line the process-wide logger writes while it exists, for
// tests. Construction lowers the logger's level to debug; destruction
// restores it. Captures may be created and destroyed while other threads
// log.
class LogCapture {
 public:
  struct Line {
    Level level;
    std::string message;
    bool operator==(const Line&) const = default;
  };

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const;
  // Whether a line with exactly this level and message was written.
  bool contains(Level level, std::string_view message) const;
  // The number of lines at `level` whose message contains `fragment`.
  std::size_t count(Level level, std::string_view fragment) const;
  // The number of lines at `level`.
  std::size_t count(Level level) const;
  void clear();

  // Where one capture keeps its lines (internal).
  class Sink;

 private:
  std::shared_ptr<Sink> sink_;
  spdlog::level::level_enum previous_level_;
};

std::string_view level_name(Level level);

}  // namespace log
}  // namespace tavoren
