// Executors of the data and dataset actions: dataset preparation, data
// import and processing, splitting, annotation, augmentation, and the
// start of an augmentation server.
//
// Each picks the host file system with the most free space, fetches the
// action's current record, prepares the requirements (registry login and
// the owner's keys; no codebase), builds the container command and starts
// it. None uses a GPU. The two dataset-ingest executors first tell the
// backend that the job is handed to the container engine, with the job
// parameters extended by the dataset's host and container paths; the
// preparation executor also starts downloading, in the background, the
// training image a later action will need.
//
// The base command ends inside the still-open double-quoted script; the
// job part appended here closes it. Every value put into that script is
// shell-quoted and then escaped for the double quotes, so the script's
// shell reads each one back as exactly one word, and plain values appear
// unchanged.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

using executor_support::port_text;
using executor_support::present;
using executor_support::script_word;

// Where the preparation container mounts the workspace and runs, and the
// container path the ingest executors report for a dataset.
constexpr const char* kAppWorkspace = "/usr/src/app/workspace";

// The job parameters of `action_details`, a map changed in place.
Json& job_params_of(Json& action_details) {
  Json& job_params = required_field(action_details, "the action record", "jobParams");
  if (!job_params.is_object()) {
    throw TypeError(std::string("the job parameters are not a map but ") + job_params.type_name());
  }
  return job_params;
}

// The host side of the workspace. Without a file system nothing is
// mounted, and the backend is told there is no host path (null).
Json host_workspace(const std::string& work_fs) {
  return work_fs.empty() ? Json() : Json(work_fs + "/workspace");
}
Json host_file_system(const std::string& work_fs) {
  return work_fs.empty() ? Json() : Json(work_fs);
}

// The job part: runs `script` with `arguments` and closes the script.
std::string job_part(std::string_view script, const std::vector<std::string>& arguments) {
  std::string part = " python3 " + std::string(script);
  for (const std::string& argument : arguments) part += " " + script_word(argument);
  return part + " \"";
}

// Downloads `image` in the background, without a shell; its output is
// discarded and its outcome never examined. A failure to start it is
// logged and does not stop the action.
void start_image_pull(const std::string& image) {
  log_errors("start_image_pull", {}, [&] {
    // A leading "-" would be read as an option of the pull.
    if (image.starts_with("-")) throw ValueError("Invalid image reference: " + image);
    log::info("Pulling the docker image");
    const pid_t pid = process::spawn_background({.argv = {"docker", "pull", image},
                                                 .stdin_stream = process::Stream::null,
                                                 .stdout_stream = process::Stream::null,
                                                 .stderr_stream = process::Stream::null});
    log::info("Started pulling Docker image with PID: %s", pid);
  });
}

// What sets one data executor apart.
struct DataJob {
  const char* operation;
  const char* script;
  const char* log_format;
  const char* log_name;
  // Mount the workspace at /usr/src/app/workspace and run the script there.
  bool app_workspace = false;
  // Ask the backend for a free port, passed to the script after the
  // action's identifier.
  bool open_port = false;
  // Runs once the requirements are set up, before the command is built.
  std::function<void(WorkUnit&, Json& action_details, const std::string& work_fs)>
      after_requirements;
};

void run_data_job(WorkUnit& unit, const DataJob& job) {
  log_errors(job.operation, {}, [&] {
    const std::string work_fs = host_probe::get_max_file_system().value_or("");
    std::optional<Json> action_details = unit.get_action_details();
    std::optional<Json> port;
    if (job.open_port) port = unit.scaling().get_open_port();
    if (!action_details || !present(*action_details)) return;
    // Read before anything is set up, so a bad port logs nobody in.
    std::vector<std::string> arguments = {unit.action_record_id()};
    if (port) arguments.push_back(port_text(*port));

    unit.setup_action_requirements(*action_details, work_fs);
    if (job.after_requirements) job.after_requirements(unit, *action_details, work_fs);

    DockerCmdOptions options{.work_fs = work_fs};
    if (job.app_workspace) {
      options.destination_workspace_path = kAppWorkspace;
      options.docker_workdir = kAppWorkspace;
    }
    const std::string cmd = unit.get_base_docker_cmd(options) + job_part(job.script, arguments);
    log::info(job.log_format, cmd);
    unit.start(cmd, job.log_name);
  });
}

