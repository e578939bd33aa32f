// The statement layer under the PostgreSQL store: deferred statements sent
// ahead of the next one in a single round trip, in order, with their
// failures reported; statements prepared once per connection and reused,
// and a failed preparation never taken for a done one.

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "pg.h"
#include "pg_test_store.h"

namespace tavoren {
namespace {

using backend::pg::Connection;
using backend::pg::ConnectionSettings;
using backend::pg::Failure;
using backend::pg::Params;

class PgPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every statement of a test sees only this connection's own table.
    connection_.exec_script("CREATE TEMP TABLE seen (seq serial PRIMARY KEY, n integer NOT NULL)");
  }
  std::string seen() {
    return connection_.exec("SELECT coalesce(string_agg(n::text, ',' ORDER BY seq), '') FROM seen")
        .text(0, 0);
  }
  std::int64_t prepared_count(const std::string& sql) {
    return connection_
        .exec("SELECT count(*) FROM pg_prepared_statements WHERE statement = $1",
              Params().text(sql))
        .integer(0, 0);
  }

  Connection connection_{ConnectionSettings{testing::kPgTestConninfo, "",
                                            std::chrono::milliseconds(5000),
                                            std::chrono::milliseconds(5000)}};
};

TEST_F(PgPipelineTest, DeferredStatementsRunInOrderWithTheNextOneInOneRoundTrip) {
  const char* insert = "INSERT INTO seen (n) VALUES ($1)";
  const std::uint64_t before = connection_.round_trips();
  connection_.defer("BEGIN");
  for (int n : {3, 1, 2}) connection_.defer(insert, Params().integer(n));
  EXPECT_EQ(connection_.round_trips(), before) << "a deferred statement was sent by itself";
  EXPECT_TRUE(connection_.in_transaction()) << "queued statements must keep it from the pool";
  EXPECT_EQ(seen(), "3,1,2");
  EXPECT_EQ(connection_.round_trips(), before + 1);
  connection_.exec("COMMIT");
  EXPECT_FALSE(connection_.in_transaction());

  // A deferred statement that fails is reported by the next statement,
  // which does not run, nor does anything after the failure.
  connection_.defer("BEGIN");
  connection_.defer(insert, Params().integer(4));
  connection_.defer(insert, Params().text("not a number"));
  connection_.defer(insert, Params().integer(5));
  try {
    connection_.exec("DELETE FROM seen");
    ADD_FAILURE() << "a failed deferred statement went unreported";
  } catch (const Failure& e) {
    EXPECT_EQ(e.sqlstate(), "22P02") << e.what();
  }
  EXPECT_TRUE(connection_.in_transaction());
  connection_.exec("ROLLBACK");
  EXPECT_FALSE(connection_.broken());
  EXPECT_EQ(seen(), "3,1,2");
}

TEST_F(PgPipelineTest, DroppingDeferredStatementsUnsentKeepsThemFromTheServer) {
  const char* insert = "INSERT INTO seen (n) VALUES ($1)";
  connection_.defer("BEGIN");
  const std::uint64_t first = connection_.defer(insert, Params().integer(1));
  connection_.defer(insert, Params().integer(2));
  EXPECT_TRUE(connection_.drop_deferred_from(first)) << "nothing of it had been sent";
  connection_.defer(insert, Params().integer(3));
  EXPECT_EQ(seen(), "3");

  // Once a statement went out, dropping from it forgets only what is still
  // queued (all of it came later) and says so.
  const std::uint64_t sent = connection_.defer(insert, Params().integer(4));
  EXPECT_EQ(seen(), "3,4");
  connection_.defer(insert, Params().integer(5));
  EXPECT_FALSE(connection_.drop_deferred_from(sent));
  EXPECT_EQ(seen(), "3,4");
  connection_.exec("ROLLBACK");
  EXPECT_EQ(seen(), "");
}

TEST_F(PgPipelineTest, AWatchedStatementsRowsArriveWithTheNextOne) {
  const char* insert = "INSERT INTO seen (n) VALUES ($1)";
  connection_.exec(insert, Params().integer(7));
  const std::uint64_t before = connection_.round_trips();
  const std::uint64_t place =
      connection_.defer_watched("SELECT n FROM seen WHERE n = $1", Params().integer(7));
  EXPECT_EQ(connection_.watched_place(), place);
  EXPECT_TRUE(connection_.watch_queued());
  EXPECT_FALSE(connection_.take_watched().has_value()) << "rows before the statement went out";
  EXPECT_THROW(connection_.defer_watched("SELECT 1"), std::logic_error);
  connection_.exec(insert, Params().integer(8));
  EXPECT_EQ(connection_.round_trips(), before + 1);
  EXPECT_FALSE(connection_.watch_queued());
  std::optional<backend::pg::Rows> rows = connection_.take_watched();
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1);
  EXPECT_EQ(rows->integer(0, 0), 7);
  EXPECT_FALSE(connection_.take_watched().has_value()) << "taken twice";

  // Dropped unsent, a watched statement answers nothing.
  const std::uint64_t dropped = connection_.defer_watched("SELECT n FROM seen");
  EXPECT_TRUE(connection_.drop_deferred_from(dropped));
  EXPECT_EQ(seen(), "7,8");
  EXPECT_FALSE(connection_.take_watched().has_value());
}

TEST_F(PgPipelineTest, AStatementIsPreparedOnceAndAFailedPreparationIsNotKept) {
  const std::string doubled = "SELECT $1::integer * 2";
  const std::uint64_t before = connection_.round_trips();
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(connection_.exec(doubled.c_str(), Params().integer(n)).integer(0, 0), 2 * n);
  }
  EXPECT_EQ(connection_.round_trips(), before + 3) << "a preparation took a round trip of its own";
  EXPECT_EQ(prepared_count(doubled), 1);

  // A statement that cannot be prepared fails the same way each time.
  const std::string missing = "SELECT n FROM no_such_table";
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      connection_.exec(missing.c_str());
      ADD_FAILURE() << "a statement on a missing table ran";
    } catch (const Failure& e) {
      EXPECT_EQ(e.sqlstate(), "42P01") << e.what();
    }
  }
  EXPECT_EQ(prepared_count(missing), 0);

  // A statement first seen behind a failing one is never prepared then;
  // it is the next time.
  const std::string tripled = "SELECT $1::integer * 3";
  connection_.defer("SELECT 1 / $1::integer", Params().integer(0));
  EXPECT_THROW(connection_.exec(tripled.c_str(), Params().integer(2)), Failure);
  EXPECT_EQ(prepared_count(tripled), 0);
  EXPECT_EQ(connection_.exec(tripled.c_str(), Params().integer(2)).integer(0, 0), 6);
  EXPECT_EQ(prepared_count(tripled), 1);
}

TEST_F(PgPipelineTest, AScriptMayNotSkipAheadOfDeferredStatements) {
  connection_.defer("INSERT INTO seen (n) VALUES (1)");
  EXPECT_THROW(connection_.exec_script("DELETE FROM seen"), std::logic_error);
  EXPECT_EQ(seen(), "1");
}

}  // namespace
}  // namespace tavoren
