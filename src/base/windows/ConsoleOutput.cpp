#include <io.h>

#include <cstdio>

#include "base/ConsoleOutput.h"

namespace vexanet {

void WriteConsoleOutput(std::string_view text) {
  // A process started without standard handles (a Windows service) has no standard output
  // stream at all, and the C library cannot give it one later; its descriptor 1 can still be
  // given a file or a pipe, so the text goes there.
  if (::_fileno(stdout) < 0) {
    ::_write(1, text.data(), static_cast<unsigned>(text.size()));
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace vexanet
