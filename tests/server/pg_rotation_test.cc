// A master-key rotation on a PostgreSQL store served by two servers, while
// both keep writing and reading secrets.

#include <gtest/gtest.h>

#include "pg_test_store.h"
#include "rotation_under_load.h"
#include "test_support.h"

namespace tavoren::server_testing {
namespace {

TEST(PgRotationTest, ARotationUnderLoadLosesNothingAndLeavesEverySecretReadable) {
  testing::ScopedEnv none("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  testing::TempDir dir;
  rotate_under_load([&](std::shared_ptr<const sealing::Keyring> ring) {
    LocalBackendOptions options;
    options.database = dir.path() / "backend.db";
    options.instance_id = "instance-a";
    options.keyring = std::move(ring);
    return std::unique_ptr<backend::Store>(testing::pg_store_for(options));
  });
}

}  // namespace
}  // namespace tavoren::server_testing
