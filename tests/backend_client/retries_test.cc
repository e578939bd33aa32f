// Retries and time limits of the network client: what is tried again, how
// long it waits, and that a write keeps its idempotency key throughout.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tavoren/backend_client.h"
#include "tavoren/protocol.h"
#include "test_support.h"
#include "wire_server.h"

namespace tavoren::backend {
namespace {

using std::chrono::milliseconds;
using testing::kInstanceKeys;
using testing::WireServer;

// The waits a client asked for, recorded instead of slept.
struct Waits {
  std::mutex mutex;
  std::vector<milliseconds> waits;
  std::vector<milliseconds> all() {
    const std::lock_guard<std::mutex> lock(mutex);
    return waits;
  }
};

RemoteOptions options_for(const std::string& url, Waits& waits, int attempts = 4) {
  return RemoteOptions{.base_url = url,
                       .session = kInstanceKeys,
                       .connect_timeout = milliseconds(2000),
                       .attempt_timeout = milliseconds(5000),
                       .retry = {.max_attempts = attempts,
                                 .random = [] { return 0.5; },
                                 .sleep =
                                     [&waits](milliseconds wait) {
                                       const std::lock_guard<std::mutex> lock(waits.mutex);
                                       waits.waits.push_back(wait);
                                     }},
                       .allow_plain_http = true};
}

WireServer::Reply echo(const WireServer::Seen& request) {
  return WireServer::answer(Result::ok(Json{{"path", request.path}}));
}

TEST(Retries, UnavailableWithRetryAfterIsRetriedWithTheSameIdempotencyKey) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int number) {
    if (number <= 2) {
      return WireServer::failure(503, wire::failure::kUnavailable, "restarting", "2");
    }
    return echo(request);
  });
  server.start();
  Waits waits;
  RemoteScaling scaling(options_for(server.url(), waits));
  const Result result = scaling.update_action_docker_logs(
      Json{{"action_record_id", "65f1c0ffee0123456789abcd"}, {"log_content", "piece"}});
  EXPECT_FALSE(result.has_error_set());
  // Retry-After (2 s) outweighs the jittered back-off (100 ms, 200 ms).
  EXPECT_EQ(waits.all(), (std::vector<milliseconds>{milliseconds(2000), milliseconds(2000)}));

  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 3u);
  std::set<std::string> keys;
  std::set<std::string> nonces;
  for (const WireServer::Seen& request : seen) {
    EXPECT_TRUE(request.verification.ok()) << request.verification.detail;
    keys.insert(request.headers.at("idempotency-key"));
    nonces.insert(request.headers.at("x-tavoren-nonce"));
    EXPECT_EQ(request.body, seen.front().body);
  }
  EXPECT_EQ(keys.size(), 1u) << "one key for every attempt of a write";
  EXPECT_EQ(nonces.size(), 3u) << "a new nonce for every attempt";

  // Each call has a key of its own.
  scaling.update_action_docker_logs(
      Json{{"action_record_id", "65f1c0ffee0123456789abcd"}, {"log_content", "next"}});
  EXPECT_NE(server.seen().back().headers.at("idempotency-key"), *keys.begin());
}

