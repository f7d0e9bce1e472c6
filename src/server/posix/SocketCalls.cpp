#include "server/SocketCalls.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace vexanet::net {

std::error_code SetKeepAliveTiming(Handle h, int idle, int interval, int count) {
  if (::setsockopt(h, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      ::setsockopt(h, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      ::setsockopt(h, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    return {errno, std::generic_category()};
  }
  return {};
}

IoState Receive(Handle h, char* data, size_t len, size_t* got) {
  for (;;) {
    const ssize_t n = ::recv(h, data, len, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return IoState::Done;
    }
    if (n == 0) return IoState::EndOfStream;
    if (errno != EINTR) return IoState::Failed;
  }
}

IoState SendNow(Handle h, const char* data, size_t len, size_t* sent) {
  for (;;) {
    const ssize_t n = ::send(h, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *sent = static_cast<size_t>(n);
      return IoState::Done;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return IoState::WouldBlock;
    return IoState::Failed;
  }
}

bool WaitWritable(Handle h, std::chrono::milliseconds timeout) {
  pollfd p{h, POLLOUT, 0};
  const int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  return r > 0 || (r < 0 && errno == EINTR);
}

std::error_code LingerAndShutdown(Handle h, int seconds) {
  std::error_code ec;
  const linger l{1, seconds};
  if (::setsockopt(h, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
    ec = {errno, std::generic_category()};
  }
  if (::shutdown(h, SHUT_RDWR) != 0 && errno != ENOTCONN && !ec) {
    ec = {errno, std::generic_category()};
  }
  return ec;
}

std::error_code WaitReadable(const std::vector<Handle>& handles, std::vector<bool>& readable) {
  std::vector<pollfd> entries;
  for (const Handle& h : handles) entries.push_back({h, POLLIN, 0});
  readable.assign(handles.size(), false);
  if (::poll(entries.data(), static_cast<nfds_t>(entries.size()), -1) < 0) {
    if (errno == EINTR) return {};
    return {errno, std::generic_category()};
  }
  for (size_t i = 0; i < entries.size(); ++i) readable[i] = entries[i].revents != 0;
  return {};
}

void WakeListener(Handle h) {
  // Shutting a listening socket down ends a poll (and an accept) on it at once; closing it would
  // not.
  ::shutdown(h, SHUT_RDWR);
}

}  // namespace vexanet::net
