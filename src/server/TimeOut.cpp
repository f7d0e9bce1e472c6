#include "server/TimeOut.h"

#include "server/ClientSocket.h"
#include "startup/Console.h"

TimeOut::TimeOut(ClientSocket& session, int64_t milliseconds)
    : session_(session),
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
    session_.SendTimeoutMsg();
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
  session_.ShowStat(text);
}
