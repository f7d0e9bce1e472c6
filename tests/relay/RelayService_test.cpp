// The relay service over the real board driver, with a host that hands the driver's reports to
// the service as the server core does: who is named for each switch, what observers hear and in
// which order, several relays in one turn, and requests from several threads at once.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RelayTesting.h"
#include "device/Vexa8.h"
#include "relay/RelayService.h"

using namespace std::chrono_literals;
using vexanet::relay::ClientEvent;
using vexanet::relay::RelayObserver;
using vexanet::relay::RelayService;
using vexanet::relay::Source;

namespace {

using testing_support::ForwardingHost;
using testing_support::RecordingObserver;

class Relays : public ::testing::Test {
 protected:
  Relays() {
    host_.service = &service_;
    service_.AddObserver(observer_);
  }

  ForwardingHost host_;
  Vexa8 board_{host_};
  std::vector<std::vector<uint8_t>> raw_;
  RelayService service_{board_, [this](std::span<const uint8_t> bytes) {
                          raw_.emplace_back(bytes.begin(), bytes.end());
                          return true;
                        }};
  RecordingObserver observer_;
};

using Heard = std::vector<std::string>;

TEST_F(Relays, ASwitchIsReportedWithItsSourceThenItsStatusLine) {
  service_.Switch(0, true, Source::Operator());
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x08}));
  EXPECT_EQ(observer_.heard(), (Heard{"relay 1 off->on by operator", "state Stat10000000",
                                      "status Stat10000000"}));
  EXPECT_EQ(service_.States(), (std::array<bool, 8>{true}));
  EXPECT_EQ(service_.Status(), "Stat10000000");

  // The same state again is still a switch: byte, report (old equals new), status line.
  service_.Switch(0, true, Source::Operator());
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x08, 0x08}));
  EXPECT_EQ(observer_.relays().back(), "relay 1 on->on by operator");
}

TEST_F(Relays, ClientWordsAreSwitchesInTheClientsNameAndOtherLinesSwitchNothing) {
  const Source client = Source::Client("192.0.2.7:40000");
  EXPECT_TRUE(service_.ClientLine("R3On", client));
  EXPECT_TRUE(service_.ClientLine("R3Off", client));
  EXPECT_EQ(observer_.relays(), (Heard{"relay 3 off->on by client/192.0.2.7:40000",
                                       "relay 3 on->off by client/192.0.2.7:40000"}));
  const size_t before = observer_.heard().size();
  EXPECT_TRUE(service_.ClientLine("Get", client));
  EXPECT_EQ(observer_.heard().size(), before + 2) << "the status line only";
  EXPECT_EQ(observer_.heard().back(), "status Stat00000000");
  EXPECT_FALSE(service_.ClientLine("R9On", client));
  EXPECT_FALSE(service_.ClientLine("r1on", client));
  EXPECT_EQ(observer_.heard().size(), before + 2);
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x0A, 0x02}));
}

TEST_F(Relays, SeveralSwitchOnlyTheRelaysThatDifferInRelayOrder) {
  service_.Switch(2, true, Source::Operator());
  std::array<std::optional<bool>, 8> wanted{};
  wanted[0] = true;   // off -> on
  wanted[2] = true;   // already on: left alone
  wanted[7] = true;   // off -> on
  wanted[5] = false;  // already off: left alone
  EXPECT_EQ(service_.SwitchSeveral(wanted, {"web/192.0.2.9:5000"}), 2);
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x0A, 0x08, 0x0F}));
  EXPECT_EQ(observer_.relays(),
            (Heard{"relay 3 off->on by operator", "relay 1 off->on by web/192.0.2.9:5000",
                   "relay 8 off->on by web/192.0.2.9:5000"}));
  EXPECT_EQ(service_.SwitchSeveral(wanted, Source::Operator()), 0);
  EXPECT_EQ(service_.Status(), "Stat10100001");
}

TEST_F(Relays, RawBytesGoToTheBoardWithoutTouchingTheRecordedStates) {
  const std::array<uint8_t, 2> bytes{0x0F, 0x1F};
  EXPECT_TRUE(service_.SendRaw(bytes, Source::Operator()));
  EXPECT_EQ(raw_, (std::vector<std::vector<uint8_t>>{{0x0F, 0x1F}}));
  EXPECT_TRUE(observer_.heard().empty());
  EXPECT_EQ(service_.States(), (std::array<bool, 8>{}));
}

TEST_F(Relays, LineAndClientReportsReachEveryObserverUntilItIsRemoved) {
  RecordingObserver second;
  service_.AddObserver(second);
  EXPECT_TRUE(service_.SerialUp());
  service_.SerialLineChanged(false, "the device hung up");
  EXPECT_FALSE(service_.SerialUp());
  service_.ClientChanged(ClientEvent::TimedOut, "192.0.2.7:40000");
  service_.RemoveObserver(second);
  service_.SerialLineChanged(true);
  EXPECT_TRUE(service_.SerialUp());
  EXPECT_EQ(observer_.heard(), (Heard{"serial down: the device hung up",
                                      "client timeout 192.0.2.7:40000", "serial up"}));
  EXPECT_EQ(second.heard(),
            (Heard{"serial down: the device hung up", "client timeout 192.0.2.7:40000"}));
}

TEST_F(Relays, TheInitialAllOffIsFromStartUpEvenWhileARequestWaitsForIt) {
  board_.HoldSwitchesUntilInit();
  std::thread early([&] { service_.Switch(4, true, Source::Client("198.51.100.1:1")); });
  std::this_thread::sleep_for(50ms);  // the request waits in its turn for the all-off
  EXPECT_TRUE(observer_.relays().empty());
  service_.Init();
  early.join();
  const Heard relays = observer_.relays();
  ASSERT_EQ(relays.size(), 9u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(relays[i], "relay " + std::to_string(i + 1) + " off->off by start-up");
  }
  EXPECT_EQ(relays[8], "relay 5 off->on by client/198.51.100.1:1");
}

TEST_F(Relays, RequestsFromManyThreadsAreEachReportedInTheirOwnName) {
  host_.sendTime = 1ms;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Source source{"thread" + std::to_string(t)};
      for (int i = 0; i < kRounds; ++i) {
        // Each thread has two relays of its own; ClientLine, Switch and SwitchSeveral alike.
        const int32_t relay = t * 2 + (i % 2);
        if (i % 3 == 0) {
          service_.ClientLine("R" + std::to_string(relay + 1) + (i % 4 < 2 ? "On" : "Off"),
                              source);
        } else if (i % 3 == 1) {
          service_.Switch(relay, i % 4 < 2, source);
        } else {
          std::array<std::optional<bool>, 8> wanted{};
          wanted[static_cast<size_t>(relay)] = !service_.States()[static_cast<size_t>(relay)];
          service_.SwitchSeveral(wanted, source);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  // Every report names the thread that owns the relay, and each relay's reports chain: a
  // report's old state is the state the one before it left.
  std::array<std::string, 8> last;
  last.fill("off");
  for (const std::string& h : observer_.relays()) {
    const int relay = h[6] - '1';
    EXPECT_TRUE(h.ends_with("by thread" + std::to_string(relay / 2))) << h;
    const std::string transition = h.substr(8, h.find(" by ") - 8);
    const std::string was = transition.substr(0, transition.find("->"));
    EXPECT_EQ(was, last[static_cast<size_t>(relay)]) << h;
    last[static_cast<size_t>(relay)] = transition.substr(transition.find("->") + 2);
  }
  for (size_t r = 0; r < 8; ++r) EXPECT_EQ(service_.States()[r], last[r] == "on");
}

}  // namespace