// A write whose attempts all went unanswered may have been done: made again
// with the same arguments, it is the same write, with the same key, so that
// the server answers it with its first answer (a lost batch of
// assign_jobs comes back instead of a second one). Once answered, the key
// is spent; a write refused for good keeps no key.
TEST(Retries, AWriteThatGotNoAnswerIsTheSameWriteWhenMadeAgain) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int number) {
    if (number <= 2) {
      WireServer::Reply lost = echo(request);
      lost.drop = true;
      return lost;
    }
    if (number == 6) return WireServer::failure(403, wire::failure::kForbidden, "not yours");
    return echo(request);
  });
  server.start();
  Waits waits;
  RemoteScaling scaling(options_for(server.url(), waits, 2));
  try {
    scaling.assign_jobs(false);
    ADD_FAILURE() << "a call whose answers are lost must fail";
  } catch (const RemoteCallError& e) {
    EXPECT_TRUE(e.may_pass());
    EXPECT_EQ(e.attempts(), 2);
  }
  const Json piece = Json{{"action_record_id", "65f1c0ffee0123456789abcd"}, {"log_content", "x"}};
  EXPECT_FALSE(scaling.update_action_docker_logs(piece).has_error_set());  // 3
  EXPECT_FALSE(scaling.assign_jobs(false).has_error_set());                // 4
  EXPECT_FALSE(scaling.assign_jobs(false).has_error_set());                // 5
  try {
    scaling.update_action_docker_logs(piece);  // 6
    ADD_FAILURE() << "a refusal with 403 must fail the call";
  } catch (const RemoteCallError& e) {
    EXPECT_FALSE(e.may_pass());
    EXPECT_EQ(e.status(), 403);
  }
  EXPECT_FALSE(scaling.update_action_docker_logs(piece).has_error_set());  // 7

  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 7u);
  auto key = [&](std::size_t i) { return seen.at(i).headers.at("idempotency-key"); };
  EXPECT_EQ(key(1), key(0));
  EXPECT_NE(key(2), key(0));
  EXPECT_EQ(key(3), key(0)) << "the unanswered assign_jobs, made again";
  EXPECT_NE(key(4), key(0)) << "an answered write's key is spent";
  EXPECT_NE(key(4), key(3));
  EXPECT_NE(key(5), key(2));
  EXPECT_NE(key(6), key(5)) << "a write refused for good is not kept";
  // Reads carry no key, whatever happened before.
  EXPECT_FALSE(scaling.get_downscaled_ids().has_error_set());
  EXPECT_EQ(server.seen().back().headers.count("idempotency-key"), 0u);
}

// A request whose nonce the server saw already reached it once (libcurl
// sends a request again by itself when a reused connection dies before its
// answer): the client signs it anew and tries again; a write keeps its key.
TEST(Retries, ARequestRefusedAsAReplayIsSignedAnewAndTriedAgain) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int number) {
    if (number == 1) {
      return WireServer::failure(401, wire::failure::kReplayedNonce, "the nonce was already used");
    }
    if (number == 3) {
      return WireServer::failure(401, wire::failure::kNotAuthenticated, "bad signature");
    }
    return echo(request);
  });
  server.start();
  Waits waits;
  RemoteScaling scaling(options_for(server.url(), waits));
  EXPECT_FALSE(scaling.update_action_status(Json{{"action_record_id", "65f1c0ffee0123456789abcd"}})
                   .has_error_set());
  std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].headers.at("x-tavoren-nonce"), seen[1].headers.at("x-tavoren-nonce"));
  EXPECT_EQ(seen[0].headers.at("idempotency-key"), seen[1].headers.at("idempotency-key"));
  // Any other 401 is final.
  try {
    scaling.get_downscaled_ids();
    ADD_FAILURE() << "a refused signature must fail the call";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.status(), 401);
    EXPECT_FALSE(e.may_pass());
  }
  EXPECT_EQ(server.seen().size(), 3u);
}

