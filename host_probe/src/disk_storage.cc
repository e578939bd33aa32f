// Disk and container storage: file-system usage from `df -h`, the best
// place for job data, and clean-up of the container engine's storage.

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_tools_internal.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/process.h"
#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {
namespace {

// Storage of the container engine is low at this use (percent) or at this
// little free space (GB); both limits are inclusive.
constexpr double kPruneUsePercentage = 90.0;
constexpr double kPruneAvailableGb = 30.0;

std::string require_utf8(std::string text, const char* program) {
  if (!is_valid_utf8(text)) {
    throw ValueError(std::string(program) + " printed text that is not valid UTF-8");
  }
  return text;
}

// The data lines of a `df -h` listing: trimmed, header dropped.
std::vector<std::string> df_data_lines(const std::string& output) {
  std::vector<std::string> lines = split(trim(output), '\n');
  lines.erase(lines.begin());
  return lines;
}

// The listing of `df` with `argv`. A df that exits non-zero after printing
// data rows (a mount it could not read among good ones) still gives those
// rows; one that printed none fails as any non-zero exit does.
std::string df_listing(const std::vector<std::string>& argv) {
  process::RunResult result = detail::run_tool(argv, "df", tool_limits().df);
  if (!result.exit_status.success()) {
    const std::size_t rows = df_data_lines(result.out).size();
    if (rows == 0) throw process::ExitError("df", result.exit_status, std::move(result.out));
    log::warning("df exited with status %d; using the %d rows it printed",
                 result.exit_status.returncode(), rows);
  }
  return require_utf8(std::move(result.out), "df");
}

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The text after the fifth column of a listing line, trimmed: the mount
// point, which may itself contain blanks.
std::string text_after_fifth_column(const std::string& line) {
  std::size_t pos = 0;
  for (int column = 0; column < 5; ++column) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    while (pos < line.size() && !is_blank(line[pos])) ++pos;
  }
  return trim(std::string_view(line).substr(pos));
}

// The current user's home directory: HOME, or the password database.
std::filesystem::path home_directory() {
  if (const std::optional<std::string> home = get_env("HOME"); home && !home->empty()) {
    return *home;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) {
    throw std::runtime_error("Cannot determine the home directory of the current user");
  }
  return found->pw_dir;
}

}  // namespace

namespace detail {

std::optional<std::string> docker_root_dir(const std::string& info) {
  for (const std::string& line : split(info, '\n')) {
    if (!starts_with(trim(line), "Docker Root Dir")) continue;
    const std::vector<std::string> parts = split(line, ':');
    if (parts.size() < 2) throw ValueError("No value in docker info line: " + line);
    return trim(parts[1]);
  }
  return std::nullopt;
}

}  // namespace detail

Json DiskUsage::to_json() const {
  Json record = Json::object();
  record["filesystem"] = filesystem;
  record["size"] = size;
  record["used"] = used;
  record["available"] = available;
  record["use_percentage"] = use_percentage;
  record["mounted_on"] = mounted_on;
  return record;
}

bool is_docker_running() {
  return log_errors("is_docker_running", {.default_return = false, .log_error = false}, [&] {
    // Only lines are counted, so the text is not decoded: `docker ps`
    // shortens long commands with a non-ASCII ellipsis.
    std::vector<std::string> lines =
        split(detail::tool_output({"docker", "ps"}, "docker ps", tool_limits().docker_ps), '\n');
    lines.pop_back();                                // the empty text after the final newline
    if (!lines.empty()) lines.erase(lines.begin());  // the column header
    return !lines.empty();
  });
}

void prune_docker_images() {
  log_errors("prune_docker_images", {}, [&] {
    const std::vector<std::string> argv = {"docker", "image", "prune", "-a", "-f"};
    const process::ExitStatus status =
        detail::run_tool(argv, "docker image prune", tool_limits().docker_image_prune,
                         {.stdout_use = detail::ToolOptions::Output::logged})
            .exit_status;
    if (!status.success()) throw process::ExitError("docker", status, "");
    log::info("Docker images pruned successfully.");
  });
}

double _normalize_disk_usage_to_gb(const std::string& disk_space) {
  return log_errors("_normalize_disk_usage_to_gb", {.default_return = 0.0}, [&] {
    const char suffix = disk_space.empty() ? '\0' : disk_space.back();
    const std::string_view number =
        std::string_view(disk_space).substr(0, disk_space.empty() ? 0 : disk_space.size() - 1);
    double gigabytes = 0.0;
    switch (suffix) {
      case 'G':
        gigabytes = parse_double(number);
        break;
      case 'T':
        gigabytes = parse_double(number) * 1024;
        break;
      case 'M':
        gigabytes = parse_double(number) / 1024;
        break;
      case 'K':
        gigabytes = parse_double(number) / (1024.0 * 1024.0);
        break;
      case 'P':
        gigabytes = parse_double(number) * 1024 * 1024;
        break;
      case 'E':
        gigabytes = parse_double(number) * 1024 * 1024 * 1024;
        break;
      default:
        gigabytes = parse_double(disk_space);
    }
    log::debug("Normalized disk space value to %f GB", gigabytes);
    return gigabytes;
  });
}

