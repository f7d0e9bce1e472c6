// A TCP client speaking the line protocol (lines end with CR LF), with deadline-bound reads and no
// thread of its own. It connects from a chosen local address when asked, so one machine can play
// several client addresses (127.0.0.1, 127.0.0.2, ::1).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "UniqueFd.h"

namespace testing_support {

class LineClient {
 public:
  using Clock = std::chrono::steady_clock;

  struct Endpoint {
    std::string host = "127.0.0.1";
    std::string from;  // local address to connect from; any when empty
    Clock::duration timeout = std::chrono::seconds(5);
  };

  // Connects to host:port; ok() says whether that worked and error() why not (an errno value).
  explicit LineClient(int port) : LineClient(port, Endpoint{}) {}
  LineClient(int port, const Endpoint& at);
  // The same for callers that keep a client only once it is connected.
  static std::optional<LineClient> Connect(int port, Clock::duration timeout,
                                           int* error = nullptr);
  LineClient(LineClient&&) noexcept = default;
  LineClient& operator=(LineClient&&) noexcept = default;

  bool ok() const { return static_cast<bool>(fd_); }
  int error() const { return error_; }
  int fd() const { return fd_.get(); }

  // Sends everything within five seconds; false when the connection refuses it.
  bool Send(std::string_view bytes);
  bool SendLine(std::string_view line) { return Send(std::string(line) + "\r\n"); }
  // The next line without its CR LF; nullopt on timeout or at the end of the stream.
  std::optional<std::string> ReadLine(Clock::duration timeout = std::chrono::seconds(5));
  // The server ended the connection (end of stream or reset).
  bool ended() const { return ended_; }
  // The server ends the connection within `timeout` with no further line.
  bool ClosedByServer(Clock::duration timeout = std::chrono::seconds(5)) {
    return !ReadLine(timeout) && ended_;
  }
  // The server ends the connection within `timeout`; bytes before the end go to *extra.
  bool WaitClosed(Clock::duration timeout, std::string* extra = nullptr);
  // No line arrives within `d` and the connection stays open.
  bool Silent(Clock::duration d = std::chrono::milliseconds(300)) {
    return !ReadLine(d) && !ended_;
  }
  // Ends the sending direction: the server reads end of stream.
  void ShutdownWrite();
  void CloseNow() { fd_.Reset(); }

 private:
  // Reads what comes within the timeout into the buffer; false on timeout or at the end.
  bool Fill(Clock::duration timeout);

  UniqueFd fd_;
  int error_ = 0;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace testing_support
