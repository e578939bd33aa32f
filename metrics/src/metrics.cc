#include "tavoren/metrics.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tavoren::metrics {
namespace {

bool valid_name(std::string_view name, bool metric) {
  if (name.empty()) return false;
  auto first_ok = [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (metric && c == ':');
  };
  if (!first_ok(name.front())) return false;
  return std::all_of(name.begin() + 1, name.end(),
                     [&](char c) { return first_ok(c) || (c >= '0' && c <= '9'); });
}

std::string escape_help(std::string_view help) {
  std::string out;
  out.reserve(help.size());
  for (char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

const char* type_name(Type type) {
  switch (type) {
    case Type::kCounter:
      return "counter";
    case Type::kGauge:
      return "gauge";
    case Type::kHistogram:
      return "histogram";
  }
  return "untyped";
}

// `{a="x",b="y"}` with `extra` (already escaped) last; empty without labels.
std::string label_text(const std::vector<std::string>& names,
                       const std::vector<std::string>& values, const std::string& extra = "") {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += out.empty() ? "{" : ",";
    out += names[i] + "=\"" + escape_label_value(values[i]) + "\"";
  }
  if (!extra.empty()) out += (out.empty() ? "{" : ",") + extra;
  if (!out.empty()) out += "}";
  return out;
}

template <typename Metric>
std::unique_ptr<Metric> make_metric(const std::vector<double>& bounds) {
  if constexpr (std::is_same_v<Metric, Histogram>) {
    return std::make_unique<Histogram>(bounds);
  } else {
    return std::make_unique<Metric>();
  }
}

}  // namespace

std::string format_value(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return fmt::format("{}", static_cast<long long>(value));
  }
  return fmt::format("{}", value);
}

std::string escape_label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Counter::inc(double amount) {
  if (!(amount >= 0)) return;  // negative or NaN
  value_.fetch_add(amount, std::memory_order_relaxed);
}

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)) {
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    if (!std::isfinite(bounds_[i]) || (i > 0 && bounds_[i] <= bounds_[i - 1])) {
      throw std::invalid_argument("histogram bounds must be finite and strictly increasing");
    }
  }
  counts_.assign(bounds_.size() + 1, 0);
}

void Histogram::observe(double value) {
  if (std::isnan(value)) return;
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
  std::lock_guard lock(mutex_);
  ++counts_[bucket];
  sum_ += value;
  ++count_;
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot snapshot;
  snapshot.bounds = bounds_;
  std::lock_guard lock(mutex_);
  std::uint64_t running = 0;
  for (std::uint64_t n : counts_) {
    running += n;
    snapshot.cumulative.push_back(running);
  }
  snapshot.sum = sum_;
  snapshot.count = count_;
  return snapshot;
}

