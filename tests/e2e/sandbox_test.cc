// The engine sandbox itself: its engine answers on its own socket, its
// registry serves the job images only after a login, and the job image's
// stand-in programs do what the action tests rely on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace tavoren::testing::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Sandbox, EngineAnswersOnItsOwnSocket) {
  const Sandbox& sandbox = Sandbox::get();
  ASSERT_TRUE(sandbox.docker_host().starts_with("unix://"));
  EXPECT_NE(sandbox.docker_host(), "unix:///var/run/docker.sock");
  SandboxClient client;

  const process::RunResult version = docker({"version", "--format", "{{.Server.Version}}"});
  ASSERT_EQ(version.exit_status.returncode(), 0) << version.err;
  EXPECT_FALSE(version.out.empty());

  // Its containers share the host's network: the engine has no bridge.
  const process::RunResult networks = docker({"network", "ls", "--format", "{{.Name}}"});
  ASSERT_EQ(networks.exit_status.returncode(), 0) << networks.err;
  EXPECT_THAT(networks.out, HasSubstr("host"));
  EXPECT_THAT(networks.out, Not(HasSubstr("bridge")));
}

TEST(Sandbox, RegistryServesImagesOnlyAfterALogin) {
  const Sandbox& sandbox = Sandbox::get();
  SandboxClient client;
  // What a pull fetches must really come from the registry.
  docker({"image", "rm", "--force", sandbox.image_fail()});

  const process::RunResult anonymous = docker({"pull", sandbox.image_fail()});
  EXPECT_NE(anonymous.exit_status.returncode(), 0) << anonymous.out;

  const process::RunResult refused =
      docker({"login", "--username", sandbox.user(), "--password-stdin", sandbox.registry()},
             sandbox.password() + "-wrong\n");
  EXPECT_NE(refused.exit_status.returncode(), 0) << refused.out;

  const process::RunResult login =
      docker({"login", "--username", sandbox.user(), "--password-stdin", sandbox.registry()},
             sandbox.password() + "\n");
  ASSERT_EQ(login.exit_status.returncode(), 0) << login.err;
  EXPECT_THAT(login.out, HasSubstr("Login Succeeded"));
  // The login went into this test's own client folder.
  EXPECT_THAT(read_file(client.config_dir() / "config.json"), HasSubstr(sandbox.registry()));

  const process::RunResult pull = docker({"pull", sandbox.image_fail()});
  ASSERT_EQ(pull.exit_status.returncode(), 0) << pull.err;
  EXPECT_EQ(docker({"image", "inspect", sandbox.image_fail()}).exit_status.returncode(), 0);
}

TEST(Sandbox, JobImageStandInsFollowTheirSettings) {
  const Sandbox& sandbox = Sandbox::get();
  SandboxClient client;
  ASSERT_EQ(docker({"login", "--username", sandbox.user(), "--password-stdin", sandbox.registry()},
                   sandbox.password() + "\n")
                .exit_status.returncode(),
            0);

  // The agent's script form: bash -c, the package installer, then the job.
  const process::RunResult run =
      docker({"run", "--rm", "--net=host", "--pull=always", "-e", "JOB_LINES=2", "-e", "JOB_EXIT=7",
              "-e", "JOB_CUDA_OOM=1", sandbox.image(), "/bin/bash", "-c",
              "cd . && pip install -r requirements.txt && python3 /usr/src/app/main.py abc "});
  EXPECT_EQ(run.exit_status.returncode(), 7) << run.err;
  EXPECT_THAT(run.out, HasSubstr("pip (stand-in) install -r requirements.txt"));
  EXPECT_THAT(run.out, HasSubstr("python3 (stand-in) /usr/src/app/main.py abc"));
  EXPECT_THAT(run.out, HasSubstr("job line 1 of 2\njob line 2 of 2\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("job line 3")));
  EXPECT_THAT(run.err, HasSubstr("CUDA error: out of memory"));
  EXPECT_THAT(run.out, HasSubstr("job finished with status 7"));
}

}  // namespace
}  // namespace tavoren::testing::e2e
