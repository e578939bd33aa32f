// Bytes written as lowercase hexadecimal, two digits per byte: digests,
// identifiers and keys. Pure, safe from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tavoren {

inline std::string lower_hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0f];
  }
  return hex;
}

}  // namespace tavoren
