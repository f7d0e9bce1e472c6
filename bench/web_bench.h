// The web panel's figures: a PUT to the byte on the serial end against the line protocol's
// "R1On" to the byte (same server, alternating), one change reaching 32 event streams, and the
// server's peak memory with 32 streams open.
#pragma once

#include <cstddef>
#include <vector>

#include "ServerProcess.h"

namespace vexanet::bench {

struct WebFigures {
  std::vector<double> putToByte, lineToByte;  // microseconds
  std::vector<double> fanOutLast;             // the 32nd stream's event after the switch
  std::vector<double> statusLine;             // the line client's status line, same rounds
  std::size_t streams = 0;
  long peakRssKiB = 0;                        // with the streams open
};

WebFigures MeasureWeb(const e2e::Programs& programs, bool quick);

}  // namespace vexanet::bench
