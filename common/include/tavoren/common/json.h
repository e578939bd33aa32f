// The value type of action records and backend data, and the one test of
// whether such a value is "present".
#pragma once

#include <nlohmann/json.hpp>

namespace tavoren {

using Json = nlohmann::ordered_json;

// Whether a value counts as present "by truth": null, false, zero and an
// empty text, list or map do not; everything else does.
inline bool is_truthy(const Json& value) {
  if (value.is_null()) return false;
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number_integer()) return value.get<std::int64_t>() != 0;
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() != 0;
  if (value.is_number_float()) return value.get<double>() != 0.0;
  if (value.is_discarded()) return false;
  return !value.empty();  // text, list, map, binary
}

}  // namespace tavoren
