// The value type of action records and backend data, the one test of
// whether such a value is "present", and the readers of record values
// shared by every library.
//
// Pure functions, safe from any thread. Failures: required_field throws
// TypeError or KeyError, parse_json JsonError (tavoren/common/errors.h),
// with the messages stated below; nothing else throws except for lack of
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "tavoren/common/errors.h"

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

// The limits every JSON text read from outside the agent is parsed under
// (records given by the operator, stored records, the container engine's
// answers): a nesting depth of `max_depth` lists and maps, and a text of
// at most `max_bytes` bytes.
struct JsonLimits {
  std::size_t max_depth = 128;
  std::size_t max_bytes = std::size_t{64} << 20;  // 64 MiB
};

// A JSON text that could not be read: not JSON at all (what() is the
// parser's own message), or beyond the limits (beyond_limits() is true).
class JsonError : public ValueError {
 public:
  JsonError(const std::string& what, bool beyond_limits)
      : ValueError(what), beyond_limits_(beyond_limits) {}
  bool beyond_limits() const { return beyond_limits_; }

 private:
  bool beyond_limits_;
};

// The value of the JSON text `text`. The size and the nesting are checked
// before anything is built, so a deep or huge text costs no more than one
// pass over it. Throws JsonError: "JSON text of <n> bytes exceeds the limit
// of <max_bytes> bytes", "JSON nests deeper than <max_depth> levels", the
// parser's message for a number beyond the range of a double (these three
// beyond_limits()), or the parser's message for a text that is not JSON.
Json parse_json(std::string_view text, const JsonLimits& limits = {});

// parse_json, with nullopt for a text that is not JSON or beyond the limits.
std::optional<Json> try_parse_json(std::string_view text, const JsonLimits& limits = {});

}  // namespace tavoren
