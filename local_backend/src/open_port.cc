// Free TCP ports of this host, as the kernel reports them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "local_scaling_impl.h"

namespace tavoren::backend::detail {

int probe_free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw std::runtime_error(std::string("Cannot open a socket to find a free port: ") +
                             std::strerror(errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // Port 0 on every interface: the kernel picks a port that no socket of
  // this host is bound to, on any address (the jobs listen on all of them).
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error(std::string("Cannot bind a socket to find a free port: ") +
                             std::strerror(errno));
  }
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error(std::string("Cannot read the port of a bound socket: ") +
                             std::strerror(errno));
  }
  return ntohs(address.sin_port);
}

}  // namespace tavoren::backend::detail
