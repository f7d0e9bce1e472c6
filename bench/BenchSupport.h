// What the benchmark's measurements share: time in microseconds and the serial end's bytes.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>
#include <string>

#include "ServerProcess.h"

namespace vexanet::bench {

inline double Us(e2e::Clock::time_point from, e2e::Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// The first byte's arrival on fd (one byte is expected).
inline e2e::Clock::time_point ByteAt(int fd, const std::string& who) {
  std::array<char, 64> buf{};
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0 || ::read(fd, buf.data(), buf.size()) <= 0)
    throw std::runtime_error(who + ": no byte on the serial line");
  return e2e::Clock::now();
}

// The eight relay-off bytes of start-up.
inline void ReadStartUpBytes(int fd, const std::string& who) {
  std::array<char, 64> buf{};
  std::size_t got = 0;
  while (got < 8) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) throw std::runtime_error(who + ": no start-up bytes");
    got += static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fd, buf.data(), 8 - got)));
  }
}

}  // namespace vexanet::bench
