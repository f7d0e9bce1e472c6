// Diagnostic lines on standard output. Each line is written whole and flushed at once, so
// lines from different threads never mix and nothing is lost when the process ends abruptly.
#pragma once

#include <string_view>

namespace vexanet {

void ConsoleLine(std::string_view text);

}  // namespace vexanet
