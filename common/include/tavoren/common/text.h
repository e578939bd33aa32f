// Small text helpers shared by the agent's libraries. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavoren {

// Removes white space (space, tab, newline, carriage return, vertical tab,
// form feed) at both ends.
std::string trim(std::string_view text);
// Splits at every `separator`; n separators give n + 1 pieces.
std::vector<std::string> split(std::string_view text, char separator);
// Splits at runs of white space, dropping empty pieces.
std::vector<std::string> split_whitespace(std::string_view text);
bool starts_with(std::string_view text, std::string_view prefix);
// Whether every byte of `text` is ASCII.
bool is_ascii(std::string_view text);
// Reads a whole decimal integer, blanks around the digits allowed (as in
// " 42 "); anything else throws ValueError naming the text.
long long parse_int(std::string_view text);
// A count written as 1 to 15 decimal digits and nothing else (no sign, no
// blanks), as requests and signed texts carry one; nullopt otherwise.
std::optional<std::int64_t> plain_count(std::string_view text);
// Reads a whole floating-point number, blanks around it allowed; anything
// else throws ValueError naming the text.
double parse_double(std::string_view text);
// Reads an environment variable; nullopt when unset.
std::optional<std::string> get_env(const char* name);

}  // namespace tavoren
