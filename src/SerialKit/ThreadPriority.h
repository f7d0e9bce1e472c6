// Internal: thread scheduling priority, one implementation file per platform.
// Priority is "higher is more urgent"; on Linux it is the thread's nice value negated.
#pragma once

#include <cstdint>
#include <optional>

namespace SerialKit::detail {

// An id of the calling thread usable with the functions below.
int32_t currentThreadId() noexcept;
// The thread's priority, or nothing when it cannot be read.
std::optional<int32_t> threadPriority(int32_t threadId) noexcept;
// Sets the thread's priority (clamped to the platform's range); false when refused.
bool setThreadPriority(int32_t threadId, int32_t priority) noexcept;

}  // namespace SerialKit::detail
