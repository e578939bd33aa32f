// The server's access keys and the instances' transport keys: made from
// OpenSSL's randomness, sealed under the server's master key before they
// reach the database.

#include <openssl/rand.h>

#include <array>
#include <stdexcept>
#include <string>

#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/hex.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/sealing.h"
#include "tavoren/common/text.h"
#include "tavoren/server.h"
#include "tavoren/store_rules.h"

namespace tavoren::server {

namespace wire = backend::wire;

namespace {

constexpr std::size_t kAccessKeyCharacters = 18;
constexpr std::size_t kSecretBytes = 32;
// Beyond this many cached keys, expired entries are dropped (at most once
// per cache time: the cache then holds the keys of two cache times at
// most).
constexpr std::size_t kCacheTrim = 1024;
// Unknown keys are cached only while fewer keys than this are: whoever
// sends many made-up keys must not fill the memory.
constexpr std::size_t kCacheMax = 16384;

bool usable_key_length(std::size_t size) { return size == 16 || size == 24 || size == 32; }

template <std::size_t N>
std::array<unsigned char, N> random_bytes() {
  std::array<unsigned char, N> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("OpenSSL could not draw random bytes for a key");
  }
  return bytes;
}

}  // namespace

std::string load_encryption_key(const std::optional<std::string>& key_file) {
  std::string key = get_env("TAVOREN_ENCRYPTION_KEY").value_or("");
  std::string source = "TAVOREN_ENCRYPTION_KEY";
  if (key.empty() && key_file) {
    try {
      key = read_file(*key_file);
    } catch (const std::exception&) {
      throw ValueError("Cannot read the encryption key file " + *key_file);
    }
    if (key.ends_with('\n')) key.pop_back();
    if (key.ends_with('\r')) key.pop_back();
    source = "the encryption key file " + *key_file;
  }
  if (key.empty()) {
    throw ValueError(
        "No encryption key: set TAVOREN_ENCRYPTION_KEY or give --encryption-key-file; the "
        "server's access keys are stored encrypted under it");
  }
  if (!usable_key_length(key.size())) {
    throw ValueError("The encryption key of " + source + " must be 16, 24 or 32 bytes long, not " +
                     std::to_string(key.size()));
  }
  return key;
}

std::shared_ptr<const sealing::Keyring> load_keyring(
    const std::string& master_key_file, const std::optional<std::string>& previous_key_file) {
  auto read_key = [](const std::string& file, const char* what) {
    std::string text;
    try {
      text = read_file(file);
    } catch (const std::exception&) {
      throw ValueError(std::string("Cannot read the ") + what + " file " + file);
    }
    sealing::Wipe wipe(text);
    try {
      return sealing::parse_master_key(text);
    } catch (const ValueError& e) {
      throw ValueError(std::string("The ") + what + " file " + file + ": " + e.what());
    }
  };
  std::string master = read_key(master_key_file, "master key");
  sealing::Wipe wipe_master(master);
  std::string previous;
  sealing::Wipe wipe_previous(previous);
  if (previous_key_file) previous = read_key(*previous_key_file, "previous master key");
  if (!previous.empty() && previous == master) {
    throw ValueError("The previous master key is the master key itself");
  }
  return std::make_shared<const sealing::Keyring>(master, previous);
}

void require_master_sealed(backend::Store& store, const std::string& store_text) {
  const std::string state = store.key_sealing();
  if (state == backend::key_sealing::kMaster) return;
  const std::string command = "tavoren-backend keys reseal --store " + store_text +
                              " --old-key-file OLD --master-key-file NEW";
  if (state == backend::key_sealing::kResealing) {
    throw ValueError(
        "The move of this store's secrets to the master key has not finished; "
        "finish it with: " +
        command + " (or, for a rotation, --old-master-key-file OLD)");
  }
  throw ValueError(
      "This store's secrets are sealed under the single encryption key of older servers; it "
      "is served only once they are moved to the master key with: " +
      command);
}

