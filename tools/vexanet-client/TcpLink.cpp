#include "vexanet-client/TcpLink.h"

#include <chrono>
#include <utility>

namespace vexanet::client {

using namespace std::chrono_literals;

TcpLink::TcpLink() = default;

TcpLink::~TcpLink() {
  std::error_code ignored;
  socket_.close(ignored);
}

bool TcpLink::RunUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  while (!done()) {
    if (io_.stopped()) io_.restart();
    if (io_.run_one_until(deadline) == 0) {
      if (io_.stopped()) io_.restart();
      io_.poll();  // what completed right at the deadline still counts
      return done();
    }
  }
  return true;
}

std::error_code TcpLink::Connect(const std::string& host, uint16_t port,
                                 Clock::time_point deadline) {
  asio::ip::tcp::resolver resolver(io_);
  bool done = false;
  std::error_code result;
  resolver.async_resolve(
      host, std::to_string(port),
      [&](const std::error_code& ec, const asio::ip::tcp::resolver::results_type& endpoints) {
        if (ec) {
          result = ec;
          done = true;
          return;
        }
        asio::async_connect(socket_, endpoints,
                            [&](const std::error_code& cec, const asio::ip::tcp::endpoint&) {
                              result = cec;
                              done = true;
                            });
      });
  if (RunUntil([&] { return done; }, deadline)) {
    if (!result) {
      std::error_code ignored;
      socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    }
    return result;
  }
  // Too late: cancel, and let the cancelled operations finish before their state goes.
  resolver.cancel();
  std::error_code ignored;
  socket_.close(ignored);
  RunUntil([&] { return done; }, Clock::now() + 5s);
  return asio::error::timed_out;
}

bool TcpLink::Send(const std::string& line, Clock::time_point deadline) {
  if (ended_ || !socket_.is_open()) return false;
  const std::string data = line + "\r\n";
  bool done = false;
  std::error_code result;
  asio::async_write(socket_, asio::buffer(data), [&](const std::error_code& ec, std::size_t) {
    result = ec;
    done = true;
  });
  if (RunUntil([&] { return done; }, deadline)) return !result;
  std::error_code ignored;
  socket_.cancel(ignored);  // also ends the outstanding read: the link is of no further use
  RunUntil([&] { return done; }, Clock::now() + 5s);
  return false;
}

void TcpLink::StartRead() {
  if (reading_ || ended_) return;
  reading_ = true;
  socket_.async_read_some(asio::buffer(buffer_),
                          [this](const std::error_code& ec, std::size_t n) { OnRead(ec, n); });
}

void TcpLink::OnRead(const std::error_code& ec, std::size_t n) {
  reading_ = false;
  if (n > 0) {
    std::vector<std::string> lines;
    const bool fits = splitter_.Feed(std::string_view(buffer_.data(), n), lines);
    lines_.insert(lines_.end(), std::make_move_iterator(lines.begin()),
                  std::make_move_iterator(lines.end()));
    if (!fits) {
      ended_ = true;
      endReason_ =
          "it sent a line longer than " + std::to_string(LineSplitter::kDefaultMaxLine) + " bytes";
      std::error_code ignored;
      socket_.close(ignored);
      return;
    }
  }
  if (!ec) return;
  ended_ = true;
  if (ec == asio::error::eof) {
    if (auto last = splitter_.Finish()) lines_.push_back(std::move(*last));
  } else {
    endReason_ = ec.message();
  }
}

Event TcpLink::Next(Clock::time_point deadline) {
  for (;;) {
    if (!lines_.empty()) {
      Event e{Event::Kind::kLine, std::move(lines_.front())};
      lines_.pop_front();
      return e;
    }
    if (ended_) return {Event::Kind::kClosed, endReason_};
    if (woken_.exchange(false)) return {Event::Kind::kWoken, {}};
    StartRead();
    if (io_.stopped()) io_.restart();
    if (io_.run_one_until(deadline) == 0) {
      if (io_.stopped()) io_.restart();
      io_.poll();
      if (lines_.empty() && !ended_ && !woken_.load()) return {Event::Kind::kTimeout, {}};
    }
  }
}

void TcpLink::Wake() {
  woken_.store(true);
  asio::post(io_, [] {});
}

}  // namespace vexanet::client
