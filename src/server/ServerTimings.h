// ServerTimings: the waits of the server core and its sessions, handed to the core when it is
// made. The program uses the defaults; tests shorten them for the one core they build.
#pragma once

#include <chrono>
#include <cstdint>

#include "access/AccessPolicy.h"

struct ServerTimings {
  // Length of one "minute" of session time.
  std::chrono::milliseconds minute{60000};
  // Pause before a failed wait for a client is tried again.
  std::chrono::milliseconds acceptRetryPause{500};
  // Pause between two tries to open a listening port that could not be had (held by another
  // program, say, while the machine starts).
  std::chrono::milliseconds listenRetry{5000};
  // Longest time one reply line may take to leave; a client that does not read loses its
  // replies after it.
  std::chrono::milliseconds sendTimeout{2000};
  // While a password is required: how long an address is turned away after a rejected password
  // (first), doubling with every further rejection up to the longest.
  vexanet::access::BackOffTimes backOff;

  // Milliseconds a timed session of the given minutes lasts: the minutes and a thirtieth of a
  // minute of grace (2 s for a real minute), counted in 64 bits.
  int64_t SessionTime(int32_t minutes) const {
    return int64_t{minutes} * minute.count() + minute.count() / 30;
  }
};
