#include "gui/ViewCallQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "base/Console.h"

namespace vexanet::gui {
namespace {

// How often a waiting thread asks again for a drain whose request failed.
constexpr std::chrono::milliseconds kWaitRecheck{200};

}  // namespace

ViewCallQueue::ViewCallQueue(std::function<bool()> onViewThread,
                             std::function<bool()> requestDrain, std::string what)
    : onViewThread_(std::move(onViewThread)),
      requestDrain_(std::move(requestDrain)),
      what_(std::move(what)) {}

void ViewCallQueue::Run(std::function<void()> call, const std::function<void()>& atEnqueue,
                        int slot) {
  const bool here = OnViewThread();
  bool request = false;
  {
    std::lock_guard lock(m_);
    auto waiting = slot == kInOrder ? calls_.end()
                                    : std::find_if(calls_.begin(), calls_.end(),
                                                   [slot](const Call& c) { return c.slot == slot; });
    if (waiting != calls_.end()) {
      waiting->run = std::move(call);
    } else {
      calls_.push_back({slot, std::move(call)});
    }
    if (atEnqueue) atEnqueue();
    if (!here) request = NeedsDrainRequest();
  }
  if (here) {
    Drain();
  } else if (request) {
    RequestDrain();
  }
}

bool ViewCallQueue::NeedsDrainRequest() {
  if (drainRequested_ || calls_.empty()) return false;
  drainRequested_ = true;
  return true;
}

void ViewCallQueue::RequestDrain() {
  if (requestDrain_()) return;
  std::lock_guard lock(m_);
  drainRequested_ = false;  // the next call, or a waiting thread, asks again
}

void ViewCallQueue::Drain() {
  if (!OnViewThread()) {
    ConsoleLine("ViewCallQueue::Drain called outside the window's thread");
    std::abort();
  }
  if (draining_) return;  // the drain already running picks the new call up
  draining_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{draining_};
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(m_);
      if (calls_.empty()) {
        drainRequested_ = false;
        return;
      }
      call = std::move(calls_.front().run);
      calls_.pop_front();
    }
    // Exceptions must not unwind through the toolkit's event dispatch.
    try {
      call();
    } catch (const std::exception& e) {
      ConsoleLine(what_ + " failed: " + e.what());
    } catch (...) {
      ConsoleLine(what_ + " failed");
    }
  }
}

void ViewCallQueue::Wait() {
  if (OnViewThread()) {
    Drain();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  Run([done] { done->set_value(); });
  // Ready when the marker has run, or when the queue went first (the promise is broken then).
  while (finished.wait_for(kWaitRecheck) != std::future_status::ready) {
    bool request = false;
    {
      std::lock_guard lock(m_);
      request = NeedsDrainRequest();
    }
    if (request) RequestDrain();  // an earlier request failed: ask again
  }
}

void ViewCallQueue::Drop() {
  std::deque<Call> dropped;
  {
    std::lock_guard lock(m_);
    dropped.swap(calls_);
  }
}

size_t ViewCallQueue::Pending() const {
  std::lock_guard lock(m_);
  return calls_.size();
}

}  // namespace vexanet::gui
