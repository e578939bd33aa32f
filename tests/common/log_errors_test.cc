#include "tavoren/common/log_errors.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

using log::Level;
using log::LogCapture;

TEST(LogErrors, SuccessReturnsTheBodyValueAndLogsNothing) {
  LogCapture capture;
  int calls = 0;
  int value = log_errors("op", {.default_return = -1}, [&] {
    ++calls;
    return 7;
  });
  EXPECT_EQ(value, 7);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(capture.lines().empty());
}

TEST(LogErrors, FailureLogsOneLineAndReturnsTheDefault) {
  LogCapture capture;
  auto value =
      log_errors("get_thing", {.default_return = std::optional<std::string>("fallback")},
                 [&]() -> std::optional<std::string> { throw ValueError("broken input"); });
  EXPECT_EQ(value, "fallback");
  EXPECT_EQ(capture.lines(),
            (std::vector<LogCapture::Line>{{Level::error, "Error in get_thing: broken input"}}));
}

TEST(LogErrors, DefaultReturnIsValueInitialisedWhenNotGiven) {
  LogCapture capture;
  double value = log_errors("ratio", {}, []() -> double { throw std::runtime_error("x"); });
  EXPECT_EQ(value, 0.0);
  auto none =
      log_errors("maybe", {}, []() -> std::optional<int> { throw std::runtime_error("x"); });
  EXPECT_FALSE(none.has_value());
}

TEST(LogErrors, SilentPolicyLogsNothing) {
  LogCapture capture;
  bool value = log_errors("is_running", {.default_return = false, .log_error = false},
                          []() -> bool { throw std::runtime_error("engine down"); });
  EXPECT_FALSE(value);
  EXPECT_TRUE(capture.lines().empty());
}

TEST(LogErrors, RaisingPolicyLogsThenRethrowsTheSameKind) {
  LogCapture capture;
  struct Special : ValueError {
    using ValueError::ValueError;
  };
  EXPECT_THROW(
      log_errors("select", {.raise_exception = true}, []() -> int { throw Special("no fit"); }),
      Special);
  EXPECT_TRUE(capture.contains(Level::error, "Error in select: no fit"));

  capture.clear();
  EXPECT_THROW(log_errors("quiet", {.raise_exception = true, .log_error = false},
                          []() -> int { throw KeyError("k"); }),
               KeyError);
  EXPECT_TRUE(capture.lines().empty());
}

TEST(LogErrors, VoidBodies) {
  LogCapture capture;
  int calls = 0;
  log_errors("void_ok", {}, [&] { ++calls; });
  log_errors("void_fail", {}, [&] {
    ++calls;
    throw std::runtime_error("bad");
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(capture.count(Level::error), 1u);
  EXPECT_THROW(log_errors("void_raise", {.raise_exception = true},
                          [] { throw std::runtime_error("again"); }),
               std::runtime_error);
}

TEST(LogErrors, NonStandardExceptionsAreHandledToo) {
  LogCapture capture;
  int value = log_errors("odd", {.default_return = 3}, []() -> int { throw 42; });
  EXPECT_EQ(value, 3);
  EXPECT_TRUE(capture.contains(Level::error, "Error in odd: unknown failure"));
}

TEST(LogErrors, FailureMessagesAreMasked) {
  LogCapture capture;
  log::register_secret("AKIAEXAMPLESECRET");
  log_errors("login", {}, [] { throw std::runtime_error("bad password AKIAEXAMPLESECRET"); });
  log::clear_secrets();
  EXPECT_TRUE(capture.contains(Level::error, "Error in login: bad password ********"));
}

using LogErrorsDeathTest = ::testing::Test;

TEST(LogErrorsDeathTest, FatalLogsAndExitsWithStatusOne) {
  EXPECT_EXIT(log::fatal("Instance is marked for downscaling"), ::testing::ExitedWithCode(1),
              "Instance is marked for downscaling");
}

}  // namespace
}  // namespace tavoren
