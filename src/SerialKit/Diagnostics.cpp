#include "Diagnostics.h"

#include <cstdio>
#include <mutex>

namespace SerialKit::detail {

void printLine(const std::string& text) {
  static std::mutex mutex;
  const std::string line = text + "\n";
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace SerialKit::detail
