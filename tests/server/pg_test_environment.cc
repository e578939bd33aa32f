// Registers the PostgreSQL sandbox's environment for a program whose every
// test runs on PostgreSQL.

#include <gtest/gtest.h>

#include "pg_test_store.h"

namespace tavoren::testing {
namespace {

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new PgTestEnvironment);

}  // namespace
}  // namespace tavoren::testing
