#include "tavoren/common/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tavoren {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int open_for_reading(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string read_all(const Descriptor& file, const std::filesystem::path& path) {
  std::string content;
  char buffer[16384];
  while (true) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return content;
    } else if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    }
  }
}

}  // namespace

std::string read_file(const std::filesystem::path& path) {
  Descriptor file(open_for_reading(path));
  if (file.get() < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  }
  return read_all(file, path);
}

std::optional<std::string> read_file_if_present(const std::filesystem::path& path) {
  Descriptor file(open_for_reading(path));
  if (file.get() < 0) return std::nullopt;
  try {
    return read_all(file, path);
  } catch (const std::system_error& e) {
    // A file under /proc whose process or thread ended after the open.
    if (e.code().value() == ESRCH) return std::nullopt;
    throw;
  }
}

}  // namespace tavoren
