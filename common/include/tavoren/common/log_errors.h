// The agent's error policy: one wrapper around one operation.
//
// log_errors(name, policy, body) runs `body`. When it throws, the policy
// logs one error line "Error in <name>: <what>" (unless log_error is false)
// and then either re-throws the very same exception (raise_exception) or
// returns default_return. It is the policy of the agent's named operations
// (a host probe, a backend call, a container step): a failure of one of
// them is logged once, under the operation's name, in one place.
//
// Other broad catches (std::exception or ...) are allowed only where a
// failure must not cross a boundary:
//   - clean-up: undo a partial step (a temporary file, a half-made
//     database, a borrowed connection) and re-throw the same exception;
//   - translation: turn a parse or decryption failure into the error the
//     caller expects (a usage error, a ValueError, a DatabaseError);
//   - threads and loops that outlive one failure: the dispatcher's loop,
//     housekeeping, the HTTP server's I/O threads and request handlers
//     (answered with 500), a step per action at stop or take-over: each
//     logs the failure and goes on with the rest;
//   - a program's entry point: one message and an exit status;
//   - logging itself, and the optional metrics endpoint, which must never
//     take their holder down;
//   - a C library's callback, which keeps the exception to re-throw once
//     the library has returned.
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
