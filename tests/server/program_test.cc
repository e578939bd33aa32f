// The tavoren-backend program as a separate process: its key commands and
// a server that stops gracefully on SIGTERM.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tavoren/backend_client.h"
#include "tavoren/common/process.h"
#include "tavoren/sqlite_store.h"
#include "test_support.h"
#include "test_tls.h"

namespace tavoren {
namespace {

constexpr const char* kProgram = TAVOREN_BACKEND_PROGRAM;
constexpr const char* kMasterKey =
    "3c9a0f5e7b21d84c6e0a9f3b5d7c1e2f4a6b8c0d2e4f60718293a4b5c6d7e8f9";

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() { write("master.key", std::string(kMasterKey) + "\n"); }

  std::string store() const { return "sqlite:" + (dir_.path() / "backend.db").string(); }
  std::string file(const std::string& name) const { return (dir_.path() / name).string(); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name)) << text;
  }

  // The program with `args`, then --master-key-file unless `master_key` is
  // empty.
  process::RunResult run(std::vector<std::string> args,
                         const std::string& master_key = "master.key") const {
    args.insert(args.begin(), kProgram);
    if (!master_key.empty()) args.insert(args.end(), {"--master-key-file", file(master_key)});
    process::RunOptions options{.timeout = std::chrono::seconds(20), .capture_stderr = true};
    options.environment = {"TAVOREN_ENCRYPTION_KEY="};
    return process::run_capture(args, options);
  }

  // `serve` over TLS with `tls`'s files, started through `prefix` (a
  // shell that sets limits first, say), its standard error into
  // `error_file`; the bound port once it listens.
  std::pair<process::Child, std::string> serve(const testing::TestTls& tls,
                                               std::vector<std::string> prefix = {},
                                               const std::string& error_file = "") const {
    process::SpawnRequest request;
    request.argv = std::move(prefix);
    for (const std::string& arg :
         {std::string(kProgram), std::string("serve"), std::string("--store"), store(),
          std::string("--listen"), std::string("127.0.0.1:0"), std::string("--tls-cert"),
          tls.server_chain_file().string(), std::string("--tls-key"),
          tls.server_key_file().string(), std::string("--master-key-file"), file("master.key")}) {
      request.argv.push_back(arg);
    }
    request.stdout_stream = process::Stream::pipe;
    request.stderr_stream = error_file.empty() ? process::Stream::null : process::Stream::file;
    request.output_path = error_file;
    request.environment = process::environment_with({"TAVOREN_ENCRYPTION_KEY="});
    process::Child server = process::Child::spawn(request);
    // The first line names the bound port.
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{server.stdout_fd(), POLLIN, 0};
      if (::poll(&ready, 1, 200) <= 0) continue;
      char buffer[256];
      const ssize_t got = ::read(server.stdout_fd(), buffer, sizeof buffer);
      if (got <= 0) break;
      out.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string prefix_text = "listening on 127.0.0.1:";
    if (!out.starts_with(prefix_text)) return {std::move(server), ""};
    return {std::move(server), out.substr(prefix_text.size(), out.find('\n') - prefix_text.size())};
  }

  // "access-key: X\nsecret-key: Y\n" as (X, Y).
  static std::pair<std::string, std::string> created(const std::string& out) {
    const auto value = [&](const std::string& label) {
      const std::size_t at = out.find(label);
      if (at == std::string::npos) return std::string();
      const std::size_t start = at + label.size();
      return out.substr(start, out.find('\n', start) - start);
    };
    return {value("access-key: "), value("secret-key: ")};
  }

  testing::TempDir dir_;
};

