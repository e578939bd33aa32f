// The engine's log stream: multiplexed frames, each entry with its time.
#include <time.h>

#include <cstdio>
#include <string>

#include "tavoren/engine.h"

namespace tavoren::engine {
namespace {

constexpr std::size_t kHeader = 8;

// `count` decimal digits at `at` of `text`; nullopt when they are not.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

[[noreturn]] void bad_time(std::string_view text) {
  throw Error("the engine's log holds an unreadable time: \"" + std::string(text.substr(0, 40)) +
              "\"");
}

}  // namespace

std::int64_t parse_log_time(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS
  const auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2),
             hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':' || *month < 1 ||
      *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
    bad_time(text);
  }
  std::size_t at = 19;
  std::int64_t nanos = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    int count = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (count < 9) {
        nanos = nanos * 10 + (text[at] - '0');
        ++count;
      }
      ++at;
    }
    if (count == 0) bad_time(text);
    for (; count < 9; ++count) nanos *= 10;
  }
  std::int64_t offset_seconds = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const auto oh = digits(text, at + 1, 2), om = digits(text, at + 4, 2);
    if (!oh || !om || text[at + 3] != ':') bad_time(text);
    offset_seconds = (*oh * 3600 + *om * 60) * (text[at] == '+' ? 1 : -1);
    at += 6;
  } else {
    bad_time(text);
  }
  if (at != text.size()) bad_time(text);
  struct tm parts {};
  parts.tm_year = *year - 1900;
  parts.tm_mon = *month - 1;
  parts.tm_mday = *day;
  parts.tm_hour = *hour;
  parts.tm_min = *minute;
  parts.tm_sec = *second;
  const std::int64_t seconds = static_cast<std::int64_t>(::timegm(&parts)) - offset_seconds;
  return seconds * 1'000'000'000 + nanos;
}

std::string unix_time_text(std::int64_t time_ns) {
  std::int64_t seconds = time_ns / 1'000'000'000;
  std::int64_t nanos = time_ns % 1'000'000'000;
  if (nanos < 0) {
    nanos += 1'000'000'000;
    --seconds;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(seconds),
                static_cast<long long>(nanos));
  return text;
}

void LogFrameReader::feed(std::string_view bytes) {
  // Whole frames straight from `bytes`; a frame cut at its end waits in
  // pending_ for the rest.
  while (!bytes.empty()) {
    if (!pending_.empty() || bytes.size() < kHeader) {
      const std::size_t want_header = pending_.size() < kHeader ? kHeader - pending_.size() : 0;
      if (want_header > 0) {
        const std::size_t take = std::min(want_header, bytes.size());
        pending_.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (pending_.size() < kHeader) return;
      }
      // Read before the header's storage may move with the payload.
      const auto* h = reinterpret_cast<const unsigned char*>(pending_.data());
      if (h[0] > 2 || h[1] != 0 || h[2] != 0 || h[3] != 0) {
        throw Error("the engine's log is not a multiplexed stream");
      }
      const int stream = h[0];
      const std::size_t length = (std::size_t{h[4]} << 24) | (std::size_t{h[5]} << 16) |
                                 (std::size_t{h[6]} << 8) | std::size_t{h[7]};
      const std::size_t have = pending_.size() - kHeader;
      const std::size_t take = std::min(length - have, bytes.size());
      pending_.append(bytes.substr(0, take));
      bytes.remove_prefix(take);
      if (pending_.size() - kHeader < length) return;
      const std::string frame = std::move(pending_);
      pending_.clear();
      emit(std::string_view(frame).substr(kHeader), stream);
      continue;
    }
    const auto* h = reinterpret_cast<const unsigned char*>(bytes.data());
    if (h[0] > 2 || h[1] != 0 || h[2] != 0 || h[3] != 0) {
      throw Error("the engine's log is not a multiplexed stream");
    }
    const std::size_t length = (std::size_t{h[4]} << 24) | (std::size_t{h[5]} << 16) |
                               (std::size_t{h[6]} << 8) | std::size_t{h[7]};
    if (bytes.size() - kHeader < length) {
      pending_.assign(bytes);
      return;
    }
    emit(bytes.substr(kHeader, length), h[0]);
    bytes.remove_prefix(kHeader + length);
  }
}

void LogFrameReader::emit(std::string_view payload, int stream) {
  LogEntry entry;
  entry.stream = stream;
  if (timestamps_) {
    const std::size_t space = payload.find(' ');
    if (space == std::string_view::npos) bad_time(payload);
    entry.time_ns = parse_log_time(payload.substr(0, space));
    payload.remove_prefix(space + 1);
  }
  entry.bytes = payload;
  sink_(entry);
}

}  // namespace tavoren::engine
