#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "work_unit_testing.h"

namespace tavoren::testing {
namespace {

using backend::Result;
using log::Level;
using log::LogCapture;

constexpr const char* kAccessKey = "AKIDEXAMPLE01";
constexpr const char* kSecretKey = "SECRETEXAMPLE01";
constexpr const char* kScriptTail =
    "if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && pip install "
    "--upgrade --force-reinstall --index-url https://pypi.org/simple/ tavoren && ";

// A unit of a "model_train" record with image registry.example/job:1 and a
// known key pair, under the production environment with the default index.
class CommandBuilderTest : public ::testing::Test {
 protected:
  CommandBuilderTest() : unit_(fake_, action_record()) {
    unit_.set_tavoren_keys(kAccessKey, kSecretKey);
    fake_.clear_calls();
  }
  ~CommandBuilderTest() override { log::clear_secrets(); }

  ScopedEnv env_{"ENV", std::nullopt};
  ScopedEnv index_{"TAVOREN_PACKAGE_INDEX_HOST", std::nullopt};
  ScopedEnv test_index_{"TAVOREN_TEST_PACKAGE_INDEX_HOST", std::nullopt};
  FakeScaling fake_;
  WorkUnit unit_;
};

// ---------------------------------------------------------------------------
// Whole lines

TEST_F(CommandBuilderTest, WithoutArgumentsTheLineUsesHostNetworkAndNoMounts) {
  EXPECT_EQ(unit_.get_base_docker_cmd(),
            std::string("docker run   --net=host -e ENV=prod "
                        "-e TAVOREN_SECRET_ACCESS_KEY "
                        "-e TAVOREN_ACCESS_KEY_ID "
                        "--shm-size=30G --pull=always registry.example/job:1 "
                        "/bin/bash -c \"cd . && export ENV=prod && "
                        "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
                        "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && ") +
                kScriptTail);
  EXPECT_EQ(fake_.calls().size(), 0u);  // no token lookup without a model key
}

TEST_F(CommandBuilderTest, ATypicalRecordGivesTheFullLine) {
  fake_.push("get_model_secret_keys", Result::ok(Json{{"user_access_token", "hf_abcdef123"}}));
  const std::string line =
      unit_.get_base_docker_cmd({.work_fs = "/mnt/data",
                                 .use_gpu = "--gpus \"device=0,1\"",
                                 .mount_docker_sock = true,
                                 .action_id = kId,
                                 .model_key = "timm/resnet50",
                                 .extra_env_vars = Json{{"EPOCHS", 3}, {"DEBUG", true}}});
  EXPECT_EQ(line,
            std::string("docker run --gpus \"device=0,1\"  --net=host -e ENV=prod "
                        "-e TAVOREN_SECRET_ACCESS_KEY "
                        "-e TAVOREN_ACCESS_KEY_ID "
                        "-e HUGGING_FACE_ACCESS_TOKEN -e EPOCHS=3 -e DEBUG=true "
                        "-v /mnt/data/workspace:/usr/src/workspace "
                        "-v /mnt/data/65f1a2b3c4d5e6f708192a3b:/usr/src/65f1a2b3c4d5e6f708192a3b "
                        "-v /var/run/docker.sock:/var/run/docker.sock "
                        "--shm-size=30G --pull=always registry.example/job:1 "
                        "/bin/bash -c \"cd /usr/src/65f1a2b3c4d5e6f708192a3b && export ENV=prod && "
                        "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
                        "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && "
                        "export HUGGING_FACE_ACCESS_TOKEN=\\\"\\$HUGGING_FACE_ACCESS_TOKEN\\\" && "
                        "export EPOCHS=3 && "
                        "export DEBUG=true && ") +
                kScriptTail);
}

TEST_F(CommandBuilderTest, MountsFollowTheWorkFileSystemAndTheActionIdentifier) {
  const std::string env_flags =
      "-e ENV=prod -e TAVOREN_SECRET_ACCESS_KEY "
      "-e TAVOREN_ACCESS_KEY_ID ";
  const std::string exports =
      " && export ENV=prod && export "
      "TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
      "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && ";
  const std::string image = "--shm-size=30G --pull=always registry.example/job:1 /bin/bash -c ";

  // "/" mounts nothing, even with an action identifier.
  EXPECT_EQ(unit_.get_base_docker_cmd({.work_fs = "/", .action_id = kId}),
            "docker run   --net=host " + env_flags + image + "\"cd /usr/src/" + kId + exports +
                kScriptTail);
  // Without an action identifier: only the workspace, and the script stays in ".".
  EXPECT_EQ(unit_.get_base_docker_cmd(
                {.work_fs = "/mnt/data", .destination_workspace_path = "/opt/workspace"}),
            "docker run   --net=host " + env_flags + "-v /mnt/data/workspace:/opt/workspace " +
                image + "\"cd ." + exports + kScriptTail);
  // An explicit working directory wins over the action's own.
  EXPECT_EQ(
      unit_.get_base_docker_cmd({.action_id = kId, .docker_workdir = "/srv/app"}),
      "docker run   --net=host " + env_flags + image + "\"cd /srv/app" + exports + kScriptTail);
}

TEST_F(CommandBuilderTest, PortMappingReplacesHostNetworking) {
  const std::string line =
      unit_.get_base_docker_cmd({.port_mapping = Json{{"8080", 80}, {"9090", "9000"}}});
  EXPECT_EQ(line.substr(0, line.find(" -e ")), "docker run   -p 8080:80 -p 9090:9000");
  EXPECT_EQ(line.find("--net=host"), std::string::npos);
  // An empty mapping counts as none.
  EXPECT_EQ(unit_.get_base_docker_cmd({.port_mapping = Json::object()}),
            unit_.get_base_docker_cmd());
}

TEST_F(CommandBuilderTest, ValuesThatNeedQuotingAreQuotedForBothShells) {
  const std::string line =
      unit_.get_base_docker_cmd({.extra_env_vars = Json{{"NOTE", "it's here"}, {"EMPTY", ""}}});
  // Outside the script: single quotes, each inner ' written as '"'"'.
  EXPECT_NE(line.find(" -e NOTE='it'\"'\"'s here' -e EMPTY='' "), std::string::npos) << line;
  // Inside the double-quoted script the same word, its double quotes escaped.
  EXPECT_NE(line.find(" && export NOTE='it'\\\"'\\\"'s here' && export EMPTY='' && "),
            std::string::npos)
      << line;
}

// ---------------------------------------------------------------------------
// Environment

TEST_F(CommandBuilderTest, ExtraVariablesOverrideInPlaceButNotTheIndex) {
  const std::string line = unit_.get_base_docker_cmd(
      {.extra_env_vars =
           Json{{"NEW", "1"}, {"ENV", "dev"}, {"TAVOREN_ACCESS_KEY_ID", "AKIDOTHER"}}});
  EXPECT_EQ(
      line,
      std::string(
          "docker run   --net=host -e ENV=dev "
          "-e TAVOREN_SECRET_ACCESS_KEY "
          "-e TAVOREN_ACCESS_KEY_ID -e NEW=1 "
          "--shm-size=30G --pull=always registry.example/job:1 "
          "/bin/bash -c \"cd . && export ENV=dev && "
          "export TAVOREN_SECRET_ACCESS_KEY=\\\"\\$TAVOREN_SECRET_ACCESS_KEY\\\" && "
          "export TAVOREN_ACCESS_KEY_ID=\\\"\\$TAVOREN_ACCESS_KEY_ID\\\" && export NEW=1 && ") +
          kScriptTail);
}

TEST_F(CommandBuilderTest, TheProcessEnvironmentChoosesThePackageIndex) {
  {
    ScopedEnv staging("ENV", "staging");
    const std::string line = unit_.get_base_docker_cmd();
    EXPECT_NE(line.find(" -e ENV=staging "), std::string::npos);
    EXPECT_NE(line.find(" && export ENV=staging && "), std::string::npos);
    EXPECT_NE(line.find("--index-url https://test.pypi.org/simple/ tavoren && "),
              std::string::npos);
    ScopedEnv test_host("TAVOREN_TEST_PACKAGE_INDEX_HOST", "127.0.0.1:8081");
    EXPECT_NE(unit_.get_base_docker_cmd().find("--index-url https://127.0.0.1:8081/simple/ "),
              std::string::npos);
  }
  {
    ScopedEnv empty("ENV", "");  // set but empty is not "prod"
    EXPECT_NE(unit_.get_base_docker_cmd().find("https://test.pypi.org/simple/"), std::string::npos);
  }
  ScopedEnv host("TAVOREN_PACKAGE_INDEX_HOST", "127.0.0.1:8080");
  EXPECT_NE(unit_.get_base_docker_cmd().find("--index-url https://127.0.0.1:8080/simple/ "),
            std::string::npos);
}

TEST_F(CommandBuilderTest, TokenIsAskedOnlyForTimmAndMicrosoftModels) {
  fake_.set_default("get_model_secret_keys", Result::ok(Json{{"user_access_token", "hf_tok_99"}}));
  for (const char* key : {"", "facebook/detr", "Timm/resnet", "MICROSOFT/x", "my-timm"}) {
    EXPECT_EQ(unit_.get_base_docker_cmd({.model_key = key}).find("HUGGING_FACE"), std::string::npos)
        << key;
  }
  EXPECT_EQ(fake_.count("get_model_secret_keys"), 0u);

  for (const char* key : {"timm/resnet50", "microsoft/swin"}) {
    fake_.clear_calls();
    const std::string line = unit_.get_base_docker_cmd({.model_key = key});
    EXPECT_NE(line.find(" -e HUGGING_FACE_ACCESS_TOKEN "), std::string::npos) << key;
    EXPECT_NE(
        line.find(" && export HUGGING_FACE_ACCESS_TOKEN=\\\"\\$HUGGING_FACE_ACCESS_TOKEN\\\" && "),
        std::string::npos);
    auto calls = fake_.calls("get_model_secret_keys");
    ASSERT_EQ(calls.size(), 1u) << key;
    // The asking action goes with the request: an owner's own secret is
    // answered only for its actions.
    EXPECT_EQ(calls[0].arguments, Json::array({"hugging_face", unit_.action_record_id()}));
    EXPECT_FALSE(unit_.action_record_id().empty());
  }
}

TEST_F(CommandBuilderTest, ATokenErrorLeavesTheVariableOut) {
  LogCapture capture;
  // An error is any error that is set, even an empty one.
  for (const std::string& error : {std::string("forbidden"), std::string()}) {
    capture.clear();
    fake_.push("get_model_secret_keys",
               Result{Json{{"user_access_token", "hf_unused_1"}}, error, "no token for you"});
    const std::string line = unit_.get_base_docker_cmd({.model_key = "timm/vit"});
    EXPECT_EQ(line.find("HUGGING_FACE_ACCESS_TOKEN"), std::string::npos) << line;
    EXPECT_EQ(line.find("hf_unused_1"), std::string::npos);
    EXPECT_EQ(line.substr(0, 23), "docker run   --net=host");
    EXPECT_TRUE(
        capture.contains(Level::error, "Error getting Hugging Face token: no token for you"));
  }
  // A malformed answer is a failure of the lookup alone.
  capture.clear();
  fake_.push("get_model_secret_keys", Result::ok(Json{{"token", "x"}}));
  const std::string line = unit_.get_base_docker_cmd({.model_key = "timm/vit"});
  EXPECT_EQ(line.substr(0, 23), "docker run   --net=host");
  EXPECT_EQ(line.find("HUGGING_FACE_ACCESS_TOKEN"), std::string::npos) << line;
  EXPECT_EQ(capture.count(Level::error, "Error in get_hugging_face_token: "), 1u);
}

TEST_F(CommandBuilderTest, InternalApiKeyComesFromTheBackend) {
  LogCapture capture;
  fake_.push("get_internal_api_key", Result::ok(Json{{"internal_api_key", "ik_live_7777"}}));
  EXPECT_EQ(unit_.get_internal_api_key(kId), "ik_live_7777");
  auto calls = fake_.calls("get_internal_api_key");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].arguments, Json::array({kId}));

