#include <cstdio>

#include "base/ConsoleOutput.h"

namespace vexanet {

void WriteConsoleOutput(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace vexanet