TEST(Retries, BackOffIsJitteredExponentialAndCapped) {
  WireServer server;
  server.set_handler([](const WireServer::Seen&, int number) {
    // A Retry-After beyond the cap is cut to it; a date in the past asks nothing.
    if (number == 1) return WireServer::failure(429, wire::failure::kBusy, "busy", "3600");
    if (number == 2) {
      return WireServer::failure(429, wire::failure::kBusy, "busy",
                                 "Wed, 21 Oct 2015 07:28:00 GMT");
    }
    return WireServer::failure(500, wire::failure::kInternalError, "store failed");
  });
  server.start();
  Waits waits;
  RemoteOptions options = options_for(server.url(), waits, 6);
  options.retry.base_delay = milliseconds(200);
  options.retry.max_delay = milliseconds(1000);
  RemoteScaling scaling(std::move(options));
  try {
    scaling.get_downscaled_ids();
    ADD_FAILURE() << "six failures must fail the call";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_EQ(e.attempts(), 6);
    EXPECT_NE(std::string(e.what()).find("HTTP 500 internal_error: store failed"),
              std::string::npos)
        << e.what();
  }
  // Half of min(1000, 200 * 2^(n-1)), except where Retry-After asked more.
  EXPECT_EQ(waits.all(),
            (std::vector<milliseconds>{milliseconds(1000), milliseconds(200), milliseconds(400),
                                       milliseconds(500), milliseconds(500)}));
  EXPECT_EQ(server.seen().size(), 6u);
}

TEST(Retries, ServerErrorsAndDroppedConnectionsAreRetried) {
  WireServer server;
  server.set_handler([](const WireServer::Seen& request, int number) {
    if (number == 1) return WireServer::failure(500, wire::failure::kInternalError, "oops");
    if (number == 2) {
      WireServer::Reply dropped = echo(request);
      dropped.drop = true;
      return dropped;
    }
    return echo(request);
  });
  server.start();
  Waits waits;
  RemoteScaling scaling(options_for(server.url(), waits));
  const Result result = scaling.assign_jobs(false);
  EXPECT_EQ(result.data["path"], "/v1/assign_jobs");
  const std::vector<WireServer::Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].headers.at("idempotency-key"), seen[2].headers.at("idempotency-key"));
  EXPECT_EQ(waits.all().size(), 2u);
}

TEST(Retries, ProtocolRefusalsAreNotRetried) {
  for (const int status : {400, 401, 403, 404, 413}) {
    WireServer server;
    server.set_handler([status](const WireServer::Seen&, int) {
      return WireServer::failure(status, "refused", "refused by the test");
    });
    server.start();
    Waits waits;
    RemoteScaling scaling(options_for(server.url(), waits));
    try {
      scaling.get_action_details("65f1c0ffee0123456789abcd");
      ADD_FAILURE() << status << " must fail the call";
    } catch (const RemoteCallError& e) {
      EXPECT_EQ(e.status(), status);
      EXPECT_EQ(e.attempts(), 1);
      const std::string what = e.what();
      EXPECT_NE(what.find("HTTP " + std::to_string(status) + " refused: refused by the test"),
                std::string::npos)
          << what;
      EXPECT_EQ(what.find(kInstanceKeys.secret_key), std::string::npos);
      EXPECT_EQ(what.find(kInstanceKeys.access_key), std::string::npos);
    }
    EXPECT_EQ(server.seen().size(), 1u) << status;
    EXPECT_TRUE(waits.all().empty());
  }
}

TEST(Retries, ASignatureTheServerRefusesIsNotRetried) {
  WireServer server;  // the default handler verifies every request
  server.start();
  Waits waits;
  RemoteOptions options = options_for(server.url(), waits);
  options.session.secret_key = "not-the-secret";
  RemoteScaling scaling(std::move(options));
  try {
    scaling.get_downscaled_ids();
    ADD_FAILURE() << "a wrong secret must be refused";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.status(), 401);
    EXPECT_NE(std::string(e.what()).find("the signature does not match"), std::string::npos);
    EXPECT_EQ(std::string(e.what()).find("not-the-secret"), std::string::npos);
  }
  EXPECT_EQ(server.seen().size(), 1u);
}

TEST(Retries, ClosedConnectionsAreRetriedUpToTheLimit) {
  testing::ClosingListener listener;
  Waits waits;
  RemoteScaling scaling(
      options_for("http://127.0.0.1:" + std::to_string(listener.port()), waits, 3));
  try {
    scaling.assign_jobs(true);
    ADD_FAILURE() << "a server that closes every connection must fail the call";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.attempts(), 3);
    EXPECT_EQ(e.status(), 0);
    EXPECT_NE(e.curl_code(), CURLE_OK);
    EXPECT_NE(std::string(e.what()).find("no answer after 3 attempts"), std::string::npos);
  }
  EXPECT_GE(listener.accepted(), 3);
  EXPECT_EQ(waits.all().size(), 2u);
}

