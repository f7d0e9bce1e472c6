// Loopback peers for the access tests: a client that connects from a chosen local address
// (127.0.0.1, 127.0.0.2 and ::1 are three client addresses on one machine) and a socket that
// holds a port on 127.0.0.1. Plain sockets only, for the server tests and the end-to-end tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace testing_support::peers {

// A loopback client whose own address is chosen: it binds to `from` before connecting.
class PeerClient {
 public:
  PeerClient(const std::string& from, const std::string& to, int port) {
    sockaddr_storage local{}, remote{};
    socklen_t length = 0;
    if (!Fill(from, 0, local, length) || !Fill(to, port, remote, length)) return;
    fd_ = ::socket(remote.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), length) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~PeerClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  void SendLine(const std::string& line) {
    const std::string raw = line + "\r\n";
    if (fd_ >= 0) ::send(fd_, raw.data(), raw.size(), MSG_NOSIGNAL);
  }
  // The next line, or nullopt at the end of the stream (or on timeout).
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    if (fd_ < 0) return std::nullopt;
    for (;;) {
      if (const auto end = buffer_.find("\r\n"); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (ended_ || left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) ended_ = true;
      if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  // The server closes the connection with no (further) line: no "OK" for a refused client.
  bool ClosedUngreeted(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return !ReadLine(timeout) && ended_;
  }

 private:
  static bool Fill(const std::string& text, int port, sockaddr_storage& out, socklen_t& length) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof(sockaddr_in);
      return true;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof(sockaddr_in6);
      return true;
    }
    return false;
  }

  int fd_ = -1;
  std::string buffer_;
  bool ended_ = false;
};

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

}  // namespace testing_support::peers
