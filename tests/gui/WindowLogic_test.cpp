// The window's logic without any view, as the build without a window runs it: status texts as
// "Status: " lines, the operator's actions on one worker in order, "Server not ready" before
// start-up has handed the server over, a failing action, and destruction while one runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gui/LocalGUI.h"
#include "gui/StatusEcho.h"
#include "gui/WindowView.h"
#include "gui_test_support.h"

// The logic is tested on its own, whatever backend the build chose: these replace the backend's
// view with none (what the build without a window does), so no toolkit is started.
std::unique_ptr<WindowView> MakeWindowView(LocalGUI& /*window*/, int32_t /*port*/) {
  return nullptr;
}
void DestroyWindowView(std::unique_ptr<WindowView> /*view*/) {}

namespace {

using guitest::FakeActions;
using guitest::Gate;
using Texts = std::vector<std::string>;

struct Destroyer {
  void operator()(LocalGUI* window) const { LocalGUI::Destroy(window); }
};
using WindowPtr = std::unique_ptr<LocalGUI, Destroyer>;

Texts Lines(const std::string& out) {
  Texts lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class WindowLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.reset(LocalGUI::Create(3001, {.headless = true, .onClose = {}}));
    ASSERT_NE(window, nullptr);
    window->scam = &server;
    ASSERT_EQ(window->view(), nullptr);
  }
  void TearDown() override { window.reset(); }

  FakeActions server;  // outlives the window and its worker
  WindowPtr window;
};

// Status texts from several threads: whole lines, each thread's in the order it showed them;
// nothing at all when not headless.
TEST_F(WindowLogicTest, HeadlessStatusTextsAreLinesInCallOrder) {
  constexpr int kThreads = 3;
  constexpr int kTexts = 100;
  testing::internal::CaptureStdout();
  window->SetHeadless(false);
  window->ShowStatus("not on the console");
  window->SetHeadless(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kTexts; ++i) {
        window->ShowStatus("T" + std::to_string(t) + " " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const Texts lines = Lines(testing::internal::GetCapturedStdout());

  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kTexts));
  std::map<int, int> next;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("Status: T", 0), 0u) << line;
    const int t = line[9] - '0';
    EXPECT_EQ(line.substr(11), std::to_string(next[t]++)) << "out of order: " << line;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kTexts) << "thread " << t;
}

// The caller (the view's thread) never waits for an action: the first one is held until every
// action has been handed over. They all run on one other thread, in order; a raw command shows
// its "CMD = " text first.
TEST_F(WindowLogicTest, ActionsRunOnOneWorkerInOrderAndReachTheServer) {
  Gate allHandedOver;
  std::atomic<bool> heldInTime{true};
  std::atomic<bool> first{true};
  server.before = [&](const std::string&) {
    if (first.exchange(false) && !allHandedOver.WaitOpen()) heldInTime = false;
  };
  testing::internal::CaptureStdout();
  window->OnSelector(3, 1);
  window->OnConnect();
  window->OnEnter("0x0F0A");
  window->OnEnter("0x");
  window->OnEnter("secret");
  window->OnClose();
  window->OnSelector(0, 0);
  allHandedOver.Open();
  window->Flush();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(heldInTime.load());
  EXPECT_EQ(server.Actions(),
            (Texts{"SwitchRelay(3, 1)", "LetClientConnect", "SendCommandBytes{0F 0A}",
                   "SetHostAndPassword(secret)", "CloseConnection", "SwitchRelay(0, 0)"}));
  EXPECT_EQ(out, "Status: CMD = 0F0A\nStatus: CMD = \n");
  const auto calls = server.Calls();
  for (const auto& call : calls) {
    EXPECT_NE(call.thread, std::this_thread::get_id()) << call.action;
    EXPECT_EQ(call.thread, calls.front().thread) << call.action;
  }
}

// Before start-up hands the server over, each action shows "Server not ready" and nothing else;
// the server handed over later serves the next action.
TEST_F(WindowLogicTest, WithoutServerEachActionOnlySaysServerNotReady) {
  window->scam = nullptr;
  testing::internal::CaptureStdout();
  window->OnSelector(2, 1);
  window->OnConnect();
  window->OnClose();
  window->OnEnter("0x0F");
  window->OnEnter("secret");
  window->Flush();
  EXPECT_EQ(Lines(testing::internal::GetCapturedStdout()), Texts(5, "Status: Server not ready"));
  EXPECT_TRUE(server.Calls().empty());

  window->scam = &server;
  window->OnConnect();
  window->Flush();
  EXPECT_EQ(server.Actions(), (Texts{"LetClientConnect"}));
}

// An action that fails is reported on the console; the worker goes on with the next one.
TEST_F(WindowLogicTest, FailingActionIsReportedAndTheNextOneRuns) {
  server.before = [](const std::string& action) {
    if (action == "LetClientConnect") throw std::runtime_error("no listening socket");
  };
  testing::internal::CaptureStdout();
  window->OnConnect();
  window->OnClose();
  window->Flush();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Operator action failed: no listening socket\n");
  EXPECT_EQ(server.Actions(), (Texts{"CloseConnection"}));
}

// Destroying the window lets the action in progress finish before it returns (the actions still
// waiting are dropped, if the stop comes in time; when it does is up to the scheduler, so that
// is not asserted).
TEST_F(WindowLogicTest, DestroyWaitsForTheActionInProgress) {
  Gate started;
  Gate release;
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyedWhileRunning{false};
  server.before = [&](const std::string&) {
    started.Open();
    ASSERT_TRUE(release.WaitOpen());
    if (destroyed.load()) destroyedWhileRunning = true;
  };
  window->OnConnect();
  window->OnClose();
  ASSERT_TRUE(started.WaitOpen());
  std::thread destroyer([&] {
    window.reset();
    destroyed = true;
  });
  // Give a destructor that does not wait the chance to return early.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release.Open();
  destroyer.join();
  EXPECT_FALSE(destroyedWhileRunning.load());
  const Texts actions = server.Actions();
  ASSERT_FALSE(actions.empty());
  EXPECT_EQ(actions.front(), "LetClientConnect");
}

}  // namespace

// The console's copy of the status texts never shows the clients' password; the window's field
// keeps the texts (the view gets them unchanged).
TEST(StatusEcho, ThePasswordIsMaskedAndEverythingElseKept) {
  using vexanet::gui::StatusEchoLine;
  EXPECT_EQ(StatusEchoLine("Client Command: PWDs3cret"), "Status: Client Command: PWD****");
  EXPECT_EQ(StatusEchoLine("Client Command: PWD"), "Status: Client Command: PWD****");
  EXPECT_EQ(StatusEchoLine("Password = s3 cret OK"), "Status: Password = **** OK");
  EXPECT_EQ(StatusEchoLine("New Password= s3cret"), "Status: New Password= ****");
  EXPECT_EQ(StatusEchoLine("New Password= "), "Status: New Password= ****");
  for (const char* kept : {"Client Command: R1On", "Password required", "WRONG PASSWORD!",
                           "Password/Connection Accepted!", "Client Command: Get PWDx"}) {
    EXPECT_EQ(StatusEchoLine(kept), std::string("Status: ") + kept);
  }
}
