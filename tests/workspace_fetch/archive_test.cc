// Archives that must be refused as a whole: unsafe member names and types,
// and archives past the limits. Each leaves nothing behind, inside or
// outside the work file system.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "tavoren/common/http.h"
#include "test_archives.h"
#include "workspace_internal.h"

namespace tavoren::workspace_fetch {
namespace {

using namespace testing;
namespace fs = std::filesystem;

TEST(MemberNameTest, CleanRelativeNamesPass) {
  for (const char* name : {"main.py", "a/b/c.txt", "dir/", "a/b/", "..hidden", "a../b..", ".env",
                           "a b/c d", "x/.git/"}) {
    EXPECT_EQ(detail::name_problem(name), std::nullopt) << name;
  }
}

TEST(MemberNameTest, UnsafeNamesAreNamed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "has an empty name"},
      {"/etc/passwd", "is an absolute path"},
      {"/", "is an absolute path"},
      {"../x", "has a \"..\" path component"},
      {"a/../../b", "has a \"..\" path component"},
      {"a/..", "has a \"..\" path component"},
      {"../", "has a \"..\" path component"},
      {"a//b", "has an empty path component"},
      {"a/b//", "has an empty path component"},
      {"./a", "has a \".\" path component"},
      {"a\\b", "holds a backslash"},
      {"..\\x", "holds a backslash"},
      {std::string("a\0b", 3), "holds a NUL byte"},
  };
  for (const auto& [name, problem] : cases) {
    EXPECT_EQ(detail::name_problem(name), problem) << detail::quote_name(name);
  }
}

TEST(MemberNameTest, QuotedNamesCannotForgeLogLines) {
  EXPECT_EQ(detail::quote_name("a\nError in x: y\"\\\x7f"), "\"a\\x0aError in x: y\\\"\\\\\\x7f\"");
}

struct BadMember {
  const char* label;
  Entry entry;
  const char* message;  // part of the error
};

class RefusedMemberTest : public FetchTest, public ::testing::WithParamInterface<BadMember> {};

TEST_P(RefusedMemberTest, WholeArchiveRefusedAndNothingWritten) {
  // The harmless member comes first: checking must finish before writing.
  server_.serve("code.zip", make_zip({file("ok.txt", "fine"), GetParam().entry}));
  try {
    fetch(server_.url("code.zip"));
    FAIL() << "archive accepted";
  } catch (const ArchiveError& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(server_.requests(), 1);
  expect_nothing_left();
}

Entry special(const char* name, Entry::Kind kind, const char* content = "") {
  return {.name = name, .content = content, .kind = kind, .permissions = 0777};
}

INSTANTIATE_TEST_SUITE_P(
    Archives, RefusedMemberTest,
    ::testing::Values(
        BadMember{"parent", file("../x", "escaped"), "member \"../x\" has a \"..\" path component"},
        BadMember{"grandparent", file("../../x", "escaped"), "\"..\" path component"},
        BadMember{"absolute", file("/abs", "escaped"), "member \"/abs\" is an absolute path"},
        BadMember{"climbs_back_out", file("a/../../b", "escaped"), "\"..\" path component"},
        BadMember{"empty_component", file("a//b", "x"), "has an empty path component"},
        BadMember{"backslash", file("..\\..\\x", "x"), "holds a backslash"},
        BadMember{"dot", file("./a", "x"), "has a \".\" path component"},
        BadMember{"directory_upwards", directory("../d/"), "\"..\" path component"},
        BadMember{"symlink_out", special("link", Entry::Kind::symlink, "../../sentinel"),
                  "member \"link\" is a symbolic link"},
        BadMember{"symlink_absolute", special("etc", Entry::Kind::symlink, "/etc"),
                  "is a symbolic link"},
        BadMember{"device", special("tty", Entry::Kind::char_device), "is a character device"},
        BadMember{"fifo", special("pipe", Entry::Kind::fifo), "is a named pipe"}),
    [](const ::testing::TestParamInfo<BadMember>& info) { return std::string(info.param.label); });

// The bytes of `archive` with every occurrence of `from` replaced by `to`
// (same length): rewrites a field in both the local and the central header.
std::string patch(std::string archive, const std::string& from, const std::string& to) {
  size_t at = 0;
  int replaced = 0;
  while ((at = archive.find(from, at)) != std::string::npos) {
    archive.replace(at, from.size(), to);
    at += to.size();
    ++replaced;
  }
  EXPECT_EQ(replaced, 2) << "expected one local and one central header";
  return archive;
}

std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return bytes;
}

