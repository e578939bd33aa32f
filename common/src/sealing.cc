// Texts sealed with AES-GCM, and the Base64 they are carried in.
//
// Sealed form of one text: Base64 of nonce (12 random bytes), the AES-GCM
// ciphertext of the text's bytes, and the full 16-byte tag. The key's bytes
// are the AES key itself (16, 24 or 32 bytes).

#include "tavoren/common/sealing.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tavoren/common/errors.h"
#include "tavoren/common/hex.h"
#include "tavoren/common/utf8.h"

namespace tavoren::sealing {

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const EVP_CIPHER* cipher_for_key(std::string_view key) {
  switch (key.size()) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      throw ValueError("encryption key must be 16, 24 or 32 bytes long, not " +
                       std::to_string(key.size()));
  }
}

const unsigned char* bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}
unsigned char* bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

int checked_length(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) throw ValueError("input too long to encrypt");
  return static_cast<int>(size);
}

void require(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("AES-GCM failure: ") + what);
}

// Starts an AES-GCM context for the key and nonce, in the given direction.
CipherCtx start_gcm(std::string_view key, std::string_view nonce, bool encrypt) {
  const EVP_CIPHER* cipher = cipher_for_key(key);
  if (nonce.size() != kNonceSize) {
    throw ValueError("nonce must be " + std::to_string(kNonceSize) + " bytes long");
  }
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::runtime_error("AES-GCM failure: no cipher context");
  const int enc = encrypt ? 1 : 0;
  require(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, enc), "init");
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr),
      "nonce length");
  require(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce), enc),
          "key and nonce");
  return ctx;
}

// Gives the context the associated data (authenticated, not encrypted).
void add_associated(EVP_CIPHER_CTX* ctx, std::string_view associated) {
  if (associated.empty()) return;
  int written = 0;
  require(EVP_CipherUpdate(ctx, nullptr, &written, bytes(associated),
                           checked_length(associated.size())),
          "associated data");
}

// Runs `input` through the context into a buffer of the same length.
std::string transform(EVP_CIPHER_CTX* ctx, std::string_view input) {
  std::string output(input.size(), '\0');
  if (!input.empty()) {
    int written = 0;
    require(
        EVP_CipherUpdate(ctx, bytes(output), &written, bytes(input), checked_length(input.size())),
        "update");
    output.resize(static_cast<std::size_t>(written));
  }
  return output;
}

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_base64_char(char c) { return kBase64Alphabet.find(c) != std::string_view::npos; }

}  // namespace

std::string aes_gcm_encrypt(std::string_view key, std::string_view nonce,
                            std::string_view plaintext, std::string_view associated) {
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/true);
  add_associated(ctx.get(), associated);
  std::string sealed = transform(ctx.get(), plaintext);
  int tail = 0;
  unsigned char rest[EVP_MAX_BLOCK_LENGTH];
  require(EVP_EncryptFinal_ex(ctx.get(), rest, &tail), "final");
  if (tail != 0) throw std::runtime_error("AES-GCM failure: unexpected final block");
  std::string tag(kTagSize, '\0');
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag.data()),
      "tag");
  return sealed + tag;
}

std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed,
                            std::string_view associated) {
  if (sealed.size() < kTagSize) throw ValueError("encrypted data shorter than its tag");
  const std::string_view ciphertext = sealed.substr(0, sealed.size() - kTagSize);
  std::string tag(sealed.substr(sealed.size() - kTagSize));
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/false);
  add_associated(ctx.get(), associated);
  std::string plaintext = transform(ctx.get(), ciphertext);
  require(
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()),
      "tag");
  int tail = 0;
  unsigned char rest[EVP_MAX_BLOCK_LENGTH];
  if (EVP_DecryptFinal_ex(ctx.get(), rest, &tail) != 1 || tail != 0) {
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    throw ValueError("authentication tag does not verify");
  }
  return plaintext;
}

std::string base64_encode(std::string_view input) {
  const int length = checked_length(input.size());
  std::string text(4 * ((input.size() + 2) / 3) + 1, '\0');  // with the terminating NUL
  const int written = EVP_EncodeBlock(bytes(text), bytes(input), length);
  text.resize(static_cast<std::size_t>(written));
  return text;
}

