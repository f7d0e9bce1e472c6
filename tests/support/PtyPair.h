// A pseudo-terminal pair standing in for a serial line: the code under test opens the serial end
// by path(), the test reads and writes the master end. The serial end stays open here as well, so
// the master never reads a hang-up whatever the code under test does with the line; a test that
// needs the only open of the serial end releases it.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "UniqueFd.h"

namespace testing_support {

class PtyPair {
 public:
  using Clock = std::chrono::steady_clock;
  using Bytes = std::vector<std::uint8_t>;

  PtyPair();  // throws std::runtime_error when no pseudo-terminal can be had
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_.get(); }  // non-blocking
  int serial() const { return serial_.get(); }  // -1 once released
  void ReleaseSerialEnd() { serial_.Reset(); }
  void CloseMaster() { master_.Reset(); }

  // Bytes that arrive at the master end, stopping once `count` have come or at the timeout.
  Bytes Read(std::size_t count, Clock::duration timeout = std::chrono::seconds(5)) const {
    return ReadFd(master(), count, timeout);
  }
  // Everything that arrives within `d`.
  Bytes Drain(Clock::duration d) const { return ReadFd(master(), SIZE_MAX, d); }
  // Nothing arrives within `d`.
  bool Quiet(Clock::duration d = std::chrono::milliseconds(100)) const {
    return QuietFd(master(), d);
  }
  // Writes bytes as the far end of the line would; false unless all were written.
  bool Write(const Bytes& bytes) const;
  // The line settings of the serial end as the code under test left them.
  termios SerialSettings() const;

  // The same reads on any master descriptor (for lines that come and go).
  static Bytes ReadFd(int fd, std::size_t count, Clock::duration timeout);
  static bool QuietFd(int fd, Clock::duration d);

 private:
  UniqueFd master_;
  UniqueFd serial_;
  std::string path_;
};

}  // namespace testing_support