class ArchiveLimitTest : public FetchTest {};

TEST_F(ArchiveLimitTest, MemberCountLimitIsInclusive) {
  const std::vector<Entry> three = {directory("d/"), file("d/a", "1"), file("b", "2")};
  fetch_archive(three, {.max_members = 3});
  EXPECT_TRUE(fs::exists(workspace() / "a"));

  fs::remove_all(workspace());
  std::vector<Entry> four = three;
  four.push_back(file("c", "3"));
  try {
    fetch_archive(four, {.max_members = 3});
    FAIL() << "archive accepted";
  } catch (const ArchiveError& error) {
    EXPECT_STREQ(error.what(), "the codebase archive has 4 members, more than the limit of 3");
  }
  expect_nothing_left();
}

TEST_F(ArchiveLimitTest, ExtractedBytesLimitIsInclusive) {
  fetch_archive({file("a", std::string(500, 'a'), true), file("b", std::string(500, 'b'))},
                {.max_extracted_bytes = 1000});
  EXPECT_EQ(fs::file_size(workspace() / "a") + fs::file_size(workspace() / "b"), 1000u);

  fs::remove_all(workspace());
  EXPECT_THROW(
      fetch_archive({file("a", std::string(500, 'a'), true), file("b", std::string(501, 'b'))},
                    {.max_extracted_bytes = 1000}),
      ArchiveError);
  expect_nothing_left();
}

// A member that declares 16 bytes but inflates to 1 MiB: the bytes are
// counted as they are written, not taken from the header.
TEST_F(ArchiveLimitTest, UnderstatedSizesAreCaughtWhileWriting) {
  const std::string real(1 << 20, 'z');
  const std::string archive =
      patch(make_zip({file("bomb.bin", real, true)}), le32(real.size()), le32(16));
  server_.serve("code.zip", archive);
  EXPECT_THROW(fetch(server_.url("code.zip"), "", {.max_extracted_bytes = 4096}), ArchiveError);
  expect_nothing_left();
}

TEST_F(ArchiveLimitTest, DownloadLimitStopsTheTransfer) {
  server_.serve("code.zip", make_zip({file("big.bin", std::string(10000, 'x'))}));
  try {
    fetch(server_.url("code.zip"), "", {.max_download_bytes = 4000});
    FAIL() << "download accepted";
  } catch (const http::TransportError& error) {
    EXPECT_EQ(error.curl_code(), CURLE_FILESIZE_EXCEEDED);
    EXPECT_NE(std::string(error.what()).find("limit of 4000 bytes"), std::string::npos);
  }
  expect_nothing_left();
}

class BrokenArchiveTest : public FetchTest {};

TEST_F(BrokenArchiveTest, BodyThatIsNotAZipArchive) {
  server_.serve("code.zip", "<html>Access denied</html>");
  try {
    fetch(server_.url("code.zip"));
    FAIL() << "accepted";
  } catch (const ArchiveError& error) {
    EXPECT_NE(std::string(error.what()).find("not a valid ZIP archive"), std::string::npos);
  }
  expect_nothing_left();
}

TEST_F(BrokenArchiveTest, CorruptedMemberData) {
  const std::string content(4096, 'q');
  std::string archive = make_zip({file("data.bin", content)});
  archive[archive.find(content) + 100] = 'X';  // stored data no longer matches its CRC
  server_.serve("code.zip", archive);
  EXPECT_THROW(fetch(server_.url("code.zip")), ArchiveError);
  expect_nothing_left();
}

TEST_F(BrokenArchiveTest, DuplicateNamesFailTheConsistencyCheck) {
  const std::string archive =
      patch(make_zip({file("twin-a", "1"), file("twin-b", "2")}), "twin-b", "twin-a");
  server_.serve("code.zip", archive);
  EXPECT_THROW(fetch(server_.url("code.zip")), ArchiveError);
  expect_nothing_left();
}

TEST_F(BrokenArchiveTest, FileWhereTheArchiveNeedsADirectory) {
  EXPECT_THROW(fetch_archive({file("a", "file"), file("a/b", "under a file")}), ArchiveError);
  expect_nothing_left();
}

}  // namespace
}  // namespace tavoren::workspace_fetch
