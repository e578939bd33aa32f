// Executors of the platform service actions: the streaming broker, the
// image build job and the resource clone job.
//
// The image build and resource clone jobs use the common container command;
// the broker writes its own, because it publishes one port instead of using
// host networking and runs an image with a start-up script of its own. Both
// kinds follow the same quoting rules: every value inserted into the line is
// shell-quoted, and a value inside the double-quoted script is also escaped
// for those double quotes, so plain values appear unchanged and no value can
// end its word or the script early.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "executors/executors.h"
#include "tavoren/common/config.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/host_probe.h"

namespace tavoren {
namespace {

using executor_support::current_details;
using executor_support::port_text;
using executor_support::script_word;

// How long the public-address echo service may take to answer.
constexpr std::chrono::seconds kPublicIpTimeout{10};

// The broker's image and the container port its clients connect to.
constexpr std::string_view kBrokerImage = "quantello/tavoren-kafka:latest";
constexpr std::string_view kBrokerPort = "9092";

// The host's public address as the echo service reports it (an HTTP 200
// answer holding an IPv4 or IPv6 address), in the form a listener address
// takes: an IPv6 address in brackets.
std::string public_ip() {
  const std::string address =
      host_probe::get_public_ip_address(kPublicIpTimeout, host_probe::IpFamily::any);
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The broker's container environment: the platform's three variables, then
// a single-node broker and controller reached over SASL/SCRAM at
// host_ip:port.
EnvList broker_environment(const std::string& env, const WorkUnit& unit, const std::string& host_ip,
                           const std::string& port) {
  return {
      {"ENV", env},
      {"TAVOREN_SECRET_ACCESS_KEY", unit.tavoren_secret_access_key().value_or("")},
      {"TAVOREN_ACCESS_KEY_ID", unit.tavoren_access_key_id().value_or("")},
      {"KAFKA_NODE_ID", "1"},
      {"KAFKA_PROCESS_ROLES", "broker,controller"},
      {"KAFKA_LISTENERS", "SASL_PLAINTEXT://0.0.0.0:9092,CONTROLLER://0.0.0.0:9093"},
      {"KAFKA_ADVERTISED_LISTENERS", "SASL_PLAINTEXT://" + host_ip + ":" + port},
      {"KAFKA_LISTENER_SECURITY_PROTOCOL_MAP",
       "CONTROLLER:PLAINTEXT,SASL_PLAINTEXT:SASL_PLAINTEXT"},
      {"KAFKA_CONTROLLER_LISTENER_NAMES", "CONTROLLER"},
      {"KAFKA_CONTROLLER_QUORUM_VOTERS", "1@localhost:9093"},
      {"KAFKA_OFFSETS_TOPIC_REPLICATION_FACTOR", "1"},
      {"KAFKA_TRANSACTION_STATE_LOG_REPLICATION_FACTOR", "1"},
      {"KAFKA_TRANSACTION_STATE_LOG_MIN_ISR", "1"},
      {"KAFKA_GROUP_INITIAL_REBALANCE_DELAY_MS", "0"},
      {"KAFKA_NUM_PARTITIONS", "5"},
      {"KAFKA_SASL_ENABLED_MECHANISMS", "SCRAM-SHA-256"},
      {"KAFKA_SASL_MECHANISM_INTER_BROKER_PROTOCOL", "SCRAM-SHA-256"},
      {"KAFKA_INTER_BROKER_LISTENER_NAME", "SASL_PLAINTEXT"},
      {"KAFKA_MESSAGE_MAX_BYTES", "25000000"},
      {"KAFKA_HEAP_OPTS", "-Xms2G -Xmx8G"},
      {"KAFKA_NUM_NETWORK_THREADS", "6"},
      {"KAFKA_NUM_IO_THREADS", "8"},
      {"KAFKA_REPLICA_FETCH_MAX_BYTES", "25000000"},
      {"KAFKA_FETCH_MESSAGE_MAX_BYTES", "25000000"},
      {"KAFKA_REPLICA_FETCH_RESPONSE_MAX_BYTES", "25000000"},
  };
}

}  // namespace

void kafka_setup_execute(WorkUnit& unit) {
  log_errors("kafka_setup_execute", {}, [&] {
    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    const std::string port = port_text(unit.scaling().get_open_port());
    const std::string host_ip = public_ip();
    unit.setup_action_requirements(*details);

    const std::string env = config::environment();
    std::string env_flags;
    std::vector<std::string> client_environment;
    for (const auto& [name, value] : broker_environment(env, unit, host_ip, port)) {
      if (!env_flags.empty()) env_flags += " ";
      if (is_container_secret_variable(name)) {
        // The value reaches the container from the client's environment.
        env_flags += "-e " + name;
        client_environment.push_back(name + "=" + value);
        unit.keep_secret_masked(value);
      } else {
        env_flags += "-e " + name + "=" + shell_quote(value);
      }
    }
    unit.set_container_environment(std::move(client_environment));

    const std::string script =
        "cd /opt/kafka/bin && source venv/bin/activate && /opt/kafka/bin/startup.sh & "
        "if [ -f requirements.txt ]; then venv/bin/python3 -m pip install -r requirements.txt; "
        "fi && venv/bin/python3 -m pip install --upgrade --force-reinstall --index-url " +
        script_word(config::package_index_url(env)) +
        " tavoren && sleep 20 && venv/bin/python3 main.py " + script_word(unit.action_record_id()) +
        " " + script_word(port) + "\"";
    const std::string cmd = "docker run -p " + shell_quote(port + ":" + std::string(kBrokerPort)) +
                            " " + env_flags + " --shm-size=30G --pull=always " +
                            std::string(kBrokerImage) + " /bin/bash -c \"" + script;
    log::info("cmd is: %s", cmd);
    unit.start(cmd, "kafka_setup");
  });
}

void image_build_execute(WorkUnit& unit) {
  log_errors("image_build_execute", {}, [&] {
    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    unit.setup_action_requirements(*details);

    const std::string model_family_id = text_of(details->at("_idService"));
    const std::string action_id = text_of(details->at("_id"));
    const std::string internal_api_key = unit.get_internal_api_key(action_id);

    const std::string base = unit.get_base_docker_cmd(
        {.mount_docker_sock = true,
         .extra_env_vars = Json{{"TAVOREN_INTERNAL_API_KEY", internal_api_key}}});
    const std::string cmd = base + " python3 main.py " + script_word(model_family_id) + " " +
                            script_word(action_id) + "\"";
    log::info("cmd is: %s", cmd);
    unit.start(cmd, "image_build_log");
  });
}

void resource_clone_execute(WorkUnit& unit) {
  log_errors("resource_clone_execute", {}, [&] {
    const std::optional<Json> details = current_details(unit);
    if (!details) return;
    unit.setup_action_requirements(*details);

    const std::string cmd = unit.get_base_docker_cmd() + " python3 main.py " +
                            script_word(unit.action_record_id()) + " \"";
    log::info("cmd is: %s", cmd);
    unit.start(cmd, "resource_clone");
  });
}

}  // namespace tavoren
