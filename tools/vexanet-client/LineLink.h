// A line connection to the server, as the client logic sees it. Every wait has a deadline.
#pragma once

#include <chrono>
#include <string>

namespace vexanet::client {

using Clock = std::chrono::steady_clock;

struct Event {
  enum class Kind {
    kLine,     // `text` is the next line from the server, without its end
    kClosed,   // the connection has ended; `text` says why when it was not a plain close
    kTimeout,  // the deadline passed
    kWoken,    // Wake was called
  };
  Kind kind = Kind::kTimeout;
  std::string text;
};

class LineLink {
 public:
  virtual ~LineLink() = default;
  // Sends `line` and CR LF; false when the connection is broken or the deadline passed.
  virtual bool Send(const std::string& line, Clock::time_point deadline) = 0;
  // The next line (lines that arrived earlier first), the end of the connection, the deadline, or
  // a wake-up, whichever comes first.
  virtual Event Next(Clock::time_point deadline) = 0;
  // Makes a pending or the next Next return kWoken. May be called from any thread.
  virtual void Wake() = 0;
};

}  // namespace vexanet::client
