// Which action a container runs, read from its inspection record.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tavoren/common/errors.h"
#include "tavoren/engine.h"

namespace tavoren::testing {
namespace {

using engine::action_of_container;

const std::string kA = "65f1c0ffee0123456789abcd";
const std::string kB = "65f1c0ffee0123456789abce";

Json record(const Json& args, const Json& labels = nullptr) {
  Json r = {{"Id", "c"}, {"Args", args}};
  if (!labels.is_null()) r["Config"] = {{"Labels", labels}};
  return r;
}

TEST(ActionOfContainer, TheLabelFirstThenTheFirstArgumentAsLongAsAnIdentifier) {
  // The agent's own containers: the identifier sits inside a script.
  EXPECT_EQ(
      action_of_container(
          record({"-c", "cd /usr/src/" + kA + " && run " + kA}, {{"tavoren.action-id", kA}}), "c"),
      kA);
  EXPECT_EQ(action_of_container(record({kB}, {{"tavoren.action-id", kA}}), "c"), kA);
  // Labels that say nothing leave the decision to the arguments.
  EXPECT_EQ(action_of_container(record({kB}, {{"tavoren.action-id", ""}}), "c"), kB);
  EXPECT_EQ(action_of_container(record({kB}, {{"tavoren.action-id", 7}}), "c"), kB);
  EXPECT_EQ(action_of_container(record({"--serve", kB, kA}, {{"team", kA}}), "c"), kB);
  EXPECT_EQ(action_of_container(Json{{"Args", {kA}}, {"Config", {{"Labels", nullptr}}}}, "c"), kA);
  // Lengths count characters, not bytes: 23 x "a" + "é" is 24 characters.
  const std::string accented = std::string(23, 'a') + "\xC3\xA9";
  EXPECT_EQ(action_of_container(record({"x", accented}), "c"), accented);
  EXPECT_EQ(action_of_container(record({std::string(23, 'a'), std::string(25, 'a')}), "c"),
            std::nullopt);
  EXPECT_EQ(action_of_container(record(Json::array()), "c"), std::nullopt);
}

TEST(ActionOfContainer, MalformedRecordsWithoutALabelAreFailures) {
  EXPECT_THROW(action_of_container(Json{{"Id", "c"}}, "c"), KeyError);
  EXPECT_THROW(action_of_container(record("sleep 600"), "c"), TypeError);
  EXPECT_THROW(action_of_container(record({"-c", 7}), "c"), TypeError);
  EXPECT_THROW(action_of_container(Json::array(), "c"), TypeError);
  // A label is enough, whatever the arguments.
  EXPECT_EQ(action_of_container(Json{{"Config", {{"Labels", {{"tavoren.action-id", kA}}}}}}, "c"),
            kA);
  try {
    action_of_container(Json{{"Id", "c"}}, "c0ffee");
    FAIL() << "no failure";
  } catch (const KeyError& e) {
    EXPECT_NE(std::string(e.what()).find("c0ffee"), std::string::npos);
  }
}

}  // namespace
}  // namespace tavoren::testing
