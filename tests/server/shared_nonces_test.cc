// Two servers on one PostgreSQL store share their memory of nonces: a
// signed request answered by one is a replay to the other, and a replay's
// writes are not kept.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "in_process_server.h"
#include "pg_test_store.h"
#include "raw_client.h"
#include "tavoren/protocol.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren {
namespace {

namespace wire = backend::wire;

class SharedNoncesTest : public ::testing::Test {
 protected:
  backend::LocalBackendOptions store_options() const {
    backend::LocalBackendOptions options;
    options.database = dir_.path() / "backend.db";
    options.keyring = testing::test_keyring();
    return options;
  }
  // Sends `headers` and `body` to `path` of the server at `port`.
  std::optional<testing::Reply> send(int port, const std::string& path, const std::string& body,
                                     const std::vector<wire::HeaderField>& headers) const {
    std::string text;
    for (const wire::HeaderField& field : headers) text += field.name + ": " + field.value + "\r\n";
    testing::RawClient client(port, tls_.ca_file());
    return client.request("POST", path, body, text);
  }
  // The status and failure ("" when none) of that request's answer.
  std::pair<int, std::string> answer(int port, const std::string& path, const std::string& body,
                                     const std::vector<wire::HeaderField>& headers) const {
    const auto reply = send(port, path, body, headers);
    if (!reply) return {0, "no answer"};
    const auto failure = wire::read_failure(reply->body);
    return {reply->status, failure ? failure->error : ""};
  }
  const std::pair<int, std::string> replay_refused_{401,
                                                    std::string(wire::failure::kReplayedNonce)};

