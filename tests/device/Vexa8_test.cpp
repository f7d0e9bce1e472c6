// The relay board driver against a recording host: command bytes, recorded states, selectors,
// status lines to the client and the window, and switches from several threads at once.
#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceHost.h"
#include "device/Vexa8.h"

using namespace std::chrono_literals;

namespace {

// Records everything the driver hands its host, in order. A send may take a while, as the
// serial line's pause does.
class RecordingHost : public DeviceHost {
 public:
  struct Event {
    std::string what;  // "byte", "select", "client", "status"
    std::string text;
    int32_t a = 0, b = 0;
  };

  bool CommandB0(std::span<const uint8_t> bytes) override {
    {
      std::lock_guard lock(m_);
      for (uint8_t b : bytes) {
        events_.push_back({"byte", "", b, 0});
        bytes_.push_back(b);
      }
    }
    if (sendTime.count() > 0) std::this_thread::sleep_for(sendTime);
    return lineUsable;
  }
  void DelayT(int32_t) override {}
  void ShowStat(const std::string& text) override { Add({"status", text}); }
  void SelectRelay(int32_t relay, int32_t item) override { Add({"select", "", relay, item}); }
  void SendRStat(const std::string& text) override { Add({"client", text}); }

  std::vector<Event> events() const {
    std::lock_guard lock(m_);
    return events_;
  }
  std::vector<uint8_t> bytes() const {
    std::lock_guard lock(m_);
    return bytes_;
  }
  std::vector<std::string> texts(const std::string& what) const {
    std::vector<std::string> out;
    for (const auto& e : events()) {
      if (e.what == what) out.push_back(e.text);
    }
    return out;
  }

  std::chrono::milliseconds sendTime{0};
  bool lineUsable = true;

 private:
  void Add(Event e) {
    std::lock_guard lock(m_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex m_;
  std::vector<Event> events_;
  std::vector<uint8_t> bytes_;
};

class Board : public ::testing::Test {
 protected:
  RecordingHost host_;
  Vexa8 board_{host_};
};

}  // namespace

TEST(Vexa8Wire, CommandByteAndStatusText) {
  EXPECT_EQ(Vexa8::CommandByte(0, 1, 2), 0x0A);
  EXPECT_EQ(Vexa8::CommandByte(0, 0, 7), 0x07);
  EXPECT_EQ(Vexa8::CommandByte(3, 1, 0), 0x38);
  EXPECT_EQ(Vexa8::CommandByte(7, 1, 7), 0x7F);
  EXPECT_EQ(Vexa8::CommandByte(17, 1, 0), 0x18);  // kept to 8 bits
  EXPECT_EQ(Vexa8::StatusText({1, 0, 0, 0, 0, 0, 0, 0}), "Stat10000000");
  EXPECT_EQ(Vexa8::StatusText({0, 0, 0, 0, 0, 0, 0, 0}), "Stat00000000");
}

TEST_F(Board, RelayWordSendsItsByteThenSelectsThenPublishes) {
  EXPECT_TRUE(board_.ParseNetCommand("R5On"));
  const auto events = host_.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].what, "byte");
  EXPECT_EQ(events[0].a, 0x0C);
  EXPECT_EQ(events[1].what, "select");
  EXPECT_EQ(events[1].a, 4);
  EXPECT_EQ(events[1].b, 1);
  EXPECT_EQ(events[2].what, "client");
  EXPECT_EQ(events[2].text, "Stat00001000");
  EXPECT_EQ(events[3].what, "status");
  EXPECT_EQ(events[3].text, "Stat00001000");
}

