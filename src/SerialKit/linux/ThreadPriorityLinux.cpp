// Linux: a thread's priority is its nice value negated (nice -20..19 -> priority 20..-19).
// Raising it needs CAP_SYS_NICE; setpriority then fails with EACCES/EPERM and nothing changes.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "../ThreadPriority.h"

namespace SerialKit::detail {

int32_t currentThreadId() noexcept {
  return static_cast<int32_t>(::syscall(SYS_gettid));
}

std::optional<int32_t> threadPriority(int32_t threadId) noexcept {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
  if (nice == -1 && errno != 0) return std::nullopt;
  return -nice;
}

bool setThreadPriority(int32_t threadId, int32_t priority) noexcept {
  const int nice = std::clamp(-static_cast<int64_t>(priority), int64_t{-20}, int64_t{19});
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), static_cast<int>(nice)) == 0;
}

}  // namespace SerialKit::detail