TEST(Retries, AServerThatNeverAnswersFailsWithinTheTimeLimits) {
  testing::SilentListener silent;
  Waits waits;
  RemoteOptions options =
      options_for("http://127.0.0.1:" + std::to_string(silent.port()), waits, 2);
  options.attempt_timeout = milliseconds(300);
  RemoteScaling scaling(std::move(options));
  const auto start = std::chrono::steady_clock::now();
  try {
    scaling.get_shutdown_details();
    ADD_FAILURE() << "a silent server must fail the call";
  } catch (const RemoteCallError& e) {
    EXPECT_EQ(e.curl_code(), CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(e.attempts(), 2);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(600));
  EXPECT_LT(elapsed, milliseconds(3000));
}

}  // namespace
}  // namespace tavoren::backend

namespace tavoren::backend {
namespace {

// Servers of one store: a client moves on to the next server when one
// stops answering, keeps a write's key across them, stays with the server
// that answered, and comes round to the first again.
TEST(Failover, ACallMovesOnToTheNextServerAndLaterCallsStayThere) {
  WireServer first;
  first.set_handler([](const WireServer::Seen& request, int number) {
    if (number == 1) return WireServer::failure(503, wire::failure::kUnavailable, "stopping");
    return echo(request);
  });
  first.start();
  WireServer second;
  second.set_handler([](const WireServer::Seen& request, int number) {
    if (number == 2) return WireServer::failure(503, wire::failure::kUnavailable, "stopping");
    return echo(request);
  });
  second.start();
  testing::ClosingListener dead;
  Waits waits;
  RemoteOptions options = options_for(first.url(), waits);
  options.fallback_urls = {second.url()};
  RemoteScaling scaling(options);

  const Json piece{{"action_record_id", "65f1c0ffee0123456789abcd"}, {"log_content", "piece"}};
  EXPECT_FALSE(scaling.update_action_docker_logs(piece).has_error_set());
  ASSERT_EQ(first.seen().size(), 1u);
  ASSERT_EQ(second.seen().size(), 1u);
  EXPECT_EQ(first.seen()[0].headers.at("idempotency-key"),
            second.seen()[0].headers.at("idempotency-key"));
  EXPECT_TRUE(second.seen()[0].verification.ok());

  // The next call goes to the server that answered; when that one stops
  // answering, the first is tried again.
  EXPECT_EQ(scaling.assign_jobs(false).data["path"], "/v1/assign_jobs");
  EXPECT_EQ(first.seen().size(), 2u);
  EXPECT_EQ(second.seen().size(), 2u);
  EXPECT_EQ(first.seen()[1].headers.at("idempotency-key"),
            second.seen()[1].headers.at("idempotency-key"));

  // A server that drops every connection is passed over, past the end
  // of the list.
  RemoteOptions from_dead = options_for("http://127.0.0.1:" + std::to_string(dead.port()), waits);
  from_dead.fallback_urls = {second.url()};
  RemoteScaling moved(from_dead);
  EXPECT_EQ(moved.assign_jobs(false).data["path"], "/v1/assign_jobs");
  EXPECT_EQ(moved.get_downscaled_ids().data["path"], "/v1/get_downscaled_ids");
  EXPECT_EQ(dead.accepted(), 1);

  // Every fallback URL is checked like the first.
  RemoteOptions bad = options_for(first.url(), waits);
  bad.fallback_urls = {"ftp://127.0.0.1:1"};
  EXPECT_THROW(RemoteScaling{bad}, ValueError);
}

}  // namespace
}  // namespace tavoren::backend
