// Helpers shared by the executor families.
#include <cstdint>

#include "executors/executors.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/shell.h"

namespace tavoren::executor_support {
namespace {

constexpr std::int64_t kHighestPort = 65535;

// The port `port` names, or 0 when it names none.
std::int64_t port_number(const Json& port) {
  if (port.is_number_integer()) {
    const std::int64_t number = port.get<std::int64_t>();
    return number >= 1 && number <= kHighestPort ? number : 0;
  }
  if (port.is_number_unsigned()) {
    const std::uint64_t number = port.get<std::uint64_t>();
    return number >= 1 && number <= kHighestPort ? static_cast<std::int64_t>(number) : 0;
  }
  if (!port.is_string()) return 0;
  const std::string& text = port.get_ref<const std::string&>();
  if (text.empty() || text.size() > 5) return 0;
  std::int64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= kHighestPort ? number : 0;
}

}  // namespace

std::string script_word(std::string_view value) { return escape_double_quoted(shell_quote(value)); }

bool present(const Json& value) {
  if (value.is_null()) return false;
  if (value.is_string()) return !value.get_ref<const std::string&>().empty();
  if (value.is_structured()) return !value.empty();
  return true;
}

std::optional<Json> current_details(WorkUnit& unit) {
  std::optional<Json> details = unit.get_action_details();
  if (!details || !present(*details)) return std::nullopt;
  // Their identifier names the action's paths: it must be this action's.
  if (details->is_object()) {
    const auto id = details->find("_id");
    if (id != details->end() && (!id->is_string() || *id != unit.action_record_id())) {
      throw ValueError("The details answered for action " + unit.action_record_id() +
                       " are another action's");
    }
  }
  return details;
}

std::string port_text(const Json& port) {
  if (!present(port)) throw ValueError("No open port was given: " + port.dump());
  const std::int64_t number = port_number(port);
  if (number == 0) throw ValueError("Not a port number from 1 to 65535: " + port.dump());
  return std::to_string(number);
}

}  // namespace tavoren::executor_support
