// The protocol's documents agree with the code: the OpenAPI document lists
// exactly the operations of the table, and the worked signing example of
// the protocol description is what the code computes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tavoren/protocol.h"
#include "tavoren/protocol_signing.h"

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
  // Path items are the keys indented by two spaces under "paths:"; each
  // states its role and whether it is a write in x-role and x-write.
  const std::regex path_line(R"(^  (/[^:\s]+):\s*$)");
  const std::regex role_line(R"(^      x-role: (\w+)\s*$)");
  const std::regex write_line(R"(^      x-write: (\w+)\s*$)");
  std::map<std::string, std::pair<std::string, std::string>> documented;
  std::istringstream lines(yaml);
  bool in_paths = false;
  std::string current;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != ' ' && line[0] != '#') in_paths = line == "paths:";
    if (!in_paths) continue;
    std::smatch match;
    if (std::regex_match(line, match, path_line)) {
      current = match[1];
      EXPECT_TRUE(documented.emplace(current, std::pair<std::string, std::string>()).second)
          << "documented twice: " << current;
    } else if (std::regex_match(line, match, role_line) && !current.empty()) {
      documented[current].first = match[1];
    } else if (std::regex_match(line, match, write_line) && !current.empty()) {
      documented[current].second = match[1];
    }
  }
  std::set<std::string> implemented;
  for (const Operation& operation : operations()) {
    const std::string path = path_of(operation.name);
    implemented.insert(path);
    const auto found = documented.find(path);
    if (found == documented.end()) {
      ADD_FAILURE() << "not documented: " << path;
      continue;
    }
    EXPECT_EQ(found->second.first, role_name(operation.role)) << path;
    EXPECT_EQ(found->second.second, operation.write ? "true" : "false") << path;
  }
  // The one operation outside the versions.
  const Operation* versions = operation_of_path(kVersionsPath);
  ASSERT_NE(versions, nullptr);
  EXPECT_TRUE(versions->any_role);
  implemented.insert(std::string(kVersionsPath));
  const auto found = documented.find(std::string(kVersionsPath));
  ASSERT_NE(found, documented.end()) << "not documented: " << kVersionsPath;
  EXPECT_EQ(found->second.first, "any");
  EXPECT_EQ(found->second.second, "false");
  for (const auto& [path, properties] : documented) {
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
