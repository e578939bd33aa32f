// The store port on PostgreSQL (tavoren/store_port.h): a pool of
// connections to one database that several servers share.
//
// Writes run at READ COMMITTED with row locks on the actions they change
// (queue entries taken with SKIP LOCKED); reads of several statements on one
// REPEATABLE READ snapshot; a read of one statement runs by itself, which is
// one snapshot too. Named locks are transaction-scoped advisory locks. A
// write made inside another write of the same pool on the same thread joins
// it through a savepoint; the inner write of write_answered joins without
// one, and should it throw, the whole transaction is rolled back and the
// body run again with savepoints.
//
// Statements whose rows are not needed are deferred (pg.h): BEGIN and
// SAVEPOINT travel with the body's first statement, RELEASE and deferred
// statements with COMMIT. A probe (Tx::stop_if_found) is a watched deferred
// statement, so a write answered once takes two round trips: BEGIN, the
// answer slot's lock, the kept-answer probe and the write's first read in
// one, the rest with COMMIT. A probe not sent by the end of its body is
// sent before the RELEASE or COMMIT, so that no repeat ever commits. The
// nonce of the request being handled, when it waits to ride
// (core::NonceRide), is written right after BEGIN, in the same round trip.
//
// A connection lost since its last use (the database restarted), found by
// a transaction's first round trip, is dropped and the body run once more
// on a new one: nothing was done.
#pragma once

#include <memory>

#include "pg.h"
#include "tavoren/store_port.h"

namespace tavoren::backend::pg {

class PgPort final : public core::Port {
 public:
  explicit PgPort(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}

  void read(Read kind, const std::function<void(core::Tx&)>& body) override;
  void write(const std::function<void(core::Tx&)>& body) override;
  void write_answered(const std::function<void(core::Tx&)>& body) override;
  // One round trip, in autocommit. A connection lost since its last use is
  // dropped and the statement sent once more on a new one, as a read is:
  // should the lost one have committed it, the second finds its work done
  // (a nonce written twice then counts as a replay, which its caller signs
  // anew and sends again). While a request's nonce waits to ride
  // (core::NonceRide), a transaction that carries it instead.
  void write_alone(const std::function<void(core::Tx&)>& body) override;
  // The answer slot's lock and probe go with BEGIN in the write's first
  // round trip.
  bool reads_kept_answer_first() const override { return false; }
  // A request's nonce goes with BEGIN in its first write's first round
  // trip.
  bool carries_nonces() const override { return true; }

 private:
  void in_transaction(bool write, const std::function<void(core::Tx&)>& body);
  void in_statement(const std::function<void(core::Tx&)>& body);

  std::shared_ptr<Pool> pool_;
};

}  // namespace tavoren::backend::pg
