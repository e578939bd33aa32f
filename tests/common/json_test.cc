// Readers of record values shared by every library.
#include "tavoren/common/json.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

TEST(RecordValues, TextOfAValue) {
  EXPECT_EQ(text_of(Json("as it is")), "as it is");
  EXPECT_EQ(text_of(Json("")), "");
  EXPECT_EQ(text_of(Json(8080)), "8080");
  EXPECT_EQ(text_of(Json(1.5)), "1.5");
  EXPECT_EQ(text_of(Json(false)), "false");
  EXPECT_EQ(text_of(Json{{"b", 1}, {"a", "x"}}), R"({"b":1,"a":"x"})");  // keys keep their order
  EXPECT_EQ(text_of(Json::array({1, "two"})), R"([1,"two"])");
  // Null is the empty text unless the caller names another.
  EXPECT_EQ(text_of(Json()), "");
  EXPECT_EQ(text_of(Json(), "null"), "null");
  EXPECT_EQ(text_of(Json(), "-"), "-");
  EXPECT_EQ(text_of(Json("text"), "-"), "text");
}

TEST(RecordValues, KindNames) {
  EXPECT_STREQ(kind_name(Json()), "null");
  EXPECT_STREQ(kind_name(Json(true)), "boolean");
  EXPECT_STREQ(kind_name(Json(3)), "number");
  EXPECT_STREQ(kind_name(Json(3u)), "number");
  EXPECT_STREQ(kind_name(Json(3.5)), "number");
  EXPECT_STREQ(kind_name(Json("x")), "text");
  EXPECT_STREQ(kind_name(Json::array()), "list");
  EXPECT_STREQ(kind_name(Json::object()), "dictionary");
  EXPECT_STREQ(kind_name(Json::binary({1, 2})), "binary");
}

TEST(RecordValues, RequiredFields) {
  Json record = Json{{"jobParams", Json{{"epochs", 3}}}, {"empty", nullptr}};
  EXPECT_EQ(required_field(std::as_const(record), "the record", "jobParams"),
            (Json{{"epochs", 3}}));
  EXPECT_TRUE(required_field(std::as_const(record), "the record", "empty").is_null());
  // The mutable form hands out the record's own value.
  required_field(record, "the record", "jobParams")["epochs"] = 4;
  EXPECT_EQ(record["jobParams"]["epochs"], 4);

  try {
    required_field(record, "the record", "missing");
    ADD_FAILURE() << "no exception";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "the record has no key \"missing\"");
  }
  for (const Json& not_a_map : {Json(), Json::array({"missing"}), Json("missing")}) {
    try {
      required_field(not_a_map, "the job parameters", "missing");
      ADD_FAILURE() << "no exception for " << not_a_map.dump();
    } catch (const TypeError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("the job parameters is not a map but ") + not_a_map.type_name());
    }
  }
}

// `depth` lists, one inside the other, around `inner`.
std::string nested(std::size_t depth, const std::string& inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonParsing, NestingUpToTheLimitIsReadAndDeeperIsRefused) {
  EXPECT_EQ(parse_json(nested(128)).dump(), nested(128));
  EXPECT_EQ(parse_json(R"({"a":{"b":[1,{"c":null}]}})")["a"]["b"][1]["c"], nullptr);
  try {
    parse_json(nested(129));
    ADD_FAILURE() << "129 levels were read";
  } catch (const JsonError& e) {
    EXPECT_TRUE(e.beyond_limits());
    EXPECT_STREQ(e.what(), "JSON nests deeper than 128 levels");
  }
  // Maps count like lists, and the depth is the deepest branch, not the
  // number of brackets.
  std::string maps;
  for (int i = 0; i < 129; ++i) maps += R"({"k":)";
  maps += "1" + std::string(129, '}');
  EXPECT_THROW(parse_json(maps), JsonError);
  std::string siblings = "[";
  for (int i = 0; i < 500; ++i) siblings += (i ? "," : "") + nested(100);
  siblings += "]";
  EXPECT_EQ(parse_json(siblings).size(), 500u);

  // A record 60,000 levels deep is refused, not followed.
  EXPECT_THROW(parse_json(nested(60000)), JsonError);
  EXPECT_FALSE(try_parse_json(nested(60000)).has_value());
  std::string deep_record = R"({"_id":"x","jobParams":)" + nested(60000, "{}") + "}";
  EXPECT_THROW(parse_json(deep_record), JsonError);

  // Other limits can be given.
  EXPECT_THROW(parse_json(nested(3), {.max_depth = 2}), JsonError);
  EXPECT_EQ(parse_json(nested(2), {.max_depth = 2}), Json::array({Json::array({1})}));
}

TEST(JsonParsing, BracketsInsideTextsDoNotCount) {
  const std::string brackets = std::string(200, '[') + std::string(200, '{');
  const Json text = parse_json("{\"s\":\"" + brackets + "\"}");
  EXPECT_EQ(text["s"], brackets);
  // An escaped quote does not end the text; an escaped backslash does not
  // escape the closing quote.
  const Json escaped = parse_json(R"(["a\"[[[[", "b\\", [1]])");
  EXPECT_EQ(escaped, Json::array({"a\"[[[[", "b\\", Json::array({1})}));
  try {
    parse_json(R"(["\\",[[[)" + nested(126) + "]]]]");
    ADD_FAILURE() << "130 levels were read";
  } catch (const JsonError& e) {
    EXPECT_TRUE(e.beyond_limits()) << e.what();
  }
}

TEST(JsonParsing, SizeLimitAndTextsThatAreNotJson) {
  EXPECT_EQ(parse_json("[1,2]", {.max_bytes = 5}), Json::array({1, 2}));
  try {
    parse_json("[1,2] ", {.max_bytes = 5});
    ADD_FAILURE() << "a text over the limit was read";
  } catch (const JsonError& e) {
    EXPECT_TRUE(e.beyond_limits());
    EXPECT_STREQ(e.what(), "JSON text of 6 bytes exceeds the limit of 5 bytes");
  }
  EXPECT_EQ(JsonLimits{}.max_bytes, std::size_t{64} * 1024 * 1024);

  // Not JSON: the parser's own message, as a value error.
  for (const std::string bad : {"", "{", "[1,]", "{\"a\" 1}", "nul", "[1] 2"}) {
    SCOPED_TRACE(bad);
    try {
      parse_json(bad);
      ADD_FAILURE() << "read as JSON";
    } catch (const JsonError& e) {
      EXPECT_FALSE(e.beyond_limits());
      EXPECT_TRUE(std::string(e.what()).starts_with("[json.exception.parse_error."));
    }
    EXPECT_FALSE(try_parse_json(bad).has_value());
  }
  // Well formed, but a number no double holds: refused as beyond the
  // limits, never an exception of another kind (found by fuzzing).
  for (const std::string huge : {"1e400", "[-1E999]", "{\"a\": 11111111E11111111111111111111}"}) {
    SCOPED_TRACE(huge);
    try {
      parse_json(huge);
      ADD_FAILURE() << "read as JSON";
    } catch (const JsonError& e) {
      EXPECT_TRUE(e.beyond_limits());
    }
    EXPECT_FALSE(try_parse_json(huge).has_value());
  }
  EXPECT_EQ(parse_json("1e300"), Json(1e300));
  static_assert(std::is_base_of_v<ValueError, JsonError>);
  // Keys keep their order.
  EXPECT_EQ(parse_json(R"({"b":1,"a":2})").dump(), R"({"b":1,"a":2})");
}

}  // namespace
}  // namespace tavoren
