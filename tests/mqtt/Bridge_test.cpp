// The bridge between the relay service and a link of the test's own: what is published when,
// and how set messages become switches (through the service, coalesced per relay).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "RelayTesting.h"
#include "device/Vexa8.h"
#include "mqtt/MqttBridge.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ForwardingHost;
using testing_support::RecordingObserver;
using vexanet::mqtt::MqttBridge;
using vexanet::mqtt::MqttEvents;
using vexanet::mqtt::MqttLink;
using vexanet::mqtt::MqttSettings;
using vexanet::relay::RelayService;
using vexanet::relay::Source;

struct Published {
  std::string topic;
  std::string payload;
  bool retain;
  bool operator==(const Published&) const = default;
};
void PrintTo(const Published& p, std::ostream* os) {
  *os << p.topic << " " << p.payload << (p.retain ? " (retained)" : "");
}

class FakeLink : public MqttLink {
 public:
  void Start(MqttEvents& events) override { events_ = &events; }
  void Stop() override { stopped = true; }
  void Publish(const std::string& topic, const std::string& payload, bool retain) override {
    std::lock_guard lock(m_);
    published_.push_back({topic, payload, retain});
  }
  void Subscribe(const std::string& pattern) override {
    std::lock_guard lock(m_);
    subscribed_.push_back(pattern);
  }
  std::vector<Published> published() const {
    std::lock_guard lock(m_);
    return published_;
  }
  std::vector<std::string> subscribed() const {
    std::lock_guard lock(m_);
    return subscribed_;
  }
  void Clear() {
    std::lock_guard lock(m_);
    published_.clear();
  }
  MqttEvents* events() const { return events_; }
  bool stopped = false;

 private:
  mutable std::mutex m_;
  std::vector<Published> published_;
  std::vector<std::string> subscribed_;
  MqttEvents* events_ = nullptr;
};

