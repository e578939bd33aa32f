// Executors of the model actions: training, evaluation, export, deployment
// as a served endpoint, and the inference aggregator.
//
// Each fetches the action's current record, picks the host working file
// system and the GPUs, prepares the requirements (codebase, registry login,
// the owner's keys), builds the container command and starts it. The base
// command ends inside the still-open double-quoted script; the job part
// appended here closes it. Every value put into that script is shell-quoted
// and then escaped for the double quotes, so the script's shell reads each
// one back as exactly one word, and plain values appear unchanged.

#include <optional>
#include <string>
#include <string_view>

#include "executors/executors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

using executor_support::current_details;
using executor_support::port_text;
using executor_support::script_word;

std::string max_file_system() { return host_probe::get_max_file_system().value_or(""); }

// The job part that runs `script` with the action's identifier and closes
// the script.
std::string script_call(std::string_view script, const WorkUnit& unit) {
  return " python3 " + std::string(script) + " " + script_word(unit.action_record_id()) + " \"";
}

// Training, evaluation and export share one shape: details, file system,
// GPUs, requirements, then the base command followed by the script call.
struct JobShape {
  const char* operation;
  const char* script;
  const char* log_name;
  // Pass the model key to the builder (its token lookup).
  bool with_model_key = false;
  // Use the largest file system unless the job names one.
  bool largest_file_system_first = false;
};

void run_model_job(WorkUnit& unit, const JobShape& shape) {
  log_errors(shape.operation, {}, [&] {
    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    const std::string action_id = text_of(details->at("_id"));

    std::string work_fs;
    if (shape.largest_file_system_first) {
      work_fs = max_file_system();
      const Json& job_params = details->at("jobParams");
      if (job_params.contains("host_file_system")) {
        work_fs = text_of(job_params.at("host_file_system"));
        log::info("host_file_system: %s", work_fs);
      }
    } else {
      work_fs = text_of(details->at("jobParams").at("host_file_system"));
    }

    const std::string use_gpu = unit.get_gpu_config(*details);
    unit.setup_action_requirements(
        *details, work_fs, text_of(details->at("actionDetails").at("modelFamily")), action_id);

    DockerCmdOptions options{.work_fs = work_fs, .use_gpu = use_gpu, .action_id = action_id};
    if (shape.with_model_key) {
      options.model_key = text_of(details->at("actionDetails").at("modelKey"));
    }
    const std::string cmd = unit.get_base_docker_cmd(options) + script_call(shape.script, unit);
    log::info("cmd is: %s", cmd);
    unit.start(cmd, shape.log_name);
  });
}

}  // namespace

void model_train_execute(WorkUnit& unit) {
  run_model_job(unit, {.operation = "model_train_execute",
                       .script = "train.py",
                       .log_name = "train_log",
                       .with_model_key = true});
}

void model_eval_execute(WorkUnit& unit) {
  run_model_job(unit,
                {.operation = "model_eval_execute", .script = "eval.py", .log_name = "eval_log"});
}

void model_export_execute(WorkUnit& unit) {
  run_model_job(unit, {.operation = "model_export_execute",
                       .script = "export.py",
                       .log_name = "export_log",
                       .largest_file_system_first = true});
}

void model_deploy_execute(WorkUnit& unit) {
  log_errors("model_deploy_execute", {}, [&] {
    // Both ports are asked for first, used or not.
    const Json external_port = unit.scaling().get_open_port();
    const Json internal_port = unit.scaling().get_open_port();
    const std::string work_fs = max_file_system();

    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    const std::string action_id = text_of(details->at("_id"));
    // Both ports are read before anything is set up, so a bad one logs
    // nobody in.
    const std::string external = port_text(external_port);
    const std::string internal = port_text(internal_port);

    unit.setup_action_requirements(
        *details, work_fs, text_of(details->at("actionDetails").at("modelFamily")), action_id);
    const std::string use_gpu = unit.get_gpu_config(*details);

    const std::string base =
        unit.get_base_docker_cmd({.work_fs = work_fs,
                                  .use_gpu = use_gpu,
                                  .mount_docker_sock = true,
                                  .action_id = action_id,
                                  .extra_env_vars = Json{{"INTERNAL_PORT", internal}}});
    const std::string cmd = base + " python3 deploy.py " + script_word(unit.action_record_id()) +
                            " " + script_word(external) + "\"";
    log::info("cmd is: %s", cmd);
    unit.start(cmd, "deploy_log");
  });
}

void deploy_aggregator_execute(WorkUnit& unit) {
  log_errors("deploy_aggregator_execute", {}, [&] {
    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    const std::string work_fs = max_file_system();
    unit.setup_action_requirements(*details, work_fs);

    const std::string cmd = unit.get_base_docker_cmd({.work_fs = work_fs}) +
                            script_call("/usr/src/app/deploy_aggregator.py", unit);
    log::info("cmd: %s", cmd);
    unit.start(cmd, "deploy_aggregator");
  });
}

}  // namespace tavoren
