// SocketCalls: the few socket calls the connection and the listening socket make directly on
// their descriptors, where POSIX systems and Windows differ (send without blocking or a signal,
// wait until writable or readable, keepalive timing, linger, shutdown, waking a wait for
// clients). One implementation per system, chosen by the build.
#pragma once

#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <system_error>
#include <vector>

namespace vexanet::net {

using Handle = asio::ip::tcp::socket::native_handle_type;

// Keepalive probes after `idle` seconds without traffic, every `interval` seconds, `count` times.
std::error_code SetKeepAliveTiming(Handle h, int idle, int interval, int count);

enum class IoState { Done, WouldBlock, EndOfStream, Failed };

// Blocking receive of up to len bytes; *got holds the count when Done. Interrupted calls are
// retried.
IoState Receive(Handle h, char* data, size_t len, size_t* got);
// Sends what can go without blocking; *sent holds the count when Done.
IoState SendNow(Handle h, const char* data, size_t len, size_t* sent);
// Waits until the socket takes more data or the time passes; false on timeout or failure.
bool WaitWritable(Handle h, std::chrono::milliseconds timeout);
// Linger on close for the given seconds, then both directions shut down; a socket that is not
// connected any more is no failure.
std::error_code LingerAndShutdown(Handle h, int seconds);

// Waits until one of the sockets can be read (on a listening socket: a client waits) or has
// failed or been woken; readable[i] tells which. An interrupted wait returns with none.
std::error_code WaitReadable(const std::vector<Handle>& handles, std::vector<bool>& readable);
// Wakes every thread waiting in WaitReadable on this listening socket; it is not used again.
void WakeListener(Handle h);

}  // namespace vexanet::net
