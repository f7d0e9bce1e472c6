#include "server/ServerSocket.h"

#include <sys/socket.h>

ServerSocket::ServerSocket() : acceptor_(io_) {}

ServerSocket::~ServerSocket() {
  std::error_code ignored;
  acceptor_.close(ignored);
}

bool ServerSocket::Open(int32_t port, std::error_code& error) {
  using asio::ip::tcp;
  if (port < 0 || port > 65535) {
    error = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  auto tryOpen = [&](const tcp& protocol) {
    error.clear();
    acceptor_.open(protocol, error);
    if (error) return false;
    if (protocol == tcp::v6()) acceptor_.set_option(asio::ip::v6_only(false), error);
    acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    error.clear();
    acceptor_.bind(tcp::endpoint(protocol, static_cast<uint16_t>(port)), error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      std::error_code ignored;
      acceptor_.close(ignored);
      return false;
    }
    return true;
  };
  bool ok = tryOpen(tcp::v6());
  if (!ok && error != std::errc::address_in_use) ok = tryOpen(tcp::v4());
  if (ok) port_.store(acceptor_.local_endpoint().port());
  return ok;
}

std::optional<asio::ip::tcp::socket> ServerSocket::Accept(std::error_code& error) {
  if (shutDown_.load() || !acceptor_.is_open()) {
    error = std::make_error_code(std::errc::not_connected);
    return std::nullopt;
  }
  asio::ip::tcp::socket socket(io_);
  acceptor_.accept(socket, error);
  if (error || shutDown_.load()) {
    if (!error) error = std::make_error_code(std::errc::not_connected);
    return std::nullopt;
  }
  return socket;
}

void ServerSocket::Shutdown() {
  shutDown_.store(true);
  // Closing a descriptor does not wake a thread blocked in accept; shutting it down does (the
  // accept fails with EINVAL). The descriptor itself is closed by the destructor.
  if (acceptor_.is_open()) ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
}
