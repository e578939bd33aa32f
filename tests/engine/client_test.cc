// The engine client against a stand-in engine on a unix socket of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fake_engine.h"
#include "tavoren/engine.h"
#include "test_support.h"

namespace tavoren::testing {
namespace {

using engine::ApiError;
using engine::Client;
using engine::Endpoint;
using engine::TransportError;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Endpoint unix_at(std::string path) { return {.socket_path = std::move(path)}; }
Endpoint tcp_at(std::string host, int port) {
  return {.kind = Endpoint::Kind::tcp, .host = std::move(host), .port = port};
}

TEST(EngineEndpoint, ReadsAddressesAsTheEngineToolsDo) {
  EXPECT_EQ(Endpoint::parse(""), unix_at("/var/run/docker.sock"));
  EXPECT_EQ(Endpoint::parse("unix:///run/user/1000/docker.sock"),
            unix_at("/run/user/1000/docker.sock"));
  EXPECT_EQ(Endpoint::parse("unix://relative.sock"), unix_at("relative.sock"));
  EXPECT_EQ(Endpoint::parse("tcp://127.0.0.1:2376"), tcp_at("127.0.0.1", 2376));
  EXPECT_EQ(Endpoint::parse("tcp://engine.local/"), tcp_at("engine.local", 2375));
  EXPECT_EQ(Endpoint::parse("tcp://[::1]:65535"), tcp_at("::1", 65535));
  EXPECT_EQ(Endpoint::parse("tcp://[fe80::1]"), tcp_at("fe80::1", 2375));

  for (const char* bad :
       {"unix://", "/var/run/docker.sock", "http://127.0.0.1:2375", "ssh://me@host",
        "npipe:////./pipe/x", "tcp://", "tcp://:2375", "tcp://host:", "tcp://host:0",
        "tcp://host:65536", "tcp://host:12ab", "tcp://host:2375/prefix", "tcp://user@host:2375",
        "tcp://[::1", "tcp://[::1]x", "tcp://[::1]:", "tcp://host:2375?x=1", "TCP://host:2375"}) {
    EXPECT_THROW(Endpoint::parse(bad), ValueError) << bad;
  }
  // A path no unix socket address can hold is refused up front.
  EXPECT_THROW(Endpoint::parse("unix:///" + std::string(107, 'a')), ValueError);
  EXPECT_NO_THROW(Endpoint::parse("unix:///" + std::string(106, 'a')));
}

TEST(EngineEndpoint, ComesFromTheEnvironment) {
  {
    ScopedEnv host("DOCKER_HOST", std::nullopt);
    EXPECT_EQ(Endpoint::from_env(), unix_at("/var/run/docker.sock"));
    EXPECT_EQ(Client().endpoint(), unix_at("/var/run/docker.sock"));
  }
  {
    ScopedEnv host("DOCKER_HOST", "tcp://127.0.0.1:9999");
    ScopedEnv tls("DOCKER_TLS_VERIFY", "");
    EXPECT_EQ(Client().endpoint(), tcp_at("127.0.0.1", 9999));
  }
  {
    // TLS asked for: never downgraded to plain HTTP.
    ScopedEnv host("DOCKER_HOST", "tcp://127.0.0.1:2376");
    ScopedEnv tls("DOCKER_TLS_VERIFY", "1");
    EXPECT_THROW(Client(), ValueError);
    // A unix socket needs no TLS.
    ScopedEnv unix_host("DOCKER_HOST", "unix:///tmp/x.sock");
    EXPECT_EQ(Client().endpoint(), unix_at("/tmp/x.sock"));
  }
  {
    ScopedEnv host("DOCKER_HOST", "tcp//127.0.0.1");
    try {
      Client client;
      ADD_FAILURE() << "a malformed DOCKER_HOST was accepted";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("DOCKER_HOST 'tcp//127.0.0.1'"), std::string::npos);
    }
  }
  // Options name the address outright, and a version we cannot read is refused.
  ScopedEnv host("DOCKER_HOST", "tcp//broken");
  EXPECT_EQ(Client({.host = "unix:///a.sock"}).endpoint(), unix_at("/a.sock"));
  EXPECT_THROW(Client({.host = "unix:///a.sock", .api_version = "latest"}), ValueError);
}

TEST(EngineClient, AgreesTheApiVersionOnceFromThePing) {
  FakeEngine fake;
  fake.add_container("c1", {"x"});
  struct Case {
    std::optional<std::string> engine;
    std::string ours;
    std::string agreed;
  };
  for (const Case& c : std::vector<Case>{{"1.43", "1.41", "1.41"},
                                         {"1.24", "1.41", "1.24"},
                                         {"1.9", "1.41", "1.9"},  // compared as numbers
                                         {"1.41", "1.41", "1.41"},
                                         {std::nullopt, "1.41", ""},
                                         {"unknown", "1.41", ""}}) {
    fake.set_api_version(c.engine);
    fake.clear_requests();
    engine::ClientOptions options = fake.options();
    options.api_version = c.ours;
    Client client(options);
    client.inspect_container("c1");
    client.list_containers();
    const std::string prefix = c.agreed.empty() ? "" : "/v" + c.agreed;
    EXPECT_EQ(fake.lines(),
              (std::vector<std::string>{"GET /_ping", "GET " + prefix + "/containers/c1/json",
                                        "GET " + prefix + "/containers/json"}))
        << c.engine.value_or("(none)");
    EXPECT_EQ(client.api_version(), c.agreed);
  }
}

TEST(EngineClient, AFailedPingLeavesTheVersionOpen) {
  FakeEngine fake;
  fake.add_container("c1", {});
  fake.push("GET", "/_ping", FakeEngine::closing());
  fake.push("GET", "/_ping", FakeEngine::error_reply(500, "starting up"));
  Client client(fake.options());
  EXPECT_THROW(client.inspect_container("c1"), TransportError);
  try {
    client.ping();
    ADD_FAILURE() << "an error status of the ping was taken as success";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_EQ(e.explanation(), "starting up");
  }
  EXPECT_EQ(client.ping(), "OK");
  client.inspect_container("c1");
  EXPECT_EQ(fake.lines().back(), "GET /v1.41/containers/c1/json");
}

TEST(EngineClient, SendsFiltersAndIdentifiersEncoded) {
  FakeEngine fake;
  fake.add_container("up", {});
  fake.add_container("down", {}, /*running=*/false);
  fake.add_container("a b/c", {"z"});
  Client client(fake.options());

  Json running = client.list_containers({.filters = {{"status", "running"}}, .all = true});
  EXPECT_EQ(fake.lines().back(),
            "GET /v1.41/containers/json?all=1&filters=%7B%22status%22%3A%5B%22running%22%5D%7D");
  EXPECT_EQ(running,
            Json::parse(R"([{"Id":"up","State":"running"},{"Id":"a b/c","State":"running"}])"));

  client.list_containers({.filters = {{"label", {"k=v&w", "x y"}}, {"status", {"exited"}}}});
  const FakeEngine::Request last = fake.requests().back();
  EXPECT_EQ(last.query.count("all"), 0u);
  EXPECT_EQ(Json::parse(last.query.at("filters")).dump(),
            R"({"label":["k=v&w","x y"],"status":["exited"]})");

  EXPECT_EQ(client.list_containers({.all = true}).size(), 3u);
  EXPECT_EQ(fake.lines().back(), "GET /v1.41/containers/json?all=1");
  EXPECT_EQ(client.list_containers().size(), 2u);
  EXPECT_EQ(fake.lines().back(), "GET /v1.41/containers/json");

  EXPECT_EQ(client.inspect_container("a b/c")["Args"], Json::array({"z"}));
  EXPECT_EQ(fake.lines().back(), "GET /v1.41/containers/a%20b%2Fc/json");

  // Requests that cannot be sent are refused before anything is sent.
  const size_t sent = fake.requests().size();
  EXPECT_THROW(client.list_containers({.filters = {{"status", 1}}}), ValueError);
  EXPECT_THROW(client.list_containers({.filters = Json::array({"running"})}), ValueError);
  EXPECT_THROW(client.inspect_container(""), ValueError);
  EXPECT_THROW(client.stop_container("up", -1), ValueError);
  EXPECT_EQ(fake.requests().size(), sent);
}

TEST(EngineClient, StopsWithTheDefaultOrAGivenGrace) {
  FakeEngine fake;
  fake.add_container("c1", {});
  fake.add_container("c2", {});
  Client client(fake.options());

  client.stop_container("c1");
  EXPECT_EQ(fake.lines().back(), "POST /v1.41/containers/c1/stop");
  EXPECT_FALSE(fake.running("c1"));
  EXPECT_TRUE(fake.requests().back().body.empty());
  client.stop_container("c2", 7);
  EXPECT_EQ(fake.lines().back(), "POST /v1.41/containers/c2/stop?t=7");
  EXPECT_FALSE(fake.running("c2"));
  // Already stopped: the engine answers 304, which is success.
  EXPECT_NO_THROW(client.stop_container("c1", 0));
  EXPECT_EQ(fake.lines().back(), "POST /v1.41/containers/c1/stop?t=0");

  try {
    client.stop_container("ghost");
    ADD_FAILURE() << "stopping an unknown container succeeded";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_EQ(e.explanation(), "No such container: ghost");
    EXPECT_STREQ(
        e.what(),
        "engine answered 404 to POST /v1.41/containers/ghost/stop: No such container: ghost");
  }
}

TEST(EngineClient, RemovesOnlyContainersThatDoNotRun) {
  FakeEngine fake;
  fake.add_container("up", {});
  fake.add_container("ended", {}, /*running=*/false);
  Client client(fake.options());

  client.remove_container("ended");
  EXPECT_EQ(fake.lines().back(), "DELETE /v1.41/containers/ended?v=1");
  EXPECT_FALSE(fake.has("ended"));
  // Gone already: the engine answers 404, which is success.
  EXPECT_NO_THROW(client.remove_container("ended"));
  // Never forced: a running container stays.
  try {
    client.remove_container("up");
    ADD_FAILURE() << "removing a running container succeeded";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 409);
  }
  EXPECT_TRUE(fake.has("up"));
  EXPECT_THROW(client.remove_container(""), ValueError);
}