  fake_.push("get_internal_api_key", Result::failure("denied", "action not found"));
  EXPECT_EQ(unit_.get_internal_api_key(kId), "");
  EXPECT_TRUE(capture.contains(Level::error, "Error getting internal api key: action not found"));

  fake_.push_throw("get_internal_api_key", "connection reset");
  EXPECT_EQ(unit_.get_internal_api_key(kId), "");
  EXPECT_TRUE(capture.contains(Level::error, "Error in get_internal_api_key: connection reset"));
}

TEST_F(CommandBuilderTest, FailuresGiveTheEmptyText) {
  LogCapture capture;
  for (const char* name : {"", "1ST", "A B", "X;rm", "PATH=", "Ä"}) {
    capture.clear();
    EXPECT_EQ(unit_.get_base_docker_cmd({.extra_env_vars = Json{{name, "v"}}}), "") << name;
    EXPECT_TRUE(capture.contains(
        Level::error,
        std::string("Error in get_base_docker_cmd: Invalid environment variable name: ") + name))
        << name;
  }
  EXPECT_EQ(unit_.get_base_docker_cmd({.extra_env_vars = Json::array({"A=1"})}), "");
  EXPECT_EQ(unit_.get_base_docker_cmd({.port_mapping = Json::array({8080})}), "");

  // A record without an image reference and a backend without a default.
  Json record = action_record();
  record["actionDetails"] = Json::object();
  WorkUnit no_image(fake_, record);
  EXPECT_EQ(no_image.get_base_docker_cmd(), "");
}

