// Building blocks of the access-key encryption, exported from the host_probe
// library so that tests can check them against published vectors. Not part
// of the public interface.
//
// All functions are pure (the caller supplies the nonce); they throw
// ValueError (or std::runtime_error for a failing crypto library) and never
// log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavoren::host_probe::detail {

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// AES-GCM with a 96-bit nonce and no associated data, the AES variant
// chosen by the key's length (16, 24 or 32 bytes; anything else throws
// ValueError). Returns ciphertext followed by the 16-byte tag.
std::string aes_gcm_encrypt(std::string_view key, std::string_view nonce,
                            std::string_view plaintext);
// The inverse: `sealed` is ciphertext followed by the 16-byte tag. Throws
// ValueError when `sealed` is shorter than a tag or the tag does not verify;
// no plaintext leaves the function unless it verified.
std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed);

// Standard Base64 (alphabet with "+" and "/", padded, one line).
std::string base64_encode(std::string_view bytes);
// Decodes Base64 text. Characters outside the alphabet (and other than "=")
// are skipped; what remains must be whole groups of four with at most two
// padding characters at the very end, else ValueError.
std::string base64_decode(std::string_view text);

}  // namespace tavoren::host_probe::detail