std::optional<DiskUsage> _parse_disk_usage_info(const std::string& line) {
  return log_errors("_parse_disk_usage_info", {.default_return = std::nullopt},
                    [&]() -> std::optional<DiskUsage> {
                      const std::vector<std::string> tokens = split_whitespace(line);
                      if (tokens.size() < 6) {
                        throw ValueError("Disk usage line has fewer than six columns: " + line);
                      }
                      std::string percentage = tokens[4];
                      while (!percentage.empty() && percentage.back() == '%') percentage.pop_back();

                      DiskUsage usage;
                      usage.filesystem = tokens[0];
                      usage.size = _normalize_disk_usage_to_gb(tokens[1]);
                      usage.used = _normalize_disk_usage_to_gb(tokens[2]);
                      usage.available = _normalize_disk_usage_to_gb(tokens[3]);
                      usage.use_percentage = parse_double(percentage);
                      usage.mounted_on = text_after_fifth_column(line);
                      log::debug("Successfully parsed disk usage info: %s", usage.to_json());
                      return usage;
                    });
}

std::optional<std::vector<DiskUsage>> get_disk_space_usage() {
  return log_errors("get_disk_space_usage", {.default_return = std::nullopt},
                    [&]() -> std::optional<std::vector<DiskUsage>> {
                      log::info("Getting disk space usage information");
                      const std::string output = df_listing({"df", "-h"});
                      std::vector<DiskUsage> records;
                      for (const std::string& line : df_data_lines(output)) {
                        if (std::optional<DiskUsage> usage = _parse_disk_usage_info(line)) {
                          records.push_back(std::move(*usage));
                        }
                      }
                      log::info("Found disk usage info for %d filesystems", records.size());
                      return records;
                    });
}

std::optional<std::string> get_max_file_system() {
  return log_errors("get_max_file_system", {.default_return = std::nullopt},
                    [&]() -> std::optional<std::string> {
                      log::info("Finding filesystem with maximum available space");
                      const std::optional<std::vector<DiskUsage>> usage = get_disk_space_usage();
                      if (!usage || usage->empty()) {
                        log::warning("No disk usage information available");
                        return std::nullopt;
                      }

                      // The first of the file systems with the most free space, leaving
                      // out the EFI partition, overlay file systems and full ones.
                      const DiskUsage* best = nullptr;
                      for (const DiskUsage& record : *usage) {
                        if (record.mounted_on == "/boot/efi") continue;
                        if (record.filesystem.find("overlay") != std::string::npos) continue;
                        if (!(record.available > 0)) continue;
                        if (best == nullptr || record.available > best->available) best = &record;
                      }

                      std::string candidate;
                      if (best != nullptr) {
                        candidate = best->mounted_on;
                        log::info("Found filesystem with maximum space: %s (%f GB available)",
                                  candidate, best->available);
                      } else {
                        log::warning("No suitable filesystems found after filtering");
                      }
                      if (!candidate.empty() && candidate != "/") return candidate;

                      // Job data does not go onto the root file system itself but into a
                      // workspace directory under the user's home.
                      const std::filesystem::path home = home_directory();
                      const std::optional<std::string> workspace = get_env("WORKSPACE_DIR");
                      if (!workspace || workspace->empty()) {
                        log::error("WORKSPACE_DIR environment variable not set");
                        return std::nullopt;
                      }
                      const std::filesystem::path directory = home / *workspace;
                      std::filesystem::create_directories(directory);
                      log::info("Created workspace directory at: %s", directory.string());
                      return directory.string();
                    });
}

std::optional<DiskUsage> get_docker_disk_space_usage() {
  return log_errors(
      "get_docker_disk_space_usage", {.default_return = std::nullopt},
      [&]() -> std::optional<DiskUsage> {
        const std::string info = require_utf8(
            detail::tool_output({"docker", "info"}, "docker info", tool_limits().docker_info),
            "docker");
        const std::optional<std::string> root_dir = detail::docker_root_dir(info);
        if (!root_dir) {
          log::error("Unable to find Docker root directory");
          return std::nullopt;
        }
        log::debug("Found Docker root directory: %s", *root_dir);

        const std::string output = df_listing({"df", "-h", *root_dir});
        const std::vector<std::string> lines = df_data_lines(output);
        if (lines.empty()) {
          log::error("No disk usage information found for Docker root directory");
          return std::nullopt;
        }
        std::optional<DiskUsage> usage = _parse_disk_usage_info(lines.front());
        if (!usage) {
          log::error("Failed to parse Docker disk usage information");
          return std::nullopt;
        }
        log::info("Successfully retrieved Docker disk usage: %s", usage->to_json());
        return usage;
      });
}

void cleanup_docker_storage() {
  log_errors("cleanup_docker_storage", {}, [&] {
    const std::optional<DiskUsage> usage = get_docker_disk_space_usage();
    if (!usage) {
      log::error("Failed to get Docker disk space usage, skipping cleanup");
      return;
    }
    if (usage->use_percentage >= kPruneUsePercentage || usage->available <= kPruneAvailableGb) {
      log::info("Pruning Docker images. Disk space is low: %s", usage->to_json());
      prune_docker_images();
    }
  });
}

}  // namespace tavoren::host_probe
