// setup_workspace_and_run_task: download, unpack and flatten a codebase into
// a private directory, then publish it with one rename.
#include "tavoren/workspace_fetch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "workspace_internal.h"

namespace tavoren::workspace_fetch {
namespace {

namespace fs = std::filesystem;

// The directory a workspace is built in, beside its final place. Removed
// with everything in it on destruction unless it was published.
class PartialWorkspace {
 public:
  PartialWorkspace(const fs::path& parent, const std::string& action_id) {
    std::string name = (parent / ("." + action_id + ".partial-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot create a directory in " + parent.string());
    }
    path_ = name;
  }
  ~PartialWorkspace() {
    if (published_) return;
    std::error_code error;
    fs::remove_all(path_, error);
    if (error) {
      log::warning("Could not remove %s: %s", path_.string(), error.message());
    }
  }
  PartialWorkspace(const PartialWorkspace&) = delete;
  PartialWorkspace& operator=(const PartialWorkspace&) = delete;

  const fs::path& path() const { return path_; }

  // Renames the directory to `target` unless something is there already,
  // in which case this copy is left for the destructor to discard.
  void publish(const fs::path& target) {
    if (::chmod(path_.c_str(), 0755) != 0) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot set the mode of " + path_.string());
    }
    int result = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without RENAME_NOREPLACE: plain rename() still
      // refuses a target that is a file or a directory with entries.
      result = ::rename(path_.c_str(), target.c_str());
    }
    if (result == 0) {
      published_ = true;
      return;
    }
    const int error = errno;
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) return;  // another call published first
    throw std::system_error(error, std::generic_category(),
                            "cannot move the workspace to " + target.string());
  }

 private:
  fs::path path_;
  bool published_ = false;
};

void check_action_id(const std::string& action_id) {
  if (action_id.empty() || action_id == "." || action_id == ".." ||
      action_id.find('/') != std::string::npos || action_id.find('\0') != std::string::npos) {
    throw ValueError("the action identifier " + detail::quote_name(action_id) +
                     " cannot name a workspace directory");
  }
}

// Whether any file-system entry (a dangling link included) is at `path`.
bool entry_exists(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT) return false;
  throw std::system_error(errno, std::generic_category(), "cannot inspect " + path);
}

http::DownloadRequest download_of(const std::string& url, const FetchLimits& limits) {
  return {.url = url,
          .max_bytes = limits.max_download_bytes,
          .connect_timeout = limits.connect_timeout,
          .low_speed_bytes = limits.low_speed_bytes,
          .low_speed_time = limits.low_speed_time,
          .allow_loopback = limits.allow_loopback};
}

// The codebase's download: its URL without a "#sha256=<digest>" fragment,
// and the digest it names.
http::DownloadRequest codebase_download_of(const std::string& url, const FetchLimits& limits) {
  const std::size_t hash = url.find('#');
  constexpr std::string_view kPin = "sha256=";
  if (hash == std::string::npos || url.compare(hash + 1, kPin.size(), kPin) != 0) {
    return download_of(url, limits);
  }
  std::string digest = url.substr(hash + 1 + kPin.size());
  const bool hex = digest.size() == 64 && std::all_of(digest.begin(), digest.end(), [](char c) {
                     return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                   });
  if (!hex) {
    throw ValueError("the codebase URL names a SHA-256 that is not 64 hexadecimal digits");
  }
  std::transform(digest.begin(), digest.end(), digest.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  http::DownloadRequest request = download_of(url.substr(0, hash), limits);
  request.sha256 = std::move(digest);
  return request;
}

}  // namespace

void setup_workspace_and_run_task(const std::string& work_fs, const std::string& action_id,
                                  const std::string& model_codebase_url,
                                  const std::optional<std::string>& model_codebase_requirements_url,
                                  const FetchLimits& limits) {
  log_errors("setup_workspace_and_run_task", {.raise_exception = true, .log_error = true}, [&] {
    check_action_id(action_id);
    // A malformed digest is refused before anything is made.
    codebase_download_of(model_codebase_url, limits);
    const std::string workspace_dir = work_fs + "/" + action_id;
    if (entry_exists(workspace_dir)) return;

    const fs::path target(workspace_dir);
    fs::create_directories(target.parent_path());
    PartialWorkspace partial(target.parent_path(), action_id);
    const fs::path& build = partial.path();

    const fs::path codebase_zip_path = build / "file.zip";
    http::download_to_file(codebase_download_of(model_codebase_url, limits), codebase_zip_path);
    detail::extract_archive(codebase_zip_path, build, limits);
    detail::flatten_tree(build);
    detail::prune_tree(build);
    if (model_codebase_requirements_url && !model_codebase_requirements_url->empty()) {
      http::download_to_file(download_of(*model_codebase_requirements_url, limits),
                             build / "requirements.txt");
    }
    partial.publish(target);
  });
}

}  // namespace tavoren::workspace_fetch