// A host whose first command byte waits at a gate: the bridge's worker is then busy with one
// switch while the test sends more set messages.
class GatedHost : public ForwardingHost {
 public:
  bool CommandB0(std::span<const uint8_t> bytes) override {
    {
      std::unique_lock lock(m_);
      if (closed_) {
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !closed_; });
      }
    }
    return ForwardingHost::CommandB0(bytes);
  }
  void Close() {
    std::lock_guard lock(m_);
    closed_ = true;
  }
  void WaitEntered() {
    std::unique_lock lock(m_);
    ASSERT_TRUE(cv_.wait_for(lock, 10s, [this] { return entered_; }));
  }
  void Open() {
    {
      std::lock_guard lock(m_);
      closed_ = false;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool closed_ = false;
  bool entered_ = false;
};

MqttSettings Settings() {
  MqttSettings s;
  s.host = "broker";
  s.prefix = "lab/b";
  s.node = "lab_b";
  s.discovery = "homeassistant";
  return s;
}

class Bridge : public ::testing::Test {
 protected:
  Bridge() {
    host_.service = &service_;
    service_.AddObserver(observer_);
    auto link = std::make_unique<FakeLink>();
    link_ = link.get();
    bridge_ = std::make_unique<MqttBridge>(
        Settings(), service_, std::move(link),
        [](const std::string& text) { return "masked:" + text; });
    bridge_->Start();
  }
  ~Bridge() override { bridge_.reset(); }

  // Waits until the board got bytes for which done is true.
  template <typename Done>
  bool WaitForBytes(Done done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      if (done(host_.bytes())) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  GatedHost host_;
  Vexa8 board_{host_};
  RelayService service_{board_, [](std::span<const uint8_t>) { return true; }};
  RecordingObserver observer_;
  FakeLink* link_ = nullptr;
  std::unique_ptr<MqttBridge> bridge_;
};

TEST_F(Bridge, NothingIsPublishedWhileDownAndEverythingOnEachConnect) {
  service_.Switch(2, true, Source::Operator());
  service_.ShowStatus("Client Command: PWDsecret");
  EXPECT_TRUE(link_->published().empty());

  for (int round = 0; round < 2; ++round) {
    link_->Clear();
    link_->events()->Connected();
    const auto published = link_->published();
    ASSERT_EQ(published.size(), 8u + 1u + 8u + 1u) << "round " << round;
    for (int n = 0; n < 8; ++n) {
      EXPECT_EQ(published[static_cast<size_t>(n)].topic,
                "homeassistant/switch/lab_b/relay" + std::to_string(n + 1) + "/config");
    }
    EXPECT_EQ(published[8], (Published{"lab/b/availability", "online", true}));
    for (int n = 0; n < 8; ++n) {
      EXPECT_EQ(published[9 + static_cast<size_t>(n)],
                (Published{"lab/b/relay/" + std::to_string(n + 1), n == 2 ? "ON" : "OFF", true}));
    }
    EXPECT_EQ(published[17], (Published{"lab/b/status", "masked:" + service_.Status(), true}));
    if (round == 0) {
      EXPECT_EQ(service_.Status(), "Client Command: PWDsecret");
    }
    link_->events()->Down("gone");
    link_->Clear();
    service_.Switch(0, true, Source::Operator());  // while down: nothing
    service_.Switch(0, false, Source::Operator());
    EXPECT_TRUE(link_->published().empty());
  }
  EXPECT_EQ(link_->subscribed(),
            (std::vector<std::string>{"lab/b/relay/+/set", "homeassistant/status",
                                      "lab/b/relay/+/set", "homeassistant/status"}));
}

TEST_F(Bridge, ChangesTheSerialLineAndHomeAssistantsReturnArePublishedWhileConnected) {
  link_->events()->Connected();
  link_->Clear();
  service_.Switch(4, true, Source::Operator());
  EXPECT_EQ(link_->published().front(), (Published{"lab/b/relay/5", "ON", true}));

  link_->Clear();
  service_.SerialLineChanged(false, "unplugged");
  EXPECT_EQ(link_->published(), (std::vector<Published>{{"lab/b/availability", "offline", true}}));
  link_->Clear();
  service_.SerialLineChanged(true);
  const auto back = link_->published();
  ASSERT_EQ(back.size(), 9u);
  EXPECT_EQ(back[0], (Published{"lab/b/availability", "online", true}));
  EXPECT_EQ(back[5], (Published{"lab/b/relay/5", "ON", true}));

  link_->Clear();
  link_->events()->Message("homeassistant/status", "offline");
  EXPECT_TRUE(link_->published().empty());
  link_->events()->Message("homeassistant/status", "online");
  EXPECT_EQ(link_->published().size(), 18u);
}

TEST_F(Bridge, SetMessagesSwitchThroughTheServiceTheLastOnePerRelayWinning) {
  link_->events()->Connected();
  host_.Close();
  link_->events()->Message("lab/b/relay/1/set", "ON");
  host_.WaitEntered();  // the worker is inside relay 1's switch
  for (int i = 0; i < 500; ++i) {
    link_->events()->Message("lab/b/relay/2/set", i % 2 == 0 ? "on" : "OFF");
    link_->events()->Message("lab/b/relay/3/set", i % 3 == 0 ? "Off" : "ON");
  }
  link_->events()->Message("lab/b/relay/2/set", "ON");
  link_->events()->Message("lab/b/relay/3/set", "OFF");
  link_->events()->Message("lab/b/relay/4/set", "toggle");  // ignored
  link_->events()->Message("lab/b/other", "ON");            // ignored
  host_.Open();
  // One byte per relay: relay 1 on, then the last word for relays 2 and 3 in relay order.
  EXPECT_TRUE(WaitForBytes([](const std::vector<uint8_t>& b) { return b.size() >= 3; }));
  std::this_thread::sleep_for(50ms);  // nothing more follows
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x08, 0x09, 0x02}));
  const auto heard = observer_.relays();
  EXPECT_EQ(heard, (std::vector<std::string>{"relay 1 off->on by mqtt", "relay 2 off->on by mqtt",
                                             "relay 3 off->off by mqtt"}));
}

TEST_F(Bridge, StoppingWaitsForNoSwitchAndStopsTheLink) {
  link_->events()->Connected();
  link_->events()->Message("lab/b/relay/8/set", "on");
  EXPECT_TRUE(WaitForBytes([](const std::vector<uint8_t>& b) { return !b.empty(); }));
  bridge_.reset();
  EXPECT_TRUE(link_ != nullptr);
  // The service outlives the bridge and no longer tells it anything.
  service_.Switch(0, true, Source::Operator());
}

}  // namespace
