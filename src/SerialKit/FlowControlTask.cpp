#include "SerialKit/FlowControlTask.h"

#include "Diagnostics.h"
#include "SerialKit/NativeDriver.h"
#include "SerialKit/SerialPortLocal.h"
#include "ThreadPriority.h"

namespace SerialKit {

FlowControlTask::FlowControlTask(SerialPortLocal& port)
    : sp_(port), portNum_(port.getPortNum()), driver_(port.nativeDriver()) {
  detail::printLine("FlowControlTask created");
}

FlowControlTask::~FlowControlTask() {
  stop();
}

void FlowControlTask::start() {
  if (thread_.joinable() || stopRequested_.load()) return;
  running_.store(true);
  thread_ = std::thread([this] { run(); });
}

void FlowControlTask::stop() noexcept {
  stopRequested_.store(true);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

// One step above the priority the thread had, then SerFlowTask until the stop request, which is
// checked after each pass.
void FlowControlTask::run() {
  {
    std::lock_guard<std::mutex> lock(priorityMutex_);
    threadId_ = detail::currentThreadId();
    if (priorityRequested_) {
      detail::setThreadPriority(threadId_, requestedPriority_);
    } else if (auto p = detail::threadPriority(threadId_)) {
      detail::setThreadPriority(threadId_, *p + 1);  // best effort; needs CAP_SYS_NICE on Linux
    }
  }
  while (!stopRequested_.load()) {
    driver_->SerFlowTask(portNum_);
    passes_.fetch_add(1);
  }
  {
    std::lock_guard<std::mutex> lock(priorityMutex_);
    threadId_ = 0;
  }
  running_.store(false);
}

void FlowControlTask::setFlowPriority(int32_t priority) {
  std::lock_guard<std::mutex> lock(priorityMutex_);
  requestedPriority_ = priority;
  priorityRequested_ = true;
  if (threadId_ != 0) detail::setThreadPriority(threadId_, priority);
}

int32_t FlowControlTask::getFlowPriority() const {
  std::lock_guard<std::mutex> lock(priorityMutex_);
  if (threadId_ != 0) {
    if (auto p = detail::threadPriority(threadId_)) return *p;
  }
  if (priorityRequested_) return requestedPriority_;
  return detail::threadPriority(detail::currentThreadId()).value_or(0);
}

}  // namespace SerialKit
