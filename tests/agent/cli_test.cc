// The command-line reading every subcommand shares, on CLI11.
#include "cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavoren::agent {
namespace {

using ::testing::ElementsAre;

const std::vector<OptionDef> kOptions = {
    {"--backend", true}, {"--param", true, true}, {"--json", false}, {"--follow", false, true}};

TEST(ParseArgs, ReadsOptionsInBothFormsAndKeepsArgumentsInOrder) {
  ParsedArgs parsed = parse_args({"first", "--backend=db", "--param", "a=1", "-1", "-", "",
                                  "--param=b=2", "-.5", "--json", "--", "--json", "-x"},
                                 kOptions);
  EXPECT_THAT(parsed.positionals, ElementsAre("first", "-1", "-", "", "-.5", "--json", "-x"));
  EXPECT_EQ(parsed.value("--backend"), "db");
  EXPECT_THAT(parsed.values("--param"), ElementsAre("a=1", "b=2"));
  EXPECT_TRUE(parsed.has("--json"));
  EXPECT_FALSE(parsed.has("--follow"));
  EXPECT_FALSE(parsed.help);
}

TEST(ParseArgs, AValueMayLookLikeAnOptionAndHelpIsAFlagAnywhere) {
  ParsedArgs parsed = parse_args({"--backend", "--json", "ID", "-h"}, kOptions);
  EXPECT_EQ(parsed.value("--backend"), "--json");
  EXPECT_FALSE(parsed.has("--json"));
  EXPECT_THAT(parsed.positionals, ElementsAre("ID"));
  EXPECT_TRUE(parsed.help);
  EXPECT_TRUE(parse_args({"--help"}, kOptions).help);
  ParsedArgs repeated = parse_args({"--follow", "--follow"}, kOptions);
  EXPECT_EQ(repeated.values("--follow").size(), 2u);
}

TEST(ParseArgs, MisuseIsAUsageErrorNamingTheOption) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{{{"--frobnicate"}, "unknown option --frobnicate"},
                                         {{"--frob=1"}, "unknown option --frob"},
                                         {{"-q"}, "unknown option -q"},
                                         {{"--backend"}, "option --backend needs a value"},
                                         {{"--json=yes"}, "option --json takes no value"},
                                         {{"--json", "--json"}, "option --json given twice"},
                                         {{"--backend", "a", "--backend=b"},
                                          "option --backend given twice"}}) {
    try {
      parse_args(c.args, kOptions);
      ADD_FAILURE() << "accepted: " << ::testing::PrintToString(c.args);
    } catch (const UsageError& e) {
      EXPECT_EQ(e.what(), c.message) << ::testing::PrintToString(c.args);
    }
  }
}

}  // namespace
}  // namespace tavoren::agent
