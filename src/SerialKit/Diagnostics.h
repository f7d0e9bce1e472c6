// Internal: diagnostic lines on standard output, each written whole and flushed at once.
#pragma once

#include <string>

namespace SerialKit::detail {

void printLine(const std::string& text);

}  // namespace SerialKit::detail
