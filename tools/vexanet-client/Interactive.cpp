#include "vexanet-client/Interactive.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace vexanet::client {

namespace {

// The input thread and what it hands over. Shared with the thread, which may outlive the session.
class InputPump : public std::enable_shared_from_this<InputPump> {
 public:
  InputPump(std::shared_ptr<LineInput> input, LineLink& link)
      : input_(std::move(input)), link_(link) {}

  void Start() {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  }

  // Lets the thread read one more line.
  void Request() {
    {
      std::lock_guard lock(mu_);
      requested_ = true;
    }
    cv_.notify_all();
  }

  // A line read (or nullopt inside: the end of input), if one is there.
  std::optional<std::optional<std::string>> Take() {
    std::lock_guard lock(mu_);
    if (typed_.empty()) return std::nullopt;
    auto line = std::move(typed_.front());
    typed_.pop_front();
    return line;
  }

  // Ends the thread: true once joined; false when it is blocked in a read and was detached.
  bool Stop() {
    bool blocked = false;
    {
      std::lock_guard lock(mu_);
      stop_ = true;
      blocked = reading_;
    }
    cv_.notify_all();
    if (!thread_.joinable()) return true;
    if (blocked) {
      thread_.detach();
      return false;
    }
    thread_.join();
    return true;
  }

 private:
  void Run() {
    for (;;) {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [this] { return requested_ || stop_; });
      if (stop_) return;
      requested_ = false;
      reading_ = true;
      lock.unlock();
      std::optional<std::string> line = input_->ReadLine();
      lock.lock();
      reading_ = false;
      if (stop_) return;
      const bool end = !line;
      typed_.push_back(std::move(line));
      lock.unlock();
      link_.Wake();
      if (end) return;
    }
  }

  std::shared_ptr<LineInput> input_;
  LineLink& link_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool requested_ = false;
  bool stop_ = false;
  bool reading_ = false;
  std::deque<std::optional<std::string>> typed_;
  std::thread thread_;
};

}  // namespace

InteractiveResult RunInteractive(Client& client, LineLink& link, std::shared_ptr<LineInput> input,
                                 Clock::time_point greetDeadline, Clock::duration notice,
                                 const std::function<void()>& onWaiting,
                                 const std::function<void(const std::string&)>& report) {
  if (Result r = client.Greet(greetDeadline, notice, onWaiting); r.failed()) return {r};
  if (Result r = client.Authenticate(); r.failed()) return {r};

  auto pump = std::make_shared<InputPump>(std::move(input), link);
  pump->Start();
  auto end = [&pump](Result r) {
    const bool joined = pump->Stop();
    return InteractiveResult{std::move(r), !joined};
  };

  for (;;) {
    pump->Request();
    std::optional<std::optional<std::string>> typed;
    while (!(typed = pump->Take())) {
      if (Result r = client.Idle(); r.failed()) return end(r);
    }
    if (!*typed) {
      Result r = client.Finish();
      return end(r.failed() ? r : Result::Finished());
    }
    const Expansion e = ExpandTyped(std::move(**typed));
    if (!e.error.empty()) report(e.error);
    for (const Step& step : e.steps) {
      Result r = client.Run(step);
      if (r.kind == Result::Kind::kFinished) return end(r);
      if (r.failed()) {
        if (r.status != kExitUnreachable) return end(r);
        report(r.message);  // no reply in time: the session itself goes on
        break;
      }
    }
  }
}

}  // namespace vexanet::client