std::string base64_decode(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (is_base64_char(c) || c == '=') kept.push_back(c);
  }
  if (kept.size() % 4 != 0) throw ValueError("invalid Base64: incomplete group of four");
  // Padding: at most two "=" and only at the very end.
  std::size_t padding = 0;
  while (padding < kept.size() && kept[kept.size() - 1 - padding] == '=') ++padding;
  if (padding > 2 || kept.find('=') < kept.size() - padding) {
    throw ValueError("invalid Base64: misplaced padding");
  }
  if (kept.empty()) return {};
  std::string decoded(kept.size() / 4 * 3, '\0');
  const int written = EVP_DecodeBlock(bytes(decoded), bytes(kept), checked_length(kept.size()));
  if (written < 0 || static_cast<std::size_t>(written) != decoded.size()) {
    throw ValueError("invalid Base64");
  }
  // The decoder counts the padding as zero bytes; drop them.
  decoded.resize(decoded.size() - padding);
  return decoded;
}

Wipe::~Wipe() { OPENSSL_cleanse(buffer_.data(), buffer_.size()); }

std::string seal_text(std::string_view plaintext, std::string_view key) {
  std::string nonce(kNonceSize, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), static_cast<int>(kNonceSize)) !=
      1) {
    throw std::runtime_error("cannot draw a random nonce");
  }
  return base64_encode(nonce + aes_gcm_encrypt(key, nonce, plaintext));
}

std::string open_text(std::string_view sealed, std::string_view key, std::string_view what) {
  const std::string data = base64_decode(sealed);
  if (data.size() < kNonceSize + kTagSize) {
    throw ValueError("encrypted " + std::string(what) + " is too short (" +
                     std::to_string(data.size()) + " bytes)");
  }
  const std::string_view view(data);
  std::string plaintext;
  try {
    plaintext = aes_gcm_decrypt(key, view.substr(0, kNonceSize), view.substr(kNonceSize));
  } catch (const ValueError& e) {
    throw ValueError("cannot decrypt the " + std::string(what) + ": " + e.what());
  }
  Wipe wipe(plaintext);
  return replace_invalid_utf8(plaintext);
}

namespace {

std::string random_bytes(std::size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("cannot draw random bytes");
  }
  return out;
}

// Salt of the derivation: fixed, so that a master key gives the same
// subkeys on every server.
constexpr std::string_view kDerivationSalt = "tavoren master key v2";
constexpr std::array<Purpose, 4> kPurposes = {Purpose::kAccessKeys, Purpose::kOperatorSecrets,
                                              Purpose::kKeyPairs, Purpose::kWebSessions};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string hkdf_sha256(std::string_view key, std::string_view salt, std::string_view info,
                        std::size_t length) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (kdf == nullptr) throw std::runtime_error("HKDF is not available");
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);  // the context holds its own reference
  if (ctx == nullptr) throw std::runtime_error("HKDF failure: no context");
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(key.data()),
                                        key.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()),
                                        salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()),
                                        info.size()),
      OSSL_PARAM_construct_end()};
  std::string out(length, '\0');
  const int ok = EVP_KDF_derive(ctx, reinterpret_cast<unsigned char*>(out.data()), length, params);
  EVP_KDF_CTX_free(ctx);
  if (ok != 1) throw std::runtime_error("HKDF failure: derive");
  return out;
}

std::string_view purpose_name(Purpose purpose) {
  switch (purpose) {
    case Purpose::kAccessKeys:
      return "access-keys";
    case Purpose::kOperatorSecrets:
      return "operator-secrets";
    case Purpose::kKeyPairs:
      return "key-pairs";
    case Purpose::kWebSessions:
      return "web-sessions";
  }
  throw std::logic_error("unknown key purpose");
}

std::string parse_master_key(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  std::string key;
  if (text.size() == 2 * kMasterKeySize &&
      std::all_of(text.begin(), text.end(), [](char c) { return hex_digit(c) >= 0; })) {
    for (std::size_t i = 0; i < text.size(); i += 2) {
      key.push_back(static_cast<char>(hex_digit(text[i]) * 16 + hex_digit(text[i + 1])));
    }
  } else {
    const bool base64_form = text.size() == 44 && std::all_of(text.begin(), text.end(), [](char c) {
                               return is_base64_char(c) || c == '=';
                             });
    if (base64_form) {
      try {
        key = base64_decode(text);
      } catch (const ValueError&) {
        key.clear();
      }
    }
  }
  if (key.size() != kMasterKeySize) {
    throw ValueError(
        "The master key must be 32 random bytes written as 64 hexadecimal characters or as "
        "Base64 (44 characters); make one with: tavoren-backend keys master-key > FILE");
  }
  std::string sorted = key;
  std::sort(sorted.begin(), sorted.end());
  const auto distinct = std::unique(sorted.begin(), sorted.end()) - sorted.begin();
  OPENSSL_cleanse(sorted.data(), sorted.size());
  if (distinct < 16) {
    OPENSSL_cleanse(key.data(), key.size());
    throw ValueError(
        "The master key is too regular to have been drawn at random; make one with: "
        "tavoren-backend keys master-key > FILE");
  }
  return key;
}

