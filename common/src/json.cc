#include "tavoren/common/json.h"

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

template <typename Record>
auto& field_of(Record& record, std::string_view what, std::string_view key) {
  if (!record.is_object()) {
    throw TypeError(std::string(what) + " is not a map but " + record.type_name());
  }
  const auto found = record.find(std::string(key));
  if (found == record.end()) {
    throw KeyError(std::string(what) + " has no key \"" + std::string(key) + "\"");
  }
  return *found;
}

// The deepest nesting of lists and maps in `text`, counting only brackets
// outside strings; stops as soon as it passes `limit`. A text that is not
// JSON gets some figure: the parser refuses it afterwards.
std::size_t nesting_depth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote included
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > deepest) {
          deepest = depth;
          if (deepest > limit) return deepest;
        }
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return deepest;
}

}  // namespace

Json parse_json(std::string_view text, const JsonLimits& limits) {
  if (text.size() > limits.max_bytes) {
    throw JsonError("JSON text of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
                        std::to_string(limits.max_bytes) + " bytes",
                    true);
  }
  if (nesting_depth(text, limits.max_depth) > limits.max_depth) {
    throw JsonError("JSON nests deeper than " + std::to_string(limits.max_depth) + " levels", true);
  }
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw JsonError(e.what(), false);
  } catch (const Json::out_of_range& e) {
    // JSON that is well formed but holds a number no double can hold
    // (1e400): beyond what the agent reads, as a deep or huge text is.
    throw JsonError(e.what(), true);
  }
}

std::optional<Json> try_parse_json(std::string_view text, const JsonLimits& limits) {
  try {
    return parse_json(text, limits);
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

std::string text_of(const Json& value, std::string_view if_null) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return std::string(if_null);
  return value.dump();
}

const char* kind_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "boolean";
    case Json::value_t::string:
      return "text";
    case Json::value_t::array:
      return "list";
    case Json::value_t::binary:
      return "binary";
    case Json::value_t::object:
      return "dictionary";
    default:
      return "number";
  }
}

const Json& required_field(const Json& record, std::string_view what, std::string_view key) {
  return field_of(record, what, key);
}

Json& required_field(Json& record, std::string_view what, std::string_view key) {
  return field_of(record, what, key);
}

}  // namespace tavoren
