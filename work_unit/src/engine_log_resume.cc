#include "engine_log_resume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::uint64_t container_output_offset(std::string_view file_head, std::uint64_t file_size,
                                      std::string_view engine_head) {
  if (engine_head.empty()) return file_size;
  const std::size_t last = std::min<std::size_t>(file_head.size(), kClientTextLimit);
  for (std::size_t k = 0; k < last; ++k) {
    const std::size_t common = std::min(engine_head.size(), file_head.size() - k);
    if (file_head.compare(k, common, engine_head.substr(0, common)) == 0) return k;
  }
  return file_size;
}

EngineLogResume::EngineLogResume(std::string container_id, std::string log_path,
                                 std::uint64_t file_size)
    : container_id_(std::move(container_id)),
      log_path_(std::move(log_path)),
      file_size_(file_size),
      cursor_(file_size) {}

void EngineLogResume::align() {
  // The file's first bytes, as far as the client's own lines may reach and
  // a comparison beyond them.
  constexpr std::size_t kCompared = 4096;
  std::string file_head(
      static_cast<std::size_t>(std::min<std::uint64_t>(file_size_, kClientTextLimit + kCompared)),
      '\0');
  {
    const int fd = ::open(log_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      throw std::system_error(errno, std::generic_category(), "cannot open " + log_path_);
    }
    std::size_t got = 0;
    while (got < file_head.size()) {
      const ssize_t n =
          ::pread(fd, file_head.data() + got, file_head.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    file_head.resize(got);
  }
  // The engine's first bytes: the read ends once it has enough.
  struct Enough {};
  std::string engine_head;
  try {
    engine::Client client;
    client.read_logs(container_id_, {}, [&](const engine::LogEntry& entry) {
      engine_head.append(
          entry.bytes.substr(0, std::min(entry.bytes.size(), kCompared - engine_head.size())));
      if (engine_head.size() >= kCompared) throw Enough{};
    });
  } catch (const Enough&) {
  }
  const std::uint64_t offset = container_output_offset(file_head, file_size_, engine_head);
  prefix_ = offset;
  cursor_ = EngineLogCursor(file_size_ - offset);
  aligned_ = true;
}

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
    if (!aligned_) align();
    engine::Client client;
    cursor_.begin();
    client.read_logs(
        container_id_, {.since_ns = cursor_.since()}, [&](const engine::LogEntry& entry) {
          std::string_view rest = cursor_.take(entry);
          while (!rest.empty()) {
            const ssize_t n = ::write(fd, rest.data(), rest.size());
            if (n < 0) {
              if (errno == EINTR) continue;
              throw std::system_error(errno, std::generic_category(), "cannot write " + log_path_);
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
            appended += static_cast<std::uint64_t>(n);
          }
        });
    cursor_.end();
  } catch (...) {
    ::close(fd);
    // Whatever was appended is in the file: start over from its size.
    if (aligned_) {
      try {
        cursor_ = EngineLogCursor(file_size(log_path_) - prefix_);
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  ::close(fd);
  return appended;
}

}  // namespace tavoren::detail
