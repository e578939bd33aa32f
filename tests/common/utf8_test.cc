#include "tavoren/common/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tavoren {
namespace {

const std::string kFffd(kReplacementCharacter);

TEST(Utf8, Validation) {
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9 \xf0\x9f\x99\x82"));
  EXPECT_FALSE(is_valid_utf8("\xff"));
  EXPECT_FALSE(is_valid_utf8("\xc3"));              // truncated
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // past U+10FFFF
}

TEST(Utf8, WellFormedTextIsUnchanged) {
  for (const std::string text : {"", "plain ascii\n", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                 "\xEF\xBF\xBD", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"}) {
    EXPECT_EQ(decode_utf8_lossy(text), text);
  }
}

TEST(Utf8, EachIllFormedSubsequenceBecomesOneReplacement) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},
      {"\x80", kFffd},  // lone continuation byte
      {"\xC3", kFffd},  // truncated at the end
      {"\xE2\x82"
       "A",
       kFffd + "A"},  // truncated before ASCII
      {"\xF0\x9F\x98"
       "\xC3\xA9",
       kFffd + "\xC3\xA9"},                                 // truncated before a character
      {"\xC0\xAF", kFffd + kFffd},                          // overlong form
      {"\xE0\x80\x80", kFffd + kFffd + kFffd},              // overlong three-byte form
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {"\xF5\xBF", kFffd + kFffd},
      {"12345678\xFF"
       "9abcdefgh",
       "12345678" + kFffd + "9abcdefgh"},
  };
  for (const auto& [bytes, text] : cases) {
    const std::string decoded = decode_utf8_lossy(bytes);
    EXPECT_EQ(decoded, text) << "input of " << bytes.size() << " bytes";
    EXPECT_TRUE(is_valid_utf8(decoded));
  }
}

// The vectorised validator against the byte-by-byte one, on texts built
// from the bytes that matter (boundaries of every range) at every
// position relative to its 32-byte blocks.
TEST(Utf8, TheFastValidatorAgreesWithTheByteByByteOne) {
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                       0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                       0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  const std::string valid_samples[] = {"a",
                                       "\xC3\xA9",
                                       "\xE2\x82\xAC",
                                       "\xF0\x9F\x98\x80",
                                       "\xED\x9F\xBF",
                                       "\xEE\x80\x80",
                                       "\xF4\x8F\xBF\xBF"};
  std::mt19937 random(20240611);
  std::size_t disagreements = 0, ill_formed = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    const std::size_t length = random() % 100;
    while (text.size() < length) {
      if (random() % 3 == 0) {
        text += static_cast<char>(interesting[random() % sizeof interesting]);
      } else {
        text += valid_samples[random() % std::size(valid_samples)];
      }
    }
    const bool portable = detail::is_valid_utf8_portable(text);
    ill_formed += portable ? 0 : 1;
    if (is_valid_utf8(text) != portable) {
      if (++disagreements < 5) ADD_FAILURE() << "disagree on " << ::testing::PrintToString(text);
    }
  }
  EXPECT_EQ(disagreements, 0u);
  EXPECT_GT(ill_formed, 1000u);  // both kinds were tried
  // Every two-byte pair, after every offset of a block.
  for (int offset : {0, 1, 2, 13, 14, 15, 16, 17, 29, 30, 31, 32, 33}) {
    for (int a = 0x80; a < 0x100; ++a) {
      for (int b = 0; b < 0x100; ++b) {
        std::string text(offset, 'x');
        text += static_cast<char>(a);
        text += static_cast<char>(b);
        text += "\xA0\x80 tail";
        std::string cut = text.substr(0, offset + 2);
        EXPECT_EQ(is_valid_utf8(text), detail::is_valid_utf8_portable(text)) << a << " " << b;
        EXPECT_EQ(is_valid_utf8(cut), detail::is_valid_utf8_portable(cut)) << a << " " << b;
      }
    }
  }
}

TEST(Utf8, FindsAnIncompleteCharacterAtTheEnd) {
  EXPECT_EQ(incomplete_utf8_suffix(""), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("abc"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("a\xC3"), 1u);
  EXPECT_EQ(incomplete_utf8_suffix("a\xC3\xA9"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\xE2"), 1u);
  EXPECT_EQ(incomplete_utf8_suffix("\xE2\x82"), 2u);
  EXPECT_EQ(incomplete_utf8_suffix("\xE2\x82\xAC"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("x\xF0\x9F\x98"), 3u);
  EXPECT_EQ(incomplete_utf8_suffix("\xF0\x9F\x98\x80"), 0u);
  // Bytes that cannot become a character are not held back.
  EXPECT_EQ(incomplete_utf8_suffix("a\x80"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\x80\x80\x80"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\xED\xA0"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\xF0\x80"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\xFF"), 0u);
  EXPECT_EQ(incomplete_utf8_suffix("\xC3\xA9\x80"), 0u);
}

TEST(Utf8, ReplacerKeepsValidTextAndReplacesEachMaximalBadSequence) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string valid = "plain h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(replace_invalid_utf8(valid), valid);
  EXPECT_EQ(replace_invalid_utf8(std::string("a\0b", 3)), std::string("a\0b", 3));

  EXPECT_EQ(replace_invalid_utf8("\x80"), fffd);
  EXPECT_EQ(replace_invalid_utf8("a\xFF"
                                 "b"),
            "a" + fffd + "b");
  // A truncated sequence counts once, and the byte that broke it is kept.
  EXPECT_EQ(replace_invalid_utf8("\xE2\x82"), fffd);
  EXPECT_EQ(replace_invalid_utf8("\xE2\x82"
                                 "A"),
            fffd + "A");
  EXPECT_EQ(replace_invalid_utf8("\xF0\x9F\x98"), fffd);
  // Overlong forms, surrogates and values past U+10FFFF.
  EXPECT_EQ(replace_invalid_utf8("\xC0\xAF"), fffd + fffd);
  EXPECT_EQ(replace_invalid_utf8("\xE0\x80\xAF"), fffd + fffd + fffd);
  EXPECT_EQ(replace_invalid_utf8("\xED\xA0\x80"), fffd + fffd + fffd);
  EXPECT_EQ(replace_invalid_utf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
  EXPECT_EQ(replace_invalid_utf8("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");
}

TEST(Utf8, CountsCodePointsNotBytes) {
  EXPECT_EQ(code_point_count(""), 0u);
  EXPECT_EQ(code_point_count("abc"), 3u);
  EXPECT_EQ(code_point_count("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), 8u);
  // 24 two-byte characters: as long as an action identifier, in characters.
  std::string wide;
  for (int i = 0; i < 24; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(code_point_count(wide), 24u);
  // A lone lead byte counts; lone continuation bytes do not.
  EXPECT_EQ(code_point_count("\xC3"), 1u);
  EXPECT_EQ(code_point_count("a\x80\x80"), 1u);
}

}  // namespace
}  // namespace tavoren
