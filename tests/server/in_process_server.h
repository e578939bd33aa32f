// A backend server in the test's own process: the request handling on a
// store (the SQLite store of the options' path, unless the caller gives a
// store of its own, as the store suite's PostgreSQL run does), behind the
// HTTPS server on 127.0.0.1 with throwaway certificates, and the network
// clients' options for a key of its own. Not copyable; stops serving when
// destroyed.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tavoren/backend_client.h"
#include "tavoren/http_server.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_tls.h"

namespace tavoren::testing {

// The master key of the servers in the tests.
inline constexpr const char* kServerMasterKey =
    "8f3a61c2d94b07e5a1f6c3d8b2e94a70c5d1f8e3a6b9c2d4e7f0a3b6c9d2e5f8";
inline std::shared_ptr<const sealing::Keyring> test_keyring() {
  static const auto keyring =
      std::make_shared<const sealing::Keyring>(sealing::parse_master_key(kServerMasterKey));
  return keyring;
}

class InProcessServer {
 public:
  // `store_options`: the store's database and server options (its
  // instance identifier is ignored; without a keyring, test_keyring()).
  // `tls` must outlive the server. `refusal_log` receives the warning lines
  // of refused signatures.
  InProcessServer(backend::LocalBackendOptions store_options, const TestTls& tls,
                  std::function<void(const server::AuditEntry&)> audit = {},
                  std::function<void(const std::string&)> refusal_log = {})
      : InProcessServer(
            std::make_unique<backend::LocalScaling>(without_instance(std::move(store_options))),
            tls, std::move(audit), std::move(refusal_log)) {}
  // Serves `store`, which the server owns from then on; it must have been
  // given test_keyring().
  InProcessServer(std::unique_ptr<backend::Store> store, const TestTls& tls,
                  std::function<void(const server::AuditEntry&)> audit = {},
                  std::function<void(const std::string&)> refusal_log = {})
      : tls_(tls),
        store_(std::move(store)),
        keys_(*store_, test_keyring(), std::chrono::milliseconds(200)),
        service_(*store_, keys_,
                 server::ServiceOptions{.audit = std::move(audit),
                                        .refusal_log = std::move(refusal_log)}),
        http_(http_options(tls), service_) {
    http_.start();
  }
  ~InProcessServer() { http_.stop(); }
  InProcessServer(const InProcessServer&) = delete;
  InProcessServer& operator=(const InProcessServer&) = delete;

  backend::Store& store() { return *store_; }
  server::AccessKeys& keys() { return keys_; }
  int port() const { return http_.port(); }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(http_.port()); }

  // A new key pair of the server's, as a client's session.
  backend::Session new_session(backend::wire::Role role, const std::string& instance_id = "") {
    const server::NewAccessKey key = keys_.create(role, instance_id);
    return backend::Session{key.access_key, key.secret_key};
  }
  // A new instance key with its transport key.
  server::NewAccessKey new_instance_key(const std::string& instance_id) {
    return keys_.create(backend::wire::Role::kInstance, instance_id);
  }

  // Client options for `session`: this server's CA, short waits between
  // retries.
  backend::RemoteOptions remote_options(const backend::Session& session) const {
    return backend::RemoteOptions{
        .base_url = url(),
        .session = session,
        .ca_file = tls_.ca_file(),
        .connect_timeout = std::chrono::milliseconds(5000),
        .attempt_timeout = std::chrono::milliseconds(10000),
        .retry = {.max_attempts = 2, .sleep = [](std::chrono::milliseconds) {}}};
  }

 private:
  static backend::LocalBackendOptions without_instance(backend::LocalBackendOptions options) {
    options.instance_id.clear();
    if (!options.keyring) options.keyring = test_keyring();
    return options;
  }
  static http_server::Options http_options(const TestTls& tls) {
    http_server::Options o;
    o.certificate_chain_file = tls.server_chain_file();
    o.private_key_file = tls.server_key_file();
    o.io_threads = 2;
    o.worker_threads = 4;
    o.drain_time = std::chrono::seconds(5);
    o.render_refusal = server::render_refusal;
    return o;
  }

  const TestTls& tls_;
  std::unique_ptr<backend::Store> store_;
  server::AccessKeys keys_;
  server::BackendService service_;
  http_server::HttpServer http_;
};

}  // namespace tavoren::testing
