// Throwaway TLS material for tests: certificate authorities and server
// certificates made with OpenSSL when the test starts, written as PEM files
// into a temporary folder that goes away with the object.
//
// Keys are P-256 (quick to make); certificates are valid from an hour ago
// for a day. Nothing here is fit for anything but a test.
//
// Threads: build one in a test's set-up; the paths may be read from any
// thread afterwards. Failures: throws std::runtime_error when OpenSSL
// cannot make or write the material.
#pragma once

#include <filesystem>
#include <string>

#include "test_support.h"

namespace tavoren::testing {

class TestTls {
 public:
  // Makes a CA, a server certificate it signs for 127.0.0.1, ::1 and
  // localhost, and a second, unrelated CA with a server certificate of its
  // own for the same names.
  TestTls();

  // The CA's certificate, for a client's trust store.
  const std::filesystem::path& ca_file() const { return ca_; }
  // The server's certificate followed by the CA's, and its private key.
  const std::filesystem::path& server_chain_file() const { return server_chain_; }
  const std::filesystem::path& server_key_file() const { return server_key_; }

  // The unrelated CA: a client that trusts only it must refuse the
  // server above, and a client that trusts only ca_file() must refuse a
  // server that uses other_server_chain_file().
  const std::filesystem::path& other_ca_file() const { return other_ca_; }
  const std::filesystem::path& other_server_chain_file() const { return other_server_chain_; }
  const std::filesystem::path& other_server_key_file() const { return other_server_key_; }

  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::filesystem::path ca_, server_chain_, server_key_;
  std::filesystem::path other_ca_, other_server_chain_, other_server_key_;
};

}  // namespace tavoren::testing