TEST_F(ProgramTest, KeysAreShownOnceListedWithoutSecretsStoredSealedAndRevoked) {
  const auto made = run({"keys", "create", "--store", store(), "--instance", "instance-a"});
  ASSERT_EQ(made.exit_status, process::ExitStatus::exited(0)) << made.err;
  const auto [access_key, secret_key] = created(made.out);
  EXPECT_EQ(access_key.size(), 20u);
  EXPECT_TRUE(access_key.starts_with("TK"));
  EXPECT_EQ(secret_key.size(), 64u);
  EXPECT_EQ(made.err.find(secret_key), std::string::npos);

  EXPECT_NE(made.out.find("transport-key: "), std::string::npos);
  const auto listed = run({"keys", "list", "--store", store()}, "");
  ASSERT_EQ(listed.exit_status, process::ExitStatus::exited(0)) << listed.err;
  EXPECT_NE(listed.out.find(access_key + "\tinstance\tinstance-a"), std::string::npos);
  EXPECT_NE(listed.out.find("active"), std::string::npos);
  EXPECT_EQ(listed.out.find(secret_key), std::string::npos);

  for (const char* suffix : {"", "-wal"}) {
    const auto file = dir_.path() / (std::string("backend.db") + suffix);
    if (!std::filesystem::exists(file)) continue;
    const std::string bytes = testing::read_file(file);
    EXPECT_EQ(bytes.find(secret_key), std::string::npos) << file;
    EXPECT_NE(bytes.find(access_key), std::string::npos) << file;
  }

  EXPECT_EQ(run({"keys", "revoke", "--store", store(), access_key}, "").exit_status,
            process::ExitStatus::exited(0));
  EXPECT_NE(run({"keys", "list", "--store", store()}, "").out.find("revoked"), std::string::npos);
  EXPECT_EQ(run({"keys", "revoke", "--store", store(), "TKNOSUCHKEY"}, "").exit_status,
            process::ExitStatus::exited(1));
}

TEST_F(ProgramTest, ItRefusesKeysWithoutAStrongMasterKeyAndWrongUsage) {
  EXPECT_EQ(run({"keys", "create", "--store", store(), "--operator"}, "").exit_status,
            process::ExitStatus::exited(2));
  EXPECT_EQ(
      run({"serve", "--store", store(), "--listen", "127.0.0.1:0", "--plain-http"}, "").exit_status,
      process::ExitStatus::exited(2));
  // A master key that is no 32 random bytes is refused, without showing it.
  for (const std::string& weak :
       {std::string("aaaaaaaaaaaaaaaa"), std::string(64, 'a'), std::string("not a key at all")}) {
    write("weak.key", weak + "\n");
    const auto refused = run({"keys", "create", "--store", store(), "--operator"}, "weak.key");
    EXPECT_EQ(refused.exit_status, process::ExitStatus::exited(1)) << weak;
    EXPECT_NE(refused.err.find("master key"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find(weak), std::string::npos) << refused.err;
  }
  EXPECT_EQ(run({"keys", "create", "--store", store()}).exit_status,
            process::ExitStatus::exited(2));
  EXPECT_EQ(run({"serve", "--store", store(), "--listen", "0.0.0.0:0", "--plain-http"}).exit_status,
            process::ExitStatus::exited(2));
  EXPECT_EQ(run({"frobnicate"}, "").exit_status, process::ExitStatus::exited(2));
  const auto made = run({"keys", "master-key"}, "");
  EXPECT_EQ(made.exit_status, process::ExitStatus::exited(0));
  EXPECT_EQ(made.out.size(), 65u);
  const auto help = run({"serve", "--help"}, "");
  EXPECT_EQ(help.exit_status, process::ExitStatus::exited(0));
  EXPECT_NE(help.out.find("--port-range"), std::string::npos);
  EXPECT_NE(help.out.find("--assign-batch"), std::string::npos);
  for (const char* batch : {"0", "1001", "five"}) {
    EXPECT_EQ(run({"serve", "--store", store(), "--listen", "127.0.0.1:0", "--plain-http",
                   "--assign-batch", batch})
                  .exit_status,
              process::ExitStatus::exited(2))
        << batch;
  }
}

TEST_F(ProgramTest, AStoreOfTheSingleKeyIsServedOnlyOnceResealed) {
  {
    testing::ScopedEnv old("TAVOREN_ENCRYPTION_KEY", "0123456789abcdef");
    backend::LocalBackendOptions options;
    options.database = dir_.path() / "backend.db";
    backend::LocalScaling legacy(options);
    legacy.set_model_secret("hugging_face", "hf-token-of-the-old-store");
    legacy.set_registry_credentials("robot", "registry-pass-of-the-old-store");
  }
  write("old.key", "0123456789abcdef\n");
  const auto refused =
      run({"serve", "--store", store(), "--listen", "127.0.0.1:0", "--plain-http"});
  EXPECT_EQ(refused.exit_status, process::ExitStatus::exited(1));
  EXPECT_NE(refused.err.find("tavoren-backend keys reseal --store " + store()), std::string::npos)
      << refused.err;
  EXPECT_EQ(run({"keys", "create", "--store", store(), "--operator"}).exit_status,
            process::ExitStatus::exited(1));

  const auto resealed = run(
      {"keys", "reseal", "--store", store(), "--old-key-file", file("old.key"), "--batch", "1"});
  ASSERT_EQ(resealed.exit_status, process::ExitStatus::exited(0)) << resealed.err;
  EXPECT_NE(resealed.out.find("resealed model_secrets=1 settings=1 (done)"), std::string::npos)
      << resealed.out;
  EXPECT_EQ(resealed.out.find("hf-token-of-the-old-store"), std::string::npos);
  EXPECT_EQ(run({"keys", "create", "--store", store(), "--operator"}).exit_status,
            process::ExitStatus::exited(0));
}

TEST_F(ProgramTest, AServerAnswersOverTlsAndStopsGracefullyOnSigterm) {
  testing::TestTls tls;
  const auto made = run({"keys", "create", "--store", store(), "--operator"});
  ASSERT_EQ(made.exit_status, process::ExitStatus::exited(0)) << made.err;
  const auto [access_key, secret_key] = created(made.out);

  auto [server, port] = serve(tls);
  ASSERT_FALSE(port.empty());

  backend::RemoteOperator admin(
      backend::RemoteOptions{.base_url = "https://127.0.0.1:" + port,
                             .session = backend::Session{access_key, secret_key},
                             .ca_file = tls.ca_file(),
                             .connect_timeout = std::chrono::milliseconds(5000),
                             .attempt_timeout = std::chrono::milliseconds(10000),
                             .retry = {.max_attempts = 1}});
  EXPECT_EQ(admin.list(), Json::array());

  server.send_signal(SIGTERM);
  const auto status = server.wait_for(std::chrono::seconds(20));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, process::ExitStatus::exited(0));
}

