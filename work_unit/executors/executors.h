// The executors: one free function per kind of action. Each prepares the
// action's command line from its record and hands it to WorkUnit::start.
// They run under the work unit's error policy (WorkUnit::execute), so a
// failure is logged there and starts nothing.
#pragma once

#include "tavoren/work_unit.h"

namespace tavoren {

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
