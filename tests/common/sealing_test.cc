// Master keys: their file forms, the subkeys derived per purpose, and values
// sealed under them that open only for their purpose, their row and their
// key.

#include "tavoren/common/sealing.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tavoren/common/errors.h"

namespace tavoren::sealing {
namespace {

constexpr const char* kMasterHex =
    "8f3a61c2d94b07e5a1f6c3d8b2e94a70c5d1f8e3a6b9c2d4e7f0a3b6c9d2e5f8";
constexpr const char* kOtherHex =
    "13579bdf02468ace13579bdf02468ace0f1e2d3c4b5a69788796a5b4c3d2e1f0";

std::string master() { return parse_master_key(kMasterHex); }

TEST(MasterKeyTest, HexOrBase64OfThirtyTwoRandomBytesIsTheOnlyFormAccepted) {
  const std::string key = master();
  ASSERT_EQ(key.size(), kMasterKeySize);
  EXPECT_EQ(parse_master_key(std::string("  ") + kMasterHex + "\n"), key);
  EXPECT_EQ(parse_master_key(base64_encode(key) + "\n"), key);
  const std::string fresh = new_master_key_text();
  EXPECT_EQ(fresh.size(), 65u);
  EXPECT_EQ(parse_master_key(fresh).size(), kMasterKeySize);
  EXPECT_NE(parse_master_key(fresh), parse_master_key(new_master_key_text()));

  for (const std::string& weak :
       {std::string("aaaaaaaaaaaaaaaa"), std::string(64, 'a'), std::string(32, 'k'),
        std::string(kMasterHex).substr(2), std::string(kMasterHex) + "00",
        base64_encode(std::string(32, '\x01')), base64_encode(key.substr(1)),
        std::string("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg"),
        std::string()}) {
    try {
      parse_master_key(weak);
      ADD_FAILURE() << "accepted: " << weak;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("master key"), std::string::npos) << e.what();
      if (!weak.empty()) {
        EXPECT_EQ(std::string(e.what()).find(weak), std::string::npos);
      }
    }
  }
}

TEST(MasterKeyTest, EachPurposeHasASubkeyOfItsOwnTheSameOnEveryServer) {
  const Keyring keyring(master());
  const Keyring again(master());
  const Keyring other(parse_master_key(kOtherHex));
  std::set<std::string> seen;
  for (Purpose purpose : {Purpose::kAccessKeys, Purpose::kOperatorSecrets, Purpose::kKeyPairs,
                          Purpose::kWebSessions}) {
    const std::string& subkey = keyring.subkey(purpose);
    EXPECT_EQ(subkey.size(), 32u);
    EXPECT_EQ(subkey, again.subkey(purpose));
    EXPECT_NE(subkey, other.subkey(purpose));
    EXPECT_NE(subkey, master());
    seen.insert(subkey);
  }
  EXPECT_EQ(seen.size(), 4u);
  // HKDF-SHA256 itself (RFC 5869, test case 1).
  const std::string ikm(22, '\x0b');
  const std::string salt("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", 13);
  const std::string info("\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9", 10);
  EXPECT_EQ(base64_encode(hkdf_sha256(ikm, salt, info, 42)),
            "PLJfJfqs1XqQQ09k0DYvKi0tCpDPGlpMXbAtVuzExb80AHII1biHGFhl");
}

TEST(MasterKeyTest, AValueOpensOnlyForItsPurposeItsRowAndItsKey) {
  const Keyring keyring(master());
  const std::string binding = row_binding("internal_api_keys", "api_key", "action-1");
  const std::string sealed = keyring.seal("internal-key-1", Purpose::kOperatorSecrets, binding);
  EXPECT_TRUE(sealed.starts_with(kMasterSealedPrefix));
  EXPECT_EQ(sealed.find("internal-key-1"), std::string::npos);
  EXPECT_NE(sealed, keyring.seal("internal-key-1", Purpose::kOperatorSecrets, binding));
  EXPECT_EQ(keyring.open(sealed, Purpose::kOperatorSecrets, binding, "key"), "internal-key-1");
  EXPECT_TRUE(keyring.is_current(sealed, Purpose::kOperatorSecrets, binding));

  auto refused = [&](const Keyring& with, Purpose purpose, const std::string& row) {
    EXPECT_FALSE(with.is_current(sealed, purpose, row));
    EXPECT_THROW(with.open(sealed, purpose, row, "key"), ValueError);
  };
  refused(keyring, Purpose::kKeyPairs, binding);
  refused(keyring, Purpose::kOperatorSecrets,
          row_binding("internal_api_keys", "api_key", "action-2"));
  refused(keyring, Purpose::kOperatorSecrets, row_binding("model_secrets", "api_key", "action-1"));
  refused(Keyring(parse_master_key(kOtherHex)), Purpose::kOperatorSecrets, binding);
  // The parts of a row are told apart however they are cut.
  EXPECT_NE(row_binding("a", "bc", "d"), row_binding("ab", "c", "d"));

  // During a rotation the previous key still opens it; the value is not
  // current under the new one.
  const Keyring rotating(parse_master_key(kOtherHex), master());
  EXPECT_EQ(rotating.open(sealed, Purpose::kOperatorSecrets, binding, "key"), "internal-key-1");
  EXPECT_FALSE(rotating.is_current(sealed, Purpose::kOperatorSecrets, binding));
  // Nor does the older form open as this one.
  EXPECT_THROW(keyring.open(seal_text("x", keyring.subkey(Purpose::kOperatorSecrets)),
                            Purpose::kOperatorSecrets, binding, "key"),
               ValueError);
}

}  // namespace
}  // namespace tavoren::sealing
