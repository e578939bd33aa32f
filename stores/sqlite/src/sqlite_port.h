// The store port on SQLite (tavoren/store_port.h): one file in write-ahead
// log mode, its connections pooled. Writers are serial: a write takes the
// file's write lock at once (waiting up to the busy time-out), so row locks
// and the port's named locks are nothing here. A write made inside another
// write of the same pool on the same thread joins it through a savepoint.
#pragma once

#include <memory>

#include "sqlite.h"
#include "tavoren/store_port.h"

namespace tavoren::backend::sqlite {

class SqlitePort final : public core::Port {
 public:
  explicit SqlitePort(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}

  void read(Read kind, const std::function<void(core::Tx&)>& body) override;
  void write(const std::function<void(core::Tx&)>& body) override;
  // The inner write joins without a savepoint (see Port::write_answered).
  void write_answered(const std::function<void(core::Tx&)>& body) override;
  void write_alone(const std::function<void(core::Tx&)>& body) override { write(body); }
  // A write waits for the one writers' turn; a read does not.
  bool reads_kept_answer_first() const override { return true; }

  Pool& pool() { return *pool_; }

 private:
  std::shared_ptr<Pool> pool_;
};

}  // namespace tavoren::backend::sqlite
