// The agent's settings from its environment.
#include "tavoren/common/config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace tavoren::config {
namespace {

using testing::ScopedEnv;

TEST(Config, ServiceProviderIsReadAsSet) {
  {
    ScopedEnv unset("SERVICE_PROVIDER", std::nullopt);
    EXPECT_EQ(service_provider(), std::nullopt);
  }
  {
    ScopedEnv empty("SERVICE_PROVIDER", "");
    EXPECT_EQ(service_provider(), std::optional<std::string>(""));
  }
  ScopedEnv aws("SERVICE_PROVIDER", "AWS");
  EXPECT_EQ(service_provider(), std::optional<std::string>("AWS"));
}

TEST(Config, EnvironmentDefaultsToProductionOnlyWhenUnset) {
  {
    ScopedEnv unset("ENV", std::nullopt);
    EXPECT_EQ(environment(), "prod");
  }
  {
    ScopedEnv empty("ENV", "");
    EXPECT_EQ(environment(), "");
  }
  ScopedEnv dev("ENV", "dev");
  EXPECT_EQ(environment(), "dev");
}

TEST(Config, PackageIndexFollowsTheEnvironment) {
  ScopedEnv index("TAVOREN_PACKAGE_INDEX_HOST", std::nullopt);
  ScopedEnv test_index("TAVOREN_TEST_PACKAGE_INDEX_HOST", std::nullopt);
  EXPECT_EQ(package_index_url("prod"), "https://pypi.org/simple/");
  EXPECT_EQ(package_index_url("dev"), "https://test.pypi.org/simple/");
  EXPECT_EQ(package_index_url(""), "https://test.pypi.org/simple/");
  {
    // Each host may be moved on its own, for loopback servers.
    ScopedEnv moved("TAVOREN_PACKAGE_INDEX_HOST", "127.0.0.1:8080");
    EXPECT_EQ(package_index_url("prod"), "https://127.0.0.1:8080/simple/");
    EXPECT_EQ(package_index_url("staging"), "https://test.pypi.org/simple/");
  }
  ScopedEnv moved_test("TAVOREN_TEST_PACKAGE_INDEX_HOST", "127.0.0.1:8081");
  EXPECT_EQ(package_index_url("staging"), "https://127.0.0.1:8081/simple/");
  EXPECT_EQ(package_index_url("prod"), "https://pypi.org/simple/");
}

}  // namespace
}  // namespace tavoren::config