TEST_F(CommandBuilderTest, SecretsInTheLineAreMaskedWhenLogged) {
  fake_.push("get_model_secret_keys", Result::ok(Json{{"user_access_token", "hf_SECRET_TOKEN"}}));
  fake_.push("get_internal_api_key", Result::ok(Json{{"internal_api_key", "ik_SECRET_KEY"}}));
  const std::string internal = unit_.get_internal_api_key(kId);
  const std::string line = unit_.get_base_docker_cmd(
      {.model_key = "microsoft/x", .extra_env_vars = Json{{"TAVOREN_INTERNAL_API_KEY", internal}}});
  // The line names the secret variables only; their values are the unit's
  // container environment, in the line's order.
  for (const char* secret : {kAccessKey, kSecretKey, "hf_SECRET_TOKEN", "ik_SECRET_KEY"}) {
    EXPECT_EQ(line.find(secret), std::string::npos) << secret;
  }
  EXPECT_EQ(
      unit_.container_environment(),
      (std::vector<std::string>{
          "TAVOREN_SECRET_ACCESS_KEY=SECRETEXAMPLE01", "TAVOREN_ACCESS_KEY_ID=AKIDEXAMPLE01",
          "HUGGING_FACE_ACCESS_TOKEN=hf_SECRET_TOKEN", "TAVOREN_INTERNAL_API_KEY=ik_SECRET_KEY"}));
  // Every value is masked, as it is and as a command or a record shows it.
  LogCapture capture;
  for (const char* secret : {kAccessKey, kSecretKey, "hf_SECRET_TOKEN", "ik_SECRET_KEY"}) {
    log::info("Running command: -e X=%s %s", secret, Json{{"X", secret}});
  }
  for (const auto& logged : capture.lines()) {
    EXPECT_EQ(logged.message, "Running command: -e X=" + std::string(log::kSecretMask) +
                                  " {\"X\":\"" + std::string(log::kSecretMask) + "\"}");
  }
  // A later line without those variables leaves none behind.
  unit_.get_base_docker_cmd({.extra_env_vars = Json{{"EPOCHS", 3}}});
  EXPECT_EQ(unit_.container_environment(),
            (std::vector<std::string>{"TAVOREN_SECRET_ACCESS_KEY=SECRETEXAMPLE01",
                                      "TAVOREN_ACCESS_KEY_ID=AKIDEXAMPLE01"}));
}

