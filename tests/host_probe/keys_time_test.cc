#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tavoren/common/logging.h"
#include "tavoren/common/sealing.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"
#include "test_support.h"

namespace tavoren::host_probe {
namespace {

using log::Level;
using log::LogCapture;
using testing::ScopedEnv;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

const std::string kKey16 = "0123456789abcdef";
const std::string kKey24 = "0123456789abcdef01234567";
const std::string kKey32 = "0123456789abcdef0123456789abcdef";

// ---------------------------------------------------------------------------
// AES-GCM against the published GCM test cases (96-bit nonce, no associated
// data).

struct GcmVector {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};

constexpr const char* kLongPlaintext =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";

const GcmVector kGcmVectors[] = {
    {"aes128_empty", "00000000000000000000000000000000", "000000000000000000000000", "", "",
     "58e2fccefa7e3061367f1d57a4e7455a"},
    {"aes128_one_block", "00000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "0388dace60b6a392f328c2b971b2fe78",
     "ab6e47d42cec13bdf53a67b21257bddf"},
    {"aes128_four_blocks", "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     kLongPlaintext,
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
     "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985",
     "4d5c2af327cd64a62cf35abd2ba6fab4"},
    {"aes192_empty", "000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "", "cd33b28ac773f74ba00ed1f312572435"},
    {"aes192_one_block", "000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "00000000000000000000000000000000",
     "98e7247c07f0fe411c267e4384b0f600", "2ff58d80033927ab8ef4d4587514f0fb"},
    {"aes192_four_blocks", "feffe9928665731c6d6a8f9467308308feffe9928665731c",
     "cafebabefacedbaddecaf888", kLongPlaintext,
     "3980ca0b3c00e841eb06fac4872a2757859e1ceaa6efd984628593b40ca1e19c"
     "7d773d00c144c525ac619d18c84a3f4718e2448b2fe324d9ccda2710acade256",
     "9924a7c8587336bfb118024db8674a14"},
    {"aes256_empty", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"aes256_one_block", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "00000000000000000000000000000000",
     "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"aes256_four_blocks", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888", kLongPlaintext,
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST(AesGcm, MatchesPublishedVectorsBothWays) {
  for (const auto& v : kGcmVectors) {
    SCOPED_TRACE(v.name);
    const std::string key = from_hex(v.key);
    const std::string nonce = from_hex(v.nonce);
    const std::string sealed = from_hex(v.ciphertext) + from_hex(v.tag);
    EXPECT_EQ(sealing::aes_gcm_encrypt(key, nonce, from_hex(v.plaintext)), sealed);
    EXPECT_EQ(sealing::aes_gcm_decrypt(key, nonce, sealed), from_hex(v.plaintext));

    std::string altered_tag = sealed;
    altered_tag.back() ^= 0x01;
    EXPECT_THROW(sealing::aes_gcm_decrypt(key, nonce, altered_tag), ValueError);
    std::string altered_nonce = nonce;
    altered_nonce[0] ^= 0x80;
    EXPECT_THROW(sealing::aes_gcm_decrypt(key, altered_nonce, sealed), ValueError);
  }
}

// The published vectors, assembled into the stored form, decrypt through
// the public operation (the key is a byte string; raw bytes are allowed).
TEST(AccessKeyPair, DecryptsStoredFormBuiltFromPublishedVectors) {
  const auto stored = [](const GcmVector& v) {
    return sealing::base64_encode(from_hex(v.nonce) + from_hex(v.ciphertext) + from_hex(v.tag));
  };
  // Both members under the all-zero 256-bit key.
  auto pair = get_decrypted_access_key_pair(stored(kGcmVectors[7]), stored(kGcmVectors[6]),
                                            from_hex(kGcmVectors[7].key));
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->access_key, std::string(16, '\0'));
  EXPECT_EQ(pair->secret_key, "");

  // A plaintext that is not UTF-8 comes back with replacement characters.
  const GcmVector& v = kGcmVectors[8];
  pair = get_decrypted_access_key_pair(stored(v), stored(v), from_hex(v.key));
  ASSERT_TRUE(pair.has_value());
  EXPECT_TRUE(is_valid_utf8(pair->access_key));
  EXPECT_NE(pair->access_key.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_EQ(pair->access_key, replace_invalid_utf8(from_hex(v.plaintext)));
  EXPECT_EQ(pair->secret_key, pair->access_key);
}

// ---------------------------------------------------------------------------
// Base64 helpers.

TEST(Base64, EncodesAndDecodesStandardExamples) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(sealing::base64_encode(plain), encoded);
    EXPECT_EQ(sealing::base64_decode(encoded), plain);
  }
  EXPECT_EQ(sealing::base64_encode("\xfb\xff\xbf"), "+/+/");
  EXPECT_EQ(sealing::base64_decode("+/+/"), "\xfb\xff\xbf");
  // Long input stays on one line.
  EXPECT_EQ(sealing::base64_encode(std::string(100, 'a')).find('\n'), std::string::npos);
}

TEST(Base64, SkipsForeignCharactersAndRejectsBadLengthsOrPadding) {
  EXPECT_EQ(sealing::base64_decode("Zm9v\nYmFy\n"), "foobar");
  EXPECT_EQ(sealing::base64_decode(" Zm*9v!Yg==\t"), "foob");
  EXPECT_EQ(sealing::base64_decode("Zm9v-_"), "foo");  // URL-safe letters are foreign
  for (const char* bad : {"Zm9vY", "Zg", "Zm8", "Z===", "Zg===", "Zg==Zg==", "Z=g=", "===="}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(sealing::base64_decode(bad), ValueError);
  }
}

// ---------------------------------------------------------------------------
// Encrypting and decrypting key pairs.

std::string decoded_nonce(const std::string& stored) {
  return sealing::base64_decode(stored).substr(0, sealing::kNonceSize);
}

TEST(AccessKeyPair, RoundTripsWithEveryKeyLengthInTheStoredFormat) {
  ScopedEnv no_env_key("TAVOREN_ENCRYPTION_KEY", std::nullopt);
  // 8 two-byte characters: 16 bytes of UTF-8 make an AES-128 key.
  const std::string multibyte_key =
      "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4";
  const KeyPair plain{"AKIAEXAMPLEKEY123", "s3cr3t/w1th+symbols and \xC3\xBCml\xC3\xA4uts"};
  for (const std::string& key : {kKey16, kKey24, kKey32, multibyte_key}) {
    SCOPED_TRACE(key.size());
    const auto encrypted = get_encrypted_access_key_pair(plain.access_key, plain.secret_key, key);
    ASSERT_TRUE(encrypted.has_value());
    // 4 * ceil((n + 28) / 3) characters for a key of n bytes.
    EXPECT_EQ(encrypted->access_key.size(), 4 * ((plain.access_key.size() + 28 + 2) / 3));
    EXPECT_EQ(encrypted->secret_key.size(), 4 * ((plain.secret_key.size() + 28 + 2) / 3));
    // nonce || ciphertext || tag, readable with the plain AES-GCM primitive.
    const std::string sealed = sealing::base64_decode(encrypted->access_key);
    EXPECT_EQ(sealing::aes_gcm_decrypt(key, sealed.substr(0, 12), sealed.substr(12)),
              plain.access_key);

    const auto decrypted =
        get_decrypted_access_key_pair(encrypted->access_key, encrypted->secret_key, key);
    ASSERT_TRUE(decrypted.has_value());
    EXPECT_EQ(*decrypted, plain);
  }
}

TEST(AccessKeyPair, DrawsAFreshNonceForEveryMemberAndCall) {
  const auto first = get_encrypted_access_key_pair("same", "same", kKey32);
  const auto second = get_encrypted_access_key_pair("same", "same", kKey32);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->access_key, first->secret_key);
  EXPECT_NE(decoded_nonce(first->access_key), decoded_nonce(first->secret_key));
  EXPECT_NE(*first, *second);
  EXPECT_NE(decoded_nonce(first->access_key), decoded_nonce(second->access_key));
}

TEST(AccessKeyPair, EmptyAccessKeyEncryptsToNonceAndTagOnly) {
  const auto encrypted = get_encrypted_access_key_pair("", "secret", kKey32);
  ASSERT_TRUE(encrypted.has_value());
  EXPECT_EQ(encrypted->access_key.size(), 40u);
  EXPECT_TRUE(encrypted->access_key.ends_with("=="));
  EXPECT_EQ(sealing::base64_decode(encrypted->access_key).size(), 28u);
  const auto decrypted =
      get_decrypted_access_key_pair(encrypted->access_key, encrypted->secret_key, kKey32);
  ASSERT_TRUE(decrypted.has_value());
  EXPECT_EQ(*decrypted, (KeyPair{"", "secret"}));
}

TEST(AccessKeyPair, KeyOfWrongLengthFailsBothWays) {
  LogCapture capture;
  const auto good = get_encrypted_access_key_pair("access-key", "secret-key", kKey16);
  ASSERT_TRUE(good.has_value());
  for (const std::string& key : {std::string("0123456789"), kKey16 + "x", kKey32 + "x"}) {
    SCOPED_TRACE(key.size());
    EXPECT_EQ(get_encrypted_access_key_pair("access-key", "secret-key", key), std::nullopt);
    EXPECT_EQ(get_decrypted_access_key_pair(good->access_key, good->secret_key, key), std::nullopt);
  }
  EXPECT_EQ(capture.count(Level::error, "Error in get_encrypted_access_key_pair: "), 3u);
  EXPECT_EQ(capture.count(Level::error, "Error in get_decrypted_access_key_pair: "), 3u);
}

// Tampered or truncated members never yield a pair, and never a half pair.
class TamperedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto encrypted = get_encrypted_access_key_pair(kAccess, kSecret, kKey32);
    ASSERT_TRUE(encrypted.has_value());
    access_ = sealing::base64_decode(encrypted->access_key);
    secret_ = encrypted->secret_key;
  }

