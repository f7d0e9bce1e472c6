// ServerSocket: the listening TCP socket and the blocking wait for one client. Either on every
// local address (IPv6 dual-stack where the machine has IPv6, IPv4 otherwise), or on a list of
// local addresses, one listening socket each, waited on together.
//
// Threads: Open and Shutdown are called by the server core; Accept by the waiting session's
// thread, one at a time. Shutdown wakes a blocked Accept at once; every later Accept fails at
// once. The sockets are fixed once Open has returned.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

class ServerSocket {
 public:
  // Told about each listed address that cannot be listened on, with the reason.
  using OpenFailure = std::function<void(const asio::ip::address&, const std::error_code&)>;

  ServerSocket();
  ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // Every local address. On failure error names the reason.
  bool Open(int32_t port, std::error_code& error);
  // Only the given addresses. An IPv6 address serves IPv6 clients only, so "::" and "0.0.0.0"
  // may be listed together. An address that cannot be used is reported through failed and left
  // out; with port 0 the later addresses take the port the first one was given. True when at
  // least one socket listens.
  bool Open(int32_t port, const std::vector<asio::ip::address>& addresses,
            const OpenFailure& failed);
  // Waits for one client on any of the sockets. Empty on failure (error set) or after Shutdown.
  std::optional<asio::ip::tcp::socket> Accept(std::error_code& error);
  void Shutdown();
  bool IsShutDown() const { return shutDown_.load(); }
  // The port the sockets are bound to (the chosen one when 0 was asked).
  int32_t Port() const { return port_.load(); }
  // The addresses listened on, in the order they were opened.
  std::vector<asio::ip::tcp::endpoint> LocalEndpoints() const;
  asio::io_context& context() { return io_; }

 private:
  bool OpenOne(const asio::ip::tcp::endpoint& at, bool dualStack, std::error_code& error);

  asio::io_context io_;
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors_;  // fixed once opened
  size_t next_ = 0;  // the socket looked at first by the next Accept, so none is starved
  std::atomic<bool> shutDown_{false};
  std::atomic<int32_t> port_{0};
};
