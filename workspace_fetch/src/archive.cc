// Checking and unpacking the codebase archive.
//
// Every member is checked before the first byte is written, so a refused
// archive leaves nothing behind. Extraction then writes into a directory
// that only this call uses: files are created with O_EXCL and O_NOFOLLOW,
// directories one component at a time, and no symbolic link is ever
// created, so every path resolves inside the destination.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "workspace_internal.h"

namespace tavoren::workspace_fetch::detail {
namespace {

namespace fs = std::filesystem;

struct ArchiveCloser {
  // Opened read-only: nothing to write back.
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct MemberCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;
using MemberPtr = std::unique_ptr<zip_file_t, MemberCloser>;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting the error that close() returns.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

struct Member {
  zip_uint64_t index = 0;
  std::string name;
  // The name's components; the last one is the entry itself.
  std::vector<std::string> components;
  bool directory = false;
  mode_t mode = 0644;
};

ArchivePtr open_archive(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) throw_errno("cannot open " + path.string());
  int code = 0;
  zip_t* archive = zip_fdopen(fd, ZIP_CHECKCONS, &code);
  if (archive == nullptr) {
    ::close(fd);
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string detail = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ArchiveError("the codebase archive is not a valid ZIP archive: " + detail);
  }
  return ArchivePtr(archive);
}

std::vector<std::string> split_components(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    parts.emplace_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return parts;
}

const char* file_type_name(mode_t type) {
  switch (type) {
    case S_IFLNK:
      return "a symbolic link";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFIFO:
      return "a named pipe";
    case S_IFSOCK:
      return "a socket";
    default:
      return "an entry of unknown type";
  }
}

// Checks every member against the rules and limits; returns them in
// archive order, ready to extract.
std::vector<Member> check_members(zip_t* archive, const FetchLimits& limits) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0) throw ArchiveError("the codebase archive cannot be read");
  if (static_cast<std::uint64_t>(count) > limits.max_members) {
    throw ArchiveError("the codebase archive has " + std::to_string(count) +
                       " members, more than the limit of " + std::to_string(limits.max_members));
  }
  std::vector<Member> members;
  members.reserve(static_cast<size_t>(count));
  std::uint64_t declared_bytes = 0;
  for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_NAME) == 0) {
      throw ArchiveError("member " + std::to_string(index) +
                         " of the codebase archive cannot be read: " + zip_strerror(archive));
    }
    Member member{.index = index, .name = stat.name};
    if (auto problem = name_problem(member.name)) {
      throw ArchiveError("refusing the codebase archive: member " + quote_name(member.name) + " " +
                         *problem);
    }
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) {
      throw ArchiveError("member " + quote_name(member.name) +
                         " of the codebase archive cannot be read: " + zip_strerror(archive));
    }
    mode_t unix_mode = 0;
    if (system == ZIP_OPSYS_UNIX) unix_mode = static_cast<mode_t>(attributes >> 16);
    const mode_t type = unix_mode & S_IFMT;
    if (type != 0 && type != S_IFREG && type != S_IFDIR) {
      throw ArchiveError("refusing the codebase archive: member " + quote_name(member.name) +
                         " is " + file_type_name(type) + ", not a regular file or directory");
    }
    constexpr zip_uint32_t kDosDirectory = 0x10;
    std::string_view path = member.name;
    if (path.ends_with('/')) {
      member.directory = true;
      path.remove_suffix(1);
    }
    if (type == S_IFDIR || (system == ZIP_OPSYS_DOS && (attributes & kDosDirectory) != 0)) {
      member.directory = true;
    }
    member.components = split_components(path);
    member.mode = (unix_mode & S_IXUSR) != 0 ? 0755 : 0644;
    if (!member.directory && (stat.valid & ZIP_STAT_SIZE) != 0) {
      if (stat.size > limits.max_extracted_bytes - declared_bytes) {
        throw ArchiveError("the codebase archive declares more than the limit of " +
                           std::to_string(limits.max_extracted_bytes) + " unpacked bytes");
      }
      declared_bytes += stat.size;
    }
    members.push_back(std::move(member));
  }
  return members;
}

