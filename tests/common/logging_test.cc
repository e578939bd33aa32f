#include "tavoren/common/logging.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "tavoren/common/shell.h"

namespace tavoren::log {
namespace {

TEST(LogFormat, PrintfConversions) {
  EXPECT_EQ(format("Port %d is not publicly exposed", {8080}), "Port 8080 is not publicly exposed");
  EXPECT_EQ(format("%s and %s", {"a", std::string("b")}), "a and b");
  EXPECT_EQ(format("Normalized disk space value to %f GB", {1.5}),
            "Normalized disk space value to 1.500000 GB");
  EXPECT_EQ(format("%.2f%%", {12.345}), "12.35%");
  EXPECT_EQ(format("[%5d]", {42}), "[   42]");
  EXPECT_EQ(format("no conversions", {}), "no conversions");
}

TEST(LogFormat, ArgumentsAdaptToTheirConversion) {
  // %d of a fraction prints its integer part (toward zero).
  EXPECT_EQ(format("%d", {12.9}), "12");
  EXPECT_EQ(format("%d", {-3.7}), "-3");
  // %f of an integer prints it as a fraction.
  EXPECT_EQ(format("%f", {3}), "3.000000");
  // %s of numbers, booleans and JSON values.
  EXPECT_EQ(format("%s", {20000}), "20000");
  EXPECT_EQ(format("%s", {0.5}), "0.5");
  EXPECT_EQ(format("%s", {true}), "True");
  Json record = {{"filesystem", "tmpfs"}, {"size", 16.0}};
  EXPECT_EQ(format("%s", {record}), R"({"filesystem":"tmpfs","size":16.0})");
  EXPECT_EQ(format("%s", {Json("plain")}), "plain");
  EXPECT_EQ(format("%d", {Json(7)}), "7");
}

TEST(LogFormat, MismatchedFormatsNeverThrow) {
  EXPECT_NO_THROW(format("%d %d", {1}));
  EXPECT_NE(format("%d %d", {1}).find("log format error"), std::string::npos);
  EXPECT_NE(format("%s", {"a", "b"}).find("log format error"), std::string::npos);
  EXPECT_NE(format("%d", {"text"}).find("text"), std::string::npos);
  EXPECT_NE(format("trailing %", {}).find("log format error"), std::string::npos);
}

// A field cannot start a line of its own or make a line without end.
TEST(LogFormat, EachTextFieldIsEscapedAndCut) {
  EXPECT_EQ(format("user %s refused", {"u1\nrefused operator/drain for operator key AK"}),
            "user u1\\nrefused operator/drain for operator key AK refused");
  EXPECT_EQ(format("%s", {std::string("a\r\tb\x1b[2J\x7f\0z", 11)}), "a\\r\\tb\\x1b[2J\\x7f\\x00z");
  // C1 controls and the Unicode line separators; other characters stay.
  EXPECT_EQ(format("%s", {"x\xc2\x85y\xe2\x80\xa8z \xc3\xa9"}), "x\\u0085y\\u2028z \xc3\xa9");
  // A Json text is a field too; a Json object keeps its JSON escapes.
  EXPECT_EQ(format("%s", {Json("a\nb")}), "a\\nb");
  EXPECT_EQ(format("%s", {Json{{"k", "a\nb"}}}), R"({"k":"a\nb"})");

  const std::string huge(200 * 1024, 'i');
  const std::string line = format("identifier %s refused", {huge});
  EXPECT_EQ(line, "identifier " + std::string(kFieldLimit, 'i') + "... [" +
                      std::to_string(huge.size() - kFieldLimit) + " more bytes] refused");
  // A cut never splits a character or an escape.
  EXPECT_EQ(field("ab\xc3\xa9", 3), "ab... [2 more bytes]");
  EXPECT_EQ(field("ab\n", 3), "ab... [1 more bytes]");
  EXPECT_EQ(field("abc", 3), "abc");
}

// A secret cut by the field limit is masked whole, never left in part.
TEST(SecretMasking, AFieldIsMaskedBeforeItIsCut) {
  clear_secrets();
  const std::string secret = "s3cr3t-token-value";
  register_secret(secret);
  const std::string text = std::string(kFieldLimit - 4, '.') + secret;
  const std::string line = format("%s", {text});
  EXPECT_EQ(line.find("s3cr"), std::string::npos) << line.substr(kFieldLimit - 8);
  clear_secrets();
}

TEST(LogCaptureTest, RecordsLevelsAndWholeLines) {
  LogCapture capture;
  debug("d %d", 1);
  info("i %s", "two");
  warning("w");
  error("e %f", 0.25);
  EXPECT_EQ(capture.lines(), (std::vector<LogCapture::Line>{{Level::debug, "d 1"},
                                                            {Level::info, "i two"},
                                                            {Level::warning, "w"},
                                                            {Level::error, "e 0.250000"}}));
  EXPECT_EQ(capture.count(Level::info, "two"), 1u);
  EXPECT_FALSE(capture.contains(Level::info, "i tw"));
}

TEST(LogCaptureTest, LevelFiltersAndIsRestored) {
  auto before = logger().level();
  {
    LogCapture capture;
    set_level(Level::warning);
    info("hidden");
    warning("shown");
    EXPECT_EQ(capture.lines().size(), 1u);
  }
  EXPECT_EQ(logger().level(), before);
}

TEST(SecretMasking, RegisteredSecretsNeverReachALine) {
  LogCapture capture;
  register_secret("s3cr3t-token-value");
  register_secret("s3cr3t");  // a shorter secret inside a longer one
  register_secret("abc");     // too short to mask safely: ignored
  info("docker login -p %s then %s", "s3cr3t-token-value", "s3cr3t");
  info("abc stays");
  clear_secrets();
  info("after s3cr3t");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "docker login -p ******** then ********");
  EXPECT_EQ(lines[1].message, "abc stays");
  EXPECT_EQ(lines[2].message, "after s3cr3t");
}

TEST(SecretMasking, ConcurrentLoggingAndRegistration) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        register_secret("token-" + std::to_string(t) + "-" + std::to_string(i % 7));
        info("thread %d uses token-%d-%d", t, t, i % 7);
      }
    });
  }
  for (auto& th : threads) th.join();
  clear_secrets();
  auto lines = capture.lines();
  EXPECT_EQ(lines.size(), 800u);
  for (const auto& line : lines) EXPECT_EQ(line.message.find("token-"), std::string::npos);
}

