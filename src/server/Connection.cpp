#include "server/Connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "startup/Console.h"

Connection::Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds sendTimeout)
    : socket_(std::move(socket)), fd_(socket_.native_handle()), sendTimeout_(sendTimeout) {}

Connection::~Connection() {
  Close();
}

std::error_code Connection::EnableKeepAlive() {
  std::error_code ec;
  // Replies are single short lines: send each at once rather than wait for the client's ack.
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  if (ec) return ec;
  socket_.set_option(asio::socket_base::keep_alive(true), ec);
  if (ec) return ec;
  // 30 s idle, then a probe every 5 s; 4 unanswered probes end the connection.
  const int idle = 30, interval = 5, count = 4;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    return {errno, std::generic_category()};
  }
  return {};
}

Connection::ReadStatus Connection::ReadLine(std::string& line) {
  std::array<char, 4096> buffer{};
  while (next_ >= pending_.size()) {
    pending_.clear();
    next_ = 0;
    if (ended_) return ReadStatus::EndOfStream;
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Error;
    }
    if (n == 0) {
      ended_ = true;
      if (auto last = reader_.Finish()) {
        line = std::move(*last);
        return ReadStatus::Line;
      }
      return ReadStatus::EndOfStream;
    }
    if (!reader_.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)), pending_)) {
      return ReadStatus::TooLong;
    }
  }
  line = std::move(pending_[next_++]);
  return ReadStatus::Line;
}

bool Connection::WriteLine(std::string_view text) {
  std::string data(text);
  data += "\r\n";
  std::lock_guard lock(writeLock_);
  if (!writerOpen_ || broken_ || !open_.load()) return false;
  const auto deadline = std::chrono::steady_clock::now() + sendTimeout_;
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n =
        ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() > 0) {
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0 || (r < 0 && errno == EINTR)) continue;
      }
      vexanet::ConsoleLine("Client is not reading: replies to it are dropped");
    }
    broken_ = true;
    return false;
  }
  return true;
}

void Connection::CloseWriter() {
  std::lock_guard lock(writeLock_);
  writerOpen_ = false;
}

std::error_code Connection::Shutdown() {
  std::error_code ec;
  if (!open_.load()) return ec;
  const linger l{1, 1};
  if (::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
    ec = {errno, std::generic_category()};
  }
  if (::shutdown(fd_, SHUT_RDWR) != 0 && errno != ENOTCONN && !ec) {
    ec = {errno, std::generic_category()};
  }
  return ec;
}

std::error_code Connection::Close() {
  std::lock_guard lock(writeLock_);  // no write may be under way on the descriptor
  writerOpen_ = false;
  std::error_code ec;
  if (open_.exchange(false)) socket_.close(ec);
  return ec;
}
