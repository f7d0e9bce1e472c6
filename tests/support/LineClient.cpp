#include "LineClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace testing_support {

namespace {

int RemainingMs(LineClient::Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - LineClient::Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60'000));
}

// An IPv4 or IPv6 address text with a port; false if the text is neither.
bool Address(const std::string& text, int port, sockaddr_storage& out, socklen_t& length) {
  out = {};
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

}  // namespace

LineClient::LineClient(int port, const Endpoint& at) {
  sockaddr_storage remote{};
  sockaddr_storage local{};
  socklen_t remoteLength = 0;
  socklen_t localLength = 0;
  if (!Address(at.host, port, remote, remoteLength) ||
      (!at.from.empty() && !Address(at.from, 0, local, localLength))) {
    error_ = EINVAL;
    return;
  }
  UniqueFd s(::socket(remote.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) {
    error_ = errno;
    return;
  }
  const int one = 1;
  ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!at.from.empty() && ::bind(s.get(), reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
    error_ = errno;
    return;
  }
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&remote), remoteLength) != 0) {
    if (errno != EINPROGRESS) {
      error_ = errno;
      return;
    }
    pollfd p{s.get(), POLLOUT, 0};
    if (::poll(&p, 1, RemainingMs(Clock::now() + at.timeout)) <= 0) {
      error_ = ETIMEDOUT;
      return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      error_ = err;
      return;
    }
  }
  fd_ = std::move(s);
}

std::optional<LineClient> LineClient::Connect(int port, Clock::duration timeout, int* error) {
  Endpoint at;
  at.timeout = timeout;
  LineClient c(port, at);
  if (error != nullptr) *error = c.error();
  if (!c.ok()) return std::nullopt;
  return c;
}

bool LineClient::Send(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!bytes.empty()) {
    if (!fd_) return false;
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
  }
  return true;
}

bool LineClient::Fill(Clock::duration timeout) {
  if (!fd_ || ended_) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  if (::poll(&p, 1, RemainingMs(Clock::now() + timeout)) <= 0) return false;
  std::array<char, 4096> buf{};
  const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
  if (n > 0) {
    buffer_.append(buf.data(), static_cast<std::size_t>(n));
    return true;
  }
  if (n == 0 || (errno != EAGAIN && errno != EINTR)) ended_ = true;  // end of stream or reset
  return false;
}

std::optional<std::string> LineClient::ReadLine(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      return line;
    }
    if (ended_ || !fd_ || Clock::now() >= deadline) return std::nullopt;
    Fill(deadline - Clock::now());
  }
}

bool LineClient::WaitClosed(Clock::duration timeout, std::string* extra) {
  const auto deadline = Clock::now() + timeout;
  while (!ended_ && fd_ && Clock::now() < deadline) Fill(deadline - Clock::now());
  if (extra != nullptr) extra->append(buffer_);
  buffer_.clear();
  return ended_;
}

void LineClient::ShutdownWrite() {
  if (fd_) ::shutdown(fd_.get(), SHUT_WR);
}

}  // namespace testing_support
