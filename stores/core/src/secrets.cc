// The store's secrets moved under its master key: from the single
// encryption key of stores made before master keys, or from the previous
// master key of a rotation. Each batch is one transaction; a value already
// sealed under the current master key is left as it is, so that a batch
// run again after an interruption goes on where the last one stopped. A
// value is written back only where the row still holds what was read: one
// that a server replaced meanwhile (under the current key) is kept.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/sealing.h"
#include "tavoren/store_core.h"
#include "tavoren/store_port.h"
#include "tavoren/store_rules.h"

namespace tavoren::backend {

namespace {

namespace rules = store_rules;
using core::Params;
using core::Tx;
using sealing::Purpose;

// The settings row that records how the secrets are sealed.
constexpr const char* kSealingSetting = "key_sealing";

// How a value was stored before master keys.
enum class OldForm {
  // kSealedPrefix and the sealed text, or the text in clear (operator
  // secrets).
  kMarkedOrClear,
  // The sealed text alone (access keys' secrets, encrypted key pairs).
  kSealed,
  // The text in clear (key pairs stored without a key).
  kClear,
};

// One stored value to look at: its table, its row and its text.
struct Stored {
  std::string table;
  std::string row;
  std::string value;
  Purpose purpose = Purpose::kOperatorSecrets;
  std::string binding;
  OldForm old_form = OldForm::kMarkedOrClear;
  // Writes the new value into its row.
  std::function<void(Tx&, const std::string&)> write;
};

std::string from_old_form(const Stored& stored, const std::string& old_key) {
  const std::string what = stored.table + " row " + stored.row;
  auto opened = [&](std::string_view sealed) {
    if (old_key.empty()) {
      throw ValueError("The " + what + " is sealed under the single encryption key; give it");
    }
    try {
      return sealing::open_text(sealed, old_key, what);
    } catch (const ValueError&) {
      throw ValueError("The " + what + " does not open under the old encryption key");
    }
  };
  switch (stored.old_form) {
    case OldForm::kMarkedOrClear:
      if (!stored.value.starts_with(rules::kSealedPrefix)) return stored.value;
      return opened(std::string_view(stored.value).substr(rules::kSealedPrefix.size()));
    case OldForm::kSealed:
      return opened(stored.value);
    case OldForm::kClear:
      return stored.value;
  }
  throw std::logic_error("unknown form of a stored secret");
}

// Every secret of the store, read in one transaction. One block per table,
// read top to bottom: it stays whole however many tables hold secrets.
std::vector<Stored> secrets_of(Tx& tx) {
  std::vector<Stored> all;
  {
    core::Rows rows = tx.query("SELECT access_key, sealed_secret FROM access_keys");
    while (rows.next()) {
      const std::string key = rows.text(0);
      all.push_back({"access_keys", key, rows.text(1), Purpose::kAccessKeys,
                     rules::access_key_binding(key), OldForm::kSealed,
                     [key, old = rows.text(1)](Tx& t, const std::string& v) {
                       t.run(
                           "UPDATE access_keys SET sealed_secret = $2 WHERE access_key = $1 "
                           "AND sealed_secret = $3",
                           Params().text(key).text(v).text(old));
                     }});
    }
  }
  {
    core::Rows rows = tx.query("SELECT value FROM settings WHERE name = $1",
                               Params().text(rules::kRegistrySetting));
    if (rows.next()) {
      const std::string stored = rows.text(0);
      const Json credentials = rules::parse_stored(stored, "registry setting");
      const auto password = credentials.find("password");
      if (password != credentials.end() && password->is_string()) {
        all.push_back({"settings", rules::kRegistrySetting, password->get<std::string>(),
                       Purpose::kOperatorSecrets, rules::registry_password_binding(),
                       OldForm::kMarkedOrClear, [credentials, stored](Tx& t, const std::string& v) {
                         Json changed = credentials;
                         changed["password"] = v;
                         t.run("UPDATE settings SET value = $2 WHERE name = $1 AND value = $3",
                               Params()
                                   .text(rules::kRegistrySetting)
                                   .text(rules::to_text(changed))
                                   .text(stored));
                       }});
      }
    }
  }
  {
    core::Rows rows = tx.query("SELECT user_id, access_key, secret_key, encrypted FROM key_pairs");
    while (rows.next()) {
      const std::string user = rows.text(0);
      const OldForm form = rows.boolean(3) ? OldForm::kSealed : OldForm::kClear;
      for (const auto& [column, index] : {std::pair{"access_key", 1}, std::pair{"secret_key", 2}}) {
        const std::string name = column;
        const std::string old = rows.text(index);
        all.push_back({"key_pairs", user, old, Purpose::kKeyPairs,
                       rules::key_pair_binding(name, user), form,
                       [user, name, old](Tx& t, const std::string& v) {
                         // The flag tells the form of both columns: it is set
                         // with the second, which is always resealed after
                         // the first.
                         t.run("UPDATE key_pairs SET " + name + " = $2" +
                                   (name == "secret_key" ? ", encrypted = TRUE" : "") +
                                   " WHERE user_id = $1 AND " + name + " = $3",
                               Params().text(user).text(v).text(old));
                       }});
      }
    }
  }
  {
    core::Rows rows = tx.query("SELECT owner, name, user_access_token FROM model_secrets");
    while (rows.next()) {
      const std::string owner = rows.text(0);
      const std::string name = rows.text(1);
      all.push_back({"model_secrets", owner + "/" + name, rows.text(2), Purpose::kOperatorSecrets,
                     rules::model_secret_binding(owner, name), OldForm::kMarkedOrClear,
                     [owner, name, old = rows.text(2)](Tx& t, const std::string& v) {
                       t.run(
                           "UPDATE model_secrets SET user_access_token = $3 "
                           "WHERE owner = $1 AND name = $2 AND user_access_token = $4",
                           Params().text(owner).text(name).text(v).text(old));
                     }});
    }
  }
  {
    core::Rows rows = tx.query("SELECT action_id, api_key FROM internal_api_keys");
    while (rows.next()) {
      const std::string id = rows.text(0);
      all.push_back({"internal_api_keys", id, rows.text(1), Purpose::kOperatorSecrets,
                     rules::internal_api_key_binding(id), OldForm::kMarkedOrClear,
                     [id, old = rows.text(1)](Tx& t, const std::string& v) {
                       t.run(
                           "UPDATE internal_api_keys SET api_key = $2 WHERE action_id = $1 "
                           "AND api_key = $3",
                           Params().text(id).text(v).text(old));
                     }});
    }
  }
  {
    // Made under a master key only: no old form.
    core::Rows rows = tx.query("SELECT instance_id, sealed_key FROM transport_keys");
    while (rows.next()) {
      const std::string id = rows.text(0);
      all.push_back({"transport_keys", id, rows.text(1), Purpose::kAccessKeys,
                     rules::transport_key_binding(id), OldForm::kSealed,
                     [id, old = rows.text(1)](Tx& t, const std::string& v) {
                       t.run(
                           "UPDATE transport_keys SET sealed_key = $2 WHERE instance_id = $1 "
                           "AND sealed_key = $3",
                           Params().text(id).text(v).text(old));
                     }});
    }
  }
  return all;
}

void write_sealing(Tx& tx, const std::string& state) {
  tx.run(
      "INSERT INTO settings (name, value) VALUES ($1, $2) "
      "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
      Params().text(kSealingSetting).text(rules::to_text(Json(state))));
}

}  // namespace

std::string StoreCore::key_sealing() {
  return core::read_with(*port(), core::Port::Read::statement, [&](Tx& tx) -> std::string {
    core::Rows rows =
        tx.query("SELECT value FROM settings WHERE name = $1", Params().text(kSealingSetting));
    if (rows.next()) return rules::parse_stored(rows.text(0), kSealingSetting).get<std::string>();
    for (const Stored& stored : secrets_of(tx)) {
      if (!stored.value.starts_with(sealing::kMasterSealedPrefix)) {
        return std::string(key_sealing::kSingle);
      }
    }
    return std::string(key_sealing::kMaster);
  });
}

void StoreCore::mark_key_sealing(const std::string& state) {
  if (state != key_sealing::kMaster && state != key_sealing::kResealing) {
    throw ValueError("Unknown key sealing state \"" + state + "\"");
  }
  core::write_with(*port(), [&](Tx& tx) { write_sealing(tx, state); });
}

ResealStep StoreCore::reseal_secrets(const std::string& old_key, std::size_t batch) {
  const sealing::Keyring* keyring = core_options().keyring.get();
  if (keyring == nullptr) throw ValueError("Resealing needs the store's master key");
  if (batch == 0) throw ValueError("A reseal batch holds at least one value");
  return core::write_with(*port(), [&](Tx& tx) {
    ResealStep step;
    std::size_t written = 0;
    write_sealing(tx, std::string(key_sealing::kResealing));
    for (const Stored& stored : secrets_of(tx)) {
      if (keyring->is_current(stored.value, stored.purpose, stored.binding)) continue;
      if (written == batch) return step;
      ++written;
      std::string clear =
          stored.value.starts_with(sealing::kMasterSealedPrefix)
              ? keyring->open(stored.value, stored.purpose, stored.binding, stored.table)
              : from_old_form(stored, old_key);
      sealing::Wipe wipe(clear);
      stored.write(tx, keyring->seal(clear, stored.purpose, stored.binding));
      ++step.resealed[stored.table];
    }
    step.done = true;
    write_sealing(tx, std::string(key_sealing::kMaster));
    return step;
  });
}

}  // namespace tavoren::backend
