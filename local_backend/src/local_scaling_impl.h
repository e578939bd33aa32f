// What the embedded backend's sources share: the object's state and the
// helpers that read and write action records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "sqlite.h"
#include "tavoren/backend_store_rules.h"
#include "tavoren/common/json.h"
#include "tavoren/local_backend.h"

namespace tavoren::backend {

namespace detail {

// What one LocalScaling object holds.
struct LocalScalingState {
  explicit LocalScalingState(LocalBackendOptions given);
  // A view for another instance, sharing `shared`.
  LocalScalingState(LocalBackendOptions given, std::shared_ptr<sqlite::Pool> shared);

  LocalBackendOptions options;
  // Shared by every view of the same object.
  std::shared_ptr<sqlite::Pool> pool;
};

// The Unix time now, in seconds.
std::int64_t unix_now();

// Purges a few expired kept answers, then the kept answer of (caller,
// key) if there is one and it has not expired.
std::optional<RecordedAnswer> find_answer(sqlite::Connection& connection, const std::string& caller,
                                          const std::string& key);
// Keeps an answer (the caller checked there is none).
void keep_answer(sqlite::Connection& connection, const WriteOnce& once, const std::string& answer);

// get_open_port with LocalBackendOptions::port_range set.
int hand_out_range_port(LocalScalingState& impl);

// The rules every store shares (tavoren/backend_store_rules.h).
using store_rules::is_action_id;
using store_rules::kDataProcessingImageSetting;
using store_rules::kRegistrySetting;
using store_rules::kSealedPrefix;
using store_rules::kShutdownSetting;
using store_rules::new_action_id;
using store_rules::not_configured;
using store_rules::open_secret;
using store_rules::parse_stored;
using store_rules::probe_free_port;
using store_rules::refusal;
using store_rules::seal_secret;
using store_rules::to_text;
using store_rules::unknown_action;
using store_rules::validate_submission;

// The current record of an action, or nullopt when there is none.
std::optional<Json> load_record(sqlite::Connection& connection, const std::string& id);
void store_record(sqlite::Connection& connection, const std::string& id, const Json& record);
// Appends one event to the action's history.
void record_event(sqlite::Connection& connection, const std::string& id, std::string_view operation,
                  const Json& arguments);

std::optional<Json> read_setting(sqlite::Connection& connection, const char* name);
void write_setting(sqlite::Connection& connection, const char* name, const Json& value);

}  // namespace detail
}  // namespace tavoren::backend

namespace tavoren::backend::detail {

// The write transaction this thread has open, if any: a write made inside
// another write of the same pool (a write and its kept answer, one
// transaction) joins it instead of waiting for a turn it already holds.
struct OpenWrite {
  sqlite::Pool* pool = nullptr;
  sqlite::Connection* connection = nullptr;
  int depth = 0;
};
OpenWrite*& open_write_of_this_thread();

// Runs `body(connection)` inside a write transaction on a borrowed
// connection and commits when it returns; a throw rolls everything back.
// Inside a write transaction of the same pool on this thread, `body` runs
// in a savepoint of it instead: its writes are undone alone when it throws,
// and commit with the enclosing transaction otherwise.
template <typename Body>
auto in_write_transaction(LocalScalingState& impl, Body&& body) {
  OpenWrite*& open = open_write_of_this_thread();
  if (open != nullptr && open->pool == impl.pool.get()) {
    const std::string name = "nested_" + std::to_string(++open->depth);
    sqlite::Connection& connection = *open->connection;
    connection.exec(("SAVEPOINT " + name).c_str());
    struct Nested {
      sqlite::Connection& connection;
      OpenWrite& open;
      const std::string& name;
      bool released = false;
      ~Nested() {
        if (!released) {
          try {
            connection.exec(("ROLLBACK TO " + name).c_str());
            connection.exec(("RELEASE " + name).c_str());
          } catch (const DatabaseError&) {
            // The enclosing transaction fails and is rolled back whole.
          }
        }
        --open.depth;
      }
      void release() {
        connection.exec(("RELEASE " + name).c_str());
        released = true;
      }
    } nested{connection, *open, name};
    if constexpr (std::is_void_v<decltype(body(connection))>) {
      body(connection);
      nested.release();
    } else {
      auto result = body(connection);
      nested.release();
      return result;
    }
  } else {
    const sqlite::Pool::WriterTurn turn = impl.pool->writer_turn();
    sqlite::Pool::Lease lease = impl.pool->acquire();
    sqlite::Transaction transaction(*lease, sqlite::Transaction::Kind::write);
    OpenWrite mine{impl.pool.get(), &*lease, 0};
    struct Restore {
      OpenWrite*& slot;
      OpenWrite* previous;
      ~Restore() { slot = previous; }
    } restore{open, open};
    open = &mine;
    if constexpr (std::is_void_v<decltype(body(*lease))>) {
      body(*lease);
      transaction.commit();
    } else {
      auto result = body(*lease);
      transaction.commit();
      return result;
    }
  }
}

// Runs `body(connection)` on one consistent snapshot of the database; inside
// a write transaction of the same pool on this thread, on that transaction,
// so that it reads what the write has done so far.
template <typename Body>
auto in_read_transaction(LocalScalingState& impl, Body&& body) {
  OpenWrite* open = open_write_of_this_thread();
  if (open != nullptr && open->pool == impl.pool.get()) return body(*open->connection);
  sqlite::Pool::Lease lease = impl.pool->acquire();
  sqlite::Transaction transaction(*lease, sqlite::Transaction::Kind::read);
  return body(*lease);
}

}  // namespace tavoren::backend::detail
