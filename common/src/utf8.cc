// UTF-8 text from raw bytes: a validator fast enough for logs of many
// gigabytes, and a decoder that replaces ill-formed bytes.
//
// Well-formed means what Unicode calls well-formed UTF-8: no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated characters.
#include "tavoren/common/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TAVOREN_UTF8_AVX2 1
#endif

namespace tavoren {
namespace {

// The length of the character a byte starts: 1 for ASCII, 2 to 4 for a
// lead byte, 0 for a byte that cannot start a character.
std::size_t sequence_length(unsigned char b) {
  if (b < 0x80) return 1;
  if (b < 0xC2) return 0;  // continuation bytes, and C0/C1 (overlong forms)
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF5) return 4;
  return 0;
}

// How many bytes from `i` (the lead byte included, at most `length`) follow
// the rules of a character started by bytes[i]. The second byte's range
// depends on the lead: it excludes overlong forms, surrogates and code
// points above U+10FFFF.
std::size_t matching_bytes(std::string_view bytes, std::size_t i, std::size_t length) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t count = 1;
  for (std::size_t j = 1; j < length && i + j < bytes.size(); ++j) {
    const auto c = static_cast<unsigned char>(bytes[i + j]);
    unsigned char low = 0x80, high = 0xBF;
    if (j == 1) {
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (c < low || c > high) break;
    ++count;
  }
  return count;
}

// The position of the first byte that is not part of a well-formed
// character, or bytes.size().
std::size_t first_ill_formed(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += 8;
        continue;
      }
    }
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(b);
    if (length == 0 || matching_bytes(bytes, i, length) != length) return i;
    i += length;
  }
  return n;
}

#ifdef TAVOREN_UTF8_AVX2

// Validation of 32 bytes at a time by table lookups (the "lookup"
// algorithm of Keiser and Lemire). Each byte is classified together with
// the byte before it; three 16-entry tables (first byte's high nibble, its
// low nibble, second byte's high nibble) give the error kinds each pair
// could be, and their intersection the errors it is. Continuation bytes
// required by three- and four-byte leads two or three bytes back are
// checked separately.
constexpr std::uint8_t kTooShort = 1 << 0;      // lead or ASCII, then a lead or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5.. 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0/C1, then a continuation
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5.. 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

alignas(16) constexpr std::uint8_t kByte1High[16] = {
    // 0___: ASCII first
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    // 10__: continuation first
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    // 1100, 1101: two-byte lead
    kTooShort | kOverlong2, kTooShort,
    // 1110: three-byte lead; 1111: four-byte lead (or worse)
    kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
alignas(16) constexpr std::uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ____0000
    kCarry | kOverlong2,                            // ____0001
    kCarry,
    kCarry,
    kCarry | kTooLarge,                  // ____0100
    kCarry | kTooLarge | kTooLarge1000,  // ____0101
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,  // ____1___
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ____1101
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
alignas(16) constexpr std::uint8_t kByte2High[16] = {
    // 0___: ASCII second
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    // 1000, 1001, 101_: continuation second
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    // 11__: lead second
    kTooShort, kTooShort, kTooShort, kTooShort};
// Per position of a block, the highest byte that does not start a
// character longer than what is left of the block.
alignas(32) constexpr std::uint8_t kIncompleteLimit[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,     0xFF,     0xFF,    0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,     0xFF,     0xFF,    0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};

__attribute__((target("avx2"))) inline __m256i table16(const std::uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

struct Avx2Checker {
  __m256i byte_1_high, byte_1_low, byte_2_high, incomplete_limit;
  __m256i error, previous, previous_incomplete;

  __attribute__((target("avx2"))) Avx2Checker() {
    byte_1_high = table16(kByte1High);
    byte_1_low = table16(kByte1Low);
    byte_2_high = table16(kByte2High);
    incomplete_limit = _mm256_load_si256(reinterpret_cast<const __m256i*>(kIncompleteLimit));
    error = previous = previous_incomplete = _mm256_setzero_si256();
  }

  __attribute__((target("avx2"), always_inline)) inline void check(__m256i input) {
    if (_mm256_movemask_epi8(input) == 0) {
      error = _mm256_or_si256(error, previous_incomplete);
    } else {
      const __m256i low_nibble = _mm256_set1_epi8(0x0F);
      // The bytes 1, 2 and 3 positions before each input byte.
      const __m256i joined = _mm256_permute2x128_si256(previous, input, 0x21);
      const __m256i prev1 = _mm256_alignr_epi8(input, joined, 15);
      const __m256i prev2 = _mm256_alignr_epi8(input, joined, 14);
      const __m256i prev3 = _mm256_alignr_epi8(input, joined, 13);
      const __m256i b1h = _mm256_shuffle_epi8(
          byte_1_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble));
      const __m256i b1l = _mm256_shuffle_epi8(byte_1_low, _mm256_and_si256(prev1, low_nibble));
      const __m256i b2h = _mm256_shuffle_epi8(
          byte_2_high, _mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble));
      const __m256i special = _mm256_and_si256(_mm256_and_si256(b1h, b1l), b2h);
      // Only bytes two after a three-byte lead, or three after a four-byte
      // lead, get their high bit here.
      const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(0xE0 - 0x80));
      const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(0xF0 - 0x80));
      const __m256i must_continue =
          _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(-128));
      error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));
      previous_incomplete = _mm256_subs_epu8(input, incomplete_limit);
    }
    previous = input;
  }
};

__attribute__((target("avx2"))) bool well_formed_avx2(const unsigned char* s, std::size_t n) {
  Avx2Checker checker;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    checker.check(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)));
  }
  if (i < n) {
    // The rest, padded with ASCII zeros: a character cut by the end is then
    // followed by ASCII, which the tables catch.
    alignas(32) unsigned char last[32] = {};
    std::memcpy(last, s + i, n - i);
    checker.check(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  const __m256i error = _mm256_or_si256(checker.error, checker.previous_incomplete);
  return _mm256_testz_si256(error, error) != 0;
}

#endif  // TAVOREN_UTF8_AVX2

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
#ifdef TAVOREN_UTF8_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2)
    return well_formed_avx2(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
#endif
  return first_ill_formed(bytes) == bytes.size();
}

namespace detail {

bool is_valid_utf8_portable(std::string_view bytes) {
  return first_ill_formed(bytes) == bytes.size();
}

}  // namespace detail

std::size_t incomplete_utf8_suffix(std::string_view bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t k = 1; k <= std::min<std::size_t>(3, n); ++k) {
    const auto b = static_cast<unsigned char>(bytes[n - k]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: its lead is further back
    const std::size_t length = sequence_length(b);
    if (length <= k) return 0;  // ASCII, a complete character, or not a lead byte
    return matching_bytes(bytes, n - k, length) == k ? k : 0;
  }
  return 0;
}

std::string replace_invalid_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() + 16);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t good = first_ill_formed(bytes.substr(i));
    text.append(bytes.substr(i, good));
    i += good;
    if (i >= bytes.size()) break;
    const std::size_t length = sequence_length(static_cast<unsigned char>(bytes[i]));
    // A lead byte followed by part of its character is one ill-formed
    // subsequence; any other bad byte stands alone.
    i += length == 0 ? 1 : matching_bytes(bytes, i, length);
    text.append(kReplacementCharacter);
  }
  return text;
}

std::string decode_utf8_lossy(std::string bytes) {
  if (is_valid_utf8(bytes)) return bytes;
  return replace_invalid_utf8(bytes);
}

std::size_t code_point_count(std::string_view text) {
  std::size_t count = 0;
  for (const unsigned char byte : text) count += (byte & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

}  // namespace tavoren