  // Decrypts an altered access member together with the intact secret.
  std::optional<KeyPair> decrypt_access(const std::string& sealed_access) {
    return get_decrypted_access_key_pair(sealing::base64_encode(sealed_access), secret_, kKey32);
  }

  static constexpr const char* kAccess = "AKIA0123456789ABCDEF";  // 20 bytes
  static constexpr const char* kSecret = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";
  std::string access_;  // decoded: nonce || ciphertext || tag
  std::string secret_;  // stored form
};

TEST_F(TamperedPair, IntactPairDecrypts) {
  const auto pair = decrypt_access(access_);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(*pair, (KeyPair{kAccess, kSecret}));
}

TEST_F(TamperedPair, FlippedBitInNonceCiphertextOrTagFails) {
  LogCapture capture;
  for (std::size_t at : {std::size_t{0}, std::size_t{11}, std::size_t{12}, std::size_t{31},
                         access_.size() - 16, access_.size() - 1}) {
    SCOPED_TRACE(at);
    std::string altered = access_;
    altered[at] ^= 0x04;
    EXPECT_EQ(decrypt_access(altered), std::nullopt);
  }
  EXPECT_EQ(capture.count(Level::error, "Error in get_decrypted_access_key_pair: "), 6u);
  // No plaintext, whole or partial, reaches the log.
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.message.find("AKIA"), std::string::npos) << line.message;
  }
}

