// The readers of backend answers that the container reaper and the
// start-up checks share.
#include <gtest/gtest.h>

#include <string>

#include "tavoren/backend.h"

namespace tavoren::backend {
namespace {

const std::string kA = "65f1c0ffee0123456789abcd";
const std::string kB = "65f1c0ffee0123456789abce";

TEST(ActionIdLength, CountsCharactersNotBytes) {
  EXPECT_EQ(std::string(kNullActionId).size(), kActionIdLength);
  EXPECT_TRUE(has_action_id_length(kA));
  EXPECT_TRUE(has_action_id_length(kNullActionId));
  EXPECT_FALSE(has_action_id_length(kA.substr(1)));
  EXPECT_FALSE(has_action_id_length(kA + "0"));
  EXPECT_FALSE(has_action_id_length(""));
  // 23 ASCII characters and one two-byte character: 24 characters, 25 bytes.
  EXPECT_TRUE(has_action_id_length(kA.substr(1) + "\xC3\xA9"));
  // 24 bytes but only 12 characters.
  std::string wide;
  for (int i = 0; i < 12; ++i) wide += "\xC3\xA9";
  EXPECT_FALSE(has_action_id_length(wide));
}

TEST(ScaledDownIds, EmptyAnswersNameNothing) {
  for (const Json& none :
       {Json(), Json(false), Json(0), Json(0.0), Json(""), Json::array(), Json::object()}) {
    SCOPED_TRACE(none.dump());
    EXPECT_TRUE(names_no_identifier(none));
    EXPECT_FALSE(is_scaled_down(none, kA));
  }
  for (const Json& some : {Json::array({kA}), Json{{kA, true}}, Json(kA), Json(5), Json(true)}) {
    SCOPED_TRACE(some.dump());
    EXPECT_FALSE(names_no_identifier(some));
  }
}

TEST(ScaledDownIds, ReadsListsMapsAndSingleTexts) {
  // A list names its texts; other members are passed over.
  const Json list = Json::array({5, nullptr, Json::array({kB}), kA});
  EXPECT_TRUE(is_scaled_down(list, kA));
  EXPECT_FALSE(is_scaled_down(list, kB));
  // A map names its keys, whatever their values.
  const Json map = Json{{kA, false}, {"other", 1}};
  EXPECT_TRUE(is_scaled_down(map, kA));
  EXPECT_FALSE(is_scaled_down(map, kB));
  // A single text is one identifier, never a text to search in.
  EXPECT_TRUE(is_scaled_down(Json(kA), kA));
  EXPECT_FALSE(is_scaled_down(Json("x" + kA + "x"), kA));
  EXPECT_FALSE(is_scaled_down(Json(kA), kA.substr(0, 23)));
}

TEST(ScaledDownIds, AnythingElseIsATypeError) {
  for (const Json& bad : {Json(5), Json(-1.5), Json(true)}) {
    SCOPED_TRACE(bad.dump());
    try {
      is_scaled_down(bad, kA);
      ADD_FAILURE() << "no exception";
    } catch (const ScaledDownIdsError& e) {
      EXPECT_EQ(std::string(e.what()),
                "the scaled-down identifiers are not a collection: " + bad.dump());
      EXPECT_EQ(e.answer(), bad);
    }
  }
  EXPECT_THROW(is_scaled_down(Json(7), kA), TypeError);
}

}  // namespace
}  // namespace tavoren::backend