// Secret values with every character the shell or JSON treats specially
// never reach a log line, in any form the command builder and the
// executors write them.
TEST_F(CommandBuilderTest, SecretsWithShellAndJsonCharactersAreMaskedInEveryForm) {
  const std::string access = "AK$$ID \"quoted\" back\\slash";
  const std::string secret = "it's a `secret` $(id) 'x'";
  WorkUnit unit(fake_, action_record());
  unit.set_tavoren_keys(access, secret);
  unit.keep_secret_masked(access);
  unit.keep_secret_masked(secret);
  LogCapture capture;
  const std::string line = unit.get_base_docker_cmd();
  ASSERT_FALSE(line.empty());
  for (const std::string& value : {access, secret}) {
    log::info("cmd is: docker run -e KEY=%s /bin/bash -c \"export KEY=%s && \"", shell_quote(value),
              escape_double_quoted(shell_quote(value)));
    log::info("Fetched action details: %s", Json::array({Json{{"secret", value}}}));
  }
  const std::string mask(log::kSecretMask);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 4u);
  for (std::size_t i = 0; i < 4; i += 2) {
    EXPECT_EQ(lines[i].message, "cmd is: docker run -e KEY=" + mask +
                                    " /bin/bash -c \"export KEY=" + mask + " && \"");
    EXPECT_EQ(lines[i + 1].message, "Fetched action details: [{\"secret\":\"" + mask + "\"}]");
  }
}

