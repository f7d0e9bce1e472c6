#include "gui/ActionQueue.h"

#include <exception>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "base/Console.h"

namespace vexanet::gui {

ActionQueue::ActionQueue() : thread_([this](std::stop_token stop) { Run(stop); }) {}

ActionQueue::~ActionQueue() {
  thread_.request_stop();
  thread_.join();
  // Dropping the waiting tasks releases anyone blocked in Wait (broken promise).
  std::lock_guard lock(m_);
  tasks_.clear();
}

void ActionQueue::Post(std::function<void()> task) {
  {
    std::lock_guard lock(m_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
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
    std::function<void()> task;
    {
      std::unique_lock lock(m_);
      if (!cv_.wait(lock, stop, [this] { return !tasks_.empty(); })) return;
      if (stop.stop_requested()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (const std::exception& e) {
      ConsoleLine(std::string("Operator action failed: ") + e.what());
    } catch (...) {
      ConsoleLine("Operator action failed");
    }
  }
}

}  // namespace vexanet::gui
