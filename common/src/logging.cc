#include "tavoren/common/logging.h"

#include <fmt/printf.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <shared_mutex>
#include <tuple>
#include <utility>

#include "tavoren/common/shell.h"

namespace tavoren::log {
namespace {

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::debug:
      return spdlog::level::debug;
    case Level::info:
      return spdlog::level::info;
    case Level::warning:
      return spdlog::level::warn;
    case Level::error:
      return spdlog::level::err;
  }
  return spdlog::level::err;
}

Level from_spdlog(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug:
      return Level::debug;
    case spdlog::level::info:
      return Level::info;
    case spdlog::level::warn:
      return Level::warning;
    default:
      return Level::error;
  }
}

struct SecretRegistry {
  std::shared_mutex mutex;
  // Bumped by clear_secrets(): registrations of an older generation end
  // without effect.
  std::uint64_t generation = 1;
  // Each secret with the number of its holders.
  std::map<std::string, std::size_t, std::less<>> secrets;
  // Each rendered form with the number of registered secrets that render to
  // it (two secrets may share a form).
  std::map<std::string, std::size_t, std::less<>> forms;
  // The forms, longest first, so a text containing another masks whole.
  std::vector<std::string> patterns;
  // The secrets registered for the process's life (one holder each).
  std::set<std::string, std::less<>> permanent;
};

SecretRegistry& secrets() {
  static SecretRegistry* registry = new SecretRegistry();  // never destroyed: used at exit
  return *registry;
}

// The text of `text` inside a JSON string (without the quotes).
std::string json_escaped(std::string_view text) {
  const std::string dumped =
      Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
  return dumped.substr(1, dumped.size() - 2);
}

// Every form in which the agent writes `secret` into a logged text.
std::set<std::string> rendered_forms(std::string_view secret) {
  const std::string quoted = shell_quote(secret);
  std::set<std::string> forms;
  for (const std::string& shell_form :
       {std::string(secret), quoted, escape_double_quoted(secret), escape_double_quoted(quoted)}) {
    forms.insert(shell_form);
    forms.insert(json_escaped(shell_form));
  }
  return forms;
}

// Caller holds the registry's lock for writing.
void rebuild_patterns(SecretRegistry& reg) {
  reg.patterns.clear();
  for (const auto& [form, holders] : reg.forms) reg.patterns.push_back(form);
  std::stable_sort(reg.patterns.begin(), reg.patterns.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

// Adds one holder of `secret`; returns the generation it belongs to. A
// permanent holder never ends, so one per secret is enough.
std::uint64_t add_holder(std::string_view secret, bool permanent) {
  auto& reg = secrets();
  std::unique_lock lock(reg.mutex);
  if (permanent) {
    if (reg.permanent.contains(secret)) return reg.generation;
    reg.permanent.emplace(secret);
  }
  auto found = reg.secrets.find(secret);
  if (found != reg.secrets.end()) {
    ++found->second;
    return reg.generation;
  }
  reg.secrets.emplace(std::string(secret), 1);
  for (const std::string& form : rendered_forms(secret)) ++reg.forms[form];
  rebuild_patterns(reg);
  return reg.generation;
}

void remove_holder(std::string_view secret, std::uint64_t generation) {
  auto& reg = secrets();
  std::unique_lock lock(reg.mutex);
  if (generation != reg.generation) return;
  auto found = reg.secrets.find(secret);
  if (found == reg.secrets.end()) return;
  if (--found->second > 0) return;
  reg.secrets.erase(found);
  for (const std::string& form : rendered_forms(secret)) {
    auto entry = reg.forms.find(form);
    if (entry != reg.forms.end() && --entry->second == 0) reg.forms.erase(entry);
  }
  rebuild_patterns(reg);
}

// Python-like rendering of a number for "%s".
std::string number_text(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  Json j = v;
  return j.dump();
}

// A text argument as a field of the line: masked before it is cut, so that
// no cut leaves part of a secret unmasked.
std::string field_of(std::string_view text) { return field(mask_secrets(text)); }

std::string text_of(const Arg::Value& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return field_of(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "True" : "False";
        } else if constexpr (std::is_same_v<T, double>) {
          return number_text(v);
        } else if constexpr (std::is_same_v<T, Json>) {
          return field_of(v.is_string() ? v.template get_ref<const std::string&>()
                                        : v.dump(-1, ' ', false, Json::error_handler_t::replace));
        } else {
          return std::to_string(v);
        }
      },
      value);
}