// ---------------------------------------------------------------------------
// GPU flag

class GpuConfigTest : public CommandBuilderTest {
 protected:
  // A record that needs `gpu_memory` MiB, with gpuRequired when given.
  static Json gpu_record(const std::optional<Json>& required, int gpu_memory = 30000) {
    Json record = action_record();
    if (required) record["actionDetails"]["gpuRequired"] = *required;
    record["actionDetails"]["expectedResources"] = Json{{"gpuMemory", gpu_memory}};
    return record;
  }
  ScopedEnv gpus_{"GPUS", std::nullopt};
  FakeTools tools_;
};

TEST_F(GpuConfigTest, NoGpuRequiredMeansNoFlagAndNoProbe) {
  tools_.add("nvidia-smi", "memory.free [MiB]\n40000 MiB\n");
  for (const std::optional<Json>& required :
       {std::optional<Json>(), std::optional<Json>(false), std::optional<Json>(nullptr),
        std::optional<Json>(0)}) {
    EXPECT_EQ(unit_.get_gpu_config(gpu_record(required)), "") << required.value_or("absent");
  }
  EXPECT_TRUE(tools_.calls("nvidia-smi").empty());
}

TEST_F(GpuConfigTest, TheFlagListsTheChosenGpus) {
  LogCapture capture;
  // No single GPU holds 30000 MiB: the first two together do.
  tools_.add("nvidia-smi", "memory.free [MiB]\n20000 MiB\n20000 MiB\n20000 MiB\n");
  EXPECT_EQ(unit_.get_gpu_config(gpu_record(true)), "--gpus \"device=0,1\"");
  EXPECT_TRUE(capture.contains(Level::info, "Using GPUs: 0,1"));
  EXPECT_FALSE(tools_.calls("nvidia-smi").empty());

  // The flag is one word to the shell splitting the final line.
  const std::string line = unit_.get_base_docker_cmd({.use_gpu = "--gpus \"device=0,1\""});
  const std::vector<std::string> words = shell_split(line + "true\"");
  ASSERT_GE(words.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(words.begin(), words.begin() + 4),
            (std::vector<std::string>{"docker", "run", "--gpus", "device=0,1"}));
}

TEST_F(GpuConfigTest, NoFittingGpuMeansNoFlag) {
  LogCapture capture;
  tools_.add("nvidia-smi", "memory.free [MiB]\n1000 MiB\n2000 MiB\n");
  EXPECT_EQ(unit_.get_gpu_config(gpu_record(true)), "");
  EXPECT_EQ(capture.count(Level::error, "Error in get_gpu_config: "), 1u);

  // A host that lists no GPU yields an empty selection.
  capture.clear();
  tools_.add("nvidia-smi", "memory.free [MiB]\n");
  EXPECT_EQ(unit_.get_gpu_config(gpu_record(true, 0)), "");
  EXPECT_TRUE(capture.contains(Level::info, "No GPUs with sufficient memory found."));

  // A record without details.
  EXPECT_EQ(unit_.get_gpu_config(Json{{"_id", kId}}), "");
}

