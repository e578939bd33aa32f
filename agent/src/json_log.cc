#include "json_log.h"

#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "tavoren/common/logging.h"

namespace tavoren::agent {
namespace {

std::string utc_timestamp(std::chrono::system_clock::time_point time) {
  auto since_epoch = time.time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds);
  std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm parts{};
  ::gmtime_r(&whole, &parts);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis.count()));
  return buffer;
}

class JsonLineFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    Json line;
    line["time"] = utc_timestamp(msg.time);
    auto level = spdlog::level::to_string_view(msg.level);
    line["level"] = std::string(level.data(), level.size());
    line["message"] = std::string(msg.payload.data(), msg.payload.size());
    line["thread"] = msg.thread_id;
    std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    text.push_back('\n');
    dest.append(text.data(), text.data() + text.size());
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<JsonLineFormatter>();
  }
};

}  // namespace

void use_json_log_format() {
  // The first sink is the standard-error sink; the others (test captures)
  // keep their own form.
  auto& sinks = log::logger().sinks();
  if (!sinks.empty()) sinks.front()->set_formatter(std::make_unique<JsonLineFormatter>());
}

}  // namespace tavoren::agent
