// Small helpers shared by the sources of the start-up checks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tavoren/backend.h"
#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"

namespace tavoren::prechecks {

// Formats the message as the logger does, logs it at error level and ends
// the process with exit status 1.
template <typename... Args>
[[noreturn]] void fatal(std::string_view format, const Args&... args) {
  log::fatal(log::format(format, {log::Arg(args)...}));
}

using tavoren::is_truthy;

}  // namespace tavoren::prechecks