TEST_F(Board, WordsThatAreAndAreNotCommands) {
  EXPECT_TRUE(board_.ParseNetCommand("R5On"));
  EXPECT_TRUE(board_.ParseNetCommand("R5On"));  // the same state again still sends the byte
  EXPECT_TRUE(board_.ParseNetCommand("R8Off"));
  EXPECT_TRUE(board_.ParseNetCommand("Get"));
  EXPECT_FALSE(board_.ParseNetCommand("Bnum3"));  // board words are off
  EXPECT_FALSE(board_.ParseNetCommand("Stat"));
  EXPECT_FALSE(board_.ParseNetCommand(""));
  EXPECT_FALSE(board_.ParseNetCommand("r1on"));
  EXPECT_FALSE(board_.ParseNetCommand("R1On "));
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x0C, 0x0C, 0x07}));
  EXPECT_EQ(host_.texts("client").back(), "Stat00001000");  // Get publishes too
  EXPECT_EQ(host_.texts("client").size(), 4u);
  EXPECT_EQ(board_.boardnum.load(), 0);
  EXPECT_EQ(board_.stat(), "Stat00001000");
}

TEST_F(Board, BoardAddressInTheCommandByte) {
  board_.setboardnum(3);
  EXPECT_TRUE(host_.bytes().empty());  // no traffic for the address alone
  board_.set(0, 1);
  board_.setboardnum(7);
  board_.set(7, 1);
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x38, 0x7F}));
  EXPECT_EQ(board_.stat(), "Stat10000001");
}

TEST_F(Board, StateIsRecordedEvenWhenTheLineIsDown) {
  host_.lineUsable = false;
  board_.set(2, 1);
  EXPECT_EQ(board_.relayState(2), 1);
  EXPECT_EQ(host_.texts("client"), std::vector<std::string>{"Stat00100000"});
}

TEST_F(Board, DevInitSwitchesEveryRelayOffInOrder) {
  for (int i = 0; i < 8; ++i) board_.set(i, 1);
  const size_t before = host_.bytes().size();
  board_.DevInit();
  const auto bytes = host_.bytes();
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<long>(before), bytes.end()),
            (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(board_.stat(), "Stat00000000");
}

TEST_F(Board, SwitchDuringDevInitComesAfterTheWholeSequence) {
  host_.sendTime = 10ms;
  std::thread init([&] { board_.DevInit(); });
  // The first all-off byte is out: the sequence is under way when the client's word arrives.
  while (host_.bytes().empty()) std::this_thread::sleep_for(1ms);
  board_.ParseNetCommand("R5On");
  init.join();
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 0x0C}));
  EXPECT_EQ(board_.relayState(4), 1);
  // The last line the client was sent is the state its own word left.
  EXPECT_EQ(host_.texts("client").back(), "Stat00001000");
  EXPECT_EQ(host_.texts("client").size(), 9u);
}

// A word that arrives after start-up has let clients in but before its all-off began waits for
// the all-off instead of being undone by it.
TEST_F(Board, SwitchBeforeDevInitWaitsForItOnceHeld) {
  board_.HoldSwitchesUntilInit();
  std::atomic<bool> done{false};
  std::thread client([&] {
    board_.ParseNetCommand("R5On");
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load()) << "the switch went out before the all-off";
  EXPECT_TRUE(host_.bytes().empty());
  board_.DevInit();
  client.join();
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 0x0C}));
  EXPECT_EQ(board_.relayState(4), 1);
}

TEST_F(Board, ConcurrentSwitchesEachSendTheirOwnByte) {
  host_.sendTime = 5ms;  // a send takes a while, so the two threads overlap
  std::thread a([&] {
    for (int i = 0; i < 4; ++i) board_.set(0, 1);
  });
  std::thread b([&] {
    for (int i = 0; i < 4; ++i) board_.set(1, 0);
  });
  a.join();
  b.join();
  const auto bytes = host_.bytes();
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0x08), 4);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0x01), 4);
  // Each byte is followed by its own selector change before the next byte goes out.
  const auto events = host_.events();
  int32_t lastByte = -1;
  for (const auto& e : events) {
    if (e.what == "byte") {
      EXPECT_EQ(lastByte, -1) << "a byte went out before the previous switch was recorded";
      lastByte = e.a;
    } else if (e.what == "select") {
      ASSERT_NE(lastByte, -1);
      EXPECT_EQ(Vexa8::CommandByte(0, e.b, e.a), lastByte);
      lastByte = -1;
    }
  }
}
