#include "server/ServerSocket.h"

#include <asio/ip/v6_only.hpp>

#include "server/SocketCalls.h"

ServerSocket::ServerSocket() = default;

ServerSocket::~ServerSocket() {
  std::error_code ignored;
  for (auto& a : acceptors_) a->close(ignored);
}

bool ServerSocket::OpenOne(const asio::ip::tcp::endpoint& at, bool dualStack,
                           std::error_code& error) {
  using asio::ip::tcp;
  auto acceptor = std::make_unique<tcp::acceptor>(io_);
  error.clear();
  acceptor->open(at.protocol(), error);
  if (error) return false;
  std::error_code optional;  // a socket without these options still listens
  if (at.protocol() == tcp::v6()) acceptor->set_option(asio::ip::v6_only(!dualStack), optional);
  acceptor->set_option(tcp::acceptor::reuse_address(true), optional);
  acceptor->bind(at, error);
  if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
  // Accept waits for clients in WaitReadable; the accept itself must never block on a client
  // that has gone again in between.
  if (!error) acceptor->non_blocking(true, error);
  if (error) {
    std::error_code ignored;
    acceptor->close(ignored);
    return false;
  }
  port_.store(acceptor->local_endpoint().port());
  acceptors_.push_back(std::move(acceptor));
  return true;
}

bool ServerSocket::Open(int32_t port, std::error_code& error) {
  using asio::ip::tcp;
  if (port < 0 || port > 65535) {
    error = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  const auto p = static_cast<uint16_t>(port);
  bool ok = OpenOne(tcp::endpoint(tcp::v6(), p), true, error);
  if (!ok && error != std::errc::address_in_use) {
    ok = OpenOne(tcp::endpoint(tcp::v4(), p), false, error);
  }
  return ok;
}

bool ServerSocket::Open(int32_t port, const std::vector<asio::ip::address>& addresses,
                        const OpenFailure& failed) {
  if (port < 0 || port > 65535) {
    for (const auto& a : addresses) failed(a, std::make_error_code(std::errc::invalid_argument));
    return false;
  }
  auto p = static_cast<uint16_t>(port);
  for (const auto& address : addresses) {
    std::error_code error;
    if (OpenOne(asio::ip::tcp::endpoint(address, p), false, error)) {
      p = static_cast<uint16_t>(port_.load());
    } else {
      failed(address, error);
    }
  }
  return !acceptors_.empty();
}

std::vector<asio::ip::tcp::endpoint> ServerSocket::LocalEndpoints() const {
  std::vector<asio::ip::tcp::endpoint> endpoints;
  for (const auto& a : acceptors_) {
    std::error_code ignored;
    endpoints.push_back(a->local_endpoint(ignored));
  }
  return endpoints;
}

std::optional<asio::ip::tcp::socket> ServerSocket::Accept(std::error_code& error) {
  error.clear();
  if (acceptors_.empty()) error = std::make_error_code(std::errc::not_connected);
  std::vector<vexanet::net::Handle> handles;
  for (auto& a : acceptors_) handles.push_back(a->native_handle());
  std::vector<bool> readable;
  while (!error) {
    if (shutDown_.load()) {
      error = std::make_error_code(std::errc::not_connected);
      break;
    }
    error = vexanet::net::WaitReadable(handles, readable);
    for (size_t k = 0; k < handles.size() && !error; ++k) {
      const size_t i = (next_ + k) % handles.size();
      if (!readable[i]) continue;
      asio::ip::tcp::socket socket(io_);
      std::error_code ec;
      acceptors_[i]->accept(socket, ec);
      if (shutDown_.load()) break;  // the loop's test reports it
      if (ec == asio::error::would_block || ec == asio::error::try_again ||
          ec == asio::error::connection_aborted || ec == asio::error::interrupted) {
        continue;  // the client gave up between the wait and the accept
      }
      if (ec) {
        error = ec;
        break;
      }
      next_ = i + 1;
      // The connection is read and written with blocking calls, whatever it inherited.
      socket.non_blocking(false, ec);
      return socket;
    }
  }
  return std::nullopt;
}

void ServerSocket::Shutdown() {
  shutDown_.store(true);
  for (auto& a : acceptors_) {
    if (a->is_open()) vexanet::net::WakeListener(a->native_handle());
  }
}
