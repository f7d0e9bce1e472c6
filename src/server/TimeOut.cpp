#include "server/TimeOut.h"

#include "base/Console.h"

TimeOut::TimeOut(int64_t milliseconds, std::function<void()> expired,
                 std::function<void(const std::string&)> show)
    : expired_(std::move(expired)),
      show_(std::move(show)),
      // whole ticks, so that an undisturbed count reaches exactly 0
      time_((milliseconds + kTick.count() - 1) / kTick.count() * kTick.count()) {}

TimeOut::~TimeOut() {
  stopme();
  if (thread_.joinable()) thread_.join();
}

void TimeOut::start(std::function<void()> atEnd) {
  thread_ = std::thread([this, atEnd = std::move(atEnd)] {
    run();
    finished_.store(true);
    if (atEnd) atEnd();
  });
}

void TimeOut::run() {
  while (time_.load() > 0 && !stop_.load()) {
    {
      // A cancel wakes the wait early; the loop then ends at its check.
      std::unique_lock lock(wakeLock_);
      wake_.wait_for(lock, kTick, [this] { return stop_.load(); });
    }
    time_.store(time_.load() - kTick.count());
  }
  if (time_.load() == 0 && !stop_.load()) {
    vexanet::ConsoleLine("Timeout close");
    if (expired_) expired_();
  }
}

void TimeOut::stopme() {
  {
    std::lock_guard lock(wakeLock_);
    stop_.store(true);
  }
  wake_.notify_all();
}

void TimeOut::setNegTime() {
  time_.store(-1);
}

void TimeOut::ShowStat(const std::string& text) {
  if (show_) show_(text);
}

// --- SilenceWatch --------------------------------------------------------------------------

SilenceWatch::SilenceWatch(std::optional<std::chrono::milliseconds> passwordWithin,
                           std::optional<std::chrono::milliseconds> idleLimit,
                           std::function<bool(Reason)> expired)
    : idleLimit_(idleLimit), expired_(std::move(expired)) {
  const Clock::time_point now = Clock::now();
  if (passwordWithin) passwordBy_ = now + *passwordWithin;
  if (idleLimit_) lineBy_ = now + *idleLimit_;
}

SilenceWatch::~SilenceWatch() {
  stop();
  if (thread_.joinable()) thread_.join();
}

void SilenceWatch::start(std::function<void()> atEnd) {
  thread_ = std::thread([this, atEnd = std::move(atEnd)] {
    run();
    finished_.store(true);
    if (atEnd) atEnd();
  });
}

void SilenceWatch::run() {
  std::unique_lock lock(lock_);
  while (!stop_ && (passwordBy_ || lineBy_)) {
    // The password deadline wins a tie: it is the stricter reason.
    const bool passwordFirst = passwordBy_ && (!lineBy_ || *passwordBy_ <= *lineBy_);
    const Clock::time_point due = passwordFirst ? *passwordBy_ : *lineBy_;
    if (Clock::now() >= due) {
      const Reason reason = passwordFirst ? Reason::NoPassword : Reason::Idle;
      lock.unlock();
      const bool closed = expired_(reason);
      lock.lock();
      if (closed) return;
      if (passwordFirst) {
        passwordBy_.reset();
      } else {
        lineBy_.reset();
      }
      continue;
    }
    // Woken early by a change; the loop then looks at the deadlines afresh.
    wake_.wait_until(lock, due);
  }
}

void SilenceWatch::PasswordAccepted() {
  {
    std::lock_guard lock(lock_);
    passwordBy_.reset();
  }
  wake_.notify_all();
}

void SilenceWatch::LineReceived() {
  if (!idleLimit_) return;
  std::lock_guard lock(lock_);
  // Only a later deadline: the thread needs no wake-up, it finds the new one when it wakes.
  lineBy_ = Clock::now() + *idleLimit_;
}

void SilenceWatch::stop() {
  {
    std::lock_guard lock(lock_);
    stop_ = true;
  }
  wake_.notify_all();
}
