// The line connection over TCP, on Asio. Single-threaded: every operation runs the link's own
// io_context on the calling thread until it completes or its deadline passes; only Wake may come
// from another thread. One read is kept outstanding between calls, so nothing the server sends is
// lost between two waits.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <asio.hpp>

#include "vexanet-client/LineLink.h"
#include "vexanet-client/Replies.h"

namespace vexanet::client {

class TcpLink final : public LineLink {
 public:
  TcpLink();
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;
  ~TcpLink() override;

  // Resolves `host` and connects to the first of its addresses that accepts; asio's timed_out
  // when the deadline passes first.
  std::error_code Connect(const std::string& host, uint16_t port, Clock::time_point deadline);

  bool Send(const std::string& line, Clock::time_point deadline) override;
  Event Next(Clock::time_point deadline) override;
  void Wake() override;

 private:
  void StartRead();
  void OnRead(const std::error_code& ec, std::size_t n);
  // Runs handlers until `done` holds (true) or the deadline passes (false).
  bool RunUntil(const std::function<bool()>& done, Clock::time_point deadline);

  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
  std::array<char, 4096> buffer_{};
  bool reading_ = false;
  bool ended_ = false;
  std::string endReason_;
  LineSplitter splitter_;
  std::deque<std::string> lines_;
  std::atomic<bool> woken_{false};
};

}  // namespace vexanet::client
