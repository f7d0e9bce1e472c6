// ServerSocket: the listening TCP socket on all local addresses (IPv6 dual-stack where the
// machine has IPv6, IPv4 otherwise) and the blocking wait for one client.
//
// Threads: Open and Shutdown are called by the server core; Accept by the waiting session's
// thread. Shutdown wakes a blocked Accept at once; every later Accept fails at once.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

class ServerSocket {
 public:
  ServerSocket();
  ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // Binds and listens; on failure error names the reason.
  bool Open(int32_t port, std::error_code& error);
  // Waits for one client. Empty on failure (error set) or after Shutdown.
  std::optional<asio::ip::tcp::socket> Accept(std::error_code& error);
  void Shutdown();
  bool IsShutDown() const { return shutDown_.load(); }
  // The port the socket is bound to (the chosen one when 0 was asked).
  int32_t Port() const { return port_.load(); }
  asio::io_context& context() { return io_; }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::atomic<bool> shutDown_{false};
  std::atomic<int32_t> port_{0};
};