TEST_F(TamperedPair, ShortenedTagFails) {
  // The plaintext is longer than the tag, so every shortened member still
  // holds at least nonce + 16 bytes.
  for (std::size_t drop = 1; drop < 16; ++drop) {
    SCOPED_TRACE(drop);
    EXPECT_EQ(decrypt_access(access_.substr(0, access_.size() - drop)), std::nullopt);
  }
}

TEST_F(TamperedPair, WrongKeyShortInputOrBadBase64Fails) {
  EXPECT_EQ(get_decrypted_access_key_pair(sealing::base64_encode(access_), secret_,
                                          "fedcba9876543210fedcba9876543210"),
            std::nullopt);
  EXPECT_EQ(decrypt_access(access_.substr(0, 27)), std::nullopt);
  EXPECT_EQ(decrypt_access(""), std::nullopt);
  EXPECT_EQ(get_decrypted_access_key_pair(sealing::base64_encode(access_) + "A", secret_, kKey32),
            std::nullopt);
  EXPECT_EQ(get_decrypted_access_key_pair("not base64 at all!", secret_, kKey32), std::nullopt);
  // Foreign characters inside the text are skipped, not fatal.
  std::string with_breaks = sealing::base64_encode(access_);
  with_breaks.insert(8, "\n");
  with_breaks.insert(20, " ");
  EXPECT_TRUE(get_decrypted_access_key_pair(with_breaks, secret_, kKey32).has_value());
}

