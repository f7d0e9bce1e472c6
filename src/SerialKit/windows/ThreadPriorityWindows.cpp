// Windows: a thread's priority is one of the seven levels SetThreadPriority takes, numbered in
// order: -3 idle, -2 lowest, -1 below normal, 0 normal, 1 above normal, 2 highest, 3 time
// critical. Values beyond -3..3 are clamped. The thread id is the one GetCurrentThreadId gives.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <array>

#include "../ThreadPriority.h"

namespace SerialKit::detail {

namespace {

constexpr std::array<int, 7> kLevels = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                        THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                        THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                        THREAD_PRIORITY_TIME_CRITICAL};

class ThreadHandle {
 public:
  ThreadHandle(int32_t threadId, DWORD access)
      : h_(::OpenThread(access, FALSE, static_cast<DWORD>(threadId))) {}
  ~ThreadHandle() {
    if (h_ != nullptr) ::CloseHandle(h_);
  }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

int32_t currentThreadId() noexcept {
  return static_cast<int32_t>(::GetCurrentThreadId());
}

std::optional<int32_t> threadPriority(int32_t threadId) noexcept {
  const ThreadHandle thread(threadId, THREAD_QUERY_INFORMATION);
  if (thread.get() == nullptr) return std::nullopt;
  const int level = ::GetThreadPriority(thread.get());
  if (level == THREAD_PRIORITY_ERROR_RETURN) return std::nullopt;
  // Levels of the real-time class (-7..-3, 3..6) read as the nearest of the seven.
  if (level <= THREAD_PRIORITY_IDLE) return -3;
  if (level >= THREAD_PRIORITY_TIME_CRITICAL) return 3;
  return std::clamp(level, -2, 2);
}

bool setThreadPriority(int32_t threadId, int32_t priority) noexcept {
  // Wine refuses SetThreadPriority through a THREAD_SET_LIMITED_INFORMATION handle.
  const ThreadHandle thread(threadId, THREAD_SET_INFORMATION);
  if (thread.get() == nullptr) return false;
  const int32_t index = std::clamp<int32_t>(priority, -3, 3) + 3;
  return ::SetThreadPriority(thread.get(), kLevels[static_cast<size_t>(index)]) != 0;
}

}  // namespace SerialKit::detail
