// The flatten and prune walks on trees built by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "test_archives.h"
#include "workspace_internal.h"

namespace tavoren::workspace_fetch::detail {
namespace {

namespace fs = std::filesystem;
using tavoren::testing::read_file;
using tavoren::testing::TempDir;
using testing::tree;

class TreeWalkTest : public ::testing::Test {
 protected:
  fs::path root() const { return dir_.path() / "ws"; }
  void make_dirs(const std::string& relative) const { fs::create_directories(root() / relative); }
  void write(const std::string& relative, const std::string& content) const {
    dir_.write("ws/" + relative, content);
  }
  TempDir dir_;
};

TEST_F(TreeWalkTest, FlattenLeavesTopLevelEntriesAlone) {
  write("top.txt", "top");
  make_dirs("empty_at_top");
  flatten_tree(root());
  EXPECT_EQ(tree(root()), (std::set<std::string>{"top.txt", "empty_at_top/"}));
}

TEST_F(TreeWalkTest, FlattenRemovesEmptiedSubdirectoriesOfVisitedDirectories) {
  write("a/b/c/deep.txt", "deep");
  make_dirs("a/empty");
  flatten_tree(root());
  // a is a child of the root: never removed here. a/empty was empty when
  // a was visited; b and c still held something when their parents were.
  EXPECT_EQ(tree(root()), (std::set<std::string>{"deep.txt", "a/", "a/b/", "a/b/c/"}));
  EXPECT_EQ(read_file(root() / "deep.txt"), "deep");
}

TEST_F(TreeWalkTest, FlattenFailsWhenADirectoryHoldsTheDestination) {
  make_dirs("name/inner");
  write("other/name", "file named like a directory at the top");
  EXPECT_THROW(flatten_tree(root()), std::system_error);
}

TEST_F(TreeWalkTest, WalksNeverFollowLinks) {
  dir_.write("outside/secret.txt", "secret");
  make_dirs("sub");
  fs::create_directory_symlink(dir_.path() / "outside", root() / "sub" / "link");
  flatten_tree(root());
  prune_tree(root());
  // The link itself moved up like a file; what it points at is untouched.
  EXPECT_TRUE(fs::is_symlink(root() / "link"));
  EXPECT_EQ(tree(dir_.path() / "outside"), (std::set<std::string>{"secret.txt"}));
  EXPECT_EQ(tree(root()), (std::set<std::string>{"link"}));
}

TEST_F(TreeWalkTest, PruneUsesListingsTakenBeforeDescending) {
  make_dirs("a/b");    // b is removed; a listed b, so it stays
  make_dirs("x/y/z");  // z is removed; y and x stay
  make_dirs("lone");   // empty when listed: removed
  write("kept/f.txt", "f");
  prune_tree(root());
  EXPECT_EQ(tree(root()), (std::set<std::string>{"a/", "x/", "x/y/", "kept/", "kept/f.txt"}));
}

TEST_F(TreeWalkTest, PruneKeepsTheRootEvenWhenEmpty) {
  make_dirs("");
  prune_tree(root());
  EXPECT_TRUE(fs::is_directory(root()));
}

TEST_F(TreeWalkTest, PruneIgnoresFailedRemovals) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  make_dirs("locked/inner");
  fs::permissions(root() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_NO_THROW(prune_tree(root()));
  EXPECT_TRUE(fs::is_directory(root() / "locked" / "inner"));
  fs::permissions(root() / "locked", fs::perms::owner_all);
}

TEST_F(TreeWalkTest, ListingSplitsDirectoriesFromEverythingElse) {
  write("f", "");
  make_dirs("d");
  fs::create_symlink("d", root() / "link_to_dir");
  auto listing = list_directory(root());
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->dirs, std::vector<std::string>{"d"});
  std::sort(listing->files.begin(), listing->files.end());
  EXPECT_EQ(listing->files, (std::vector<std::string>{"f", "link_to_dir"}));
  EXPECT_FALSE(list_directory(root() / "link_to_dir").has_value());
  EXPECT_FALSE(list_directory(root() / "missing").has_value());
}

}  // namespace
}  // namespace tavoren::workspace_fetch::detail
