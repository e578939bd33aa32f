#include "tavoren/common/shell.h"

#include "tavoren/common/errors.h"

namespace tavoren {
namespace {

bool is_safe(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '@':
    case '%':
    case '+':
    case '=':
    case ':':
    case ',':
    case '.':
    case '/':
    case '-':
    case '_':
      return true;
    default:
      return false;
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string shell_quote(std::string_view text) {
  if (text.empty()) return "''";
  bool safe = true;
  for (char c : text) {
    if (!is_safe(c)) {
      safe = false;
      break;
    }
  }
  if (safe) return std::string(text);
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\"'\"'";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::vector<std::string> shell_split(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    char c = line[i];
    if (is_blank(c)) {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      ++i;
    } else if (c == '\'') {
      in_word = true;
      std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) throw ValueError("No closing quotation");
      word.append(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      in_word = true;
      ++i;
      bool closed = false;
      while (i < n) {
        char d = line[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n) {
          char e = line[i + 1];
          if (e == '\n') {  // line continuation
            i += 2;
            continue;
          }
          if (e == '"' || e == '\\' || e == '$' || e == '`') {
            word += e;
            i += 2;
            continue;
          }
        }
        word += d;
        ++i;
      }
      if (!closed) throw ValueError("No closing quotation");
    } else if (c == '\\') {
      if (i + 1 >= n) throw ValueError("No escaped character");
      if (line[i + 1] != '\n') {  // a backslash-newline joins lines
        in_word = true;
        word += line[i + 1];
      }
      i += 2;
    } else {
      in_word = true;
      word += c;
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string escape_double_quoted(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string shell_join(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& w : words) {
    if (!line.empty()) line += ' ';
    line += shell_quote(w);
  }
  return line;
}

}  // namespace tavoren
