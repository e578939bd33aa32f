// The core's SQL turned into each database's own, and statement parameters.

#include "tavoren/store_port.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace tavoren::backend::core {
namespace {

Phrases phrases(std::string prefix) {
  return Phrases{.now = "NOW()",
                 .lock = " FOR UPDATE",
                 .skip_locked = " SKIP",
                 .collate_c = " COLLATE C",
                 .next_scale_down = "next()",
                 .purge_answers = "DELETE FROM t WHERE a <= $1 AND b <> $4",
                 .parameter_prefix = std::move(prefix)};
}

TEST(ExpandSql, PhrasesAndParametersBecomeTheDatabasesOwn) {
  const Phrases sqlite = phrases("?");
  EXPECT_EQ(expand_sql("SELECT x FROM t WHERE id = $1 AND n > $12{lock}", sqlite),
            "SELECT x FROM t WHERE id = ?1 AND n > ?12 FOR UPDATE");
  EXPECT_EQ(expand_sql("UPDATE t SET at = {now}, n = {next_scale_down} ORDER BY k{C}", sqlite),
            "UPDATE t SET at = NOW(), n = next() ORDER BY k COLLATE C");
  // A phrase that is a whole statement has its own parameters expanded.
  EXPECT_EQ(expand_sql("{purge_answers}", sqlite), "DELETE FROM t WHERE a <= ?1 AND b <> ?4");
  EXPECT_EQ(expand_sql("SELECT $1{skip_locked}", phrases("$")), "SELECT $1 SKIP");
}

TEST(ExpandSql, QuotedTextAndBareDollarSignsStayAsTheyAre) {
  const Phrases sqlite = phrases("?");
  EXPECT_EQ(expand_sql("SELECT json_extract(r, '$.status'), '{now}', '$1' FROM t", sqlite),
            "SELECT json_extract(r, '$.status'), '{now}', '$1' FROM t");
  // Quotes doubled inside a literal keep it open and closed as written.
  EXPECT_EQ(expand_sql("SELECT 'it''s {now}', $2", sqlite), "SELECT 'it''s {now}', ?2");
  EXPECT_EQ(expand_sql("SELECT $ FROM t", sqlite), "SELECT $ FROM t");
}

TEST(ExpandSql, AnUnknownOrUnclosedPhraseIsAFaultOfTheStatement) {
  const Phrases sqlite = phrases("?");
  EXPECT_THROW(expand_sql("SELECT {later}", sqlite), std::logic_error);
  EXPECT_THROW(expand_sql("SELECT {now", sqlite), std::logic_error);
}

TEST(ExpandSql, ExpansionsAreKeptPerStatementAndPerDatabase) {
  const Phrases sqlite = phrases("?");
  const Phrases postgres = phrases("$");
  const std::string& first = expanded_sql("SELECT $1{lock}", sqlite);
  EXPECT_EQ(first, "SELECT ?1 FOR UPDATE");
  // The same text answers the same expansion, not a new one.
  EXPECT_EQ(&expanded_sql(std::string("SELECT $1") + "{lock}", sqlite), &first);
  EXPECT_EQ(expanded_sql("SELECT $1{lock}", postgres), "SELECT $1 FOR UPDATE");
}

TEST(StoreParams, KeepEachValueWithItsKindInOrder) {
  Params params;
  params.text("a").integer(-7).boolean(true).bytes(std::string("\0b", 2)).null();
  params.optional_text(std::nullopt).optional_text(std::string("c"));
  const auto& values = params.values();
  ASSERT_EQ(values.size(), 7u);
  EXPECT_EQ(values[0].kind, Params::Kind::text);
  EXPECT_EQ(values[0].text, "a");
  EXPECT_EQ(values[1].kind, Params::Kind::integer);
  EXPECT_EQ(values[1].integer, -7);
  EXPECT_EQ(values[2].kind, Params::Kind::boolean);
  EXPECT_EQ(values[2].integer, 1);
  EXPECT_EQ(values[3].kind, Params::Kind::bytes);
  EXPECT_EQ(values[3].text.size(), 2u);
  EXPECT_EQ(values[4].kind, Params::Kind::null);
  EXPECT_EQ(values[5].kind, Params::Kind::null);
  EXPECT_EQ(values[6].kind, Params::Kind::text);
  EXPECT_EQ(values[6].text, "c");
}

}  // namespace
}  // namespace tavoren::backend::core
