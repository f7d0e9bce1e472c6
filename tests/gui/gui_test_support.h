// Helpers for the window tests, free of any toolkit: a server stand-in that records the
// operator's actions with the thread that made each, and a latch to hold a worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gui/LocalGUI.h"
#include "gui/OperatorActions.h"

namespace guitest {

// A window for a test that must not close it: closing would otherwise end the test program with
// status 0.
inline LocalGUI::Options ClosingFails() {
  return {.headless = false, .onClose = [] { ADD_FAILURE() << "a window was closed unexpectedly"; }};
}

// Records every operator action as a short text, e.g. "SwitchRelay(3, 1)", "LetClientConnect",
// "SendCommandBytes{0F 0A}", "SetHostAndPassword(secret)", with the thread that called it.
class FakeActions : public OperatorActions {
 public:
  struct Call {
    std::string action;
    std::thread::id thread;
  };

  // When set, runs on the calling thread before a call is recorded, with the call's text: to
  // hold the call, or to throw. Set it before the window gets the first action.
  std::function<void(const std::string&)> before;

  void SwitchRelay(int32_t relay, int32_t item) override {
    Record("SwitchRelay(" + std::to_string(relay) + ", " + std::to_string(item) + ")");
  }
  void LetClientConnect() override { Record("LetClientConnect"); }
  void CloseConnection() override { Record("CloseConnection"); }
  void SendCommandBytes(std::span<const uint8_t> bytes) override {
    std::string text = "SendCommandBytes{";
    for (size_t i = 0; i < bytes.size(); ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
      text += (i == 0 ? "" : " ") + std::string(digits);
    }
    Record(text + "}");
  }
  void SetHostAndPassword(const std::string& text) override {
    Record("SetHostAndPassword(" + text + ")");
  }

  std::vector<Call> Calls() const {
    std::lock_guard lock(m_);
    return calls_;
  }
  std::vector<std::string> Actions() const {
    std::vector<std::string> actions;
    for (const Call& call : Calls()) actions.push_back(call.action);
    return actions;
  }

 private:
  void Record(const std::string& action) {
    if (before) before(action);
    std::lock_guard lock(m_);
    calls_.push_back({action, std::this_thread::get_id()});
  }

  mutable std::mutex m_;
  std::vector<Call> calls_;
};

// A latch one thread opens and another waits on, with a limit so that a mistake cannot hang.
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