// Preparation: the dataset's host and container paths go into the job
// parameters, the backend learns the job is handed to the container engine,
// and the training image named in the job starts downloading.
void report_prepared_dataset(WorkUnit& unit, Json& action_details, const std::string& work_fs) {
  Json& job_params = job_params_of(action_details);
  const std::string dataset_id_version =
      text_of(required_field(job_params, "the job parameters", "dataset_id")) +
      text_of(required_field(job_params, "the job parameters", "dataset_version"));

  Json host_path_map = Json::object();
  host_path_map[dataset_id_version] = host_workspace(work_fs);
  Json local_path_map = Json::object();
  local_path_map[dataset_id_version] = kAppWorkspace;
  job_params["dataset_host_path_map"] = std::move(host_path_map);
  job_params["dataset_local_path_map"] = std::move(local_path_map);
  job_params["host_file_system"] = host_file_system(work_fs);

  Json update = Json::object();
  update["id"] = unit.action_record_id();
  update["step_code"] = "DCK_LNCH";
  update["action_type"] = required_field(action_details, "the action record", "action");
  update["status"] = required_field(action_details, "the action record", "status");
  update["sub_action"] = required_field(action_details, "the action record", "subAction");
  update["status_description"] = "Job is assigned to docker";
  update["service"] = "bg-job-scheduler";
  update["job_params"] = job_params;
  unit.scaling().update_action(update);

  const auto image = job_params.find("model_train_docker");
  if (image != job_params.end() && present(*image)) start_image_pull(text_of(*image));
}

// Import and processing: the dataset's host and container paths go into the
// job parameters, and the backend learns the job is handed to the container
// engine.
void report_processed_dataset(WorkUnit& unit, Json& action_details, const std::string& work_fs) {
  Json& job_params = job_params_of(action_details);
  Json host_paths = Json::array();
  host_paths.push_back(host_workspace(work_fs));
  Json local_paths = Json::array();
  local_paths.push_back(kAppWorkspace);
  job_params["dp_dv_host_paths"] = std::move(host_paths);
  job_params["dp_dv_local_paths"] = std::move(local_paths);

  Json update = Json::object();
  update["id"] = unit.action_record_id();
  update["step_code"] = "DCK_LNCH";
  update["action_type"] = required_field(action_details, "the action record", "action");
  update["status"] = "ACK";
  update["status_description"] = "Job is assigned to docker";
  update["service"] = "bg-job-scheduler";
  update["job_params"] = job_params;
  unit.scaling().update_action(update);
}

}  // namespace

void data_preparation_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "data_preparation_execute",
                      .script = "/usr/src/app/data_preparation.py",
                      .log_format = "cmd is: %s",
                      .log_name = "data_preparation_log",
                      .app_workspace = true,
                      .after_requirements = report_prepared_dataset});
}

void data_processing_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "data_processing_execute",
                      .script = "/usr/src/app/main.py",
                      .log_format = "cmd: %s",
                      .log_name = "data_processing_log",
                      .after_requirements = report_processed_dataset});
}

void data_split_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "data_split_execute",
                      .script = "/usr/src/app/data_split.py",
                      .log_format = "cmd: %s",
                      .log_name = "data_split"});
}

void dataset_annotation_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "dataset_annotation_execute",
                      .script = "/usr/src/app/dataset_annotation.py",
                      .log_format = "cmd: %s",
                      .log_name = "dataset_annotation"});
}

void dataset_augmentation_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "dataset_augmentation_execute",
                      .script = "/usr/src/app/data_augmentation.py",
                      .log_format = "cmd: %s",
                      .log_name = "dataset_augmentation"});
}

void augmentation_server_creation_execute(WorkUnit& unit) {
  run_data_job(unit, {.operation = "augmentation_server_creation_execute",
                      .script = "/usr/src/app/aug_server.py",
                      .log_format = "cmd: %s",
                      .log_name = "augmentation_setup",
                      .open_port = true});
}

}  // namespace tavoren
