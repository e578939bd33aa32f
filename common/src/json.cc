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

}  // namespace

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
