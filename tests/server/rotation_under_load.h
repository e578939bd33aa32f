// A master-key rotation while servers keep working: two stores on one
// database (two servers) keep writing and reading secrets while the
// secrets are resealed in small batches. Shared by the SQLite and the
// PostgreSQL runs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_testing.h"
#include "tavoren/common/sealing.h"
#include "tavoren/host_probe.h"

namespace tavoren::server_testing {

// Opens a store on the test's database with `keyring`, acting for the
// instance "instance-a" (which holds a live action, so that it is answered
// the platform's secrets).
using OpenStore =
    std::function<std::unique_ptr<backend::Store>(std::shared_ptr<const sealing::Keyring>)>;

inline std::shared_ptr<const sealing::Keyring> rotation_keyring(bool first, bool with_previous) {
  const std::string one(sealing::kMasterKeySize, '\x11');
  std::string two(sealing::kMasterKeySize, '\x22');
  std::string first_key, second_key;
  for (std::size_t i = 0; i < sealing::kMasterKeySize; ++i) {
    first_key += static_cast<char>(one[i] + i);
    second_key += static_cast<char>(two[i] + 3 * i);
  }
  if (first) return std::make_shared<const sealing::Keyring>(first_key);
  return std::make_shared<const sealing::Keyring>(second_key,
                                                  with_previous ? first_key : std::string());
}

// The check itself: every read during the rotation succeeds and answers the
// latest value, and afterwards every value ever written (the latest of each
// name) reads under the new key alone, and none under the old one.
inline void rotate_under_load(const OpenStore& open) {
  constexpr const char* kTransport = "transport-key-of-instance-a-0123";  // 32 bytes
  constexpr int kSeeded = 24;
  std::map<std::string, std::string> latest;  // model secret name -> value
  {
    const std::unique_ptr<backend::Store> store = open(rotation_keyring(true, false));
    store->set_transport_key("instance-a", kTransport);
    store->submit(action_record("owner-a"));
    ASSERT_EQ(store->assign_jobs(false).data.size(), 1u);
    store->set_registry_credentials("robot", "registry-pass-r1");
    store->set_key_pair("owner-a", "AKIAROTATION", "owner-secret-r1");
    for (int i = 0; i < kSeeded; ++i) {
      const std::string name = "seed-" + std::to_string(i);
      latest[name] = "token-" + name;
      store->set_model_secret(name, latest[name]);
    }
  }

  // Two servers restarted with the new key and the previous one.
  const auto rotating = rotation_keyring(false, true);
  std::unique_ptr<backend::Store> servers[2] = {open(rotating), open(rotating)};
  std::atomic<bool> resealed{false};
  std::atomic<int> failures{0};
  std::mutex latest_mutex;
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      backend::Store& store = *servers[w];
      std::map<std::string, std::string> mine;  // what this writer wrote last
      for (int round = 0; round < 400 && (round < 40 || !resealed.load()); ++round) {
        // A new secret, and a new value for a seeded one of this writer's.
        const std::string fresh = "w" + std::to_string(w) + "-" + std::to_string(round);
        const std::string seed = "seed-" + std::to_string((round * 2 + w) % kSeeded);
        mine[fresh] = "token-" + fresh;
        mine[seed] = "token-" + seed + "-r" + std::to_string(round);
        store.set_model_secret(fresh, mine[fresh]);
        store.set_model_secret(seed, mine[seed]);
        for (const std::string& name : {fresh, seed, std::string("seed-0")}) {
          const backend::Result read = store.get_model_secret_keys(name);
          if (read.has_error_set()) {
            ++failures;
            ADD_FAILURE() << "reading " << name << " during the rotation: " << read.message;
          } else if (mine.contains(name) && read.data["user_access_token"] != Json(mine[name])) {
            ++failures;
            ADD_FAILURE() << name << " reads " << read.data.dump() << ", not " << mine[name];
          }
        }
        if (round % 10 == 0) {
          const backend::Result pair = store.get_user_access_key_pair("owner-a");
          if (pair.has_error_set()) {
            ++failures;
            ADD_FAILURE() << "the key pair during the rotation: " << pair.message;
          }
        }
      }
      std::scoped_lock lock(latest_mutex);
      for (const auto& [name, value] : mine) latest[name] = value;
    });
  }
  std::thread resealer([&] {
    for (int batch = 0; batch < 10000; ++batch) {
      if (servers[0]->reseal_secrets("", 3).done) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    resealed = true;
  });
  resealer.join();
  for (std::thread& writer : writers) writer.join();
  ASSERT_TRUE(resealed.load());
  EXPECT_EQ(failures.load(), 0);

  // After it, the new key alone reads every latest value; the old one none.
  const std::unique_ptr<backend::Store> after = open(rotation_keyring(false, false));
  EXPECT_EQ(after->key_sealing(), backend::key_sealing::kMaster);
  EXPECT_EQ(after->reseal_secrets("", 1000).resealed.size(), 0u) << "nothing was left behind";
  for (const auto& [name, value] : latest) {
    const backend::Result read = after->get_model_secret_keys(name);
    ASSERT_FALSE(read.has_error_set()) << name << ": " << read.message;
    EXPECT_EQ(read.data["user_access_token"], value) << name;
  }
  EXPECT_EQ(after->get_docker_hub_credentials().data["password"], "registry-pass-r1");
  const backend::Result pair = after->get_user_access_key_pair("owner-a");
  ASSERT_FALSE(pair.has_error_set()) << pair.message;
  const auto clear = host_probe::get_decrypted_access_key_pair(pair.data["access_key"],
                                                               pair.data["secret_key"], kTransport);
  ASSERT_TRUE(clear.has_value());
  EXPECT_EQ(clear->secret_key, "owner-secret-r1");
  const std::unique_ptr<backend::Store> stale = open(rotation_keyring(true, false));
  EXPECT_TRUE(stale->get_model_secret_keys("seed-0").has_error_set());
}

}  // namespace tavoren::server_testing