AccessKeys::AccessKeys(backend::Store& store, std::shared_ptr<const sealing::Keyring> keyring,
                       std::chrono::milliseconds cache_time)
    : store_(store), keyring_(std::move(keyring)), cache_time_(cache_time) {
  if (!keyring_) throw ValueError("The access keys need the server's master key");
}

std::string AccessKeys::new_transport_key(const std::string& instance_id) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string key;
  // 256 is a multiple of 64: every character is equally likely.
  for (unsigned char byte : random_bytes<32>()) key += kAlphabet[byte % 64];
  store_.set_transport_key(instance_id, key);
  return key;
}

NewAccessKey AccessKeys::create(wire::Role role, const std::string& instance_id) {
  static constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  NewAccessKey made;
  made.access_key = "TK";
  // 256 is a multiple of 32: every character is equally likely.
  for (unsigned char byte : random_bytes<kAccessKeyCharacters>()) {
    made.access_key += kBase32[byte % 32];
  }
  const auto secret = random_bytes<kSecretBytes>();
  made.secret_key = lower_hex(secret.data(), secret.size());
  backend::AccessKeyRecord record;
  record.access_key = made.access_key;
  record.sealed_secret = keyring_->seal(made.secret_key, sealing::Purpose::kAccessKeys,
                                        backend::store_rules::access_key_binding(made.access_key));
  record.role = wire::role_name(role);
  record.instance_id = role == wire::Role::kInstance ? instance_id : "";
  if (role == wire::Role::kInstance && instance_id.empty()) {
    throw ValueError("An instance key needs the instance's identifier");
  }
  store_.add_access_key(record);
  if (role == wire::Role::kInstance) made.transport_key = new_transport_key(instance_id);
  return made;
}

std::vector<backend::AccessKeyRecord> AccessKeys::list() {
  std::vector<backend::AccessKeyRecord> keys = store_.access_keys();
  for (backend::AccessKeyRecord& key : keys) key.sealed_secret.clear();
  return keys;
}

bool AccessKeys::revoke(const std::string& access_key) {
  const bool existed = store_.revoke_access_key(access_key);
  std::lock_guard lock(mutex_);
  cache_.erase(access_key);
  return existed;
}

std::optional<wire::KeyGrant> AccessKeys::lookup(const std::string& access_key) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    const auto found = cache_.find(access_key);
    if (found != cache_.end() && now - found->second.fetched < cache_time_) {
      return found->second.grant;
    }
  }
  std::optional<backend::AccessKeyRecord> record = store_.find_access_key(access_key);
  if (!record) {
    keep(access_key, std::nullopt, now);
    return std::nullopt;
  }
  std::optional<wire::KeyGrant> grant;
  const std::optional<wire::Role> role = wire::role_named(record->role);
  if (!record->revoked && role) {
    try {
      wire::KeyGrant opened;
      opened.secret_key =
          keyring_->open(record->sealed_secret, sealing::Purpose::kAccessKeys,
                         backend::store_rules::access_key_binding(access_key), "access key secret");
      opened.role = *role;
      opened.instance_id = record->instance_id;
      grant = std::move(opened);
    } catch (const std::exception&) {
      log::error("The secret of access key %s cannot be opened with this master key", access_key);
    }
  }
  keep(access_key, grant, now);
  return grant;
}

void AccessKeys::keep(const std::string& access_key, std::optional<wire::KeyGrant> grant,
                      std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  // A scan of the whole cache, at most once per cache time: a fleet polls
  // less often than that, so nearly every request of a large one comes
  // here, and a scan for each would cost every request the whole cache.
  if (cache_.size() >= kCacheTrim && now - trimmed_ >= cache_time_) {
    std::erase_if(cache_,
                  [&](const auto& entry) { return now - entry.second.fetched >= cache_time_; });
    trimmed_ = now;
  }
  if (!grant && cache_.size() >= kCacheMax) return;
  cache_[access_key] = Cached{std::move(grant), now};
}

}  // namespace tavoren::server
