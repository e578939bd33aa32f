// The kernel's log as it grows: /dev/kmsg, or a plain file standing in for
// it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tavoren/common/logging.h"
#include "tavoren/gpu_health.h"

namespace tavoren::gpu_health {

KernelLogFeed::KernelLogFeed(std::filesystem::path path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    log::warning("The kernel log %s cannot be read (%s); GPU Xid events go unseen", path_.string(),
                 std::strerror(errno));
    return;
  }
  struct stat info {};
  is_device_ = ::fstat(fd_, &info) == 0 && S_ISCHR(info.st_mode);
}

KernelLogFeed::~KernelLogFeed() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> KernelLogFeed::read_new(std::size_t max_lines) {
  std::vector<std::string> lines;
  if (fd_ < 0) return lines;
  // /dev/kmsg gives one record per read (at most about 8 KiB).
  char buffer[8192];
  while (lines.size() < max_lines) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      // EPIPE: records were overwritten before they were read; go on with
      // the next one.
      if (errno == EPIPE) continue;
      break;  // EAGAIN: nothing more for now
    }
    if (got == 0) break;  // a plain file's end, for now
    if (is_device_) {
      std::string record(buffer, static_cast<std::size_t>(got));
      const std::size_t end = record.find('\n');
      lines.push_back(record.substr(0, end));
      continue;
    }
    partial_.append(buffer, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(partial_.substr(start, end - start));
    }
    partial_.erase(0, start);
  }
  return lines;
}

}  // namespace tavoren::gpu_health