TEST_F(ProgramTest, UnderALowDescriptorLimitIdleConnectionsDoNotKeepARequestFromBeingServed) {
  testing::TestTls tls;
  const auto made = run({"keys", "create", "--store", store(), "--operator"});
  ASSERT_EQ(made.exit_status, process::ExitStatus::exited(0)) << made.err;
  const auto [access_key, secret_key] = created(made.out);
  const std::string log_file = (dir_.path() / "serve.log").string();
  // The shell lowers both the soft and the hard limit: none to raise.
  auto [server, port] =
      serve(tls, {"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\" \"$@\""}, log_file);
  ASSERT_FALSE(port.empty());

  // More connections that never send a byte than the process may open.
  std::vector<int> idle;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 260; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    idle.push_back(fd);
  }

  backend::RemoteOperator admin(
      backend::RemoteOptions{.base_url = "https://127.0.0.1:" + port,
                             .session = backend::Session{access_key, secret_key},
                             .ca_file = tls.ca_file(),
                             .connect_timeout = std::chrono::milliseconds(5000),
                             .attempt_timeout = std::chrono::milliseconds(5000)});
  // A slow server (a sanitizer's build) may still have the idle ones in its
  // accept queue, which then resets a connection beyond it: the client's
  // retries are part of being served.
  EXPECT_EQ(admin.list(), Json::array());
  for (const int fd : idle) ::close(fd);

  server.send_signal(SIGTERM);
  const auto status = server.wait_for(std::chrono::seconds(20));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, process::ExitStatus::exited(0));
  const std::string log = testing::read_file(log_file);
  EXPECT_NE(log.find("Descriptor limit 256: serving at most 128 connections"), std::string::npos)
      << log.substr(0, 2000);
  EXPECT_EQ(log.find("cannot accept"), std::string::npos) << "accept never ran out";
}

}  // namespace
}  // namespace tavoren
