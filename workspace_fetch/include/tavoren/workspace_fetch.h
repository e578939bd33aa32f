// Workspace fetch: puts an action's model codebase on the host.
//
//   setup_workspace_and_run_task(work_fs, action_id, codebase_url, requirements_url);
//
// builds the directory work_fs + "/" + action_id holding the unpacked
// codebase flattened into one level, the downloaded archive as "file.zip",
// and, when a requirements URL is given, "requirements.txt".
//
// The workspace appears complete or not at all. It is built in a private
// sibling directory (work_fs + "/." + action_id + ".partial-XXXXXX", mode
// 0700) and renamed into place only after every step succeeded; a failure
// removes that directory. A workspace that already exists (any kind of
// file-system entry at that path) is returned at once, untouched and
// without any network access. When two calls for the same action race, the
// one that renames second discards its own tree and returns normally.
//
// A codebase URL may end in "#sha256=<64 hexadecimal digits>", the
// archive's SHA-256 (the fragment is not sent): an archive with another
// digest is never unpacked (tavoren::http::IntegrityError), and a fragment
// of that form with another value is a ValueError before anything is
// fetched. Downloads from an https URL never follow a redirect to http, and
// link-local, metadata and (unless FetchLimits::allow_loopback) loopback
// addresses are refused.
//
// Steps, in order: download the archive; check every member name and type;
// extract all members; flatten (walking the tree top-down, every file is
// moved into the workspace's top level, replacing a same-named file there,
// and emptied sub-directories of the visited directory are removed); prune
// (walking bottom-up, remove directories that were empty when listed);
// download the requirements file.
//
// Archive rules. The whole archive is refused, before anything is written,
// when a member's name is absolute, has an empty, "." or ".." component
// (a trailing "/" on a directory entry is fine), holds a backslash or NUL,
// or when a member is anything but a regular file or a directory (Unix mode
// in the external attributes: symbolic links, devices, pipes, sockets).
// The archive must pass libzip's consistency checks (duplicate names are
// refused). Extracted files get mode 0755 when the archive marks them
// executable by their owner and 0644 otherwise; directories get 0755 (the
// process umask applies to both). Nothing outside the workspace is created
// or changed, and no symbolic link is ever followed.
//
// Ownership: the caller owns nothing afterwards but the files on disk;
// no handle or thread outlives the call.
//
// Threads: runs on the caller's thread and blocks on both downloads. No
// shared state; calls for different actions may run at the same time.
//
// Failures are logged by the error policy as
// "Error in setup_workspace_and_run_task: <what>" at error level and then
// raised: ValueError (an action identifier that cannot name one directory:
// empty, ".", "..", or holding "/" or NUL), ArchiveError (not a ZIP archive,
// a refused member, a limit of FetchLimits passed, a member that cannot be
// read), tavoren::http::TransportError, StatusError and IntegrityError from
// the downloads
// (an error status, 404 or 500, is a failed download), std::system_error or
// std::filesystem::filesystem_error (a file or directory that cannot be
// created, moved or deleted).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "tavoren/common/errors.h"
#include "tavoren/common/http.h"

namespace tavoren::workspace_fetch {

// A codebase archive that was refused or could not be unpacked.
class ArchiveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bounds on what one call may download, unpack and wait for.
struct FetchLimits {
  // Largest body of either download (announced or received).
  std::uint64_t max_download_bytes = std::uint64_t{20} << 30;  // 20 GiB
  // Largest total of bytes written while unpacking, counted as they are
  // written (the sizes the archive declares are not trusted).
  std::uint64_t max_extracted_bytes = std::uint64_t{20} << 30;  // 20 GiB
  // Largest number of archive members (files and directories).
  std::uint64_t max_members = 100000;
  // Limit for establishing each download's connection.
  std::chrono::milliseconds connect_timeout{30000};
  // A download slower than low_speed_bytes per second for low_speed_time is
  // abandoned; there is no limit on a download's total time.
  std::uint64_t low_speed_bytes = 1024;
  std::chrono::seconds low_speed_time{60};
  // Whether loopback addresses may serve the downloads (tests only; see
  // tavoren::http::download_to_file for the addresses always refused).
  bool allow_loopback = false;
};

// Creates the workspace of `action_id` under `work_fs` as described above.
// An empty or absent `model_codebase_requirements_url` writes no
// requirements file.
void setup_workspace_and_run_task(const std::string& work_fs, const std::string& action_id,
                                  const std::string& model_codebase_url,
                                  const std::optional<std::string>& model_codebase_requirements_url,
                                  const FetchLimits& limits = {});

}  // namespace tavoren::workspace_fetch
