// One signed, retried POST of the backend protocol: the transport under
// RemoteScaling and RemoteOperator. Thread-safe; see remote_backend.h.
#pragma once

#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>

#include "tavoren/backend.h"
#include "tavoren/backend_client.h"
#include "tavoren/common/json.h"

namespace tavoren::backend::detail {

// A request body of named arguments, in the order given.
inline Json named(std::initializer_list<std::pair<const char*, Json>> arguments) {
  Json object = Json::object();
  for (const auto& [name, value] : arguments) object[name] = value;
  return object;
}

class RemoteCaller {
 public:
  explicit RemoteCaller(RemoteOptions options);
  ~RemoteCaller();
  RemoteCaller(const RemoteCaller&) = delete;
  RemoteCaller& operator=(const RemoteCaller&) = delete;

  // The envelope of the operation's answer. `operation` must be one of the
  // protocol's (std::logic_error otherwise). Throws RemoteCallError.
  Result call(std::string_view operation, const Json& arguments);

  // data of the answer; throws std::runtime_error with the refusal's
  // message when error is set.
  Json call_for_value(std::string_view operation, const Json& arguments);

  // data of the answer; throws the failure kind the refusal names
  // (ValueError, TypeError, KeyError, else std::runtime_error).
  Json call_or_throw(std::string_view operation, const Json& arguments);

  const Session& session() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tavoren::backend::detail
