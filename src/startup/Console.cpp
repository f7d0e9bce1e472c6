#include "startup/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace vexanet {

void ConsoleLine(std::string_view text) {
  static std::mutex m;
  std::string line(text);
  line.push_back('\n');
  std::lock_guard lock(m);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace vexanet
