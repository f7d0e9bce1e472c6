// LookFor: one byte pattern a SerLooker waits for, with the progress of its two match trackers.
#pragma once

#include <cstdint>
#include <vector>

namespace SerialKit {

struct LookFor {
  std::vector<uint8_t> data;  // the pattern; never empty
  int32_t compareNdx1 = 0;    // first tracker: bytes of data matched so far
  int32_t compareNdx2 = 0;    // second tracker: an attempt started one byte after the first
};

}  // namespace SerialKit
