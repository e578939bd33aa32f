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

#include "tavoren/local_backend.h"
#include "test_support.h"

namespace tavoren::local_backend_testing {

using backend::LocalBackendOptions;
using backend::LocalScaling;

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
    RawDatabase raw(database());
    return raw.integer("SELECT count(*) FROM " + table);
  }

  testing::TempDir dir_;
};

}  // namespace tavoren::local_backend_testing
