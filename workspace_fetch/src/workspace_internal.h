// Internal steps of the workspace fetch, exposed to the library's tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavoren/workspace_fetch.h"

namespace tavoren::workspace_fetch::detail {

// Why `name` may not be unpacked ("is an absolute path", ...), or nullopt
// when it is a clean relative path. A single trailing "/" (a directory
// entry) is allowed.
std::optional<std::string> name_problem(std::string_view name);

// `name` in double quotes, with control characters, quotes and backslashes
// escaped, for messages.
std::string quote_name(std::string_view name);

// Opens the ZIP archive at `archive`, checks every member (names, types,
// limits) and only then extracts all of them under `destination`, which
// must be a directory private to the caller. Throws ArchiveError.
void extract_archive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                     const FetchLimits& limits);

// The entries of one directory in readdir order, split into directories
// and everything else; symbolic links count as non-directories and are
// never followed. nullopt when `dir` is gone or is not a directory.
struct Listing {
  std::vector<std::string> dirs;
  std::vector<std::string> files;
};
std::optional<Listing> list_directory(const std::filesystem::path& dir);

// Walks the tree under `root` top-down and moves every file found below
// `root` to root/<file name>, deleting what was there first; after the
// files of a visited directory, removes its sub-directories that are empty
// at that moment (and does not descend into them). Files directly in
// `root` are left alone. Failures throw std::system_error.
void flatten_tree(const std::filesystem::path& root);

// Walks the tree under `root` bottom-up and removes every directory below
// `root` whose listing, taken before its sub-directories were visited, was
// empty. Removals that fail are ignored.
void prune_tree(const std::filesystem::path& root);

// Throws std::system_error for errno, naming `what`.
[[noreturn]] void throw_errno(const std::string& what);

}  // namespace tavoren::workspace_fetch::detail