// Formats one conversion `directive` (such as "%5.2f") with one argument.
std::string format_one(const std::string& directive, char conversion, const Arg::Value& value) {
  switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
    case 'c': {
      if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return number_text(*d);
        return fmt::sprintf(directive, static_cast<long long>(std::trunc(*d)));
      }
      if (const auto* i = std::get_if<std::int64_t>(&value)) return fmt::sprintf(directive, *i);
      if (const auto* u = std::get_if<std::uint64_t>(&value)) return fmt::sprintf(directive, *u);
      if (const auto* b = std::get_if<bool>(&value)) return fmt::sprintf(directive, *b ? 1 : 0);
      if (const auto* j = std::get_if<Json>(&value); j != nullptr && j->is_number()) {
        return fmt::sprintf(directive, static_cast<long long>(j->get<double>()));
      }
      throw std::invalid_argument("%d needs a number");
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
      if (const auto* d = std::get_if<double>(&value)) return fmt::sprintf(directive, *d);
      if (const auto* i = std::get_if<std::int64_t>(&value)) {
        return fmt::sprintf(directive, static_cast<double>(*i));
      }
      if (const auto* u = std::get_if<std::uint64_t>(&value)) {
        return fmt::sprintf(directive, static_cast<double>(*u));
      }
      if (const auto* j = std::get_if<Json>(&value); j != nullptr && j->is_number()) {
        return fmt::sprintf(directive, j->get<double>());
      }
      throw std::invalid_argument("%f needs a number");
    }
    case 's':
    case 'r':
    default: {
      std::string s = directive;
      s.back() = 's';
      return fmt::sprintf(s, text_of(value));
    }
  }
}

std::string format_or_raise(std::string_view format, const std::vector<Arg>& args) {
  std::string out;
  std::size_t next_arg = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // %[flags][width][.precision][length]conversion
    std::size_t j = i + 1;
    while (j < format.size() &&
           std::string_view("-+ #0").find(format[j]) != std::string_view::npos) {
      ++j;
    }
    while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j]))) ++j;
    if (j < format.size() && format[j] == '.') {
      ++j;
      while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j]))) ++j;
    }
    std::size_t length_start = j;
    while (j < format.size() &&
           std::string_view("hlLqjzt").find(format[j]) != std::string_view::npos) {
      ++j;
    }
    if (j >= format.size()) throw std::invalid_argument("incomplete conversion");
    char conversion = format[j];
    if (std::string_view("diuxXocfFeEgGsr").find(conversion) == std::string_view::npos) {
      throw std::invalid_argument("unknown conversion");
    }
    if (next_arg >= args.size()) throw std::invalid_argument("not enough arguments");
    // Length modifiers are irrelevant here: the argument's own type decides.
    std::string directive = std::string(format.substr(i, length_start - i)) + conversion;
    out += format_one(directive, conversion, args[next_arg++].value());
    i = j + 1;
  }
  if (next_arg != args.size()) throw std::invalid_argument("too many arguments");
  return out;
}

std::string& level_pattern() {
  static std::string pattern = "%Y-%m-%d %H:%M:%S.%e %^%l%$ %v";
  return pattern;
}

}  // namespace

class LogCapture::Sink {
 public:
  std::vector<Line> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  void add(Level level, std::string message) {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, std::move(message)});
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