TEST(EngineClient, TellsRefusalsFromMissingAnswers) {
  FakeEngine fake;
  fake.add_container("c1", {});
  Client client(fake.options());
  ASSERT_EQ(client.ping(), "OK");

  fake.push("GET", "/containers/c1/json", {.status = 500, .body = "  driver failed\n"});
  try {
    client.inspect_container("c1");
    ADD_FAILURE();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_EQ(e.explanation(), "driver failed");  // a plain body is the explanation
  }
  fake.push("GET", "/containers/json", {.status = 409, .body = ""});
  try {
    client.list_containers();
    ADD_FAILURE();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 409);
    EXPECT_STREQ(e.what(), "engine answered 409 to GET /v1.41/containers/json");
  }

  fake.push("GET", "/containers/c1/json", FakeEngine::closing());
  EXPECT_THROW(client.inspect_container("c1"), TransportError);

  // Success statuses with bodies that are not what was asked for.
  fake.push("GET", "/containers/c1/json", {.body = "<html>"});
  fake.push("GET", "/containers/json", {.body = "{}"});
  for (auto request : {std::function<void()>([&] { client.inspect_container("c1"); }),
                       std::function<void()>([&] { client.list_containers(); })}) {
    try {
      request();
      ADD_FAILURE() << "a malformed answer was accepted";
    } catch (const engine::Error& e) {
      EXPECT_EQ(dynamic_cast<const ApiError*>(&e), nullptr);
      EXPECT_EQ(dynamic_cast<const TransportError*>(&e), nullptr);
    }
  }

  // An answer nested deeper than any the engine gives is refused, not
  // followed; the same for the explanation of a refusal.
  fake.push("GET", "/containers/json", {.body = std::string(60000, '[') + std::string(60000, ']')});
  try {
    client.list_containers();
    ADD_FAILURE() << "a 60,000-deep answer was accepted";
  } catch (const engine::Error& e) {
    EXPECT_STREQ(e.what(),
                 "the engine's answer to GET /v1.41/containers/json is refused: JSON nests deeper "
                 "than 128 levels");
  }
  const std::string deep_refusal =
      std::string(200, '[') + R"({"message": "nested"})" + std::string(200, ']');
  fake.push("GET", "/containers/c1/json", {.status = 500, .body = deep_refusal});
  try {
    client.inspect_container("c1");
    ADD_FAILURE();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.explanation(), deep_refusal);
  }

  // An answer larger than allowed is not an answer.
  engine::ClientOptions small = fake.options();
  small.max_body_bytes = 100;
  fake.push("GET", "/containers/json", {.body = "[" + std::string(1000, ' ') + "]"});
  EXPECT_THROW(Client(small).list_containers(), TransportError);

  // Nothing listens at the socket.
  Client nowhere({.host = "unix://" + (fake.options().host->substr(7) + ".missing")});
  EXPECT_THROW(nowhere.ping(), TransportError);
}

