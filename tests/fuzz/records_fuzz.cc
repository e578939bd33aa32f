// The embedded backend's check of a submitted action record: any JSON
// value is either accepted, and then has the shape the agent relies on, or
// refused with a TypeError, ValueError or KeyError; nothing else escapes.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tavoren/common/errors.h"
#include "tavoren/sqlite_store.h"
#include "tavoren/store_rules.h"

using namespace tavoren;

namespace {

bool accepted(const Json& record) {
  try {
    backend::store_rules::validate_submission(record);
    return true;
  } catch (const TypeError&) {
  } catch (const ValueError&) {
  } catch (const KeyError&) {
  }
  return false;
}

bool text_or_absent(const Json& map, const char* key, bool null_allowed) {
  const auto found = map.find(key);
  return found == map.end() || found->is_string() || (null_allowed && found->is_null());
}

void check(const Json& record) {
  if (!accepted(record)) return;
  FUZZ_CHECK(record.is_object());
  FUZZ_CHECK(!record.contains("_id"));
  const std::vector<std::string>& types = backend::LocalScaling::action_types();
  FUZZ_CHECK(record.contains("action") && record["action"].is_string());
  FUZZ_CHECK(std::find(types.begin(), types.end(), record["action"].get<std::string>()) !=
             types.end());
  FUZZ_CHECK(record.contains("actionDetails") && record["actionDetails"].is_object());
  FUZZ_CHECK(!record.contains("jobParams") || record["jobParams"].is_object());
  FUZZ_CHECK(text_or_absent(record, "_idUser", false));
  FUZZ_CHECK(text_or_absent(record, "subAction", true));
  FUZZ_CHECK(text_or_absent(record["actionDetails"], "modelKey", false));
  // An accepted record can be stored: its JSON text reads back the same.
  FUZZ_CHECK(parse_json(record.dump()) == record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  // Read as the agent reads records: within the nesting and size limits.
  std::optional<Json> parsed = try_parse_json(text);
  Json record = parsed ? std::move(*parsed)
                       // Not JSON (or beyond the limits): the text as the
                       // value of a field, invalid UTF-8 included.
                       : Json{{"action", backend::LocalScaling::action_types().front()},
                              {"actionDetails", {{"modelKey", std::string(text)}}}};
  check(record);
  // Completed with what it lacks, the same record reaches the deeper checks.
  if (record.is_object()) {
    const std::vector<std::string>& types = backend::LocalScaling::action_types();
    if (!record.contains("action")) record["action"] = types[size % types.size()];
    if (!record.contains("actionDetails")) record["actionDetails"] = Json::object();
    record.erase("_id");
    check(record);
  }
  return 0;
}
