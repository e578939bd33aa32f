// Texts sealed with AES-GCM, and the Base64 they are carried in.
//
// Sealed form of one text: Base64 of nonce (12 random bytes), the AES-GCM
// ciphertext of the text's bytes, and the full 16-byte tag. The key's bytes
// are the AES key itself (16, 24 or 32 bytes).

#include "tavoren/common/sealing.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tavoren/common/errors.h"
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
                            std::string_view plaintext) {
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/true);
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

std::string aes_gcm_decrypt(std::string_view key, std::string_view nonce, std::string_view sealed) {
  if (sealed.size() < kTagSize) throw ValueError("encrypted data shorter than its tag");
  const std::string_view ciphertext = sealed.substr(0, sealed.size() - kTagSize);
  std::string tag(sealed.substr(sealed.size() - kTagSize));
  CipherCtx ctx = start_gcm(key, nonce, /*encrypt=*/false);
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

}  // namespace tavoren::sealing
