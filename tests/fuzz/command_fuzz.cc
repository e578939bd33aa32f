// From an action record to the container command line: values taken from
// the input (image, identifiers, keys, environment, ports, folders) go
// through WorkUnit construction and get_base_docker_cmd; splitting the line
// by POSIX rules, and the script inside it once more, gives back each value
// unchanged in its place. The backend is the recording fake; no child
// process is started.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fake_scaling.h"
#include "fuzz_support.h"
#include "tavoren/common/shell.h"
#include "tavoren/work_unit.h"

using namespace tavoren;

namespace {

using Words = std::vector<std::string>;

// Whether `words` holds `first` directly followed by `second`.
bool has_pair(const Words& words, const std::string& first, const std::string& second) {
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == first && words[i + 1] == second) return true;
  }
  return false;
}

// An environment variable name made of the letters and digits of `text`.
std::string env_name(const std::string& text, std::size_t index) {
  std::string name = "V" + std::to_string(index) + "_";
  for (const char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') name += c;
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_logging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> values = fuzz::pieces(fuzz::as_text(data, size), '\0');
  values.resize(std::max<std::size_t>(values.size(), 9));
  const std::string& image = values[0];
  const std::string& access_key = values[1];
  const std::string& secret_key = values[2];
  const std::string& action_id = values[3];
  const std::string& work_fs = values[4];
  const std::string& workdir = values[5];
  const std::string& host_port = values[6];
  const std::string& container_port = values[7];
  std::vector<std::pair<std::string, std::string>> env;
  for (std::size_t i = 8; i + 1 < values.size(); i += 2) {
    env.emplace_back(env_name(values[i], i), values[i + 1]);
  }

  testing::FakeScaling scaling;
  Json record = Json::object();
  record["_id"] = "0123456789abcdef01234567";
  record["action"] = "model_train";
  record["actionDetails"] = Json{{"docker", image}};
  WorkUnit unit(scaling, record);
  unit.set_tavoren_keys(access_key, secret_key);

  Json extra = Json::object();
  for (const auto& [name, value] : env) extra[name] = value;
  DockerCmdOptions options{.work_fs = work_fs, .action_id = action_id, .docker_workdir = workdir};
  if (!extra.empty()) options.extra_env_vars = extra;
  if (!host_port.empty()) options.port_mapping = Json{{host_port, container_port}};

  const std::string cmd = unit.get_base_docker_cmd(options);
  FUZZ_CHECK(!cmd.empty());
  // The executor ends the open script with its job and the closing quote.
  const Words argv = shell_split(cmd + "true\"");
  FUZZ_CHECK(argv.size() >= 5);
  FUZZ_CHECK(argv[0] == "docker" && argv[1] == "run");
  FUZZ_CHECK(has_pair(argv, "--pull=always", image));
  // The keys are named on the line; their values travel in the client's
  // environment only.
  FUZZ_CHECK(has_pair(argv, "-e", "TAVOREN_ACCESS_KEY_ID"));
  FUZZ_CHECK(has_pair(argv, "-e", "TAVOREN_SECRET_ACCESS_KEY"));
  const Words client_env = unit.container_environment();
  auto in_client_env = [&](const std::string& entry) {
    return std::find(client_env.begin(), client_env.end(), entry) != client_env.end();
  };
  FUZZ_CHECK(in_client_env("TAVOREN_ACCESS_KEY_ID=" + access_key));
  FUZZ_CHECK(in_client_env("TAVOREN_SECRET_ACCESS_KEY=" + secret_key));
  for (const auto& [name, value] : env) FUZZ_CHECK(has_pair(argv, "-e", name + "=" + value));
  if (!host_port.empty()) FUZZ_CHECK(has_pair(argv, "-p", host_port + ":" + container_port));
  if (!work_fs.empty() && work_fs != "/") {
    FUZZ_CHECK(has_pair(argv, "-v", work_fs + "/workspace:/usr/src/workspace"));
    if (!action_id.empty()) {
      FUZZ_CHECK(has_pair(argv, "-v", work_fs + "/" + action_id + ":/usr/src/" + action_id));
    }
  }
  FUZZ_CHECK(argv[argv.size() - 3] == "/bin/bash" && argv[argv.size() - 2] == "-c");

  // The script, as the container's shell reads it.
  const Words script = shell_split(argv.back());
  const std::string expected_dir = !workdir.empty()    ? workdir
                                   : action_id.empty() ? "."
                                                       : "/usr/src/" + action_id;
  FUZZ_CHECK(script.size() >= 2 && script[0] == "cd" && script[1] == expected_dir);
  FUZZ_CHECK(has_pair(script, "export", "TAVOREN_ACCESS_KEY_ID=$TAVOREN_ACCESS_KEY_ID"));
  FUZZ_CHECK(has_pair(script, "export", "TAVOREN_SECRET_ACCESS_KEY=$TAVOREN_SECRET_ACCESS_KEY"));
  for (const auto& [name, value] : env) FUZZ_CHECK(has_pair(script, "export", name + "=" + value));
  FUZZ_CHECK(script.back() == "true");

  log::clear_secrets();
  return 0;
}
