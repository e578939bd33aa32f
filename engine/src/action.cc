// Which action a container runs.
#include <optional>
#include <string>
#include <string_view>

#include "tavoren/backend.h"
#include "tavoren/common/errors.h"
#include "tavoren/engine.h"

namespace tavoren::engine {
namespace {

std::optional<std::string> label_of(const Json& inspection) {
  const auto config = inspection.find("Config");
  if (config == inspection.end() || !config->is_object()) return std::nullopt;
  const auto labels = config->find("Labels");
  if (labels == config->end() || !labels->is_object()) return std::nullopt;
  const auto label = labels->find(std::string(kActionIdLabel));
  if (label == labels->end() || !label->is_string()) return std::nullopt;
  const std::string& value = label->get_ref<const std::string&>();
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> action_of_container(const Json& inspection,
                                               const std::string& container_id) {
  if (!inspection.is_object()) {
    throw TypeError("the inspection record of container " + container_id + " is not an object");
  }
  if (std::optional<std::string> labelled = label_of(inspection)) return labelled;
  const auto args = inspection.find("Args");
  if (args == inspection.end()) {
    throw KeyError("the inspection record of container " + container_id + " has no Args");
  }
  if (!args->is_array()) {
    throw TypeError("the Args of container " + container_id + " are not a list");
  }
  for (const Json& arg : *args) {
    if (!arg.is_string()) {
      throw TypeError("an argument of container " + container_id + " is not a text");
    }
    const std::string& text = arg.get_ref<const std::string&>();
    if (backend::has_action_id_length(text)) return text;
  }
  return std::nullopt;
}

}  // namespace tavoren::engine
