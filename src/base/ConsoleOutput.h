// Where console lines go, per system: standard output, flushed at once.
#pragma once

#include <string_view>

namespace vexanet {

void WriteConsoleOutput(std::string_view text);

}  // namespace vexanet