// ---------------------------------------------------------------------------
// Property: whatever the values, both shells read back exactly what was given.

// Random texts built from pieces that matter to a shell.
class RandomText {
 public:
  explicit RandomText(std::uint32_t seed) : rng_(seed) {}

  std::string text(std::size_t max_pieces = 6) {
    static const std::vector<std::string> pieces = {
        "a",    "Z",       "7",  "-",  "_",  "/",  ".", ":",  "=",    "@",    "%",       "+",
        ",",    " ",       "  ", "\t", "\n", "\r", "'", "\"", "\\",   "\\\\", "$",       "$(id)",
        "`id`", "${HOME}", "$1", "!",  "*",  "?",  "~", "#",  ";",    "&",    "|",       "<",
        ">",    "(",       ")",  "{",  "}",  "[",  "]", "é",  "日本", "\\n",  "'\"'\"'", "\"'"};
    std::size_t count = pick(max_pieces + 1);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += pieces[pick(pieces.size())];
    return out;
  }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }

 private:
  std::mt19937 rng_;
};

using Env = std::vector<std::pair<std::string, std::string>>;

void set_in(Env& env, const std::string& name, const std::string& value) {
  for (auto& entry : env) {
    if (entry.first == name) {
      entry.second = value;
      return;
    }
  }
  env.emplace_back(name, value);
}

