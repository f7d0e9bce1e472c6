// A listening socket on loopback that holds a TCP port, for tests of what happens when the port
// is taken.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testing_support {

// A listening socket on 127.0.0.1 that holds a port: the given one, or one the system picks.
// port() is 0 when the port could not be had.
class PortHolder {
 public:
  explicit PortHolder(int port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;  // as a server would: connections of an earlier one may linger on it
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), length) == 0 && ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~PortHolder() { ::close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace testing_support
