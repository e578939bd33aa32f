// A backend server for the tests, in the test's own process: a database in
// a temporary folder, the request handling behind the HTTPS server on
// 127.0.0.1 (TLS with throwaway certificates), keys for two instances and
// an operator, and clients of each: the network clients of the agent and
// the operator, and raw signed requests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "in_process_server.h"
#include "raw_client.h"
#include "tavoren/backend_client.h"
#include "tavoren/http_server.h"
#include "tavoren/protocol_signing.h"
#include "tavoren/server.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren::server_testing {

using backend::LocalBackendOptions;
using backend::LocalScaling;
using backend::RemoteOperator;
using backend::RemoteOptions;
using backend::RemoteScaling;
using backend::Session;
using tavoren::Json;
namespace wire = backend::wire;

inline constexpr const char* kEncryptionKey = "0123456789abcdef0123456789abcdef";

// A record the operator may submit, owned by `user`.
inline Json action_record(const std::string& user = "owner-a") {
  Json record = Json::object();
  record["action"] = "data_split";
  record["actionDetails"] = Json{{"docker", "registry.example/jobs:1"}};
  record["jobParams"] = Json{{"epochs", 3}};
  record["_idUser"] = user;
  return record;
}

struct ServerSettings {
  std::int64_t log_limit_bytes = 0;
  std::pair<int, int> port_range{30000, 30009};
};

class ServerTest : public ::testing::Test {
 protected:
  explicit ServerTest(ServerSettings settings = {})
      : encryption_(std::make_unique<testing::ScopedEnv>("TAVOREN_ENCRYPTION_KEY", kEncryptionKey)),
        server_(
            store_options(settings), tls_,
            [this](const server::AuditEntry& e) {
              std::lock_guard lock(audit_mutex_);
              audits_.push_back(e);
            },
            [this](const std::string& line) {
              std::lock_guard lock(audit_mutex_);
              refusal_lines_.push_back(line);
            }),
        store_(server_.store()),
        keys_(server_.keys()),
        instance_a_(server_.new_session(wire::Role::kInstance, "instance-a")),
        instance_b_(server_.new_session(wire::Role::kInstance, "instance-b")),
        operator_(server_.new_session(wire::Role::kOperator)) {}

  LocalBackendOptions store_options(const ServerSettings& settings) const {
    LocalBackendOptions o;
    o.database = database();
    o.log_limit_bytes = settings.log_limit_bytes;
    o.port_range = settings.port_range;
    return o;
  }

  std::filesystem::path database() const { return dir_.path() / "backend.db"; }
  std::string url() const { return server_.url(); }

  RemoteOptions remote_options(const Session& session) const {
    return server_.remote_options(session);
  }
  std::unique_ptr<RemoteScaling> agent(const Session& session) const {
    return std::make_unique<RemoteScaling>(remote_options(session));
  }
  std::unique_ptr<RemoteOperator> operator_client() const {
    return std::make_unique<RemoteOperator>(remote_options(operator_));
  }

  // One signed request as its headers' text, with `edit` applied to the
  // signed headers before they are written.
  static std::string header_text(const std::vector<wire::HeaderField>& headers) {
    std::string text = "Content-Type: application/json\r\n";
    for (const wire::HeaderField& field : headers) {
      text += field.name + ": " + field.value + "\r\n";
    }
    return text;
  }
  static std::vector<wire::HeaderField> signed_headers(
      const std::string& path, const std::string& body, const Session& session,
      const std::string& idempotency_key = "",
      std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) {
    return wire::sign_request(
        wire::OutgoingRequest{.path = path, .body = body, .idempotency_key = idempotency_key},
        session, now, wire::new_nonce());
  }
  // Sends one request over a new TLS connection.
  std::optional<testing::Reply> send(const std::string& path, const std::string& body,
                                     const std::vector<wire::HeaderField>& headers,
                                     const std::string& method = "POST") const {
    testing::RawClient client(server_.port(), tls_.ca_file());
    return client.request(method, path, body, header_text(headers));
  }
  // A signed request of `session` for `operation`.
  std::optional<testing::Reply> call(const std::string& operation, const Json& arguments,
                                     const Session& session,
                                     const std::string& idempotency_key = "") const {
    const std::string path = wire::path_of(operation);
    const std::string body = wire::write_arguments(arguments);
    return send(path, body, signed_headers(path, body, session, idempotency_key));
  }

  std::vector<server::AuditEntry> audits() {
    std::lock_guard lock(audit_mutex_);
    return audits_;
  }
  // The warning lines of refused signatures.
  std::vector<std::string> refusal_lines() {
    std::lock_guard lock(audit_mutex_);
    return refusal_lines_;
  }

  testing::TempDir dir_;
  testing::TestTls tls_;
  std::unique_ptr<testing::ScopedEnv> encryption_;
  std::mutex audit_mutex_;
  std::vector<server::AuditEntry> audits_;
  std::vector<std::string> refusal_lines_;
  testing::InProcessServer server_;
  backend::Store& store_;
  server::AccessKeys& keys_;
  Session instance_a_, instance_b_, operator_;
};

}  // namespace tavoren::server_testing
