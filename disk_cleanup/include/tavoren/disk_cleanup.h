// Housekeeping of the disk: the log files and workspaces of ended actions.
//
// An action leaves files in two places: its log file in the log folder
// ("<log name>_<action id>.txt") and its workspace in a data folder
// ("<action id>/", and ".<action id>.partial-*" that an interrupted fetch
// left). A pass groups those by action identifier (24 lowercase hexadecimal
// characters; nothing else in those folders is ever touched) and takes as
// the action's end the newest modification time among them.
//
// It removes, each removal logged at info level with the action, the path,
// its age and the reason:
//   1. everything of an action that ended more than `retain` ago;
//   2. while a file system holding such files has less free space than
//      `min_free` (a ratio of its size), everything of the action that
//      ended first among those with files there, then the next, until
//      there is room again or nothing removable is left.
// Never removed: anything of an action `in_use` names (one still in the
// dispatcher's table: running, or one a restarted agent may take up
// again), nor of one whose files changed within `min_age` (an action being
// set up right now is not in the table yet).
//
// Ownership: a DiskCleanup keeps only its options. Threads: one pass at a
// time per object (it is meant for the housekeeping thread); separate
// objects may run at once. Failures: a path that cannot be read or removed
// is logged as a warning and the pass goes on; run() throws nothing. Time
// limits: none needed, as it runs no program and waits for nothing; a pass
// costs one listing of each folder and one free-space query per removal.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tavoren::disk_cleanup {

struct CleanupOptions {
  // How long the files of an ended action are kept.
  std::chrono::seconds retain = std::chrono::hours(24 * 7);
  // The floor of free space, as a ratio of a file system's size; 0 turns
  // the rule off.
  double min_free = 0.10;
  // Files that changed more recently than this are never removed.
  std::chrono::seconds min_age = std::chrono::hours(1);
  // The clock of the files' modification times (tests inject one).
  std::function<std::filesystem::file_time_type()> now;
  // The free space of the file system holding a path, as a ratio of its
  // size; a failure counts as enough room (tests inject one).
  std::function<double(const std::filesystem::path&)> free_ratio;
};

// What one pass removed.
struct Removal {
  std::string action_id;
  std::filesystem::path path;
  bool for_space = false;  // removed under the free-space floor, not for age
};

class DiskCleanup {
 public:
  explicit DiskCleanup(CleanupOptions options = {});

  // One pass over `log_folder` and `workspace_folders` (missing ones are
  // skipped).
  std::vector<Removal> run(const std::filesystem::path& log_folder,
                           const std::vector<std::filesystem::path>& workspace_folders,
                           const std::function<bool(const std::string& action_id)>& in_use);

 private:
  CleanupOptions options_;
};

// The free space of the file system holding `path` (statvfs), as a ratio
// of the space unprivileged users may fill; 1 when it cannot be read.
double free_space_ratio(const std::filesystem::path& path);

// Reads "90", "90s", "15m", "12h", "7d" (a whole number and an optional
// unit) as a duration; std::invalid_argument otherwise.
std::chrono::seconds parse_duration(const std::string& text);

}  // namespace tavoren::disk_cleanup