TEST(CommandBuilderProperty, EveryInsertedValueReachesTheContainerUnchanged) {
  // A stand-in for the container engine, first on PATH: prints its
  // arguments.
  TempDir dir;
  const auto docker = dir.write("bin/docker", "#!/bin/sh\nprintf '%s\\0' \"$@\"\n");
  std::filesystem::permissions(docker, std::filesystem::perms::owner_all);
  ScopedEnv path("PATH", (dir.path() / "bin").string() + ":" + get_env("PATH").value_or(""));
  // The script's own commands are neutralised by functions that record
  // their arguments; bash reads BASH_ENV before running a -c script.
  const auto cd_record = dir.path() / "cd.args";
  const auto pip_record = dir.path() / "pip.args";
  const auto bash_env =
      dir.write("bash_env", "cd() { printf '%s\\0' \"$@\" > " + shell_quote(cd_record.string()) +
                                "; }\npip() { printf '%s\\0' \"$@\" >> " +
                                shell_quote(pip_record.string()) + "; }\n");
  ScopedEnv bash_env_var("BASH_ENV", bash_env.string());

  RandomText random(20240611);
  const std::string job = "env -0";
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove(cd_record);
    std::filesystem::remove(pip_record);

    const std::string env_value = random.text();
    ScopedEnv env("ENV", env_value);
    const std::string index_host = random.text();
    ScopedEnv index("TAVOREN_TEST_PACKAGE_INDEX_HOST", index_host);
    ScopedEnv prod_index("TAVOREN_PACKAGE_INDEX_HOST", index_host);

    const std::string image = random.text();
    Json record = action_record();
    record["actionDetails"]["docker"] = image;
    FakeScaling fake;
    WorkUnit unit(fake, record);
    const std::string access = random.text();
    const std::string secret = random.text();
    unit.set_tavoren_keys(access, secret);
    const std::string token = random.text();
    fake.set_default("get_model_secret_keys", Result::ok(Json{{"user_access_token", token}}));

    DockerCmdOptions options;
    options.work_fs = random.chance(15) ? "/" : random.text();
    options.use_gpu = random.chance(30) ? "--gpus \"device=0,1\"" : "";
    options.mount_docker_sock = random.chance(30);
    options.action_id = random.text();
    options.model_key = random.chance(50) ? "timm/x" : "";
    options.destination_workspace_path = random.text();
    options.docker_workdir = random.chance(20) ? "" : random.text();
    Env expected_env = {{"ENV", env_value},
                        {"TAVOREN_SECRET_ACCESS_KEY", secret},
                        {"TAVOREN_ACCESS_KEY_ID", access}};
    if (!options.model_key.empty() && !token.empty()) {
      expected_env.emplace_back("HUGGING_FACE_ACCESS_TOKEN", token);
    }
    if (random.chance(70)) {
      static const std::vector<std::string> names = {"ENV", "TAVOREN_ACCESS_KEY_ID", "EXTRA_1",
                                                     "extra_two", "_X9"};
      Json extra = Json::object();
      for (std::size_t i = random.pick(4); i > 0; --i) {
        const std::string& name = names[random.pick(names.size())];
        if (random.chance(20)) {
          extra[name] = static_cast<int>(random.pick(100000));
        } else {
          extra[name] = random.text();
        }
      }
      for (const auto& [name, value] : extra.items()) {
        set_in(expected_env, name, value.is_string() ? value.get<std::string>() : value.dump());
      }
      options.extra_env_vars = extra;
    }
    std::vector<std::pair<std::string, std::string>> ports;
    if (random.chance(50)) {
      Json mapping = Json::object();
      for (std::size_t i = random.pick(3) + 1; i > 0; --i) {
        const std::string host = random.text();
        if (random.chance(30)) {
          mapping[host] = static_cast<int>(random.pick(65536));
        } else {
          mapping[host] = random.text();
        }
      }
      for (const auto& [host, container] : mapping.items()) {
        ports.emplace_back(host,
                           container.is_string() ? container.get<std::string>() : container.dump());
      }
      if (!mapping.empty()) options.port_mapping = mapping;
    }

    const std::string line = unit.get_base_docker_cmd(options);
    ASSERT_FALSE(line.empty());
    const std::string full_line = line + job + "\"";

    // The intended argument vector.
    std::string workdir = options.docker_workdir;
    if (workdir.empty())
      workdir = options.action_id.empty() ? "." : "/usr/src/" + options.action_id;
    const std::string url =
        "https://" +
        (index_host.empty() ? std::string(env_value == "prod" ? "pypi.org" : "test.pypi.org")
                            : index_host) +
        "/simple/";
    std::string script = "cd " + shell_quote(workdir);
    for (const auto& [name, value] : expected_env) {
      script += " && export " + name + "=" +
                (is_container_secret_variable(name) ? "\"$" + name + "\"" : shell_quote(value));
    }
    script +=
        " && if [ -f requirements.txt ]; then pip install -r requirements.txt; fi  && pip install "
        "--upgrade --force-reinstall --index-url " +
        shell_quote(url) + " tavoren && " + job;

    std::vector<std::string> expected = {"docker", "run"};
    if (!options.use_gpu.empty()) expected.insert(expected.end(), {"--gpus", "device=0,1"});
    if (ports.empty()) expected.push_back("--net=host");
    for (const auto& [host, container] : ports) {
      expected.insert(expected.end(), {"-p", host + ":" + container});
    }
    std::vector<std::string> client_environment;
    for (const auto& [name, value] : expected_env) {
      if (is_container_secret_variable(name)) {
        expected.insert(expected.end(), {"-e", name});
        client_environment.push_back(name + "=" + value);
      } else {
        expected.insert(expected.end(), {"-e", name + "=" + value});
      }
    }
    EXPECT_EQ(unit.container_environment(), client_environment);
    if (!options.work_fs.empty() && options.work_fs != "/") {
      expected.insert(expected.end(),
                      {"-v", options.work_fs + "/workspace:" + options.destination_workspace_path});
      if (!options.action_id.empty()) {
        expected.insert(expected.end(), {"-v", options.work_fs + "/" + options.action_id +
                                                   ":/usr/src/" + options.action_id});
      }
    }
    if (options.mount_docker_sock) {
      expected.insert(expected.end(), {"-v", "/var/run/docker.sock:/var/run/docker.sock"});
    }
    expected.insert(expected.end(),
                    {"--shm-size=30G", "--pull=always", image, "/bin/bash", "-c", script});

    // (a) The agent's own splitting.
    ASSERT_EQ(shell_split(full_line), expected) << full_line;

    // (b) A real /bin/sh reading the line.
    const process::RunResult sh = process::run_capture({"/bin/sh", "-c", full_line});
    ASSERT_EQ(sh.exit_status.returncode(), 0);
    std::vector<std::string> from_sh = {"docker"};
    for (std::string& word : nul_words(sh.out)) from_sh.push_back(std::move(word));
    ASSERT_EQ(from_sh, expected);

    // (c) bash running the script sees the intended directory, index and
    // environment, with the secret values the engine passes on from its
    // client.
    const process::RunResult bash = process::run_capture({"/bin/bash", "-c", expected.back()},
                                                         {.environment = client_environment});
    ASSERT_EQ(bash.exit_status.returncode(), 0) << expected.back();
    EXPECT_EQ(nul_words(read_file(cd_record)), std::vector<std::string>{workdir});
    const std::vector<std::string> pip_args = nul_words(read_file(pip_record));
    ASSERT_GE(pip_args.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(pip_args.end() - 6, pip_args.end()),
              (std::vector<std::string>{"install", "--upgrade", "--force-reinstall", "--index-url",
                                        url, "tavoren"}));
    std::map<std::string, std::string> seen;
    for (const std::string& entry : nul_words(bash.out)) {
      const auto equals = entry.find('=');
      if (equals != std::string::npos) seen[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    for (const auto& [name, value] : expected_env) {
      ASSERT_TRUE(seen.contains(name)) << name;
      EXPECT_EQ(seen[name], value) << name;
    }
    log::clear_secrets();
  }
}

}  // namespace
}  // namespace tavoren::testing

