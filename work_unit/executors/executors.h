// The executors: one free function per kind of action. Each prepares the
// action's command line from its record and hands it to WorkUnit::start.
// They run under the work unit's error policy (WorkUnit::execute), so a
// failure is logged there and starts nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavoren/work_unit.h"

namespace tavoren {

// Helpers every executor family uses.
namespace executor_support {

// `value` as one word of the double-quoted script: shell-quoted, then
// escaped for the double quotes around the script.
std::string script_word(std::string_view value);

// Whether a record value is neither null nor empty (an empty text, list
// or map counts as absent).
bool present(const Json& value);

// The action's current record from the backend, or nullopt when it gave
// none, null, an empty map or an empty text. ValueError when the record's
// "_id" is not this unit's identifier.
std::optional<Json> current_details(WorkUnit& unit);

// A port handed out by the backend, as the decimal text the command line
// carries: a whole number, or a text of decimal digits, from 1 to 65535.
// Throws ValueError "No open port was given: <JSON>" for null or an empty
// text, and "Not a port number from 1 to 65535: <JSON>" for anything else
// (a fraction, a number out of range, other text, a list or map).
std::string port_text(const Json& port);

}  // namespace executor_support

void model_train_execute(WorkUnit& unit);
void model_eval_execute(WorkUnit& unit);
void model_export_execute(WorkUnit& unit);
void model_deploy_execute(WorkUnit& unit);
void data_processing_execute(WorkUnit& unit);
void data_split_execute(WorkUnit& unit);
void data_preparation_execute(WorkUnit& unit);
void dataset_annotation_execute(WorkUnit& unit);
void dataset_augmentation_execute(WorkUnit& unit);
void augmentation_server_creation_execute(WorkUnit& unit);
void image_build_execute(WorkUnit& unit);
void resource_clone_execute(WorkUnit& unit);
void kafka_setup_execute(WorkUnit& unit);
void deploy_aggregator_execute(WorkUnit& unit);

}  // namespace tavoren