std::string new_master_key_text() {
  std::string key = random_bytes(kMasterKeySize);
  Wipe wipe(key);
  return lower_hex(reinterpret_cast<const unsigned char*>(key.data()), key.size()) + "\n";
}

std::string row_binding(std::string_view table, std::string_view column, std::string_view row) {
  std::string binding = "tavoren-row";
  for (std::string_view part : {table, column, row}) {
    binding += ":" + std::to_string(part.size()) + ":";
    binding += part;
  }
  return binding;
}

std::vector<std::string> Keyring::derive(std::string_view master) {
  if (master.size() != kMasterKeySize) {
    throw ValueError("A master key must be " + std::to_string(kMasterKeySize) + " bytes long");
  }
  std::vector<std::string> keys;
  for (Purpose purpose : kPurposes) {
    keys.push_back(
        hkdf_sha256(master, kDerivationSalt, "tavoren/" + std::string(purpose_name(purpose)), 32));
  }
  return keys;
}

Keyring::Keyring(std::string_view master, std::string_view previous)
    : current_(derive(master)),
      previous_(previous.empty() ? std::vector<std::string>{} : derive(previous)) {}

Keyring::~Keyring() {
  for (std::string& key : current_) OPENSSL_cleanse(key.data(), key.size());
  for (std::string& key : previous_) OPENSSL_cleanse(key.data(), key.size());
}

const std::string& Keyring::subkey(Purpose purpose) const {
  return current_.at(static_cast<std::size_t>(purpose));
}

std::string Keyring::seal(std::string_view plaintext, Purpose purpose,
                          std::string_view binding) const {
  const std::string nonce = random_bytes(kNonceSize);
  return std::string(kMasterSealedPrefix) +
         base64_encode(nonce + aes_gcm_encrypt(subkey(purpose), nonce, plaintext, binding));
}

std::string Keyring::open(std::string_view sealed, Purpose purpose, std::string_view binding,
                          std::string_view what) const {
  if (!sealed.starts_with(kMasterSealedPrefix)) {
    throw ValueError("The " + std::string(what) + " is not sealed under a master key");
  }
  std::string data;
  try {
    data = base64_decode(sealed.substr(kMasterSealedPrefix.size()));
  } catch (const ValueError&) {
    throw ValueError("The sealed " + std::string(what) + " is damaged");
  }
  if (data.size() < kNonceSize + kTagSize) {
    throw ValueError("The sealed " + std::string(what) + " is too short");
  }
  const std::string_view view(data);
  const auto index = static_cast<std::size_t>(purpose);
  for (const std::vector<std::string>* keys : {&current_, &previous_}) {
    if (keys->empty()) continue;
    try {
      std::string plaintext = aes_gcm_decrypt((*keys)[index], view.substr(0, kNonceSize),
                                              view.substr(kNonceSize), binding);
      Wipe wipe(plaintext);
      return replace_invalid_utf8(plaintext);
    } catch (const ValueError&) {
      // Not under this key: the previous one, if any, is tried.
    }
  }
  throw ValueError("The sealed " + std::string(what) +
                   " does not open under the master key (nor the previous one)");
}

bool Keyring::is_current(std::string_view sealed, Purpose purpose, std::string_view binding) const {
  if (!sealed.starts_with(kMasterSealedPrefix)) return false;
  try {
    const std::string data = base64_decode(sealed.substr(kMasterSealedPrefix.size()));
    if (data.size() < kNonceSize + kTagSize) return false;
    const std::string_view view(data);
    std::string plaintext = aes_gcm_decrypt(subkey(purpose), view.substr(0, kNonceSize),
                                            view.substr(kNonceSize), binding);
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return true;
  } catch (const ValueError&) {
    return false;
  }
}

}  // namespace tavoren::sealing
