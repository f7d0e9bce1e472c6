// TimeOut: the session timer. Counts a timed session's time down in ticks of 200 ms and, when it
// runs out, calls what its session gave it (which sends "TIME" and closes the session).
//
// SilenceWatch: the session's limits on a client that keeps quiet: a password that must be
// accepted in time, and a longest pause between lines.
//
// Threads: run() is the timer's own thread, the only one that counts `time` down. stopme and
// setNegTime are called by whichever thread closes the session. The timer belongs to the session
// that started it and ends that session only; the session joins the timer's thread before it is
// destroyed, so what the timer calls stays valid while the thread runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TimeOut {
 public:
  // A timer of the given milliseconds, rounded up to whole ticks. The session computes them
  // from the session time when it starts the timer; a later change of the setting does not
  // touch a running timer.
  // expired: called on the timer's thread when the time runs out uncancelled. show: where status
  // texts go (the session's status field).
  TimeOut(int64_t milliseconds, std::function<void()> expired,
          std::function<void(const std::string&)> show = {});
  ~TimeOut();  // joins the thread; never called on the timer's own thread
  TimeOut(const TimeOut&) = delete;
  TimeOut& operator=(const TimeOut&) = delete;

  // Starts the timer's thread; atEnd runs on it as its very last action.
  void start(std::function<void()> atEnd = {});
  void run();
  void stopme();
  void setNegTime();
  // Status texts go where the session said.
  void ShowStat(const std::string& text);

  int64_t time() const { return time_.load(); }
  bool stopped() const { return stop_.load(); }
  bool finished() const { return finished_.load(); }

  static constexpr std::chrono::milliseconds kTick{200};

 private:
  const std::function<void()> expired_;
  const std::function<void(const std::string&)> show_;
  std::atomic<int64_t> time_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::mutex wakeLock_;
  std::condition_variable wake_;
  std::thread thread_;
};

// Two deadlines, either of which may be unset: one for an accepted password, dropped once it
// is accepted, and one for the next line, pushed on by every line. When the earlier of them
// passes, `expired` runs on the watch's own thread; when it has closed the session the watch
// ends, otherwise (the password was accepted meanwhile) that deadline is dropped and the watch
// goes on. It also ends once neither deadline is left. The thread sleeps until the next deadline or a change, never in
// ticks.
//
// Threads: the watch's own thread (run) and the session's threads (PasswordAccepted,
// LineReceived, stop), under the watch's lock, which is never held while `expired` runs: that
// closes the session, whose lock is taken before the watch's when the session stops the watch.
class SilenceWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Reason { NoPassword, Idle };

  // Both durations count from now.
  SilenceWatch(std::optional<std::chrono::milliseconds> passwordWithin,
               std::optional<std::chrono::milliseconds> idleLimit,
               std::function<bool(Reason)> expired);
  ~SilenceWatch();  // stops and joins the thread; never called on the watch's own thread
  SilenceWatch(const SilenceWatch&) = delete;
  SilenceWatch& operator=(const SilenceWatch&) = delete;

  // Starts the watch's thread; atEnd runs on it as its very last action.
  void start(std::function<void()> atEnd = {});
  void PasswordAccepted();
  void LineReceived();
  // The watch ends without calling `expired`.
  void stop();
  bool finished() const { return finished_.load(); }

 private:
  void run();

  const std::optional<std::chrono::milliseconds> idleLimit_;
  const std::function<bool(Reason)> expired_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::optional<Clock::time_point> passwordBy_;  // guarded by lock_
  std::optional<Clock::time_point> lineBy_;      // guarded by lock_
  bool stop_ = false;                            // guarded by lock_
  std::atomic<bool> finished_{false};
  std::thread thread_;
};
