// The metrics and health endpoint over loopback HTTP.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <stdexcept>

#include "tavoren/metrics_endpoint.h"

namespace tavoren::metrics_endpoint {
namespace {

using ::testing::HasSubstr;

TEST(ListenAddress, ReadsHostAndPortAndRefusesTheRest) {
  ListenAddress v4 = parse_listen_address("127.0.0.1:9464");
  EXPECT_EQ(v4.host, "127.0.0.1");
  EXPECT_EQ(v4.port, 9464);
  ListenAddress v6 = parse_listen_address("[::1]:0");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.port, 0);
  for (const char* bad : {"127.0.0.1", ":9464", "localhost:9464", "127.0.0.1:65536", "127.0.0.1:-1",
                          "127.0.0.1:", "127.0.0.1:94x", "[::1]"}) {
    EXPECT_THROW(parse_listen_address(bad), std::invalid_argument) << bad;
  }
}

TEST(MetricsEndpoint, ServesMetricsAndHealthOnLoopback) {
  metrics::Registry registry;
  registry.counter("served_total", "things served").get().inc(3);
  std::atomic<bool> alive{true};
  std::atomic<bool> ready{false};
  MetricsEndpoint endpoint(
      EndpointOptions{.address = {"127.0.0.1", 0}, .registry = &registry, .health = [&] {
                        return HealthReport{alive, ready, {{"loop", "turning"}}};
                      }});
  ASSERT_NE(endpoint.port(), 0);
  httplib::Client client("127.0.0.1", endpoint.port());
  client.set_read_timeout(10, 0);

  auto scraped = client.Get("/metrics");
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  EXPECT_EQ(scraped->get_header_value("Content-Type"), metrics::kTextContentType);
  EXPECT_THAT(scraped->body, HasSubstr("\nserved_total 3\n"));

  // Alive but not ready: the whole check and readiness fail, liveness holds.
  auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_EQ(health->body, "{\"alive\":true,\"ready\":false,\"checks\":{\"loop\":\"turning\"}}\n");
  EXPECT_EQ(client.Get("/healthz/live")->status, 200);
  EXPECT_EQ(client.Get("/healthz/ready")->status, 503);
  ready = true;
  EXPECT_EQ(client.Get("/healthz")->status, 200);
  alive = false;
  EXPECT_EQ(client.Get("/healthz")->status, 503);
  EXPECT_EQ(client.Get("/healthz/live")->status, 503);
  EXPECT_EQ(client.Get("/healthz/ready")->status, 200);

  EXPECT_EQ(client.Get("/")->status, 404);
  EXPECT_EQ(client.Post("/metrics", "", "text/plain")->status, 405);
}

TEST(MetricsEndpoint, AnAddressInUseIsAnError) {
  metrics::Registry registry;
  MetricsEndpoint first(EndpointOptions{.address = {"127.0.0.1", 0}, .registry = &registry});
  EXPECT_THROW(MetricsEndpoint(
                   EndpointOptions{.address = {"127.0.0.1", first.port()}, .registry = &registry}),
               std::runtime_error);
}

}  // namespace
}  // namespace tavoren::metrics_endpoint
