#include "tavoren/common/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t pos = text.find(separator, start);
    if (pos == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::vector<std::string> split_whitespace(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

long long parse_int(std::string_view text) {
  std::string t = trim(text);
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  if (i == t.size()) throw ValueError("invalid integer: '" + std::string(text) + "'");
  for (std::size_t k = i; k < t.size(); ++k) {
    if (t[k] < '0' || t[k] > '9') throw ValueError("invalid integer: '" + std::string(text) + "'");
  }
  errno = 0;
  long long value = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE) throw ValueError("integer out of range: '" + std::string(text) + "'");
  return value;
}

std::optional<std::int64_t> plain_count(std::string_view text) {
  if (text.empty() || text.size() > 15 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return std::stoll(std::string(text));
}

double parse_double(std::string_view text) {
  std::string t = trim(text);
  if (t.empty()) throw ValueError("invalid number: '" + std::string(text) + "'");
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(t.c_str(), &end);
  // strtod accepts hexadecimal forms; the agent reads only decimal numbers.
  bool hex = t.find_first_of("xX") != std::string::npos;
  if (end != t.c_str() + t.size() || hex) {
    throw ValueError("invalid number: '" + std::string(text) + "'");
  }
  return value;
}

std::optional<std::string> get_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace tavoren