TEST_F(TamperedPair, BadSecretMemberFailsTheWholePair) {
  std::string bad_secret = sealing::base64_decode(secret_);
  bad_secret[20] ^= 0x01;
  EXPECT_EQ(get_decrypted_access_key_pair(sealing::base64_encode(access_),
                                          sealing::base64_encode(bad_secret), kKey32),
            std::nullopt);
}

TEST(AccessKeyPair, KeyComesFromEnvironmentWhenArgumentIsEmpty) {
  ScopedEnv env_key("TAVOREN_ENCRYPTION_KEY", kKey24);
  const auto encrypted = get_encrypted_access_key_pair("access", "secret");
  ASSERT_TRUE(encrypted.has_value());
  EXPECT_NE(encrypted->access_key, "access");
  // Decryptable with the environment's key given explicitly.
  const auto explicit_key =
      get_decrypted_access_key_pair(encrypted->access_key, encrypted->secret_key, kKey24);
  ASSERT_TRUE(explicit_key.has_value());
  EXPECT_EQ(*explicit_key, (KeyPair{"access", "secret"}));
  EXPECT_EQ(get_decrypted_access_key_pair(encrypted->access_key, encrypted->secret_key),
            explicit_key);
  // An argument takes precedence over the environment.
  EXPECT_EQ(get_decrypted_access_key_pair(encrypted->access_key, encrypted->secret_key, kKey16),
            std::nullopt);
}

TEST(AccessKeyPair, WithoutAnyKeyInputsComeBackUnchangedWithAWarning) {
  for (const auto& env : std::vector<std::optional<std::string>>{std::nullopt, ""}) {
    SCOPED_TRACE(env ? "empty" : "unset");
    ScopedEnv env_key("TAVOREN_ENCRYPTION_KEY", env);
    LogCapture capture;
    EXPECT_EQ(get_encrypted_access_key_pair("access", "secret"), (KeyPair{"access", "secret"}));
    EXPECT_EQ(get_decrypted_access_key_pair("enc-access", "enc-secret"),
              (KeyPair{"enc-access", "enc-secret"}));
    const std::vector<LogCapture::Line> expected = {
        {Level::warning, "Encryption key is not set, returning unencrypted keys"},
        {Level::warning, "Encryption key is not set, Will assume that the keys are not encrypted"},
    };
    EXPECT_EQ(capture.lines(), expected);
  }
}

// ---------------------------------------------------------------------------
// Durations between timestamps.

struct TimeCase {
  const char* provider;
  const char* start;
  const char* finish;
  long long expected;
};

void expect_differences(const std::vector<TimeCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.provider) + " " + c.start + " -> " + c.finish);
    ScopedEnv provider("SERVICE_PROVIDER", c.provider);
    EXPECT_EQ(calculate_time_difference(c.start, c.finish), c.expected);
  }
}