std::vector<double> latency_buckets() {
  return {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
}

template <typename Metric>
Metric& Family<Metric>::with(const std::vector<std::string>& label_values) {
  if (label_values.size() != label_names_.size()) {
    throw std::invalid_argument("expected " + std::to_string(label_names_.size()) +
                                " label values, got " + std::to_string(label_values.size()));
  }
  std::lock_guard lock(mutex_);
  std::unique_ptr<Metric>& slot = series_[label_values];
  if (!slot) slot = make_metric<Metric>(bounds_);
  return *slot;
}

template <typename Metric>
std::vector<std::pair<std::vector<std::string>, const Metric*>> Family<Metric>::series() const {
  std::vector<std::pair<std::vector<std::string>, const Metric*>> out;
  std::lock_guard lock(mutex_);
  for (const auto& [values, metric] : series_) out.emplace_back(values, metric.get());
  return out;
}

template class Family<Counter>;
template class Family<Gauge>;
template class Family<Histogram>;

CollectHook::CollectHook(CollectHook&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), id_(other.id_) {}

CollectHook& CollectHook::operator=(CollectHook&& other) noexcept {
  if (this != &other) {
    reset();
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void CollectHook::reset() {
  if (registry_ != nullptr) std::exchange(registry_, nullptr)->remove_hook(id_);
}

Registry& Registry::process_wide() {
  // Never destroyed: libraries may count from threads that outlive main.
  static Registry* registry = new Registry();
  return *registry;
}

Registry::Entry& Registry::find_or_add(const std::string& name, const std::string& help, Type type,
                                       const std::vector<std::string>& label_names,
                                       const std::vector<double>& bounds) {
  if (!valid_name(name, true)) throw std::invalid_argument("invalid metric name: " + name);
  for (const std::string& label : label_names) {
    if (!valid_name(label, false) || label.starts_with("__") ||
        (type == Type::kHistogram && label == "le")) {
      throw std::invalid_argument("invalid label name " + label + " of " + name);
    }
  }
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry->name != name) continue;
    const std::vector<std::string>* existing = entry->counters ? &entry->counters->label_names()
                                               : entry->gauges ? &entry->gauges->label_names()
                                                               : &entry->histograms->label_names();
    if (entry->type != type || *existing != label_names) {
      throw std::invalid_argument("metric " + name + " is registered with another type or labels");
    }
    return *entry;
  }
  auto entry = std::make_unique<Entry>();
  entry->name = name;
  entry->help = help;
  entry->type = type;
  switch (type) {
    case Type::kCounter:
      entry->counters = std::make_unique<Family<Counter>>(label_names);
      if (label_names.empty()) entry->counters->get();
      break;
    case Type::kGauge:
      entry->gauges = std::make_unique<Family<Gauge>>(label_names);
      if (label_names.empty()) entry->gauges->get();
      break;
    case Type::kHistogram:
      // Checked before it is kept.
      Histogram check(bounds);
      entry->histograms = std::make_unique<Family<Histogram>>(label_names, bounds);
      if (label_names.empty()) entry->histograms->get();
      break;
  }
  entries_.push_back(std::move(entry));
  return *entries_.back();
}

Family<Counter>& Registry::counter(const std::string& name, const std::string& help,
                                   std::vector<std::string> label_names) {
  return *find_or_add(name, help, Type::kCounter, label_names, {}).counters;
}

Family<Gauge>& Registry::gauge(const std::string& name, const std::string& help,
                               std::vector<std::string> label_names) {
  return *find_or_add(name, help, Type::kGauge, label_names, {}).gauges;
}

Family<Histogram>& Registry::histogram(const std::string& name, const std::string& help,
                                       std::vector<std::string> label_names,
                                       std::vector<double> bounds) {
  return *find_or_add(name, help, Type::kHistogram, label_names, bounds).histograms;
}

CollectHook Registry::on_collect(std::function<void()> hook) {
  std::lock_guard lock(hooks_mutex_);
  const std::uint64_t id = next_hook_++;
  hooks_.emplace(id, std::move(hook));
  return CollectHook(this, id);
}

void Registry::remove_hook(std::uint64_t id) {
  std::lock_guard lock(hooks_mutex_);
  hooks_.erase(id);
}

std::string Registry::render() const {
  {
    std::lock_guard lock(hooks_mutex_);
    for (const auto& [id, hook] : hooks_) hook();
  }
  std::vector<const Entry*> entries;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) entries.push_back(entry.get());
  }
  std::string out;
  for (const Entry* entry : entries) {
    out += "# HELP " + entry->name + " " + escape_help(entry->help) + "\n";
    out += "# TYPE " + entry->name + " " + type_name(entry->type) + "\n";
    if (entry->counters) {
      for (const auto& [values, counter] : entry->counters->series()) {
        out += entry->name + label_text(entry->counters->label_names(), values) + " " +
               format_value(counter->value()) + "\n";
      }
    } else if (entry->gauges) {
      for (const auto& [values, gauge] : entry->gauges->series()) {
        out += entry->name + label_text(entry->gauges->label_names(), values) + " " +
               format_value(gauge->value()) + "\n";
      }
    } else {
      const std::vector<std::string>& names = entry->histograms->label_names();
      for (const auto& [values, histogram] : entry->histograms->series()) {
        const Histogram::Snapshot snapshot = histogram->snapshot();
        for (std::size_t i = 0; i <= snapshot.bounds.size(); ++i) {
          const std::string bound =
              i < snapshot.bounds.size() ? format_value(snapshot.bounds[i]) : "+Inf";
          out += entry->name + "_bucket" + label_text(names, values, "le=\"" + bound + "\"") + " " +
                 std::to_string(snapshot.cumulative[i]) + "\n";
        }
        out += entry->name + "_sum" + label_text(names, values) + " " + format_value(snapshot.sum) +
               "\n";
        out += entry->name + "_count" + label_text(names, values) + " " +
               std::to_string(snapshot.count) + "\n";
      }
    }
  }
  return out;
}

}  // namespace tavoren::metrics
