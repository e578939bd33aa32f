// Texts sealed with AES-GCM for storage, and the primitives under them.
//
// A sealed text is Base64 (standard alphabet, padded, one line) of a
// 12-byte random nonce, the AES-GCM ciphertext and the 16-byte tag, with no
// associated data. The key's bytes are the AES key itself: 16, 24 or 32
// bytes choose AES-128, -192 or -256. The agent opens its key pairs in this
// form.
//
// A server's secrets at rest are sealed under a master key instead
// (Keyring): 32 random bytes that never leave the server, from which
// HKDF-SHA256 derives one AES-256 key per purpose. Such a value is the
// marker kMasterSealedPrefix, then Base64 of nonce, ciphertext and tag, with
// the row it belongs to (row_binding) as associated data: it opens only
// under the subkey of its purpose and only as the value of that row.
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
#include <vector>

namespace tavoren::sealing {

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// `plaintext` sealed under `key`, with a fresh random nonce.
std::string seal_text(std::string_view plaintext, std::string_view key);
// The inverse of seal_text. `what` names the sealed value in messages
// ("cannot decrypt the <what>: ..."). Bytes that are not UTF-8 are replaced.
std::string open_text(std::string_view sealed, std::string_view key,
                      std::string_view what = "text");

// AES-GCM with a 96-bit nonce: ciphertext followed by the 16-byte tag;
// `associated` is authenticated, not encrypted.
std::string aes_gcm_encrypt(std::string_view key, std::string_view nonce,
                            std::string_view plaintext, std::string_view associated = {});
// The inverse; no plaintext leaves it unless the tag verified.
std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed,
                            std::string_view associated = {});

// HKDF-SHA256 (extract and expand) of `length` bytes.
std::string hkdf_sha256(std::string_view key, std::string_view salt, std::string_view info,
                        std::size_t length);

// What a subkey of the master key is for.
enum class Purpose {
  // The secrets of the server's access keys and the instances' transport
  // keys.
  kAccessKeys,
  // The registry password, model secrets and internal API keys.
  kOperatorSecrets,
  // The owners' key pairs at rest.
  kKeyPairs,
  // The signing of web sessions.
  kWebSessions,
};
// The purpose's name in the derivation ("access-keys", ...).
std::string_view purpose_name(Purpose purpose);

// The marker of a value sealed under a master key.
inline constexpr std::string_view kMasterSealedPrefix = "tavoren-sealed:v2:";
inline constexpr std::size_t kMasterKeySize = 32;

// The master key written in a key file: 64 hexadecimal characters, or
// Base64 of 32 bytes, blanks around it ignored. ValueError otherwise, and for
// a key with fewer than 16 distinct bytes (not drawn at random); the message
// never holds the key.
std::string parse_master_key(std::string_view text);
// A fresh master key as a key file holds it (64 lowercase hexadecimal
// characters and a line break).
std::string new_master_key_text();

// The associated data that binds a sealed value to its place: the table,
// the column and the row's key (each part length-prefixed, so that no two
// places give the same bytes).
std::string row_binding(std::string_view table, std::string_view column, std::string_view row);

// The subkeys of a master key, and of the previous one while a rotation
// is under way. Immutable once made: may be shared between threads.
class Keyring {
 public:
  // `master` and `previous`: kMasterKeySize bytes each (ValueError
  // otherwise).
  explicit Keyring(std::string_view master, std::string_view previous = {});
  ~Keyring();
  Keyring(const Keyring&) = delete;
  Keyring& operator=(const Keyring&) = delete;

  // The subkey of `purpose` under the current master key (32 bytes).
  const std::string& subkey(Purpose purpose) const;
  bool has_previous() const { return !previous_.empty(); }

  // `plaintext` sealed under the current subkey of `purpose`, bound to
  // `binding` (row_binding).
  std::string seal(std::string_view plaintext, Purpose purpose, std::string_view binding) const;
  // The inverse: under the current master key, else the previous one.
  // ValueError, naming `what` only, for a value of another form or one
  // that opens under neither (another purpose, another row, another key).
  std::string open(std::string_view sealed, Purpose purpose, std::string_view binding,
                   std::string_view what) const;
  // Whether `sealed` opens under the current master key (it needs no
  // reseal).
  bool is_current(std::string_view sealed, Purpose purpose, std::string_view binding) const;

 private:
  static std::vector<std::string> derive(std::string_view master);
  std::vector<std::string> current_;
  std::vector<std::string> previous_;
};

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
