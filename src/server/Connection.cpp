#include "server/Connection.h"

#include <array>

#include "server/SocketCalls.h"
#include "base/Console.h"

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
  return vexanet::net::SetKeepAliveTiming(fd_, 30, 5, 4);
}

Connection::ReadStatus Connection::ReadLine(std::string& line) {
  std::array<char, 4096> buffer{};
  while (next_ >= pending_.size()) {
    pending_.clear();
    next_ = 0;
    if (ended_) return ReadStatus::EndOfStream;
    size_t n = 0;
    const vexanet::net::IoState state = vexanet::net::Receive(fd_, buffer.data(), buffer.size(), &n);
    if (state == vexanet::net::IoState::Failed) return ReadStatus::Error;
    if (state == vexanet::net::IoState::EndOfStream) {
      ended_ = true;
      if (auto last = reader_.Finish()) {
        line = std::move(*last);
        return ReadStatus::Line;
      }
      return ReadStatus::EndOfStream;
    }
    if (!reader_.Feed(std::string_view(buffer.data(), n), pending_)) {
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
    size_t n = 0;
    const vexanet::net::IoState state =
        vexanet::net::SendNow(fd_, data.data() + sent, data.size() - sent, &n);
    if (state == vexanet::net::IoState::Done) {
      sent += n;
      continue;
    }
    if (state == vexanet::net::IoState::WouldBlock) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() > 0 && vexanet::net::WaitWritable(fd_, left)) continue;
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
  if (!open_.load()) return {};
  return vexanet::net::LingerAndShutdown(fd_, 1);
}

std::error_code Connection::Close() {
  std::lock_guard lock(writeLock_);  // no write may be under way on the descriptor
  writerOpen_ = false;
  std::error_code ec;
  if (open_.exchange(false)) socket_.close(ec);
  return ec;
}
