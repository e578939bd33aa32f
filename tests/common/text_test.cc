#include "tavoren/common/text.h"

#include <gtest/gtest.h>

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

TEST(Text, TrimAndSplit) {
  EXPECT_EQ(trim(" \t 1.2.3.4\r\n"), "1.2.3.4");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(split("a,,b,", ','), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(split("", ','), std::vector<std::string>{""});
  EXPECT_EQ(split_whitespace("  tmpfs   16G\t0 \n"),
            (std::vector<std::string>{"tmpfs", "16G", "0"}));
}

TEST(Text, Numbers) {
  EXPECT_EQ(parse_int(" 42 "), 42);
  EXPECT_EQ(parse_int("-7"), -7);
  EXPECT_THROW(parse_int("4 2"), ValueError);
  EXPECT_THROW(parse_int("x"), ValueError);
  EXPECT_THROW(parse_int(""), ValueError);
  EXPECT_THROW(parse_int("99999999999999999999"), ValueError);
  EXPECT_DOUBLE_EQ(parse_double(" 1.5 "), 1.5);
  EXPECT_DOUBLE_EQ(parse_double("1e3"), 1000.0);
  EXPECT_THROW(parse_double("1,5"), ValueError);
  EXPECT_THROW(parse_double("0x10"), ValueError);
  EXPECT_THROW(parse_double(""), ValueError);
  // A plain count: digits only, at most 15 of them, never an exception.
  EXPECT_EQ(plain_count("0"), 0);
  EXPECT_EQ(plain_count("999999999999999"), 999999999999999);
  for (const char* refused : {"", " 1", "1 ", "+1", "-1", "1e3", "0x10", "1000000000000000"}) {
    EXPECT_EQ(plain_count(refused), std::nullopt) << refused;
  }
}

TEST(Text, Ascii) {
  EXPECT_TRUE(is_ascii("abc"));
  EXPECT_FALSE(is_ascii("caf\xc3\xa9"));
}

}  // namespace
}  // namespace tavoren
