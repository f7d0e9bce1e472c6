// Test harness for the server core: a pseudo-terminal pair standing in for the relay board's
// serial line (mapped to COM1), a server core on an ephemeral loopback port with a recording
// window, and loopback line clients. No window toolkit: the core only sees its ServerWindow.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LineClient.h"
#include "PtyPair.h"
#include "base/Console.h"
#include "device/Vexa8.h"
#include "server/ClientSocket.h"
#include "server/LocalCAM.h"
#include "server/ServerWindow.h"

namespace testing_support {

using namespace std::chrono_literals;

// Polls pred until it holds or the timeout passes.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Lets a while pass (for "nothing happens" checks).
inline void Pump(std::chrono::milliseconds d) {
  WaitUntil([] { return false; }, d);
}

// Standard output captured into a file for the lifetime of the object.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    char tmpl[] = "/tmp/vexanet-stdout-XXXXXX";
    fd_ = ::mkstemp(tmpl);
    path_ = tmpl;
    saved_ = ::dup(1);
    ::dup2(fd_, 1);
  }
  ~StdoutCapture() {
    Restore();
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  // Puts standard output back and passes on what was captured (test failures among it).
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
    const std::string text = Text();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  std::string Text() const {
    std::fflush(stdout);
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Contains(const std::string& line) const {
    return Text().find(line + "\n") != std::string::npos;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

// A window that records what the core shows, as the operator would see it. With echo on, every
// status text is also a "Status: " console line, as in a headless run.
class FakeWindow : public ServerWindow {
 public:
  struct State {
    std::string status;
    std::string ip;
    std::string localName;
    std::array<int32_t, 8> relays{};
    bool connectEnabled = false;
    int connectGrey = 0;
    int statusCount = 0;
  };

  explicit FakeWindow(bool echo) : echo_(echo) {}

  void ShowStatus(const std::string& text) override {
    std::lock_guard lock(m_);
    state_.status = text;
    ++state_.statusCount;
    if (echo_) vexanet::ConsoleLine("Status: " + text);
  }
  void ShowIP(const std::optional<std::string>& address) override {
    std::lock_guard lock(m_);
    state_.ip = address ? *address : "null";
  }
  void EnableConnect(bool enabled) override { SetConnectButton(enabled, enabled ? 128 : 64); }
  void SelectRelay(int32_t relay, int32_t item) override {
    std::lock_guard lock(m_);
    state_.relays.at(static_cast<size_t>(relay)) = item;
  }
  void SetConnectButton(bool enabled, int grey) override {
    std::lock_guard lock(m_);
    state_.connectEnabled = enabled;
    state_.connectGrey = grey;
  }
  void SetLocalName(const std::string& text) override {
    std::lock_guard lock(m_);
    state_.localName = text;
  }
  void Flush() override {}

  State state() const {
    std::lock_guard lock(m_);
    return state_;
  }

 private:
  const bool echo_;
  mutable std::mutex m_;
  State state_;
};

// A server core on COM1 = a pseudo-terminal and an ephemeral port, with a recording window.
class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override { Start(); }
  void TearDown() override { Stop(); }

  // echo: the window also writes its status texts to standard output, as headless runs do.
  void Start(const std::string& comport = "COM1", int32_t port = 0, bool startSession = true,
             const ServerTimings& timings = {}, bool echo = false) {
    ::setenv("VEXANET_COM1", line_.path().c_str(), 1);
    settings_.password.set("QWK");
    settings_.to.store(0);
    window_ = nullptr;
    core_ = std::make_unique<LocalCAM>(
        settings_, comport, "Vexa", port, 9600, 8, 1, "None", "None",
        [this, echo](int32_t) {
          auto made = std::make_unique<FakeWindow>(echo);
          window_ = made.get();
          return made;
        },
        timings);
    if (startSession && core_->ss() != nullptr) {
      core_->CommandB5();
      ASSERT_TRUE(WaitUntil([&] { return Status() == "Awaiting Client Connection"; }));
    }
  }
  void Stop() {
    core_.reset();
    window_ = nullptr;
  }

  LocalCAM& core() { return *core_; }
  FakeWindow::State window() const { return window_->state(); }
  Vexa8& board() { return *static_cast<Vexa8*>(core_->cam.load()); }
  CoreSettings& settings() { return settings_; }
  int port() { return core_->listeningPort(); }
  std::string Status() { return window().status; }
  bool StatusBecomes(const std::string& text, std::chrono::milliseconds t = 5s) {
    return WaitUntil([&] { return Status() == text; }, t);
  }

  // A client that has been greeted.
  std::unique_ptr<LineClient> Connect() {
    auto c = std::make_unique<LineClient>(port());
    EXPECT_TRUE(c->ok());
    EXPECT_EQ(c->ReadLine(), "OK");
    return c;
  }
  // The current session has a connected client.
  bool SessionConnected() {
    auto s = core_->connectthread();
    return s && s->connected();
  }
  // A new session waits for a client (the previous one has ended).
  bool NextSessionWaiting(const std::shared_ptr<ClientSocket>& previous) {
    return WaitUntil([&] {
      auto s = core_->connectthread();
      return s && s != previous && !s->connected();
    });
  }

  PtyPair line_;
  CoreSettings settings_;  // outlives the core
  std::unique_ptr<LocalCAM> core_;
  FakeWindow* window_ = nullptr;  // owned by the core
};

}  // namespace testing_support
