// The agent's error policy: one wrapper around one operation.
//
// log_errors(name, policy, body) runs `body`. When it throws, the policy
// logs one error line "Error in <name>: <what>" (unless log_error is false)
// and then either re-throws the very same exception (raise_exception) or
// returns default_return. This is the only place in the agent that catches
// failures broadly.
//
//   return log_errors("get_gpu_info", {.default_return = {}}, [&] { ... });
//   log_errors("prune_docker_images", {}, [&] { ... });   // void body
//
// Threads: stateless; safe from any thread. The body's own exceptions are
// the only ones that pass through when raise_exception is set.
#pragma once

#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tavoren/common/logging.h"

namespace tavoren {

template <typename T>
struct ErrorPolicy {
  T default_return{};
  bool raise_exception = false;
  bool log_error = true;
};

template <>
struct ErrorPolicy<void> {
  bool raise_exception = false;
  bool log_error = true;
};

namespace detail {
// Logs the exception currently being handled, naming the operation.
void log_current_exception(std::string_view operation);
}  // namespace detail

template <typename F, typename R = std::invoke_result_t<F&>>
R log_errors(std::string_view operation, ErrorPolicy<std::type_identity_t<R>> policy, F&& body) {
  try {
    if constexpr (std::is_void_v<R>) {
      body();
      return;
    } else {
      return body();
    }
  } catch (...) {
    if (policy.log_error) detail::log_current_exception(operation);
    if (policy.raise_exception) throw;
    if constexpr (!std::is_void_v<R>) return std::move(policy.default_return);
  }
}

}  // namespace tavoren
