#include "gui/ActionQueue.h"

#include <memory>
#include <utility>

namespace vexanet::gui {

ActionQueue::ActionQueue()
    : tasks_([this] { return OnWorkerThread(); },
             [this] {
               {
                 std::lock_guard lock(m_);
                 drainAsked_ = true;
               }
               cv_.notify_one();
               return true;
             },
             "Operator action"),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

ActionQueue::~ActionQueue() {
  thread_.request_stop();
  // Dropping the waiting tasks releases anyone blocked in Wait (broken promise).
  tasks_.Drop();
  thread_.join();
}

void ActionQueue::Post(std::function<void()> task) {
  tasks_.Run(std::move(task));
}

void ActionQueue::Wait() {
  if (OnWorkerThread()) return;
  Mark().wait();
}

std::future<void> ActionQueue::Mark() {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  Post([done] { done->set_value(); });
  return finished;
}

void ActionQueue::Run(const std::stop_token& stop) {
  for (;;) {
    {
      std::unique_lock lock(m_);
      if (!cv_.wait(lock, stop, [this] { return drainAsked_; })) return;
      if (stop.stop_requested()) return;
      drainAsked_ = false;
    }
    tasks_.Drain();
  }
}

}  // namespace vexanet::gui
