// Activity: whether one part of the program is busy with a piece of work that should end soon
// (a relay request, a byte on the serial line, a client's line), and since when. Waiting for
// work (a client, the next line) is not busy. A health check reads it from another thread: a
// part busy for too long is stuck.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace vexanet {

class Activity {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Activity(std::string name) : name_(std::move(name)) {}
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

  // Work starts (or, nested, goes on) and ends. Begin and End pair up on one thread.
  void Begin() {
    if (depth_.fetch_add(1) == 0) since_.store(Clock::now().time_since_epoch().count());
  }
  void End() {
    if (depth_.fetch_sub(1) == 1) since_.store(0);
  }
  // How long the work under way has taken; zero when idle.
  Clock::duration BusyFor(Clock::time_point now) const {
    const int64_t since = since_.load();
    if (since == 0) return Clock::duration::zero();
    return now - Clock::time_point(Clock::duration(since));
  }
  const std::string& name() const { return name_; }

 private:
  const std::string name_;
  std::atomic<int> depth_{0};
  std::atomic<int64_t> since_{0};  // steady clock ticks; 0: idle
};

// Busy for the scope's life; nothing when activity is null.
class BusyScope {
 public:
  explicit BusyScope(Activity* activity) : activity_(activity) {
    if (activity_ != nullptr) activity_->Begin();
  }
  ~BusyScope() {
    if (activity_ != nullptr) activity_->End();
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  Activity* activity_;
};

}  // namespace vexanet
