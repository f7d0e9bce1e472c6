// TimeOut: the session timer. Counts a timed session's time down in ticks of 200 ms and, when it
// runs out, has its own session send "TIME" and close.
//
// Threads: run() is the timer's own thread, the only one that counts `time` down. stopme and
// setNegTime are called by whichever thread closes the session. The timer belongs to the session
// that started it and ends that session only; the session joins the timer's thread before it is
// destroyed, so the timer's reference to it stays valid while the thread runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class ClientSocket;

class TimeOut {
 public:
  // A timer of the given milliseconds, rounded up to whole ticks. The session computes them
  // from the session time when it starts the timer; a later change of the setting does not
  // touch a running timer.
  TimeOut(ClientSocket& session, int64_t milliseconds);
  ~TimeOut();  // joins the thread; never called on the timer's own thread
  TimeOut(const TimeOut&) = delete;
  TimeOut& operator=(const TimeOut&) = delete;

  // Starts the timer's thread; atEnd runs on it as its very last action.
  void start(std::function<void()> atEnd = {});
  void run();
  void stopme();
  void setNegTime();
  // Status texts go through the timer's session.
  void ShowStat(const std::string& text);

  int64_t time() const { return time_.load(); }
  bool stopped() const { return stop_.load(); }
  bool finished() const { return finished_.load(); }

  static constexpr std::chrono::milliseconds kTick{200};

 private:
  ClientSocket& session_;
  std::atomic<int64_t> time_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::mutex wakeLock_;
  std::condition_variable wake_;
  std::thread thread_;
};
