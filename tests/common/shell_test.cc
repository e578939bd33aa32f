#include "tavoren/common/shell.h"

#include <gtest/gtest.h>

#include <random>

#include "tavoren/common/errors.h"
#include "tavoren/common/process.h"

namespace tavoren {
namespace {

TEST(ShellQuote, SafeTextsAreUnchanged) {
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("abc-DEF_123"), "abc-DEF_123");
  EXPECT_EQ(shell_quote("user@host:/path/file.txt,a=b+c%"), "user@host:/path/file.txt,a=b+c%");
}

TEST(ShellQuote, EverythingElseIsSingleQuoted) {
  EXPECT_EQ(shell_quote("two words"), "'two words'");
  EXPECT_EQ(shell_quote("it's"), "'it'\"'\"'s'");
  EXPECT_EQ(shell_quote("$(reboot)"), "'$(reboot)'");
  EXPECT_EQ(shell_quote("a\nb"), "'a\nb'");
  EXPECT_EQ(shell_quote("caf\xc3\xa9"), "'caf\xc3\xa9'");  // non-ASCII letters are not safe
  EXPECT_EQ(shell_quote("*"), "'*'");
}

TEST(ShellSplit, BlanksQuotesAndEscapes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(shell_split("docker run  --rm\timage"), (V{"docker", "run", "--rm", "image"}));
  EXPECT_EQ(shell_split("  "), V{});
  EXPECT_EQ(shell_split("a 'b c' \"d e\""), (V{"a", "b c", "d e"}));
  EXPECT_EQ(shell_split("''"), V{""});
  EXPECT_EQ(shell_split("x'y'\"z\""), V{"xyz"});
  EXPECT_EQ(shell_split(R"("a \"q\" \\ \$x \` \n")"), V{R"(a "q" \ $x ` \n)"});
  EXPECT_EQ(shell_split("\"a\\\nb\" c\\\nd"), (V{"ab", "cd"}));  // backslash-newline
  EXPECT_EQ(shell_split(R"('no \escape')"), V{R"(no \escape)"});
  EXPECT_EQ(shell_split(R"(a\ b c\'d)"), (V{"a b", "c'd"}));
  EXPECT_EQ(shell_split("/bin/bash -c \"cd /w && python3 main.py\""),
            (V{"/bin/bash", "-c", "cd /w && python3 main.py"}));
}

TEST(ShellSplit, UnbalancedInputIsAnError) {
  EXPECT_THROW(shell_split("a 'b"), ValueError);
  EXPECT_THROW(shell_split("a \"b"), ValueError);
  EXPECT_THROW(shell_split("a \"b\\\""), ValueError);
  EXPECT_THROW(shell_split("trailing\\"), ValueError);
}

// Random texts drawn from the characters that break naive quoting.
std::vector<std::string> random_texts(unsigned seed, int count) {
  static const std::vector<std::string> atoms = {"a",
                                                 "Z",
                                                 "0",
                                                 " ",
                                                 "\t",
                                                 "\n",
                                                 "'",
                                                 "\"",
                                                 "\\",
                                                 "$",
                                                 "$(id)",
                                                 "`id`",
                                                 ";",
                                                 "&",
                                                 "|",
                                                 "*",
                                                 "?",
                                                 "~",
                                                 "#",
                                                 "!",
                                                 "{",
                                                 "}",
                                                 "(",
                                                 ")",
                                                 "<",
                                                 ">",
                                                 "=",
                                                 "-",
                                                 "--x",
                                                 "%",
                                                 "\xc3\xa9",
                                                 "\xe6\x97\xa5",
                                                 "\xf0\x9f\x99\x82",
                                                 "''",
                                                 "\"\"",
                                                 "\r"};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<std::size_t> pick(0, atoms.size() - 1);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    std::string t;
    for (int n = length(rng); n > 0; --n) t += atoms[pick(rng)];
    texts.push_back(t);
  }
  return texts;
}

TEST(ShellQuoteProperty, SplittingTheQuotedFormGivesTheTextsBack) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    auto texts = random_texts(seed, 25);
    std::string line = shell_join(texts);
    ASSERT_EQ(shell_split(line), texts) << "line: " << line;
    for (const auto& t : texts) ASSERT_EQ(shell_split(shell_quote(t)), std::vector<std::string>{t});
  }
}

TEST(ShellQuoteProperty, TheShellPrintsQuotedTextsUnchanged) {
  auto texts = random_texts(99, 60);
  texts.push_back("");
  texts.push_back("it's $(touch /tmp/owned) `id` \"q\" \\n");
  std::string script;
  for (const auto& t : texts) script += "printf '%s\\0' " + shell_quote(t) + "\n";
  process::RunResult result = process::run_shell(script);
  ASSERT_EQ(result.exit_status.returncode(), 0);
  std::vector<std::string> printed;
  std::string current;
  for (char c : result.out) {
    if (c == '\0') {
      printed.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  EXPECT_EQ(printed, texts);
}

TEST(ShellQuoteProperty, DoubleQuotedLayerReadsBackLikeTheShell) {
  // A single-quoted value inside a double-quoted script, as in
  // bash -c "export A='...'": both this splitter and /bin/sh give back the
  // same script text, and bash reading that script gives back the value.
  auto texts = random_texts(7, 40);
  std::string line = "printf '%s\\0'";
  std::vector<std::string> scripts;
  for (const auto& t : texts) {
    std::string script = "export V=" + shell_quote(t);
    scripts.push_back(script);
    line += " \"" + escape_double_quoted(script) + "\"";
  }
  auto words = shell_split(line);
  ASSERT_EQ(words.size(), texts.size() + 2);
  EXPECT_EQ(std::vector<std::string>(words.begin() + 2, words.end()), scripts);

  process::RunResult by_shell = process::run_shell(line);
  ASSERT_EQ(by_shell.exit_status.returncode(), 0);
  std::vector<std::string> printed;
  std::string current;
  for (char c : by_shell.out) {
    if (c == '\0') {
      printed.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  EXPECT_EQ(printed, scripts);

  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::string out = process::check_output({"sh", "-c", scripts[i] + "; printf '%s' \"$V\""});
    EXPECT_EQ(out, texts[i]);
  }
}

}  // namespace
}  // namespace tavoren
