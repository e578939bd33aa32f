#include "tavoren/disk_cleanup.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "tavoren/backend.h"
#include "tavoren/common/logging.h"

namespace tavoren::disk_cleanup {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kIdLength = backend::kActionIdLength;

using backend::is_action_id;

// The action of a log file "<log name>_<id>.txt".
std::optional<std::string> action_of_log(const std::string& name) {
  constexpr std::string_view kSuffix = ".txt";
  if (!name.ends_with(kSuffix) || name.size() < kIdLength + kSuffix.size() + 2) return std::nullopt;
  const std::string id = name.substr(name.size() - kSuffix.size() - kIdLength, kIdLength);
  if (name[name.size() - kSuffix.size() - kIdLength - 1] != '_' || !is_action_id(id)) {
    return std::nullopt;
  }
  return id;
}

// The action of a workspace entry "<id>" or ".<id>.partial-*".
std::optional<std::string> action_of_workspace(const std::string& name) {
  if (is_action_id(name)) return name;
  if (name.size() > kIdLength + 1 && name[0] == '.' &&
      name.compare(kIdLength + 1, 9, ".partial-") == 0 && name.size() >= kIdLength + 10) {
    const std::string id = name.substr(1, kIdLength);
    if (is_action_id(id)) return id;
  }
  return std::nullopt;
}

struct Leftover {
  std::vector<fs::path> paths;
  fs::file_time_type ended{fs::file_time_type::min()};
};

std::string age_text(std::chrono::seconds age) {
  const long long hours = age.count() / 3600;
  if (hours >= 48) return std::to_string(hours / 24) + " days";
  if (hours >= 1) return std::to_string(hours) + " h";
  return std::to_string(age.count() / 60) + " min";
}

}  // namespace

double free_space_ratio(const fs::path& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0 || info.f_blocks == 0) return 1;
  return static_cast<double>(info.f_bavail) / static_cast<double>(info.f_blocks);
}

std::chrono::seconds parse_duration(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  const std::string unit(rest, end);
  static const std::map<std::string, long long> kUnits = {
      {"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
  const auto found = kUnits.find(unit);
  if (text.empty() || rest == text.data() || error != std::errc() || value < 0 ||
      found == kUnits.end() || value > 100LL * 365 * 86400 / found->second) {
    throw std::invalid_argument("a duration is a whole number with s, m, h or d, not \"" + text +
                                "\"");
  }
  return std::chrono::seconds(value * found->second);
}

DiskCleanup::DiskCleanup(CleanupOptions options) : options_(std::move(options)) {
  if (!options_.now) options_.now = [] { return fs::file_time_type::clock::now(); };
  if (!options_.free_ratio) options_.free_ratio = free_space_ratio;
}

std::vector<Removal> DiskCleanup::run(const fs::path& log_folder,
                                      const std::vector<fs::path>& workspace_folders,
                                      const std::function<bool(const std::string&)>& in_use) {
  std::map<std::string, Leftover> leftovers;
  auto collect = [&](const fs::path& folder, bool logs) {
    std::error_code ec;
    fs::directory_iterator entries(folder, ec);
    if (ec) {
      if (ec != std::errc::no_such_file_or_directory) {
        log::warning("Cannot list %s for housekeeping: %s", folder.string(), ec.message());
      }
      return;
    }
    for (const fs::directory_entry& entry : entries) {
      const std::string name = entry.path().filename().string();
      const std::optional<std::string> id = logs ? action_of_log(name) : action_of_workspace(name);
      if (!id) continue;
      // Never follow a link: only the entry itself is the action's.
      if (entry.is_symlink(ec) || (logs && !entry.is_regular_file(ec)) ||
          (!logs && !entry.is_directory(ec))) {
        continue;
      }
      const fs::file_time_type changed = fs::last_write_time(entry.path(), ec);
      if (ec) continue;
      Leftover& leftover = leftovers[*id];
      leftover.paths.push_back(entry.path());
      leftover.ended = std::max(leftover.ended, changed);
    }
  };
  collect(log_folder, true);
  for (const fs::path& folder : workspace_folders) collect(folder, false);

  const fs::file_time_type now = options_.now();
  std::vector<Removal> removed;
  auto remove = [&](const std::string& id, const Leftover& leftover, bool for_space) {
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - leftover.ended);
    for (const fs::path& path : leftover.paths) {
      std::error_code ec;
      fs::remove_all(path, ec);
      if (ec) {
        log::warning("Cannot remove %s of action %s: %s", path.string(), id, ec.message());
        continue;
      }
      log::info("Removed %s of action %s, ended %s ago (%s)", path.string(), id, age_text(age),
                for_space ? "the disk is short of free space" : "kept long enough");
      removed.push_back({id, path, for_space});
    }
  };

  // The removable ones, the earliest end first.
  std::vector<std::pair<std::string, Leftover>> removable;
  for (auto& [id, leftover] : leftovers) {
    if (now - leftover.ended < options_.min_age) continue;
    if (in_use && in_use(id)) continue;
    removable.emplace_back(id, std::move(leftover));
  }
  std::sort(removable.begin(), removable.end(),
            [](const auto& a, const auto& b) { return a.second.ended < b.second.ended; });

  std::vector<std::pair<std::string, Leftover>> kept;
  for (auto& entry : removable) {
    if (now - entry.second.ended > options_.retain) {
      remove(entry.first, entry.second, false);
    } else {
      kept.push_back(std::move(entry));
    }
  }
  if (options_.min_free <= 0) return removed;
  for (const auto& [id, leftover] : kept) {
    const bool short_of_space =
        std::any_of(leftover.paths.begin(), leftover.paths.end(), [&](const fs::path& path) {
          return options_.free_ratio(path.parent_path()) < options_.min_free;
        });
    if (short_of_space) remove(id, leftover, true);
  }
  return removed;
}

}  // namespace tavoren::disk_cleanup
