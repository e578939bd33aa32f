// What every fuzz target shares: a check that stops the run with the
// failed property, a quiet logger, and the input cut into pieces.
#pragma once

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/common/logging.h"

// Stops the run (libFuzzer saves the input) when `condition` is false.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

namespace tavoren::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at every `separator`; n separators give n + 1 pieces.
inline std::vector<std::string> pieces(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// The code under test logs its failures; millions of runs need no lines.
inline void silence_logging() { log::logger().set_level(spdlog::level::off); }

}  // namespace tavoren::fuzz
