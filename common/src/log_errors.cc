#include "tavoren/common/log_errors.h"

#include <exception>

namespace tavoren::detail {

void log_current_exception(std::string_view operation) {
  try {
    throw;
  } catch (const std::exception& e) {
    log::error("Error in %s: %s", operation, e.what());
  } catch (...) {
    log::error("Error in %s: %s", operation, "unknown failure");
  }
}

}  // namespace tavoren::detail
