// The value type of action records and backend data, the one test of
// whether such a value is "present", and the readers of record values
// shared by every library.
//
// Pure functions, safe from any thread. Failures: required_field throws
// TypeError or KeyError (tavoren/common/errors.h) with the messages stated
// below; nothing else throws except for lack of memory.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tavoren {

// Action records and every value exchanged with the backend. Keys keep
// their insertion order, which decides the order of flags and fields.
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

// A record value used as a text: a text as it is, null as `if_null` (the
// empty text unless given), anything else (a number, a map) as its compact
// JSON text.
std::string text_of(const Json& value, std::string_view if_null = "");

// The kind of a value as messages name it: "null", "boolean", "number",
// "text", "list", "dictionary" or "binary".
const char* kind_name(const Json& value);

// record[key], where `what` names the record in messages. Throws TypeError
// "<what> is not a map but <JSON type name>" when `record` is not an object,
// and KeyError "<what> has no key \"<key>\"" when the key is missing.
const Json& required_field(const Json& record, std::string_view what, std::string_view key);
Json& required_field(Json& record, std::string_view what, std::string_view key);

}  // namespace tavoren