// Secrets as the agent writes them into commands and JSON: shell-quoted,
// escaped for a double-quoted script, and escaped inside JSON strings.
TEST(SecretMasking, QuotedAndEscapedFormsAreMasked) {
  const std::string mask(kSecretMask);
  LogCapture capture;
  const std::vector<std::string> secrets = {"pa$$word", "it's a `key`", "back\\slash \"quoted\"",
                                            "tab\tand\nnew line"};
  for (const auto& secret : secrets) register_secret(secret);
  for (const auto& secret : secrets) {
    capture.clear();
    const std::string quoted = shell_quote(secret);
    info("cmd is: docker run -e KEY=%s /bin/bash -c \"export KEY=%s && run\"", quoted,
         escape_double_quoted(quoted));
    info("raw %s, in double quotes \"%s\"", secret, escape_double_quoted(secret));
    info("Fetched action details: %s", Json{{"token", secret}});
    info("record %s", Json{{"cmd", "export KEY=" + escape_double_quoted(quoted)}});
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u) << secret;
    EXPECT_EQ(lines[0].message, "cmd is: docker run -e KEY=" + mask +
                                    " /bin/bash -c \"export KEY=" + mask + " && run\"")
        << secret;
    EXPECT_EQ(lines[1].message, "raw " + mask + ", in double quotes \"" + mask + "\"") << secret;
    EXPECT_EQ(lines[2].message, "Fetched action details: {\"token\":\"" + mask + "\"}") << secret;
    EXPECT_EQ(lines[3].message, "record {\"cmd\":\"export KEY=" + mask + "\"}") << secret;
  }
  clear_secrets();
}

TEST(SecretMasking, HeldSecretsAreCountedAndReleased) {
  clear_secrets();
  register_secret("agent-own-key");
  EXPECT_EQ(registered_secret_count(), 1u);
  {
    SecretRegistration first("shared-action-key");
    std::optional<SecretRegistration> second(std::in_place, "shared-action-key");
    SecretRegistration own("one-action-key");
    SecretRegistration short_text("abc");  // too short: holds nothing
    EXPECT_FALSE(short_text.holds());
    EXPECT_EQ(registered_secret_count(), 3u);

    // Moving a registration keeps it held once.
    SecretRegistration moved(std::move(own));
    EXPECT_TRUE(moved.holds("one-action-key"));
    EXPECT_EQ(registered_secret_count(), 3u);
    moved.reset();
    EXPECT_EQ(registered_secret_count(), 2u);
    EXPECT_EQ(mask_secrets("one-action-key"), "one-action-key");

    second.reset();  // the other holder still runs
    EXPECT_EQ(mask_secrets("k=shared-action-key"), "k=" + std::string(kSecretMask));
    EXPECT_EQ(registered_secret_count(), 2u);
  }
  EXPECT_EQ(registered_secret_count(), 1u);
  EXPECT_EQ(mask_secrets("shared-action-key"), "shared-action-key");

  // A permanent registration outlives the holders of the same secret.
  { SecretRegistration held("agent-own-key"); }
  EXPECT_EQ(mask_secrets("agent-own-key"), std::string(kSecretMask));

  // A registration from before clear_secrets() leaves later ones alone.
  std::optional<SecretRegistration> stale(std::in_place, "re-registered-key");
  clear_secrets();
  SecretRegistration fresh("re-registered-key");
  stale.reset();
  EXPECT_EQ(mask_secrets("re-registered-key"), std::string(kSecretMask));
  EXPECT_EQ(registered_secret_count(), 1u);
  clear_secrets();
}

}  // namespace
}  // namespace tavoren::log