TEST(EngineClient, GivesUpOnASilentEngineAtTheTimeLimit) {
  FakeEngine fake;
  fake.add_container("c1", {});
  engine::ClientOptions options = fake.options();
  options.timeout = milliseconds(150);
  options.stop_margin = milliseconds(100);
  Client client(options);
  client.ping();

  fake.push("GET", "/containers/c1/json", FakeEngine::hanging());
  auto start = Clock::now();
  EXPECT_THROW(client.inspect_container("c1"), TransportError);
  EXPECT_LT(Clock::now() - start, milliseconds(2000));

  // A stop waits for the grace period plus the margin, not the general limit.
  options.timeout = milliseconds(60000);
  Client patient(options);
  patient.ping();
  fake.push("POST", "/containers/c1/stop", FakeEngine::hanging());
  start = Clock::now();
  EXPECT_THROW(patient.stop_container("c1", 0), TransportError);
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
}

TEST(EngineClient, ReadsOneStatisticsSample) {
  FakeEngine fake;
  fake.add_container("c1", {});
  Client client(fake.options());
  const Json stats = client.container_stats("c1");
  EXPECT_EQ(fake.lines().back(), "GET /v1.41/containers/c1/stats?stream=false");
  EXPECT_EQ(stats["memory_stats"]["usage"], 1024);
  EXPECT_THROW(client.container_stats("ghost"), ApiError);
}

TEST(EngineClient, ServesSeveralThreadsAtOnce) {
  FakeEngine fake;
  fake.add_container("c1", {"a"});
  Client client(fake.options());
  std::atomic<int> answered = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        if (client.inspect_container("c1")["Args"] == Json::array({"a"})) ++answered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered, 20);
  for (const std::string& line : fake.lines()) {
    EXPECT_TRUE(line == "GET /_ping" || line == "GET /v1.41/containers/c1/json") << line;
  }
}

}  // namespace
}  // namespace tavoren::testing
