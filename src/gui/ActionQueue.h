// ActionQueue: one worker thread that runs tasks one after the other, in the order they were
// posted. The window uses it for the operator's actions, which wait on the serial line (150 ms
// per relay byte) and on the network and so must never run on the GUI thread. The tasks wait in
// the same call queue the windows use for their own thread (ViewCallQueue), with the worker as
// its thread.
//
// Threads: Post and Wait may be called from any thread. Tasks run only on the queue's own
// thread. A task that throws is reported on standard output and the queue goes on.
// Lifetime: the destructor lets the task in progress finish, drops the ones still waiting and
// joins the thread. It must not be called from a task.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "gui/ViewCallQueue.h"

namespace vexanet::gui {

class ActionQueue {
 public:
  ActionQueue();
  ~ActionQueue();
  ActionQueue(const ActionQueue&) = delete;
  ActionQueue& operator=(const ActionQueue&) = delete;

  // Queues a task behind every task posted before it.
  void Post(std::function<void()> task);
  // Blocks until every task posted before this call has run. Returns at once when called from
  // a task (the earlier tasks have run by then).
  void Wait();
  // Posts a marker behind every task posted so far; the future becomes ready when the marker
  // has run (or the queue is destroyed first). For callers that must not block.
  std::future<void> Mark();
  // True on the queue's own thread.
  bool OnWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void Run(const std::stop_token& stop);

  std::mutex m_;
  std::condition_variable_any cv_;
  bool drainAsked_ = false;  // guarded by m_
  ViewCallQueue tasks_;
  std::jthread thread_;  // last: started after the fields above exist, joined first
};

}  // namespace vexanet::gui
