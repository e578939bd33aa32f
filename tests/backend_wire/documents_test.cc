// The protocol's documents agree with the code: the OpenAPI document lists
// exactly the operations of the table, and the worked signing example of
// the protocol description is what the code computes.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tavoren/backend_wire.h"
#include "tavoren/backend_wire_signing.h"

namespace tavoren::backend::wire {
namespace {

std::string read_document(const std::string& name) {
  std::ifstream in(std::string(BACKEND_DOCS_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Documents, TheApiDocumentListsExactlyTheOperations) {
  const std::string yaml = read_document("backend-api.yaml");
  // Path items are the keys indented by two spaces under "paths:".
  const std::regex path_line(R"(^  (/[^:\s]+):\s*$)");
  std::set<std::string> documented;
  std::istringstream lines(yaml);
  bool in_paths = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != ' ' && line[0] != '#') in_paths = line == "paths:";
    std::smatch match;
    if (in_paths && std::regex_match(line, match, path_line)) {
      EXPECT_TRUE(documented.insert(match[1]).second) << "documented twice: " << match[1];
    }
  }
  std::set<std::string> implemented;
  for (const Operation& operation : operations()) implemented.insert(path_of(operation.name));
  for (const std::string& path : implemented) {
    EXPECT_TRUE(documented.count(path)) << "not documented: " << path;
  }
  for (const std::string& path : documented) {
    EXPECT_TRUE(implemented.count(path)) << "documented but not implemented: " << path;
  }
}

TEST(Documents, TheWorkedSigningExampleIsWhatTheCodeComputes) {
  const Session example{"AKEXAMPLE0000001", "example-secret-key"};
  const std::string body = R"({"has_gpu":true})";
  const std::string idempotency_key = "6f1d2c3b4a5948372615f4e3d2c1b0a9";
  const std::string nonce = "00112233445566778899aabbccddeeff";
  const auto at = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
  const std::string body_hash = sha256_hex(body);
  const std::string canonical =
      canonical_request("POST", "/v1/assign_jobs", "1700000000", nonce, body_hash, idempotency_key);
  const std::vector<HeaderField> headers =
      sign_request({.path = "/v1/assign_jobs", .body = body, .idempotency_key = idempotency_key},
                   example, at, nonce);
  ASSERT_EQ(headers.back().name, header::kSignature);
  EXPECT_EQ(headers.back().value, hmac_sha256_hex(example.secret_key, canonical));

  const std::string document = read_document("backend-protocol.md");
  for (const HeaderField& field : headers) {
    const std::string line = field.name + ": " + field.value;
    EXPECT_NE(document.find(line), std::string::npos) << "the example lacks the header\n" << line;
  }
  EXPECT_NE(document.find(canonical), std::string::npos)
      << "the example lacks the canonical request\n"
      << canonical;
}

}  // namespace
}  // namespace tavoren::backend::wire
