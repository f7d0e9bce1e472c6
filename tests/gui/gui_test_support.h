// Helpers for the window tests: a device that records what the operator's actions do to it, and
// ways to wait for the GUI thread's work while the test itself runs on that thread.
#pragma once

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/Device.h"

namespace guitest {

// Keeps the GUI thread's event loop going until done() holds; false after the limit.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs fn on a thread of its own while the GUI thread keeps serving events (calls that wait for
// the GUI thread need that). A run that never ends is a hang: the test program stops.
inline void RunOffGui(const std::function<void()>& fn) {
  std::atomic<bool> finished{false};
  std::thread t([&] {
    fn();
    finished.store(true);
  });
  if (!PumpUntil([&] { return finished.load(); })) {
    std::fputs("RunOffGui: the thread did not finish\n", stderr);
    std::abort();
  }
  t.join();
}

// A device that records every two-argument set with the thread that made it. beforeSet, when
// given, runs first (to hold the call or to check what the GUI thread does meanwhile).
class RecordingDevice : public Device {
 public:
  struct Call {
    int32_t channel;
    int32_t value;
    std::thread::id thread;
  };

  void set(int32_t) override {}
  void status() override {}
  void DevInit() override {}
  bool ParseNetCommand(const std::string&) override { return false; }
  void setboardnum(int32_t) override {}
  void setoutmode(int32_t) override {}
  void set(int32_t channel, int32_t value) override {
    if (beforeSet) beforeSet();
    std::lock_guard lock(m_);
    calls_.push_back({channel, value, std::this_thread::get_id()});
  }

  std::vector<Call> Calls() const {
    std::lock_guard lock(m_);
    return calls_;
  }

  std::function<void()> beforeSet;

 private:
  mutable std::mutex m_;
  std::vector<Call> calls_;
};

// A latch the GUI thread opens and a worker waits on, with a limit so a mistake cannot hang.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(m_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // True when opened within the limit.
  bool WaitOpen(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [this] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace guitest
