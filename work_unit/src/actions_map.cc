// The action-type table: which executor runs each type of action.

#include "executors/executors.h"
#include "tavoren/work_unit.h"

namespace tavoren {

ActionsMap default_actions_map() {
  return {
      {"model_train", model_train_execute},
      {"model_eval", model_eval_execute},
      {"model_export", model_export_execute},
      {"deploy_add", model_deploy_execute},
      {"data_import", data_processing_execute},
      {"data_add", data_processing_execute},
      {"data_split", data_split_execute},
      {"data_prep", data_preparation_execute},
      {"dataset_annotation", dataset_annotation_execute},
      {"dataset_augmentation", dataset_augmentation_execute},
      {"augmentation_setup", augmentation_server_creation_execute},
      {"image_build", image_build_execute},
      {"resource_clone", resource_clone_execute},
      {"kafka_setup", kafka_setup_execute},
      {"inference_aggregator", deploy_aggregator_execute},
  };
}

}  // namespace tavoren
