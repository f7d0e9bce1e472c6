// Platforms without a per-thread priority implementation: priorities read as 0 and cannot be
// changed.
#include "../ThreadPriority.h"

namespace SerialKit::detail {

int32_t currentThreadId() noexcept {
  return 0;
}
std::optional<int32_t> threadPriority(int32_t) noexcept {
  return 0;
}
bool setThreadPriority(int32_t, int32_t) noexcept {
  return false;
}

}  // namespace SerialKit::detail
