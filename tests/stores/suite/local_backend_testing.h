// Shared pieces of the embedded backend's tests: a database file in a
// temporary folder, action records, and a raw SQLite connection that reads
// the file behind the backend's back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "store_under_test.h"
#include "tavoren/common/errors.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"

namespace tavoren::local_backend_testing {

using backend::LocalBackendOptions;

using backend::LocalScaling;

// The tests that are about the embedded store itself skip when the suite is
// served; those that read or share the SQLite file itself skip on
// PostgreSQL.
#define SKIP_WHEN_SERVED(why) \
  if (served()) GTEST_SKIP() << "only for the embedded store: " << (why)
#define SKIP_UNLESS_SQLITE(why) \
  if (store_mode() == StoreMode::kPostgres) GTEST_SKIP() << "only for the SQLite store: " << (why)

// The server's refusal (403) of a call about an action the calling instance
// may not touch.
template <typename Call>
void expect_forbidden_by_server(Call call) {
  try {
    call();
    ADD_FAILURE() << "a call about another's action was accepted";
  } catch (const backend::RemoteCallError& e) {
    EXPECT_EQ(e.status(), 403) << e.what();
  }
}

// A report about an action the caller may not touch: the embedded store
// answers a refusal naming the action; the server refuses the request
// (403) before the store sees it.
template <typename Call>
void expect_not_the_callers_action(Call call, const std::string& id) {
  if (served()) return expect_forbidden_by_server(call);
  const backend::Result result = call();
  ASSERT_TRUE(result.has_error());
  EXPECT_EQ(*result.error, result.message);
  EXPECT_EQ(result.kind, backend::refusal_kind::kKeyError);
  EXPECT_NE(result.error->find(id), std::string::npos) << *result.error;
}

// A call about an action the caller may not touch that answers nothing:
// the embedded store's KeyError for an unknown action, the server's 403
// for any action not assigned to the calling instance.
template <typename Call>
void expect_not_the_callers_action_thrown(Call call) {
  if (served()) return expect_forbidden_by_server(call);
  EXPECT_THROW(call(), KeyError);
}

// A report whose arguments do not have the contract's form: the embedded
// store answers a refusal (error and message the same text), the server
// refuses the request as malformed (400) before the store sees it. Either
// names `naming` when given.
template <typename Call>
void expect_malformed_refused(Call call, const std::string& naming = "") {
  if (served()) {
    // Arguments that are no JSON object at all the client does not send.
    auto names = [&](const std::string& what) {
      if (!naming.empty()) {
        EXPECT_NE(what.find(naming), std::string::npos) << what;
      }
    };
    try {
      call();
      ADD_FAILURE() << "a malformed report was accepted";
    } catch (const backend::RemoteCallError& e) {
      EXPECT_EQ(e.status(), 400) << e.what();
      names(e.what());
    } catch (const TypeError& e) {
      names(e.what());
    }
    return;
  }
  const backend::Result result = call();
  ASSERT_TRUE(result.has_error());
  EXPECT_EQ(*result.error, result.message);
  EXPECT_TRUE(result.kind == backend::refusal_kind::kTypeError ||
              result.kind == backend::refusal_kind::kValueError)
      << result.kind;
  if (!naming.empty()) {
    EXPECT_NE(result.error->find(naming), std::string::npos) << *result.error;
  }
}

// A record the operator may submit.
inline Json action_record(const std::string& type = "data_split", bool gpu_required = false) {
  Json record = Json::object();
  record["action"] = type;
  record["actionDetails"] =
      Json{{"docker", "registry.example/jobs:1"}, {"gpuRequired", gpu_required}};
  record["jobParams"] = Json{{"epochs", 3}};
  record["_idUser"] = "user-1";
  return record;
}

// A connection of the test's own to the backend's file.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      std::string message = sqlite3_errmsg(db_);
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + path.string() + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~RawDatabase() { sqlite3_close(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  void exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      std::string text = message != nullptr ? message : "?";
      sqlite3_free(message);
      throw std::runtime_error(sql + ": " + text);
    }
  }

  // The first column of the first row, as text ("" for none or NULL).
  std::string text(const std::string& sql, const std::string& parameter = "") {
    sqlite3_stmt* statement = prepare(sql, parameter);
    std::string value;
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
      value = std::string(reinterpret_cast<const char*>(sqlite3_column_blob(statement, 0)),
                          static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
    return value;
  }

  std::int64_t integer(const std::string& sql, const std::string& parameter = "") {
    sqlite3_stmt* statement = prepare(sql, parameter);
    std::int64_t value = -1;
    if (sqlite3_step(statement) == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
  }

  sqlite3* handle() { return db_; }

 private:
  sqlite3_stmt* prepare(const std::string& sql, const std::string& parameter) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
    }
    if (sqlite3_bind_parameter_count(statement) > 0) {
      sqlite3_bind_text(statement, 1, parameter.c_str(), -1, SQLITE_TRANSIENT);
    }
    return statement;
  }

  sqlite3* db_ = nullptr;
};

class BackendTest : public ::testing::Test {
 protected:
  std::filesystem::path database() const { return dir_.path() / "backend.db"; }

  LocalBackendOptions options(const std::string& instance_id = "") const {
    LocalBackendOptions o;
    o.database = database();
    o.instance_id = instance_id;
    return o;
  }

  // The number of rows of a table, read behind the backend's back.
  std::int64_t rows(const std::string& table) {
    if (store_mode() == StoreMode::kPostgres) return count_pg_rows(database(), table);
    RawDatabase raw(database());
    return raw.integer("SELECT count(*) FROM " + table);
  }

  testing::TempDir dir_;
};

}  // namespace tavoren::local_backend_testing
