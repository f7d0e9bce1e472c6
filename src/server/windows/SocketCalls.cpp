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

}  // namespace vexanet::net
