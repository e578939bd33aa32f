// The two walks that turn the unpacked tree into a flat workspace.
//
// Directories are opened with O_NOFOLLOW and entries are classified
// without following links, so neither walk ever leaves the tree it was
// given. Both walks keep their own stack instead of recursing: archive
// names may nest directories thousands deep.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <system_error>

#include "workspace_internal.h"

namespace tavoren::workspace_fetch::detail {
namespace {

namespace fs = std::filesystem;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Whether `path` is a directory (not a link to one) without entries.
bool is_empty_directory(const fs::path& path) {
  const auto listing = list_directory(path);
  return listing && listing->dirs.empty() && listing->files.empty();
}

// list_directory() for the prune walk, which skips what it cannot list.
std::optional<Listing> list_if_possible(const fs::path& dir) {
  try {
    return list_directory(dir);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

}  // namespace

void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::optional<Listing> list_directory(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return std::nullopt;
    throw_errno("cannot open directory " + dir.string());
  }
  std::unique_ptr<DIR, DirCloser> stream(::fdopendir(fd));
  if (!stream) {
    const int error = errno;
    ::close(fd);
    errno = error;
    throw_errno("cannot open directory " + dir.string());
  }
  Listing listing;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) throw_errno("cannot list directory " + dir.string());
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(::dirfd(stream.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        throw_errno("cannot inspect " + (dir / name).string());
      }
      is_dir = S_ISDIR(st.st_mode);
    }
    (is_dir ? listing.dirs : listing.files).emplace_back(name);
  }
  return listing;
}

void flatten_tree(const fs::path& root) {
  const auto top = list_directory(root);
  if (!top) throw std::system_error(ENOENT, std::generic_category(), root.string());
  // Directories still to visit, the next one last (pre-order, depth first,
  // siblings in listing order).
  std::vector<fs::path> pending;
  for (auto it = top->dirs.rbegin(); it != top->dirs.rend(); ++it) pending.push_back(root / *it);
  while (!pending.empty()) {
    const fs::path dir = std::move(pending.back());
    pending.pop_back();
    const auto listing = list_directory(dir);
    if (!listing) continue;  // removed as empty while its parent was visited
    for (const std::string& name : listing->files) {
      const fs::path from = dir / name;
      const fs::path to = root / name;
      struct stat st;
      if (::lstat(to.c_str(), &st) == 0) {
        if (::unlink(to.c_str()) != 0) throw_errno("cannot delete " + to.string());
      } else if (errno != ENOENT) {
        throw_errno("cannot inspect " + to.string());
      }
      if (::rename(from.c_str(), to.c_str()) != 0) {
        throw_errno("cannot move " + from.string() + " to " + to.string());
      }
    }
    for (const std::string& name : listing->dirs) {
      const fs::path sub = dir / name;
      if (is_empty_directory(sub) && ::rmdir(sub.c_str()) != 0) {
        throw_errno("cannot remove directory " + sub.string());
      }
    }
    for (auto it = listing->dirs.rbegin(); it != listing->dirs.rend(); ++it) {
      pending.push_back(dir / *it);
    }
  }
}

void prune_tree(const fs::path& root) {
  struct Frame {
    fs::path dir;
    std::vector<std::string> dirs;
    bool was_empty = false;
    size_t next = 0;
  };
  auto top = list_if_possible(root);
  if (!top) return;
  std::vector<Frame> stack;
  stack.push_back({.dir = root, .dirs = std::move(top->dirs)});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.dirs.size()) {
      fs::path child = frame.dir / frame.dirs[frame.next++];
      auto listing = list_if_possible(child);
      if (listing) {
        const bool was_empty = listing->dirs.empty() && listing->files.empty();
        stack.push_back(
            {.dir = std::move(child), .dirs = std::move(listing->dirs), .was_empty = was_empty});
      }
      continue;
    }
    // The root itself stays, whatever it holds; other failures are ignored.
    if (stack.size() > 1 && frame.was_empty) ::rmdir(frame.dir.c_str());
    stack.pop_back();
  }
}

}  // namespace tavoren::workspace_fetch::detail
