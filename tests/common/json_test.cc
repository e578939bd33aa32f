// Readers of record values shared by every library.
#include "tavoren/common/json.h"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
}  // namespace tavoren
