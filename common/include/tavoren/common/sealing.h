// Texts sealed with AES-GCM for storage, and the primitives under them.
//
// A sealed text is Base64 (standard alphabet, padded, one line) of a
// 12-byte random nonce, the AES-GCM ciphertext and the 16-byte tag, with no
// associated data. The key's bytes are the AES key itself: 16, 24 or 32
// bytes choose AES-128, -192 or -256.
//
// Threads: every function may be called from any thread. Failures:
// ValueError for a key of another length, input that does not decode or an
// authentication tag that does not verify; std::runtime_error when the
// crypto library fails. Nothing here logs, and no message holds a key or
// plaintext.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavoren::sealing {

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// `plaintext` sealed under `key`, with a fresh random nonce.
std::string seal_text(std::string_view plaintext, std::string_view key);
// The inverse of seal_text. `what` names the sealed value in messages
// ("cannot decrypt the <what>: ..."). Bytes that are not UTF-8 are replaced.
std::string open_text(std::string_view sealed, std::string_view key,
                      std::string_view what = "text");

// AES-GCM with a 96-bit nonce: ciphertext followed by the 16-byte tag.
std::string aes_gcm_encrypt(std::string_view key, std::string_view nonce,
                            std::string_view plaintext);
// The inverse; no plaintext leaves it unless the tag verified.
std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed);

// Standard Base64 (alphabet with "+" and "/", padded, one line).
std::string base64_encode(std::string_view bytes);
// Characters outside the alphabet (and other than "=") are skipped; what
// remains must be whole groups of four with at most two padding characters
// at the very end.
std::string base64_decode(std::string_view text);

// Overwrites a buffer that held key material or plaintext when it goes out
// of scope.
class Wipe {
 public:
  explicit Wipe(std::string& buffer) : buffer_(buffer) {}
  ~Wipe();
  Wipe(const Wipe&) = delete;
  Wipe& operator=(const Wipe&) = delete;

 private:
  std::string& buffer_;
};

}  // namespace tavoren::sealing