// Creates the directories of `components` (all of them, or all but the
// last) under `root`, one at a time; `made` remembers those already there.
fs::path make_directories(const fs::path& root, const std::vector<std::string>& components,
                          size_t count, std::unordered_set<std::string>& made) {
  fs::path dir = root;
  std::string relative;
  for (size_t i = 0; i < count; ++i) {
    dir /= components[i];
    relative += components[i];
    relative += '/';
    if (made.contains(relative)) continue;
    if (::mkdir(dir.c_str(), 0755) != 0) {
      const int error = errno;
      struct stat st;
      if (error != EEXIST || ::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error == EEXIST) {
          throw ArchiveError("the codebase archive needs a directory where it has a file: " +
                             quote_name(relative));
        }
        errno = error;
        throw_errno("cannot create " + dir.string());
      }
    }
    made.insert(relative);
  }
  return dir;
}

// Creates `path` for writing. A regular file already there (the archive
// itself, file.zip) is replaced; anything else is a conflict.
int create_file(const fs::path& path, mode_t mode, const std::string& name) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) throw_errno("cannot create " + path.string());
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) throw_errno("cannot inspect " + path.string());
    if (!S_ISREG(st.st_mode)) {
      throw ArchiveError("member " + quote_name(name) + " of the codebase archive collides with " +
                         "a directory of the same name");
    }
    if (::unlink(path.c_str()) != 0) throw_errno("cannot delete " + path.string());
  }
  throw ArchiveError("cannot create " + path.string());
}

void write_all(int fd, const char* data, size_t size, const fs::path& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot write " + path.string());
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

std::optional<std::string> name_problem(std::string_view name) {
  if (name.empty()) return "has an empty name";
  if (name.find('\0') != std::string_view::npos) return "holds a NUL byte";
  if (name.find('\\') != std::string_view::npos) return "holds a backslash";
  if (name.front() == '/') return "is an absolute path";
  std::string_view path = name;
  if (path.ends_with('/')) path.remove_suffix(1);
  for (const std::string& component : split_components(path)) {
    if (component.empty()) return "has an empty path component";
    if (component == "..") return "has a \"..\" path component";
    if (component == ".") return "has a \".\" path component";
  }
  return std::nullopt;
}

std::string quote_name(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

void extract_archive(const fs::path& archive_path, const fs::path& destination,
                     const FetchLimits& limits) {
  ArchivePtr archive = open_archive(archive_path);
  const std::vector<Member> members = check_members(archive.get(), limits);

  std::unordered_set<std::string> made;
  std::vector<char> buffer(1 << 20);
  std::uint64_t written = 0;
  for (const Member& member : members) {
    if (member.directory) {
      make_directories(destination, member.components, member.components.size(), made);
      continue;
    }
    const fs::path path =
        make_directories(destination, member.components, member.components.size() - 1, made) /
        member.components.back();
    MemberPtr input(zip_fopen_index(archive.get(), member.index, 0));
    if (!input) {
      throw ArchiveError("member " + quote_name(member.name) +
                         " of the codebase archive cannot be read: " + zip_strerror(archive.get()));
    }
    Fd output(create_file(path, member.mode, member.name));
    while (true) {
      const zip_int64_t n = zip_fread(input.get(), buffer.data(), buffer.size());
      if (n < 0) {
        throw ArchiveError(
            "member " + quote_name(member.name) +
            " of the codebase archive cannot be read: " + zip_file_strerror(input.get()));
      }
      if (n == 0) break;
      if (static_cast<std::uint64_t>(n) > limits.max_extracted_bytes - written) {
        throw ArchiveError("unpacking the codebase archive passes the limit of " +
                           std::to_string(limits.max_extracted_bytes) + " bytes");
      }
      write_all(output.get(), buffer.data(), static_cast<size_t>(n), path);
      written += static_cast<std::uint64_t>(n);
    }
    if (const int code = zip_fclose(input.release()); code != 0) {
      zip_error_t error;
      zip_error_init_with_code(&error, code);
      const std::string detail = zip_error_strerror(&error);
      zip_error_fini(&error);
      throw ArchiveError("member " + quote_name(member.name) +
                         " of the codebase archive cannot be read: " + detail);
    }
    if (output.close() != 0) throw_errno("cannot write " + path.string());
  }
}

}  // namespace tavoren::workspace_fetch::detail
