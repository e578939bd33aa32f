// Signed requests: what a server accepts and every way it refuses one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tavoren/protocol_signing.h"

namespace tavoren::backend::wire {
namespace {

using std::chrono::seconds;
using TimePoint = std::chrono::system_clock::time_point;

const TimePoint kNow = TimePoint(seconds(1'700'000'000));
const Session kInstance{"AKINSTANCE0001", "instance-secret-9f2c"};
const Session kOperator{"AKOPERATOR0001", "operator-secret-77ab"};

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// A request as a server receives it, which a test may tamper with.
struct Received {
  std::string method = "POST";
  std::string path = "/v1/update_action_docker_logs";
  std::string body = R"({"action_record_id":"65f1c0ffee0123456789abcd","log_content":"line\n"})";
  std::vector<HeaderField> headers;

  void set(std::string_view name, std::string value) {
    for (HeaderField& field : headers) {
      if (same_name(field.name, name)) {
        field.value = std::move(value);
        return;
      }
    }
    headers.push_back({std::string(name), std::move(value)});
  }
  void drop(std::string_view name) {
    std::erase_if(headers, [&](const HeaderField& field) { return same_name(field.name, name); });
  }
  IncomingRequest incoming() const {
    return {method, path, body, [this](std::string_view name) -> std::optional<std::string> {
              for (const HeaderField& field : headers) {
                if (same_name(field.name, name)) return field.value;
              }
              return std::nullopt;
            }};
  }
};

class Signing : public ::testing::Test {
 protected:
  Signing()
      : verifier_({.keys = [](const std::string& key) -> std::optional<KeyGrant> {
                     if (key == kInstance.access_key) {
                       return KeyGrant{kInstance.secret_key, Role::kInstance, "instance-a"};
                     }
                     if (key == kOperator.access_key) {
                       return KeyGrant{kOperator.secret_key, Role::kOperator, ""};
                     }
                     return std::nullopt;
                   },
                   .clock = [this] { return now_.load(); }}) {}

  Received signed_request(const Session& who = kInstance, TimePoint at = kNow,
                          std::string nonce = new_nonce(), std::string idempotency_key = "") {
    Received received;
    received.headers = sign_request({.method = received.method,
                                     .path = received.path,
                                     .body = received.body,
                                     .idempotency_key = idempotency_key},
                                    who, at, nonce);
    return received;
  }

  Verification verify(const Received& received) { return verifier_.verify(received.incoming()); }

  std::atomic<TimePoint> now_{kNow};
  RequestVerifier verifier_;
};

TEST_F(Signing, KnownDigestsAreComputed) {
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231, test case 2.
  EXPECT_EQ(hmac_sha256_hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  const std::string nonce = new_nonce();
  EXPECT_EQ(nonce.size(), 32u);
  EXPECT_TRUE(std::all_of(nonce.begin(), nonce.end(), [](char c) { return std::isxdigit(c); }));
  EXPECT_NE(nonce, new_nonce());
  EXPECT_NE(new_idempotency_key(), new_idempotency_key());
}

TEST_F(Signing, ASignedRequestIsAcceptedWithItsCallersGrant) {
  const Verification instance = verify(signed_request(kInstance, kNow, new_nonce(), "key-1"));
  ASSERT_TRUE(instance.ok()) << instance.detail;
  EXPECT_EQ(instance.role, Role::kInstance);
  EXPECT_EQ(instance.instance_id, "instance-a");
  EXPECT_EQ(instance.idempotency_key, "key-1");
  EXPECT_EQ(instance.status(), 200);

  const Verification operator_call = verify(signed_request(kOperator));
  ASSERT_TRUE(operator_call.ok()) << operator_call.detail;
  EXPECT_EQ(operator_call.role, Role::kOperator);
  EXPECT_EQ(operator_call.idempotency_key, "");
}

TEST_F(Signing, TheSecretIsNeverSent) {
  const Received received = signed_request(kInstance, kNow, new_nonce(), "key-1");
  for (const HeaderField& field : received.headers) {
    EXPECT_EQ(field.value.find(kInstance.secret_key), std::string::npos) << field.name;
  }
  std::vector<std::string> names;
  for (const HeaderField& field : received.headers) names.push_back(field.name);
  EXPECT_EQ(names, (std::vector<std::string>{"X-Tavoren-Key", "X-Tavoren-Timestamp",
                                             "X-Tavoren-Nonce", "X-Tavoren-Content-SHA256",
                                             "Idempotency-Key", "X-Tavoren-Signature"}));
}

TEST_F(Signing, AnyChangeToTheSignedPartsIsRefused) {
  struct Case {
    const char* what;
    std::function<void(Received&)> tamper;
    Refusal expected;
  };
  const std::vector<Case> cases = {
      {"body", [](Received& r) { r.body += " "; }, Refusal::kBodyMismatch},
      {"body and its hash",
       [](Received& r) {
         r.body = R"({"action_record_id":"other","log_content":"x"})";
         r.set(header::kContentSha256, sha256_hex(r.body));
       },
       Refusal::kBadSignature},
      {"path", [](Received& r) { r.path = "/v1/get_internal_api_key"; }, Refusal::kBadSignature},
      {"method", [](Received& r) { r.method = "PUT"; }, Refusal::kBadSignature},
      {"timestamp", [](Received& r) { r.set(header::kTimestamp, std::to_string(1'700'000'001)); },
       Refusal::kBadSignature},
      {"nonce", [](Received& r) { r.set(header::kNonce, new_nonce()); }, Refusal::kBadSignature},
      {"idempotency key swapped", [](Received& r) { r.set(header::kIdempotencyKey, "key-2"); },
       Refusal::kBadSignature},
      {"idempotency key removed", [](Received& r) { r.drop(header::kIdempotencyKey); },
       Refusal::kBadSignature},
      {"signature", [](Received& r) { r.set(header::kSignature, std::string(64, '0')); },
       Refusal::kBadSignature},
      {"access key of another caller",
       [](Received& r) { r.set(header::kAccessKey, kOperator.access_key); },
       Refusal::kBadSignature},
      {"unknown access key", [](Received& r) { r.set(header::kAccessKey, "AKNOBODY"); },
       Refusal::kUnknownKey},
      {"uppercase signature",
       [](Received& r) {
         std::string value;
         for (const HeaderField& f : r.headers) {
           if (f.name == header::kSignature) value = f.value;
         }
         std::transform(value.begin(), value.end(), value.begin(), ::toupper);
         r.set(header::kSignature, value);
       },
       Refusal::kMalformedHeader},
      {"timestamp not a number", [](Received& r) { r.set(header::kTimestamp, "17e8"); },
       Refusal::kMalformedHeader},
      {"short nonce", [](Received& r) { r.set(header::kNonce, "abc"); }, Refusal::kMalformedHeader},
      {"idempotency key with a line break",
       [](Received& r) { r.set(header::kIdempotencyKey, "a\nb"); }, Refusal::kMalformedHeader},
  };
  for (const Case& c : cases) {
    Received received = signed_request(kInstance, kNow, new_nonce(), "key-1");
    c.tamper(received);
    const Verification verification = verify(received);
    EXPECT_EQ(verification.refusal, c.expected)
        << c.what << ": " << refusal_name(verification.refusal) << " " << verification.detail;
    EXPECT_EQ(verification.status(), 401) << c.what;
    EXPECT_EQ(verification.detail.find(kInstance.secret_key), std::string::npos);
    EXPECT_EQ(verification.detail.find(kInstance.access_key), std::string::npos);
  }

  // An idempotency key added to a read that was signed without one.
  Received read = signed_request();
  read.set(header::kIdempotencyKey, "key-3");
  EXPECT_EQ(verify(read).refusal, Refusal::kBadSignature);

  // Signed with a wrong secret for a known key.
  const Session wrong{kInstance.access_key, "not-the-secret"};
  EXPECT_EQ(verify(signed_request(wrong)).refusal, Refusal::kBadSignature);
}

TEST_F(Signing, EveryMissingHeaderIsNamed) {
  for (const std::string_view name : {header::kAccessKey, header::kTimestamp, header::kNonce,
                                      header::kContentSha256, header::kSignature}) {
    Received received = signed_request();
    received.drop(name);
    const Verification verification = verify(received);
    EXPECT_EQ(verification.refusal, Refusal::kMissingHeader) << name;
    EXPECT_NE(verification.detail.find(std::string(name)), std::string::npos) << name;
  }
  EXPECT_EQ(verifier_.verify({"POST", "/v1/get_open_port", "{}", nullptr}).refusal,
            Refusal::kMissingHeader);
}

TEST_F(Signing, ClockSkewOfFiveMinutesEitherWayIsTheLimit) {
  for (const int offset : {-300, 300, 0}) {
    const Verification verification = verify(signed_request(kInstance, kNow + seconds(offset)));
    EXPECT_TRUE(verification.ok()) << offset << ": " << verification.detail;
  }
  const Verification behind = verify(signed_request(kInstance, kNow - seconds(301)));
  EXPECT_EQ(behind.refusal, Refusal::kClockSkew);
  EXPECT_NE(behind.detail.find("301 s behind"), std::string::npos) << behind.detail;
  const Verification ahead = verify(signed_request(kInstance, kNow + seconds(301)));
  EXPECT_EQ(ahead.refusal, Refusal::kClockSkew);
  EXPECT_NE(ahead.detail.find("301 s ahead"), std::string::npos) << ahead.detail;
}

TEST_F(Signing, ANonceIsAcceptedOnceWithinTheWindowAndAgainAfterIt) {
  const std::string nonce = new_nonce();
  const Received first = signed_request(kInstance, kNow, nonce);
  EXPECT_TRUE(verify(first).ok());
  EXPECT_EQ(verify(first).refusal, Refusal::kReplayedNonce);
  // The same nonce signed anew a little later is still a replay.
  now_ = kNow + seconds(200);
  EXPECT_EQ(verify(signed_request(kInstance, now_.load(), nonce)).refusal, Refusal::kReplayedNonce);
  // Another caller's nonces are its own.
  EXPECT_TRUE(verify(signed_request(kOperator, now_.load(), nonce)).ok());
  // Once the first request could no longer be accepted, and a grace
  // beyond, its nonce is free.
  now_ = kNow + seconds(301);
  EXPECT_EQ(verify(first).refusal, Refusal::kClockSkew);
  now_ = kNow + kMaxClockSkew + kNonceGrace + seconds(1);
  EXPECT_TRUE(verify(signed_request(kInstance, now_.load(), nonce)).ok());
}

TEST_F(Signing, ARequestSentAgainAtTheEdgeOfTheWindowIsAReplay) {
  const Received first = signed_request(kInstance, kNow);
  EXPECT_TRUE(verify(first).ok());
  // Within the last second of the window, the timestamp is still
  // accepted (whole seconds): the nonce must still be remembered.
  for (const auto late : {std::chrono::milliseconds(299'999), std::chrono::milliseconds(300'000),
                          std::chrono::milliseconds(300'900)}) {
    now_ = kNow + late;
    EXPECT_EQ(verify(first).refusal, Refusal::kReplayedNonce) << late.count() << " ms";
  }
  now_ = kNow + seconds(301);
  EXPECT_EQ(verify(first).refusal, Refusal::kClockSkew);
}

TEST_F(Signing, AnUnknownKeyAndAWrongSignatureAreRefusedAlike) {
  const Verification unknown =
      verify(signed_request(Session{"AKNOSUCHKEY0001", kInstance.secret_key}));
  const Verification wrong = verify(signed_request(Session{kInstance.access_key, "guess"}));
  EXPECT_EQ(unknown.refusal, Refusal::kUnknownKey);
  EXPECT_EQ(wrong.refusal, Refusal::kBadSignature);
  EXPECT_EQ(unknown.status(), wrong.status());
  EXPECT_EQ(unknown.detail, wrong.detail);
}

TEST_F(Signing, TheHeadIsVerifiedWithoutTheBodyAndItsNonceConsumedOnce) {
  Received received = signed_request();
  const std::string body = received.body;
  received.body = "";  // not read yet
  const Verification head = verifier_.verify_head(received.incoming());
  ASSERT_TRUE(head.ok()) << head.detail;
  EXPECT_EQ(head.body_sha256, sha256_hex(body));
  EXPECT_EQ(verifier_.verify_head(received.incoming()).refusal, Refusal::kReplayedNonce);
  EXPECT_TRUE(RequestVerifier::check_body(head, body).ok());
  const Verification changed = RequestVerifier::check_body(head, body + " ");
  EXPECT_EQ(changed.refusal, Refusal::kBodyMismatch);
  EXPECT_EQ(changed.status(), 401);
}

// Each key holds at most its share of the nonces a server remembers, also
// when the servers of a store share their nonces.
TEST_F(Signing, OneKeyOverItsShareOfTheNonceMemoryIsToldToComeBack) {
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared memory" : "own memory");
    now_ = kNow;
    std::set<std::string> in_store;
    int store_calls = 0;
    NonceMemory memory;
    if (shared) {
      memory = [&](const std::string& scope, const std::string& nonce,
                   std::chrono::system_clock::time_point, std::chrono::system_clock::time_point) {
        ++store_calls;
        return in_store.insert(scope + "/" + nonce).second ? NonceOutcome::kFresh
                                                           : NonceOutcome::kReplayed;
      };
    }
    RequestVerifier verifier({.keys = [](const std::string& key) -> std::optional<KeyGrant> {
                                if (key == kInstance.access_key) {
                                  return KeyGrant{kInstance.secret_key, Role::kInstance, "a"};
                                }
                                if (key == kOperator.access_key) {
                                  return KeyGrant{kOperator.secret_key, Role::kOperator, ""};
                                }
                                return std::nullopt;
                              },
                              .clock = [this] { return now_.load(); },
                              .nonce_capacity = 20,
                              .nonce_quota = 5,
                              .nonce_memory = memory});
    const Received first = signed_request(kInstance);
    EXPECT_TRUE(verifier.verify(first.incoming()).ok());
    for (int i = 1; i < 5; ++i) {
      EXPECT_TRUE(verifier.verify(signed_request(kInstance).incoming()).ok()) << i;
    }
    const Verification over = verifier.verify(signed_request(kInstance).incoming());
    EXPECT_EQ(over.refusal, Refusal::kNonceQuota);
    EXPECT_EQ(over.status(), 503);
    // A replay to this server is refused before the shared memory is asked.
    EXPECT_EQ(verifier.verify(first.incoming()).refusal, Refusal::kReplayedNonce);
    if (shared) {
      EXPECT_EQ(store_calls, 5);
    }
    // Another key goes on.
    EXPECT_TRUE(verifier.verify(signed_request(kOperator).incoming()).ok());
    // Once the first key's nonces expire, it goes on too.
    now_ = kNow + kMaxClockSkew + kNonceGrace + seconds(1);
    EXPECT_TRUE(verifier.verify(signed_request(kInstance, now_.load()).incoming()).ok());
  }
}

TEST_F(Signing, RefusedRequestsLeaveNoNonceBehind) {
  const std::string nonce = new_nonce();
  Received forged = signed_request(kInstance, kNow, nonce);
  forged.set(header::kSignature, std::string(64, 'a'));
  EXPECT_EQ(verify(forged).refusal, Refusal::kBadSignature);
  EXPECT_EQ(verifier_.nonces().size(), 0u);
  EXPECT_TRUE(verify(signed_request(kInstance, kNow, nonce)).ok());
}

TEST(NonceCacheTest, AFullCacheRefusesUntilEntriesExpire) {
  NonceCache cache(2, 2);
  EXPECT_EQ(cache.remember("k", "n1", kNow + seconds(10), kNow), NonceCache::Outcome::kFresh);
  EXPECT_EQ(cache.remember("k", "n2", kNow + seconds(20), kNow), NonceCache::Outcome::kFresh);
  EXPECT_EQ(cache.remember("k", "n3", kNow + seconds(20), kNow), NonceCache::Outcome::kFull);
  EXPECT_EQ(cache.remember("k", "n1", kNow + seconds(10), kNow), NonceCache::Outcome::kReplayed);
  // At its expiry a nonce is still held; just after it, it is dropped.
  EXPECT_EQ(cache.remember("k", "n3", kNow + seconds(30), kNow + seconds(10)),
            NonceCache::Outcome::kFull);
  EXPECT_EQ(cache.remember("k", "n3", kNow + seconds(30), kNow + seconds(11)),
            NonceCache::Outcome::kFresh);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.remember("k", "n1", kNow + seconds(40), kNow + seconds(11)),
            NonceCache::Outcome::kFull);
  EXPECT_EQ(cache.remember("k", "n1", kNow + seconds(40), kNow + seconds(21)),
            NonceCache::Outcome::kFresh);
}

TEST(NonceCacheTest, EachScopeHoldsAtMostItsQuota) {
  NonceCache cache(10, 3);
  EXPECT_EQ(cache.quota(), 3u);
  for (const char* nonce : {"n1", "n2", "n3"}) {
    EXPECT_EQ(cache.remember("greedy", nonce, kNow + seconds(10), kNow),
              NonceCache::Outcome::kFresh);
  }
  EXPECT_EQ(cache.remember("greedy", "n4", kNow + seconds(10), kNow),
            NonceCache::Outcome::kOverQuota);
  EXPECT_EQ(cache.remember("greedy", "n1", kNow + seconds(10), kNow),
            NonceCache::Outcome::kReplayed);
  for (const char* nonce : {"n1", "n2", "n3"}) {
    EXPECT_EQ(cache.remember("other", nonce, kNow + seconds(10), kNow),
              NonceCache::Outcome::kFresh);
  }
  EXPECT_EQ(cache.size(), 6u);
  // The scope's nonces expire, and with them its count.
  EXPECT_EQ(cache.remember("greedy", "n4", kNow + seconds(30), kNow + seconds(11)),
            NonceCache::Outcome::kFresh);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(NonceCache(1 << 20).quota(), std::size_t{1} << 16);
}

TEST(NonceCacheTest, ConcurrentCallersSeeEachNonceFreshExactlyOnce) {
  constexpr int kThreads = 8;
  constexpr int kNonces = 2000;
  NonceCache cache(1500, 1500);
  std::atomic<int> fresh{0};
  std::atomic<int> replayed{0};
  std::atomic<int> full{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread offers the same nonces, starting at different places.
      for (int i = 0; i < kNonces; ++i) {
        const int n = (i + t * kNonces / kThreads) % kNonces;
        switch (cache.remember("key", std::to_string(n), kNow + seconds(600), kNow)) {
          case NonceCache::Outcome::kFresh:
            ++fresh;
            break;
          case NonceCache::Outcome::kReplayed:
            ++replayed;
            break;
          case NonceCache::Outcome::kFull:
          case NonceCache::Outcome::kOverQuota:
            ++full;
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(fresh + replayed + full, kThreads * kNonces);
  // More distinct nonces than room: exactly the capacity is taken, each
  // nonce once, and the cache never grows beyond it.
  EXPECT_EQ(static_cast<std::size_t>(fresh.load()), cache.capacity());
  EXPECT_EQ(cache.size(), cache.capacity());
  EXPECT_EQ(replayed.load(), (kThreads - 1) * static_cast<int>(cache.capacity()));
}

TEST(NonceCacheTest, VerifiersShareTheirCacheAcrossThreads) {
  RequestVerifier verifier({.keys = [](const std::string& key) -> std::optional<KeyGrant> {
    if (key != kInstance.access_key) return std::nullopt;
    return KeyGrant{kInstance.secret_key, Role::kInstance, "a"};
  }});
  // 8 threads present the same 50 signed requests: each is accepted once.
  std::vector<Received> requests(50);
  for (Received& r : requests) {
    r.headers = sign_request({.path = r.path, .body = r.body}, kInstance);
  }
  std::atomic<int> accepted{0};
  std::atomic<int> replays{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (const Received& r : requests) {
        const Verification v = verifier.verify(r.incoming());
        if (v.ok()) ++accepted;
        if (v.refusal == Refusal::kReplayedNonce) ++replays;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(accepted.load(), 50);
  EXPECT_EQ(replays.load(), 7 * 50);
}

}  // namespace
}  // namespace tavoren::backend::wire
