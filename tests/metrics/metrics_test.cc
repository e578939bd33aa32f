// The registry of counters, gauges and histograms and its text rendering.
#include "tavoren/metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tavoren::metrics {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(MetricsRegistry, RendersEachTypeWithHelpTypeAndEscapedLabels) {
  Registry registry;
  registry.counter("jobs_total", "Jobs done,\nby kind \\ state", {"kind"})
      .with({"a \"quoted\"\\ne\nline"})
      .inc(2);
  registry.gauge("temperature_celsius", "Now").get().set(-1.5);
  Family<Histogram>& latency = registry.histogram("call_seconds", "Calls", {"op"}, {0.1, 1});
  latency.with({"poll"}).observe(0.05);
  latency.with({"poll"}).observe(0.1);  // a bound is inclusive
  latency.with({"poll"}).observe(7);

  EXPECT_EQ(registry.render(),
            "# HELP jobs_total Jobs done,\\nby kind \\\\ state\n"
            "# TYPE jobs_total counter\n"
            "jobs_total{kind=\"a \\\"quoted\\\"\\\\ne\\nline\"} 2\n"
            "# HELP temperature_celsius Now\n"
            "# TYPE temperature_celsius gauge\n"
            "temperature_celsius -1.5\n"
            "# HELP call_seconds Calls\n"
            "# TYPE call_seconds histogram\n"
            "call_seconds_bucket{op=\"poll\",le=\"0.1\"} 2\n"
            "call_seconds_bucket{op=\"poll\",le=\"1\"} 2\n"
            "call_seconds_bucket{op=\"poll\",le=\"+Inf\"} 3\n"
            "call_seconds_sum{op=\"poll\"} 7.15\n"
            "call_seconds_count{op=\"poll\"} 3\n");
}

TEST(MetricsRegistry, SpecialValuesAndUnlabelledSeriesStartAtZero) {
  EXPECT_EQ(format_value(std::numeric_limits<double>::infinity()), "+Inf");
  EXPECT_EQ(format_value(-std::numeric_limits<double>::infinity()), "-Inf");
  EXPECT_EQ(format_value(std::nan("")), "NaN");
  EXPECT_EQ(format_value(3), "3");
  EXPECT_EQ(format_value(0.25), "0.25");
  EXPECT_EQ(format_value(1e300), "1e+300");

  Registry registry;
  registry.counter("plain_total", "x");
  registry.counter("labelled_total", "y", {"kind"});
  const std::string text = registry.render();
  EXPECT_THAT(text, HasSubstr("\nplain_total 0\n"));
  // A labelled family shows no series until one is used.
  EXPECT_THAT(text, Not(HasSubstr("labelled_total{")));
}

TEST(MetricsRegistry, CountersIgnoreNegativeAndNanAmounts) {
  Counter counter;
  counter.inc(2);
  counter.inc(-5);
  counter.inc(std::nan(""));
  EXPECT_EQ(counter.value(), 2);
}

TEST(MetricsRegistry, NamesAreCheckedAndAFamilyIsRegisteredOnce) {
  Registry registry;
  Family<Counter>& first = registry.counter("calls_total", "help", {"op"});
  EXPECT_EQ(&registry.counter("calls_total", "other help", {"op"}), &first);
  EXPECT_THROW(registry.gauge("calls_total", "help", {"op"}), std::invalid_argument);
  EXPECT_THROW(registry.counter("calls_total", "help", {"operation"}), std::invalid_argument);
  EXPECT_THROW(registry.counter("9lives", "help"), std::invalid_argument);
  EXPECT_THROW(registry.counter("has-dash", "help"), std::invalid_argument);
  EXPECT_THROW(registry.counter("ok_total", "help", {"__reserved"}), std::invalid_argument);
  EXPECT_THROW(registry.counter("ok_total", "help", {"bad:label"}), std::invalid_argument);
  EXPECT_THROW(registry.histogram("h_seconds", "help", {"le"}), std::invalid_argument);
  EXPECT_THROW(registry.histogram("h_seconds", "help", {}, {1, 1}), std::invalid_argument);
  EXPECT_THROW(first.with({"a", "b"}), std::invalid_argument);
  EXPECT_THROW(first.get(), std::invalid_argument);
  EXPECT_NO_THROW(registry.counter("ns:sub_total", "colons are allowed in names"));
}

TEST(MetricsRegistry, CountsFromManyThreadsAddUpWhileRendering) {
  Registry registry;
  Family<Counter>& calls = registry.counter("calls_total", "c", {"thread"});
  Counter& shared = registry.counter("shared_total", "s").get();
  Gauge& level = registry.gauge("level", "g").get();
  Histogram& latency = registry.histogram("latency_seconds", "h", {}, {0.5}).get();
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::atomic<bool> done{false};
  std::thread renderer([&] {
    while (!done) {
      // Every rendering is whole: a histogram's +Inf bucket is its count.
      const std::string text = registry.render();
      const std::string inf_line = "latency_seconds_bucket{le=\"+Inf\"} ";
      const std::string count_line = "latency_seconds_count ";
      const auto inf_at = text.find(inf_line);
      const auto count_at = text.find(count_line);
      ASSERT_NE(inf_at, std::string::npos);
      ASSERT_NE(count_at, std::string::npos);
      ASSERT_EQ(std::stoll(text.substr(inf_at + inf_line.size())),
                std::stoll(text.substr(count_at + count_line.size())));
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        calls.with({std::to_string(t % 2)}).inc();
        shared.inc();
        level.inc();
        level.dec();
        latency.observe(i % 2 ? 0.25 : 0.75);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  done = true;
  renderer.join();
  EXPECT_EQ(shared.value(), kThreads * kEach);
  EXPECT_EQ(calls.with({"0"}).value() + calls.with({"1"}).value(), kThreads * kEach);
  EXPECT_EQ(level.value(), 0);
  const Histogram::Snapshot snapshot = latency.snapshot();
  EXPECT_EQ(snapshot.cumulative,
            (std::vector<std::uint64_t>{kThreads * kEach / 2, kThreads * kEach}));
  EXPECT_DOUBLE_EQ(snapshot.sum, kThreads * kEach * 0.5);
}

TEST(MetricsRegistry, CollectHooksRunBeforeEachRenderingUntilRemoved) {
  Registry registry;
  Gauge& computed = registry.gauge("computed", "set by a hook").get();
  int runs = 0;
  {
    CollectHook hook = registry.on_collect([&] { computed.set(++runs * 10); });
    EXPECT_THAT(registry.render(), HasSubstr("computed 10\n"));
    CollectHook moved = std::move(hook);
    EXPECT_THAT(registry.render(), HasSubstr("computed 20\n"));
  }
  EXPECT_THAT(registry.render(), HasSubstr("computed 20\n"));
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace tavoren::metrics