namespace {

// The one sink through which every capture sees the logger's lines. It is
// attached when the logger is created and never removed, so captures come
// and go without touching the logger's sink list while other threads log.
class CaptureHub : public spdlog::sinks::base_sink<std::mutex> {
 public:
  void attach(std::shared_ptr<LogCapture::Sink> sink) {
    std::lock_guard lock(captures_mutex_);
    captures_.push_back(std::move(sink));
  }
  void detach(const std::shared_ptr<LogCapture::Sink>& sink) {
    std::lock_guard lock(captures_mutex_);
    std::erase(captures_, sink);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::vector<std::shared_ptr<LogCapture::Sink>> targets;
    {
      std::lock_guard lock(captures_mutex_);
      targets = captures_;
    }
    for (const auto& t : targets) {
      t->add(from_spdlog(msg.level), std::string(msg.payload.data(), msg.payload.size()));
    }
  }
  void flush_() override {}

 private:
  std::mutex captures_mutex_;
  std::vector<std::shared_ptr<LogCapture::Sink>> captures_;
};

CaptureHub& capture_hub() {
  static auto* hub = new std::shared_ptr<CaptureHub>(std::make_shared<CaptureHub>());
  return **hub;
}

std::shared_ptr<CaptureHub> capture_hub_ptr() {
  static std::shared_ptr<CaptureHub> hub(std::shared_ptr<CaptureHub>{}, &capture_hub());
  return hub;
}

}  // namespace

spdlog::logger& logger() {
  static std::shared_ptr<spdlog::logger> instance = [] {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    spdlog::sinks_init_list sinks = {sink, capture_hub_ptr()};
    auto created = std::make_shared<spdlog::logger>("tavoren", sinks);
    created->set_pattern(level_pattern());
    created->set_level(spdlog::level::debug);
    created->flush_on(spdlog::level::warn);
    return created;
  }();
  return *instance;
}

void set_level(Level level) { logger().set_level(to_spdlog(level)); }

std::string_view level_name(Level level) {
  switch (level) {
    case Level::debug:
      return "debug";
    case Level::info:
      return "info";
    case Level::warning:
      return "warning";
    case Level::error:
      return "error";
  }
  return "error";
}

void register_secret(std::string_view secret) {
  if (secret.size() < 4) return;
  add_holder(secret, /*permanent=*/true);
}

void clear_secrets() {
  auto& reg = secrets();
  std::unique_lock lock(reg.mutex);
  ++reg.generation;
  reg.secrets.clear();
  reg.forms.clear();
  reg.patterns.clear();
  reg.permanent.clear();
}

std::size_t registered_secret_count() {
  auto& reg = secrets();
  std::shared_lock lock(reg.mutex);
  return reg.secrets.size();
}

SecretRegistration::SecretRegistration(std::string_view secret) {
  if (secret.size() < 4) return;
  secret_ = secret;
  generation_ = add_holder(secret, /*permanent=*/false);
  held_ = true;
}

SecretRegistration::~SecretRegistration() { reset(); }

SecretRegistration::SecretRegistration(SecretRegistration&& other) noexcept
    : secret_(std::move(other.secret_)), generation_(other.generation_), held_(other.held_) {
  other.held_ = false;
  other.secret_.clear();
}

SecretRegistration& SecretRegistration::operator=(SecretRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    secret_ = std::move(other.secret_);
    generation_ = other.generation_;
    held_ = other.held_;
    other.held_ = false;
    other.secret_.clear();
  }
  return *this;
}

void SecretRegistration::reset() {
  if (!held_) return;
  held_ = false;
  try {
    remove_holder(secret_, generation_);
  } catch (...) {
    // Letting a secret go must never fail its holder.
  }
  secret_.clear();
}

std::string mask_secrets(std::string_view text) {
  auto& reg = secrets();
  std::shared_lock lock(reg.mutex);
  std::string out(text);
  for (const auto& secret : reg.patterns) {
    std::size_t pos = 0;
    while ((pos = out.find(secret, pos)) != std::string::npos) {
      out.replace(pos, secret.size(), kSecretMask);
      pos += kSecretMask.size();
    }
  }
  return out;
}

