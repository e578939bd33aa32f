// UTF-8 text from raw bytes: the one validator, the one replacer of
// ill-formed bytes, and the reading of a character cut off at the end of a
// buffer, shared by every part of the agent that turns bytes into text
// (logs, decrypted keys, answers of outside services).
//
// Well-formed means what Unicode calls well-formed UTF-8: no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated characters.
//
// Pure functions, safe from any thread; none throws except for lack of
// memory. The validator is vectorised where the processor allows and fast
// enough for logs of many gigabytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavoren {

// U+FFFD REPLACEMENT CHARACTER, encoded.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Whether `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// The length (0 to 3) of an incomplete but so far well-formed multi-byte
// character at the very end of `bytes`: the bytes to hold back until the
// rest of the character arrives. Bytes that can never become a character
// are not counted.
std::size_t incomplete_utf8_suffix(std::string_view bytes);

// `bytes` with each maximal ill-formed subsequence replaced by U+FFFD (a
// lead byte with part of its character counts once; any other bad byte
// alone). Well-formed input comes back unchanged.
std::string replace_invalid_utf8(std::string_view bytes);

// `bytes` as well-formed UTF-8: unchanged (moved) when it already is, else
// replace_invalid_utf8(bytes).
std::string decode_utf8_lossy(std::string bytes);

// The number of characters (Unicode code points) of UTF-8 text: every byte
// but continuation bytes counts.
std::size_t code_point_count(std::string_view text);

namespace detail {
// The byte-by-byte validator behind is_valid_utf8, which gives the same
// answers; exported so that tests can compare the two.
bool is_valid_utf8_portable(std::string_view bytes);
}  // namespace detail

}  // namespace tavoren