// ---------------------------------------------------------------------------
// The line a work unit launches: the builder's text, finished in one place.

namespace tavoren::testing {
namespace {

const std::string kLaunchId = "65f1a2b3c4d5e6f708192a3b";

TEST(FinishContainerCommand, AContainerRunLearnsWhereToRecordItselfAndItsAction) {
  const LaunchCommand launch = finish_container_command(
      "docker run --rm --name 'job one' image:1 /bin/bash -c \"cd /x && python3 main.py\"",
      "logs/job_x.cid", kLaunchId);
  EXPECT_EQ(launch.cid_path, "logs/job_x.cid");
  EXPECT_EQ(launch.argv,
            (std::vector<std::string>{"docker", "run", "--cidfile", "logs/job_x.cid", "--label",
                                      "tavoren.action-id=" + kLaunchId, "--rm", "--name", "job one",
                                      "image:1", "/bin/bash", "-c", "cd /x && python3 main.py"}));
  // The agent's own labels follow the action's, before the command's flags.
  EXPECT_EQ(finish_container_command("docker run --rm image:1", "c", kLaunchId,
                                     {"tavoren.instance-id=gpu-01", "x=y z"})
                .argv,
            (std::vector<std::string>{
                "docker", "run", "--cidfile", "c", "--label", "tavoren.action-id=" + kLaunchId,
                "--label", "tavoren.instance-id=gpu-01", "--label", "x=y z", "--rm", "image:1"}));
  // The client found by its full path is the same client.
  EXPECT_EQ(finish_container_command("/usr/bin/docker run image:1", "c", kLaunchId).argv,
            (std::vector<std::string>{"/usr/bin/docker", "run", "--cidfile", "c", "--label",
                                      "tavoren.action-id=" + kLaunchId, "image:1"}));
}

TEST(FinishContainerCommand, OtherCommandsAreOnlySplit) {
  for (const std::string cmd :
       {"docker ps --all", "docker", "sh -c 'docker run x'", "mydocker run image:1", "echo run"}) {
    const LaunchCommand launch = finish_container_command(cmd, "c", kLaunchId);
    EXPECT_EQ(launch.argv, shell_split(cmd)) << cmd;
    EXPECT_EQ(launch.cid_path, std::nullopt) << cmd;
  }
  EXPECT_THROW(finish_container_command("   ", "c", kLaunchId), ValueError);
  EXPECT_THROW(finish_container_command("docker run 'unbalanced", "c", kLaunchId), ValueError);
}

}  // namespace
}  // namespace tavoren::testing
