// ViewCallQueue: carries a window's calls from any thread to the window's own thread, in the
// order they were made, with a bound on what can wait.
//
// A client can make status texts far faster than any window can draw them. The window shows
// only the latest text in its status field and the latest item in each selector, so a call for
// a place on the screen (a slot) replaces the call for the same slot that is still waiting, and
// keeps that call's place in the order. What waits is therefore at most one call per slot, plus
// the markers of threads that wait (Wait), whatever the callers do. Calls made without a slot
// (kInOrder) are never replaced.
//
// The toolkit is told through two functions: whether the calling thread is the view's, and a
// request to call Drain on the view's thread soon (returns false when the request could not be
// made; the next call, or a waiting thread, asks again). On the view's thread a call runs at once,
// after the calls still waiting, so the order stays that of the calls. The "view" may also be a
// worker thread of its own (ActionQueue). A call that throws is said on the console, named by
// the queue's `what`, and the queue goes on.
//
// Lifetime: destroy the queue on the view's thread, after the toolkit can no longer call Drain
// for it. Calls still waiting then are dropped; a thread in Wait returns.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace vexanet::gui {

// The places of the operator's window, each showing only its latest call.
namespace slot {
inline constexpr int kStatus = 0;
inline constexpr int kAddress = 1;
inline constexpr int kConnectButton = 2;
inline constexpr int kLocalName = 3;
constexpr int Relay(int relay) { return 10 + relay; }
}  // namespace slot

class ViewCallQueue {
 public:
  static constexpr int kInOrder = -1;

  ViewCallQueue(std::function<bool()> onViewThread, std::function<bool()> requestDrain,
                std::string what = "Window update");
  ViewCallQueue(const ViewCallQueue&) = delete;
  ViewCallQueue& operator=(const ViewCallQueue&) = delete;

  // Runs call on the view's thread; a call for the same slot that is still waiting is replaced.
  // atEnqueue, when given, runs on the calling thread at the moment the call takes its place in
  // the order (under the queue's lock), so its effects are ordered exactly like the calls; it
  // must not call back into the queue.
  void Run(std::function<void()> call, const std::function<void()>& atEnqueue = {},
           int slot = kInOrder);

  // View thread: runs every waiting call. A call made while the queue is being drained (a call
  // that itself calls Run) is run by that drain.
  void Drain();

  // Other threads: waits until every call queued before this one has run (needs the view's
  // thread to be running its loop). On the view's thread: drains.
  void Wait();

  bool OnViewThread() const { return onViewThread_(); }

  // Drops every call still waiting (a drain under way finishes its current call only); a
  // thread in Wait for one of them returns.
  void Drop();

  // How many calls are waiting (for checks of the bound).
  size_t Pending() const;

 private:
  struct Call {
    int slot;
    std::function<void()> run;
  };

  // With m_ held: asks for a drain unless one is on its way. Returns whether to request it.
  bool NeedsDrainRequest();
  void RequestDrain();

  const std::function<bool()> onViewThread_;
  const std::function<bool()> requestDrain_;
  const std::string what_;
  mutable std::mutex m_;
  std::deque<Call> calls_;
  bool drainRequested_ = false;  // a drain is on its way to the view's thread
  bool draining_ = false;        // view thread only
};

}  // namespace vexanet::gui
