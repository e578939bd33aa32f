// The words of why a queued action waits.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tavoren/store_rules.h"

namespace tavoren::backend::store_rules {
namespace {

TEST(WaitReason, EachCauseIsSaidInItsOwnWords) {
  const FleetOffer gpus{.alive = 14,
                        .taking = 13,
                        .at_cap = 2,
                        .gpu = 12,
                        .gpu_at_cap = 1,
                        .most_free_one = 22 * 1024,
                        .most_free_all = 80 * 1024};
  struct Case {
    FleetOffer offer;
    bool gpu;
    std::optional<std::int64_t> mib;
    std::int64_t ahead;
    std::string words;
  };
  const Case cases[] = {
      {FleetOffer{}, true, std::nullopt, 0, "no alive machine"},
      {FleetOffer{.alive = 3}, false, std::nullopt, 0,
       "every alive machine is draining or being preempted"},
      {FleetOffer{.alive = 3, .taking = 3}, true, std::nullopt, 0, "no alive machine with a GPU"},
      {FleetOffer{.alive = 12, .taking = 12, .gpu = 12, .gpu_at_cap = 12}, true, 1024, 0,
       "all 12 GPU machines at their cap"},
      {FleetOffer{.alive = 1, .taking = 1, .gpu = 1, .gpu_at_cap = 1}, true, std::nullopt, 0,
       "the only GPU machine is at its cap"},
      {gpus, true, 40 * 1024, 0,
       "needs 40 GB free on one GPU; the most free on an alive machine is 22 GB"},
      {gpus, true, 160 * 1024, 0,
       "needs 160 GB free on one machine's GPUs; the most free on an alive machine is 80 GB"},
      {gpus, true, 20 * 1024, 0, "next, for the first machine that polls"},
      {gpus, false, std::nullopt, 2, "behind 2 earlier actions"},
      {FleetOffer{.alive = 3, .taking = 3, .at_cap = 3}, false, std::nullopt, 1,
       "all 3 machines at their cap"},
      // No inventory yet: the memory cannot be the reason.
      {FleetOffer{.alive = 1, .taking = 1, .gpu = 1}, true, 40 * 1024, 1,
       "behind 1 earlier action"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wait_reason(c.gpu, c.mib, c.offer, c.ahead), c.words) << c.words;
  }
}

// What a viewer or a web page is shown of an action: every member named
// like a secret masked, at any depth, whatever its case; the rest as it is.
TEST(MaskedSecrets, MembersNamedLikeSecretsAreMaskedAtAnyDepth) {
  const Json record = {
      {"_id", "a1"},
      {"modelKey", "microsoft/resnet-50"},
      {"actionDetails",
       {{"docker", "registry.example/job:1"},
        {"env", {{"HF_TOKEN", "hf_abc"}, {"PLAIN", "value"}}},
        {"registryPassword", "p@ss"},
        {"credentials", Json::array({"x", "y"})},
        {"apiKey", "k1"},
        {"Private_Key", "-----BEGIN"},
        {"optionalSecret", nullptr}}},
      {"jobParams", Json::array({Json{{"aws_secret_access_key", "s"}, {"bucket", "b"}}})}};
  const Json masked = masked_secrets(record);
  EXPECT_EQ(masked["_id"], "a1");
  EXPECT_EQ(masked["modelKey"], "microsoft/resnet-50");
  EXPECT_EQ(masked["actionDetails"]["docker"], "registry.example/job:1");
  EXPECT_EQ(masked["actionDetails"]["env"]["HF_TOKEN"], kMaskedSecret);
  EXPECT_EQ(masked["actionDetails"]["env"]["PLAIN"], "value");
  EXPECT_EQ(masked["actionDetails"]["registryPassword"], kMaskedSecret);
  EXPECT_EQ(masked["actionDetails"]["credentials"], kMaskedSecret);
  EXPECT_EQ(masked["actionDetails"]["apiKey"], kMaskedSecret);
  EXPECT_EQ(masked["actionDetails"]["Private_Key"], kMaskedSecret);
  EXPECT_EQ(masked["actionDetails"]["optionalSecret"], nullptr) << "nothing to hide";
  EXPECT_EQ(masked["jobParams"][0]["aws_secret_access_key"], kMaskedSecret);
  EXPECT_EQ(masked["jobParams"][0]["bucket"], "b");
  for (const char* secret : {"hf_abc", "p@ss", "k1", "BEGIN", "\"s\""}) {
    EXPECT_EQ(masked.dump().find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace tavoren::backend::store_rules
