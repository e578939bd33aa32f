// Helpers shared by the executor families.
#include "executors/executors.h"
#include "tavoren/common/shell.h"

namespace tavoren::executor_support {

std::string script_word(std::string_view value) { return escape_double_quoted(shell_quote(value)); }

std::optional<Json> current_details(WorkUnit& unit) {
  std::optional<Json> details = unit.get_action_details();
  if (!details || details->is_null() || details->empty()) return std::nullopt;
  return details;
}

}  // namespace tavoren::executor_support
