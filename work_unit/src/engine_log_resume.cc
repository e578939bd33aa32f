#include "engine_log_resume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tavoren::detail {

std::optional<std::int64_t> EngineLogCursor::since() const {
  if (!anchor_) return std::nullopt;
  return *anchor_ - 1;
}

void EngineLogCursor::begin() {
  read_ = 0;
  latest_.reset();
  recent_.clear();
}

std::string_view EngineLogCursor::take(const engine::LogEntry& entry) {
  if (anchor_ && entry.time_ns < *anchor_) return {};
  const std::uint64_t before = read_;
  read_ += entry.bytes.size();
  if (!latest_ || entry.time_ns > *latest_) latest_ = entry.time_ns;
  recent_.emplace_back(entry.time_ns, entry.bytes.size());
  while (!recent_.empty() && recent_.front().first < *latest_ - margin_ns_) recent_.pop_front();
  if (read_ <= covered_) return {};
  const std::uint64_t skip = covered_ > before ? covered_ - before : 0;
  return entry.bytes.substr(static_cast<std::size_t>(skip));
}

void EngineLogCursor::end() {
  if (read_ < covered_ || !latest_) return;  // the engine is behind the file
  const std::int64_t anchor = *latest_ - margin_ns_;
  std::uint64_t covered = 0;
  for (const auto& [time, bytes] : recent_) {
    if (time >= anchor) covered += bytes;
  }
  // Entries at or after the new anchor are all among the recent ones: an
  // entry leaves them only when it is older than margin before a later
  // latest time, so older than the anchor.
  if (anchor_ && anchor < *anchor_) return;
  anchor_ = anchor;
  covered_ = covered;
  read_ = covered;
}

namespace {

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot read " + path);
  }
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

EngineLogResume::EngineLogResume(std::string container_id, std::string log_path,
                                 std::uint64_t covered)
    : container_id_(std::move(container_id)), log_path_(std::move(log_path)), cursor_(covered) {}

std::uint64_t EngineLogResume::missing() const {
  std::lock_guard lock(mutex_);
  return cursor_.missing();
}

std::uint64_t EngineLogResume::catch_up() {
  std::lock_guard lock(mutex_);
  const int fd = ::open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + log_path_);
  std::uint64_t appended = 0;
  try {
    engine::Client client;
    cursor_.begin();
    client.read_logs(container_id_, {.since_ns = cursor_.since()},
                     [&](const engine::LogEntry& entry) {
                       std::string_view rest = cursor_.take(entry);
                       while (!rest.empty()) {
                         const ssize_t n = ::write(fd, rest.data(), rest.size());
                         if (n < 0) {
                           if (errno == EINTR) continue;
                           throw std::system_error(errno, std::generic_category(),
                                                   "cannot write " + log_path_);
                         }
                         rest.remove_prefix(static_cast<std::size_t>(n));
                         appended += static_cast<std::uint64_t>(n);
                       }
                     });
    cursor_.end();
  } catch (...) {
    ::close(fd);
    // Whatever was appended is in the file: start over from its size.
    try {
      cursor_ = EngineLogCursor(file_size(log_path_));
    } catch (const std::exception&) {
    }
    throw;
  }
  ::close(fd);
  return appended;
}

}  // namespace tavoren::detail
