// Counters, gauges and histograms of a process, and their rendering in
// Prometheus' text exposition format (version 0.0.4).
//
// A Registry holds metric families. A family has a name, a help text and a
// fixed list of label names; each distinct list of label values is one
// child series of it (Family::with). A family without labels has its one
// series from the start, so it is rendered as 0 before anything happened.
//
// Names are checked when a family is registered: a metric name matches
// [a-zA-Z_:][a-zA-Z0-9_:]*, a label name [a-zA-Z_][a-zA-Z0-9_]* and does
// not start with "__" (histograms also reserve "le"). Registering a name
// again with the same type and label names returns the family that exists;
// with another type or other label names it throws std::invalid_argument.
// Family::with throws std::invalid_argument for a wrong number of label
// values. Label values may be any text; they are escaped when rendered.
//
// Ownership: the registry owns its families and series; the references that
// counter(), gauge(), histogram() and with() return stay valid as long as
// the registry. Registry::process_wide() lives until the process ends.
// Threads: every member function may be called from any thread at once.
// Counter and gauge updates are lock-free; a histogram observation and a
// new series take a short lock. render() sees each histogram whole (its
// buckets, sum and count from one moment) but different series at slightly
// different moments.
// Collect hooks (on_collect) run at the start of every render(), on the
// rendering thread, one at a time; they typically set gauges computed from
// the state of their owner. The returned CollectHook removes the hook when
// it is destroyed (waiting for a render that runs it), so an owner keeps it
// no longer than itself. A hook must not register families or hooks.
// Failures: none beyond the std::invalid_argument above; nothing blocks
// beyond the short locks, and no call has a time limit to keep.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tavoren::metrics {

// A value that only goes up (or is reset with its process).
class Counter {
 public:
  // Adds `amount`; a negative or NaN amount is ignored.
  void inc(double amount = 1);
  double value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0};
};

// A value that goes up and down.
class Gauge {
 public:
  void set(double value) { value_.store(value, std::memory_order_relaxed); }
  void inc(double amount = 1) { value_.fetch_add(amount, std::memory_order_relaxed); }
  void dec(double amount = 1) { value_.fetch_sub(amount, std::memory_order_relaxed); }
  double value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0};
};

// Observations counted into cumulative buckets by upper bound, with their
// sum and count.
class Histogram {
 public:
  // `bounds`: strictly increasing finite upper bounds (the +Inf bucket is
  // implied).
  explicit Histogram(std::vector<double> bounds);
  // A NaN observation is ignored.
  void observe(double value);

  struct Snapshot {
    std::vector<double> bounds;
    // Cumulative: observations <= each bound, then all of them.
    std::vector<std::uint64_t> cumulative;
    double sum = 0;
    std::uint64_t count = 0;
  };
  Snapshot snapshot() const;

 private:
  const std::vector<double> bounds_;
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> counts_;  // per bucket, the last one +Inf
  double sum_ = 0;
  std::uint64_t count_ = 0;
};

// Bucket bounds for durations of calls, in seconds (5 ms to 60 s).
std::vector<double> latency_buckets();

enum class Type { kCounter, kGauge, kHistogram };

// One named metric and its series, one per list of label values.
template <typename Metric>
class Family {
 public:
  Family(std::vector<std::string> label_names, std::vector<double> bounds = {})
      : label_names_(std::move(label_names)), bounds_(std::move(bounds)) {}

  // The series of these label values (in the order of the label names),
  // made on first use.
  Metric& with(const std::vector<std::string>& label_values);
  Metric& with(std::initializer_list<std::string_view> label_values) {
    return with(std::vector<std::string>(label_values.begin(), label_values.end()));
  }
  // The series of a family without labels.
  Metric& get() { return with(std::vector<std::string>{}); }

  const std::vector<std::string>& label_names() const { return label_names_; }
  // Every series with its label values, in the order of the values.
  std::vector<std::pair<std::vector<std::string>, const Metric*>> series() const;

 private:
  const std::vector<std::string> label_names_;
  const std::vector<double> bounds_;
  mutable std::mutex mutex_;
  std::map<std::vector<std::string>, std::unique_ptr<Metric>> series_;
};

class Registry;

// Keeps a collect hook registered while it lives (see Registry::on_collect).
class CollectHook {
 public:
  CollectHook() = default;
  CollectHook(Registry* registry, std::uint64_t id) : registry_(registry), id_(id) {}
  ~CollectHook() { reset(); }
  CollectHook(CollectHook&& other) noexcept;
  CollectHook& operator=(CollectHook&& other) noexcept;
  CollectHook(const CollectHook&) = delete;
  CollectHook& operator=(const CollectHook&) = delete;
  // Removes the hook now.
  void reset();

 private:
  Registry* registry_ = nullptr;
  std::uint64_t id_ = 0;
};

class Registry {
 public:
  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The registry of the process, which the libraries count into and the
  // programs serve.
  static Registry& process_wide();

  Family<Counter>& counter(const std::string& name, const std::string& help,
                           std::vector<std::string> label_names = {});
  Family<Gauge>& gauge(const std::string& name, const std::string& help,
                       std::vector<std::string> label_names = {});
  // `bounds` as for Histogram; a registered family keeps its first bounds.
  Family<Histogram>& histogram(const std::string& name, const std::string& help,
                               std::vector<std::string> label_names,
                               std::vector<double> bounds = latency_buckets());

  // Runs `hook` before each render() until the returned object is destroyed.
  [[nodiscard]] CollectHook on_collect(std::function<void()> hook);

  // Every family in the text exposition format, in the order registered.
  std::string render() const;

 private:
  friend class CollectHook;
  struct Entry {
    std::string name;
    std::string help;
    Type type;
    std::unique_ptr<Family<Counter>> counters;
    std::unique_ptr<Family<Gauge>> gauges;
    std::unique_ptr<Family<Histogram>> histograms;
  };
  Entry& find_or_add(const std::string& name, const std::string& help, Type type,
                     const std::vector<std::string>& label_names,
                     const std::vector<double>& bounds);
  void remove_hook(std::uint64_t id);

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Entry>> entries_;
  // Held while hooks run and while one is removed.
  mutable std::mutex hooks_mutex_;
  std::map<std::uint64_t, std::function<void()>> hooks_;
  std::uint64_t next_hook_ = 1;
};

// The content type of render()'s text.
inline constexpr const char* kTextContentType = "text/plain; version=0.0.4; charset=utf-8";

// A sample value as the text format writes it: "+Inf", "-Inf", "NaN", a
// whole number without a fraction, else the shortest text that reads back
// as the same double.
std::string format_value(double value);

// A label value escaped for the text format (backslash, double quote,
// line feed).
std::string escape_label_value(std::string_view value);

}  // namespace tavoren::metrics
