#include "server/SocketCalls.h"

#include <mstcpip.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

namespace vexanet::net {

namespace {
std::error_code LastError() {
  return {::WSAGetLastError(), std::system_category()};
}
int Clamp(size_t len) {
  return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}
}  // namespace

std::error_code SetKeepAliveTiming(Handle h, int idle, int interval, int /*count*/) {
  // Windows sends a fixed number of probes (10 on current versions); only the times are ours.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idle) * 1000;
  values.keepaliveinterval = static_cast<ULONG>(interval) * 1000;
  DWORD returned = 0;
  if (::WSAIoctl(h, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) != 0) {
    return LastError();
  }
  return {};
}

IoState Receive(Handle h, char* data, size_t len, size_t* got) {
  const int n = ::recv(h, data, Clamp(len), 0);
  if (n > 0) {
    *got = static_cast<size_t>(n);
    return IoState::Done;
  }
  return n == 0 ? IoState::EndOfStream : IoState::Failed;
}

IoState SendNow(Handle h, const char* data, size_t len, size_t* sent) {
  // Wait for room first without blocking, so that a client that does not read cannot hold the
  // sender; a socket accepted by the blocking acceptor is itself in blocking mode.
  WSAPOLLFD p{h, POLLWRNORM, 0};
  const int ready = ::WSAPoll(&p, 1, 0);
  if (ready == 0) return IoState::WouldBlock;
  if (ready < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return IoState::Failed;
  const int n = ::send(h, data, Clamp(len), 0);
  if (n > 0) {
    *sent = static_cast<size_t>(n);
    return IoState::Done;
  }
  if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return IoState::WouldBlock;
  return IoState::Failed;
}

bool WaitWritable(Handle h, std::chrono::milliseconds timeout) {
  WSAPOLLFD p{h, POLLWRNORM, 0};
  return ::WSAPoll(&p, 1, static_cast<INT>(timeout.count())) > 0;
}

std::error_code LingerAndShutdown(Handle h, int seconds) {
  std::error_code ec;
  const linger l{1, static_cast<u_short>(seconds)};
  if (::setsockopt(h, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) != 0) {
    ec = LastError();
  }
  if (::shutdown(h, SD_BOTH) != 0 && ::WSAGetLastError() != WSAENOTCONN && !ec) {
    ec = LastError();
  }
  return ec;
}

std::error_code WaitReadable(const std::vector<Handle>& handles, std::vector<bool>& readable) {
  std::vector<WSAPOLLFD> entries;
  for (const Handle& h : handles) entries.push_back({h, POLLRDNORM, 0});
  readable.assign(handles.size(), false);
  if (::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), -1) == SOCKET_ERROR) {
    return LastError();
  }
  for (size_t i = 0; i < entries.size(); ++i) readable[i] = entries[i].revents != 0;
  return {};
}

void WakeListener(Handle h) {
  // A listening socket's shutdown does not end a WSAPoll on it here; a client does. Connect to
  // it once: the waiting thread sees the server shutting down and drops that connection.
  sockaddr_storage at{};
  int length = sizeof at;
  if (::getsockname(h, reinterpret_cast<sockaddr*>(&at), &length) != 0) return;
  if (at.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
    if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (at.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
    if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr)) v6->sin6_addr = in6addr_loopback;
  }
  const SOCKET s = ::socket(at.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return;
  ::connect(s, reinterpret_cast<const sockaddr*>(&at), length);  // on this machine: at once
  ::closesocket(s);
}

}  // namespace vexanet::net
