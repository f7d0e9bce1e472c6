// GuiQueue: carries calls from any thread to the GUI thread, in the order they were made.
//
// Widgets may only be touched on the GUI thread and Qt does not warn when they are not, so every
// call that touches the window goes through Run. On the GUI thread the call runs at once (after
// any calls still queued from other threads, so the order stays that of the calls); from any
// other thread it is queued and the GUI thread's event loop runs it soon after.
//
// The queue is our own (a locked list drained by one posted call at a time) rather than one Qt
// event per call, so that a call made on the GUI thread can first run the calls queued before it.
//
// Lifetime: construct and destroy the queue on the GUI thread (after the QApplication exists).
// Calls still waiting when it is destroyed are dropped, and a drain posted for it does nothing.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vexanet::gui {

class GuiQueue {
 public:
  // context: an object of the GUI thread (the window); it tells which thread that is.
  explicit GuiQueue(QObject* context);
  GuiQueue(const GuiQueue&) = delete;
  GuiQueue& operator=(const GuiQueue&) = delete;

  // Runs call on the GUI thread, at once when already there. atEnqueue, when given, runs on the
  // calling thread at the moment the call takes its place in the order (under the queue's lock),
  // so its effects are ordered exactly like the calls; it must not call back into the queue.
  void Run(std::function<void()> call, const std::function<void()>& atEnqueue = {});

  // Runs every queued call. GUI thread only. A call made while the queue is already being
  // drained (a call that itself calls Run) is run by that drain, right after the current call.
  void Drain();

  // Waits until every call queued before this one has run. From a thread other than the GUI
  // thread this needs the GUI thread's event loop to be running.
  void Wait();

  bool OnGuiThread() const;

 private:
  QObject* context_;
  std::mutex m_;
  std::deque<std::function<void()>> calls_;
  bool drainPosted_ = false;  // a drain is waiting in the GUI thread's event queue
  bool draining_ = false;     // GUI thread only
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);  // for posted drains
};

// Runs fn on the application's GUI thread and waits until it has run: directly when already
// on the GUI thread (waiting for the GUI thread from there would deadlock), otherwise as a
// queued call that the GUI thread's event loop runs while the caller waits. Requires a
// QCoreApplication; exceptions thrown by fn reach the caller.
void RunOnGuiThreadAndWait(const std::function<void()>& fn);

// Aborts with a message when not called on the GUI thread of the given object (Qt itself does
// not check that widgets are touched only there).
void AssertGuiThread(const QObject* object, const char* where);

}  // namespace vexanet::gui