TEST(TimeDifference, CutsFractionAndAssumesUtcForAwsOciAndLambda) {
  expect_differences({
      {"AWS", "2024-05-01T10:00:00.123456Z", "2024-05-01T10:01:30.999Z", 90},
      {"OCI", "2024-05-01T10:00:00.9Z", "2024-05-01T10:00:01.0Z", 1},
      {"LAMBDA", "2024-05-01 10:00:00.5", "2024-05-01 10:00:07.25", 7},
      {"AWS", "2024-05-01T11:00:00.000Z", "2024-05-01T10:00:00.000Z", -3600},
      // Anything after the fraction is dropped, an offset included.
      {"AWS", "2024-05-01T10:00:00.5+05:30", "2024-05-01T10:00:30.1Z", 30},
  });
}

TEST(TimeDifference, AwsTimestampWithoutFractionIsUnparsable) {
  LogCapture capture;
  expect_differences({
      {"AWS", "2024-05-01T10:00:00Z", "2024-05-01T10:00:05.1Z", 0},
      {"AWS", "2024-05-01T10:00:00.1Z", "2024-05-01T10:00:05+00:00", 0},
  });
  EXPECT_TRUE(capture.lines().empty());
}

TEST(TimeDifference, KeepsFractionsAndOffsetsForOtherProviders) {
  expect_differences({
      {"GCP", "2024-05-01T10:00:00.500Z", "2024-05-01T10:00:02Z", 1},
      {"GCP", "2024-05-01T10:00:02Z", "2024-05-01T10:00:00.500Z", -1},
      {"GCP", "2024-05-01T10:00:00.999999999Z", "2024-05-01T10:00:01Z", 0},
      {"GCP", "2024-05-01T10:00:00.0000000001Z", "2024-05-01T10:00:01.5Z", 1},
      {"AZURE", "2024-05-01T10:00:00+05:30", "2024-05-01T05:00:00Z", 1800},
      {"AZURE", "2024-05-01T10:00:00-02:00", "2024-05-01T12:00:10+00:00", 10},
      {"LOCAL", "2024-05-01T10:00:00+0530", "2024-05-01T04:31:00Z", 60},
      // Without offsets on both sides, and with a blank separator.
      {"LOCAL", "2024-05-01 10:00:00", "2024-05-01T10:00:42.75", 42},
      {"GCP", "2024-02-28T23:59:59Z", "2024-03-01T00:00:00Z", 86401},
      {"GCP", "2023-12-31T23:00:00-01:00", "2024-01-01T00:00:05Z", 5},
      {"GCP", "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z", 315537897599LL},
  });
}

TEST(TimeDifference, FailsSilentlyWithZero) {
  LogCapture capture;
  {
    ScopedEnv unset("SERVICE_PROVIDER", std::nullopt);
    EXPECT_EQ(calculate_time_difference("2024-05-01T10:00:00Z", "2024-05-01T10:00:10Z"), 0);
  }
  expect_differences({
      // One side with an offset, the other without.
      {"GCP", "2024-05-01T10:00:00", "2024-05-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00+01:00", "2024-05-01T10:00:10", 0},
      // Not a timestamp, or more than a timestamp.
      {"GCP", "yesterday", "2024-05-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00Zjunk", "2024-05-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00 ", "2024-05-01T10:00:10", 0},
      {"GCP", "2024-05-01T10:00:00.", "2024-05-01T10:00:10", 0},
      {"GCP", "2024-05-01T10:00", "2024-05-01T10:00:10", 0},
      {"GCP", "2024-05-01", "2024-05-01T10:00:10", 0},
      {"GCP", "+2024-05-01T10:00:00Z", "2024-05-01T10:00:10Z", 0},
      // Out-of-range fields.
      {"GCP", "2024-02-30T10:00:00Z", "2024-03-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T24:00:00Z", "2024-05-02T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00+24:00", "2024-05-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00+05:75", "2024-05-01T10:00:10Z", 0},
      {"GCP", "2024-05-01T10:00:00+5:30", "2024-05-01T10:00:10Z", 0},
      // "Z" is only understood in upper case.
      {"GCP", "2024-05-01T10:00:00z", "2024-05-01T10:00:10z", 0},
  });
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
}  // namespace tavoren::host_probe
