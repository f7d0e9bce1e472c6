// The window's call queue without a toolkit: a thread of the test plays the view's thread and
// drains when asked, or holds still while other threads flood the queue.
#include "gui/ViewCallQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using vexanet::gui::ViewCallQueue;
namespace slot = vexanet::gui::slot;

// The view's thread: runs the queue's drains when asked, unless held. The first `failPosts`
// drain requests fail, as a full message queue would.
class FakeViewThread {
 public:
  explicit FakeViewThread(int failPosts = 0) : failPosts_(failPosts) {
    thread_ = std::thread([this] { Loop(); });
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return started_; });
  }
  ~FakeViewThread() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
      held_ = false;
    }
    cv_.notify_all();
    thread_.join();
  }

  bool IsCurrent() const { return std::this_thread::get_id() == id_; }
  bool Request() {
    std::lock_guard lock(m_);
    if (failPosts_ > 0) {
      --failPosts_;
      return false;
    }
    ++requests_;
    cv_.notify_all();
    return true;
  }
  void Hold(bool held) {
    {
      std::lock_guard lock(m_);
      held_ = held;
    }
    cv_.notify_all();
  }
  // Runs fn on the view's thread and waits for it.
  void RunHere(const std::function<void()>& fn) {
    std::unique_lock lock(m_);
    task_ = fn;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !task_; });
  }

  ViewCallQueue* queue = nullptr;

 private:
  void Loop() {
    std::unique_lock lock(m_);
    id_ = std::this_thread::get_id();
    started_ = true;
    cv_.notify_all();
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || task_ || (!held_ && requests_ > 0); });
      if (stop_) return;
      if (task_) {
        auto fn = task_;
        lock.unlock();
        fn();
        lock.lock();
        task_ = nullptr;
        cv_.notify_all();
        continue;
      }
      --requests_;
      lock.unlock();
      queue->Drain();
      lock.lock();
    }
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::thread thread_;
  std::thread::id id_;
  bool started_ = false;
  bool stop_ = false;
  bool held_ = false;
  int requests_ = 0;
  int failPosts_;
  std::function<void()> task_;
};

// What the view shows, changed only on the view's thread.
struct Screen {
  std::string status;
  std::array<int, 8> relays{};
  std::vector<std::string> applied;  // every call the view carried out, in order
};

struct QueueOnFakeView {
  explicit QueueOnFakeView(int failPosts = 0)
      : view(failPosts),
        queue([this] { return view.IsCurrent(); }, [this] { return view.Request(); }) {
    view.queue = &queue;
  }
  void Status(const std::string& text) {
    queue.Run(
        [this, text] {
          screen.status = text;
          screen.applied.push_back("status " + text);
        },
        [this, text] { echoed.push_back(text); }, slot::kStatus);
  }
  void Relay(int n, int item) {
    queue.Run(
        [this, n, item] {
          screen.relays[static_cast<size_t>(n)] = item;
          screen.applied.push_back("relay " + std::to_string(n) + "=" + std::to_string(item));
        },
        {}, slot::Relay(n));
  }
  void InOrder(const std::string& name) {
    queue.Run([this, name] { screen.applied.push_back(name); });
  }

  FakeViewThread view;
  ViewCallQueue queue;
  Screen screen;
  std::vector<std::string> echoed;  // written under the queue's lock by atEnqueue
};

// A flood of status texts and relay changes while the view draws nothing cannot grow the queue
// past one call per place; once the view runs it shows the latest text and every relay's final
// state, and the console saw every text in order.
TEST(ViewCallQueue, FloodWaitsAsOneCallPerPlaceAndEndsOnTheLatestState) {
  QueueOnFakeView q;
  q.view.Hold(true);
  constexpr int kTexts = 50000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kTexts; ++i) {
      q.Status("Stat" + std::to_string(i));
      q.Relay(i % 8, (i / 8) % 2);
    }
    done = true;
  });
  size_t most = 0;
  while (!done) most = std::max(most, q.queue.Pending());
  producer.join();
  most = std::max(most, q.queue.Pending());
  EXPECT_LE(most, 9u) << "one status and eight relays at the most";
  EXPECT_EQ(q.queue.Pending(), 9u);

  q.view.Hold(false);
  q.queue.Wait();
  EXPECT_EQ(q.queue.Pending(), 0u);
  EXPECT_EQ(q.screen.status, "Stat" + std::to_string(kTexts - 1));
  for (int n = 0; n < 8; ++n) {
    const int last = kTexts - 8 + n;  // the last call for relay n
    EXPECT_EQ(q.screen.relays[static_cast<size_t>(n)], (last / 8) % 2) << "relay " << n;
  }
  ASSERT_EQ(q.echoed.size(), static_cast<size_t>(kTexts));
  EXPECT_EQ(q.echoed.front(), "Stat0");
  EXPECT_EQ(q.echoed.back(), "Stat" + std::to_string(kTexts - 1));
}

// A replaced call keeps its place in the order; calls without a place are never replaced; a
// call made on the view's thread runs after the ones waiting.
TEST(ViewCallQueue, ReplacedCallKeepsItsPlaceAndViewThreadCallsRunAfterTheWaitingOnes) {
  QueueOnFakeView q;
  q.view.Hold(true);
  q.Status("first");
  q.InOrder("a");
  q.Relay(2, 1);
  q.InOrder("b");
  q.Status("second");
  q.Relay(2, 0);
  EXPECT_EQ(q.queue.Pending(), 4u);
  q.view.RunHere([&] { q.InOrder("here"); });
  EXPECT_EQ(q.screen.applied,
            (std::vector<std::string>{"status second", "a", "relay 2=0", "b", "here"}));
  q.view.Hold(false);
}

// A drain request that fails (a full message queue) is asked for again by the next call, and a
// waiting thread asks again by itself.
TEST(ViewCallQueue, FailedDrainRequestIsAskedAgain) {
  QueueOnFakeView q(/*failPosts=*/1);
  q.Status("lost post");
  EXPECT_EQ(q.queue.Pending(), 1u);
  q.queue.Wait();
  EXPECT_EQ(q.screen.status, "lost post");
  EXPECT_EQ(q.queue.Pending(), 0u);
}

}  // namespace
