// Executors whose command lines are not available in this build: each
// refuses its action, which WorkUnit::execute logs.

#include <stdexcept>

#include "executors/executors.h"

namespace tavoren {
namespace {

[[noreturn]] void unavailable(const WorkUnit& unit) {
  throw std::runtime_error("no executor is available yet for action type " + unit.action_type());
}

}  // namespace

void model_train_execute(WorkUnit& unit) { unavailable(unit); }
void model_eval_execute(WorkUnit& unit) { unavailable(unit); }
void model_export_execute(WorkUnit& unit) { unavailable(unit); }
void model_deploy_execute(WorkUnit& unit) { unavailable(unit); }
void data_processing_execute(WorkUnit& unit) { unavailable(unit); }
void data_split_execute(WorkUnit& unit) { unavailable(unit); }
void data_preparation_execute(WorkUnit& unit) { unavailable(unit); }
void dataset_annotation_execute(WorkUnit& unit) { unavailable(unit); }
void dataset_augmentation_execute(WorkUnit& unit) { unavailable(unit); }
void augmentation_server_creation_execute(WorkUnit& unit) { unavailable(unit); }
void image_build_execute(WorkUnit& unit) { unavailable(unit); }
void resource_clone_execute(WorkUnit& unit) { unavailable(unit); }
void kafka_setup_execute(WorkUnit& unit) { unavailable(unit); }
void deploy_aggregator_execute(WorkUnit& unit) { unavailable(unit); }

}  // namespace tavoren