  testing::TempDir dir_;
  testing::TestTls tls_;
};

TEST_F(SharedNoncesTest, ARequestAnsweredByOneServerIsAReplayToTheOther) {
  testing::InProcessServer one(testing::pg_store_for(store_options()), tls_);
  testing::InProcessServer two(testing::pg_store_for(store_options()), tls_);
  const backend::Session key = one.new_session(wire::Role::kInstance, "instance-a");

  const std::string path = wire::path_of("get_downscaled_ids");
  const std::string body = "{}";
  const auto headers = wire::sign_request({.path = path, .body = body}, key);
  EXPECT_EQ(answer(one.port(), path, body, headers).first, 200);
  for (const int port : {two.port(), one.port()}) {
    EXPECT_EQ(answer(port, path, body, headers), replay_refused_);
  }
  // The same key signs anew: either server answers.
  for (const int port : {two.port(), one.port()}) {
    EXPECT_EQ(answer(port, path, body, wire::sign_request({.path = path, .body = body}, key)).first,
              200);
  }
  EXPECT_EQ(testing::pg_count_rows(store_options().database, "request_nonces"), 3);

  // A write's nonce is remembered with the write: a poll, and a log piece
  // (whose instance's contact the other server records first), replayed
  // to the other server are refused the same way.
  const std::string id =
      one.store().submit({{"action", "data_split"},
                          {"actionDetails", {{"docker", "registry.example/j:1"}}},
                          {"_idUser", "owner-a"}});
  const std::string poll = wire::path_of("assign_jobs");
  const std::string poll_body = R"({"has_gpu":false})";
  const auto poll_headers =
      wire::sign_request({.path = poll, .body = poll_body, .idempotency_key = "poll-1"}, key);
  EXPECT_EQ(answer(one.port(), poll, poll_body, poll_headers).first, 200);
  EXPECT_EQ(answer(two.port(), poll, poll_body, poll_headers), replay_refused_);

  const std::string log = wire::path_of("update_action_docker_logs");
  const std::string log_body = Json{{"action_record_id", id}, {"log_content", "line\n"}}.dump();
  const auto log_headers =
      wire::sign_request({.path = log, .body = log_body, .idempotency_key = "log-1"}, key);
  EXPECT_EQ(answer(one.port(), log, log_body, log_headers).first, 200);
  EXPECT_EQ(answer(two.port(), log, log_body, log_headers), replay_refused_);
  EXPECT_EQ(two.store().logs(id, 0).content, "line\n");
  EXPECT_EQ(testing::pg_count_rows(store_options().database, "request_nonces"), 5);
}

// A request's nonce is written by its first write transaction, so that a
// replay's writes are undone with it; a request that writes nothing, or
// whose writes were all undone, has it written after its handling.
TEST_F(SharedNoncesTest, ANonceIsKeptWithItsRequestsFirstWriteAndAReplayKeepsNoWrite) {
  const backend::LocalBackendOptions options = store_options();
  auto store = testing::pg_store_for(options);
  auto rows = [&](const char* table) { return testing::pg_count_rows(options.database, table); };
  const Json record = {{"action", "data_split"},
                       {"actionDetails", {{"docker", "registry.example/jobs:1"}}},
                       {"_idUser", "owner-a"}};
  const std::int64_t later = 4'000'000'000;
  auto submit = [&] { store->submit(record); };

  EXPECT_TRUE(store->with_nonce("TKA", "n1", later, submit));
  EXPECT_EQ(rows("actions"), 1);
  EXPECT_EQ(rows("request_nonces"), 1);
  // Replayed: nothing the handling wrote is kept, even when it swallowed
  // the store's failure and wrote again.
  EXPECT_FALSE(store->with_nonce("TKA", "n1", later, submit));
  EXPECT_FALSE(store->with_nonce("TKA", "n1", later, [&] {
    for (int i = 0; i < 2; ++i) {
      try {
        submit();
      } catch (const backend::DatabaseError&) {
      }
    }
  }));
  EXPECT_EQ(rows("actions"), 1);
  // The same nonce of another key is new.
  EXPECT_TRUE(store->with_nonce("TKB", "n1", later, submit));
  EXPECT_EQ(rows("actions"), 2);

  // A handling that only reads has its nonce written once it is done.
  EXPECT_TRUE(store->with_nonce("TKA", "n2", later, [&] { store->count_by_state(); }));
  EXPECT_FALSE(store->with_nonce("TKA", "n2", later, [&] { store->count_by_state(); }));

  // A handling that throws after a write spent its nonce; one that throws
  // before any did not.
  EXPECT_THROW(store->with_nonce("TKA", "n3", later,
                                 [&] {
                                   submit();
                                   throw std::runtime_error("the answer could not be made");
                                 }),
               std::runtime_error);
  EXPECT_FALSE(store->with_nonce("TKA", "n3", later, [] {}));
  EXPECT_THROW(store->with_nonce("TKA", "n4", later,
                                 [] { throw std::runtime_error("refused before writing"); }),
               std::runtime_error);
  EXPECT_TRUE(store->with_nonce("TKA", "n4", later, [] {}));

  // An expired nonce is taken over by its write.
  EXPECT_TRUE(store->with_nonce("TKA", "old", 1, submit));
  EXPECT_TRUE(store->with_nonce("TKA", "old", 1, submit));
  EXPECT_EQ(rows("actions"), 5);
}

// The same request handled at once on several threads (servers) is
// handled once: every other handling is a replay whose write is undone.
TEST_F(SharedNoncesTest, ARequestHandledAtOnceOnManyThreadsIsKeptOnce) {
  const backend::LocalBackendOptions options = store_options();
  auto store = testing::pg_store_for(options);
  const Json record = {{"action", "data_split"},
                       {"actionDetails", {{"docker", "registry.example/jobs:1"}}},
                       {"_idUser", "owner-a"}};
  std::atomic<int> fresh{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&] {
      if (store->with_nonce("TKA", "same", 4'000'000'000, [&] { store->submit(record); })) {
        ++fresh;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(fresh.load(), 1);
  EXPECT_EQ(testing::pg_count_rows(options.database, "actions"), 1);
}

TEST_F(SharedNoncesTest, ExpiredNoncesAreSweptAtEveryWriteWhenNoPeriodIsSet) {
  backend::LocalBackendOptions options = store_options();
  options.sweep_every = std::chrono::milliseconds(0);
  auto store = testing::pg_store_for(options);
  EXPECT_TRUE(store->shares_nonces());
  const std::int64_t later = 4'000'000'000;
  EXPECT_TRUE(store->remember_nonce("TKNEW", "n1", later));
  EXPECT_FALSE(store->remember_nonce("TKNEW", "n1", later));
  for (const char* nonce : {"n1", "n2", "n3"}) {
    EXPECT_TRUE(store->remember_nonce("TKOLD", nonce, 1));
  }
  // Each nonce remembered sweeps expired ones first.
  EXPECT_TRUE(store->remember_nonce("TKNEW", "n2", later));
  EXPECT_EQ(testing::pg_count_rows(store_options().database, "request_nonces"), 2);
  EXPECT_TRUE(store->remember_nonce("TKOLD", "n1", 1)) << "an expired nonce is free again";
}

TEST_F(SharedNoncesTest, ExpiredNoncesAreSweptOncePerPeriodUntilABatchIsNotFull) {
  backend::LocalBackendOptions options = store_options();
  options.sweep_every = std::chrono::hours(1);
  auto count = [&] { return testing::pg_count_rows(options.database, "request_nonces"); };
  const std::int64_t later = 4'000'000'000;
  {
    auto store = testing::pg_store_for(options);
    // The period's sweep goes with the first write, which finds nothing.
    EXPECT_TRUE(store->remember_nonce("TKNEW", "n1", later));
    for (int i = 0; i < 70; ++i) {
      EXPECT_TRUE(store->remember_nonce("TKOLD", "n" + std::to_string(i), 1));
    }
    EXPECT_EQ(count(), 71) << "nothing is swept within the period";
    // Unswept, an expired nonce is still free again at once, and a live
    // one is still a replay.
    EXPECT_TRUE(store->remember_nonce("TKOLD", "n0", 1));
    EXPECT_FALSE(store->remember_nonce("TKNEW", "n1", later));
    EXPECT_EQ(count(), 71);
  }
  // Another server's store sweeps at its first write: a full batch, so
  // its next write sweeps the rest, and the one after sweeps nothing.
  auto other = testing::pg_store_for(options);
  EXPECT_TRUE(other->remember_nonce("TKNEW", "n2", later));
  EXPECT_EQ(count(), 71 + 1 - 64);
  EXPECT_TRUE(other->remember_nonce("TKNEW", "n3", later));
  EXPECT_EQ(count(), 3);
  EXPECT_TRUE(other->remember_nonce("TKOLD", "n100", 1));
  EXPECT_TRUE(other->remember_nonce("TKNEW", "n4", later));
  EXPECT_EQ(count(), 5) << "the period's sweep is spent";
}

}  // namespace
}  // namespace tavoren