namespace {

// The escaped form of the control character that starts `text`, and its
// length in bytes; nothing for any other character.
std::optional<std::pair<std::string, std::size_t>> escaped_control(std::string_view text) {
  const auto byte = static_cast<unsigned char>(text[0]);
  switch (byte) {
    case '\n':
      return std::pair{std::string("\\n"), std::size_t{1}};
    case '\r':
      return std::pair{std::string("\\r"), std::size_t{1}};
    case '\t':
      return std::pair{std::string("\\t"), std::size_t{1}};
    default:
      break;
  }
  if (byte < 0x20 || byte == 0x7f) return std::pair{fmt::format("\\x{:02x}", byte), std::size_t{1}};
  // C1 controls (U+0080 to U+009F), and U+2028 and U+2029, which some
  // readers take for line ends.
  if (byte == 0xc2 && text.size() >= 2) {
    const auto next = static_cast<unsigned char>(text[1]);
    if (next >= 0x80 && next <= 0x9f)
      return std::pair{fmt::format("\\u{:04x}", next), std::size_t{2}};
  }
  if (byte == 0xe2 && text.size() >= 3 && static_cast<unsigned char>(text[1]) == 0x80) {
    const auto last = static_cast<unsigned char>(text[2]);
    if (last == 0xa8 || last == 0xa9) {
      return std::pair{fmt::format("\\u{:04x}", 0x2000 + (last - 0x80)), std::size_t{3}};
    }
  }
  return std::nullopt;
}

// The length of the UTF-8 sequence a lead byte starts (1 for a stray byte).
std::size_t sequence_length(unsigned char byte) {
  if (byte >= 0xf0 && byte <= 0xf4) return 4;
  if (byte >= 0xe0) return 3;
  if (byte >= 0xc2 && byte < 0xe0) return 2;
  return 1;
}

}  // namespace

std::string field(std::string_view text, std::size_t limit) {
  std::string out;
  out.reserve(std::min(text.size(), limit));
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f) {  // the common case: printable ASCII
      if (out.size() == limit) break;
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    if (auto control = escaped_control(text.substr(i))) {
      if (out.size() + control->first.size() > limit) break;
      out += control->first;
      i += control->second;
      continue;
    }
    const std::size_t used = std::min(sequence_length(byte), text.size() - i);
    if (out.size() + used > limit) break;
    out.append(text.substr(i, used));
    i += used;
  }
  if (i < text.size()) out += fmt::format("... [{} more bytes]", text.size() - i);
  return out;
}

std::string format(std::string_view format, const std::vector<Arg>& args) {
  try {
    return format_or_raise(format, args);
  } catch (const std::exception& e) {
    std::string out(format);
    out += " [log format error: ";
    out += e.what();
    out += ']';
    for (const auto& a : args) {
      out += ' ';
      out += text_of(a.value());
    }
    return out;
  }
}

void write(Level level, std::string_view fmt_text, const std::vector<Arg>& args) {
  auto& lg = logger();
  auto spd_level = to_spdlog(level);
  if (!lg.should_log(spd_level)) return;
  try {
    lg.log(spd_level, "{}", mask_secrets(format(fmt_text, args)));
  } catch (...) {
    // Logging must never take the agent down.
  }
}

void fatal(std::string_view message) {
  write(Level::error, "%s", {Arg(message)});
  logger().flush();
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(1);
}

// ---------------------------------------------------------------------------

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
  auto& lg = logger();
  previous_level_ = lg.level();
  capture_hub().attach(sink_);
  lg.set_level(spdlog::level::debug);
}

LogCapture::~LogCapture() {
  capture_hub().detach(sink_);
  logger().set_level(previous_level_);
}

std::vector<LogCapture::Line> LogCapture::lines() const { return sink_->lines(); }

bool LogCapture::contains(Level level, std::string_view message) const {
  for (const auto& line : sink_->lines()) {
    if (line.level == level && line.message == message) return true;
  }
  return false;
}

std::size_t LogCapture::count(Level level, std::string_view fragment) const {
  std::size_t n = 0;
  for (const auto& line : sink_->lines()) {
    if (line.level == level && line.message.find(fragment) != std::string::npos) ++n;
  }
  return n;
}

std::size_t LogCapture::count(Level level) const {
  std::size_t n = 0;
  for (const auto& line : sink_->lines()) n += line.level == level ? 1 : 0;
  return n;
}

void LogCapture::clear() { sink_->clear(); }

}  // namespace tavoren::log
