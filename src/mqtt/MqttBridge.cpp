#include "mqtt/MqttBridge.h"

#include <utility>

#include "base/Console.h"

namespace vexanet::mqtt {

MqttBridge::MqttBridge(MqttSettings settings, relay::RelayService& relays,
                       std::unique_ptr<MqttLink> link, StatusFilter statusFilter)
    : settings_(std::move(settings)),
      topics_(settings_),
      relays_(relays),
      link_(std::move(link)),
      statusFilter_(std::move(statusFilter)) {}

MqttBridge::~MqttBridge() {
  if (!started_) return;
  relays_.RemoveObserver(*this);
  link_->Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void MqttBridge::Start() {
  started_ = true;
  worker_ = std::thread([this] { SwitchWanted(); });
  relays_.AddObserver(*this);
  ConsoleLine("MQTT bridge: broker " + settings_.BrokerText() + ", topics under " +
              settings_.prefix + "/" +
              (settings_.discovery.empty() ? ", no discovery"
                                           : ", discovery under " + settings_.discovery + "/"));
  link_->Start(*this);
}

// --- what the relays do ---------------------------------------------------------------------

void MqttBridge::RelayChanged(int32_t relay, bool /*was*/, bool now,
                              const relay::Source& /*source*/) {
  if (relay < 0 || relay >= 8) return;
  std::lock_guard<std::mutex> lock(publishing_);
  Publish(topics_.State(relay), StatePayload(now));
}

void MqttBridge::StatusText(const std::string& text) {
  std::lock_guard<std::mutex> lock(publishing_);
  Publish(topics_.Status(), statusFilter_ ? statusFilter_(text) : text);
}

void MqttBridge::SerialLine(bool up, const std::string& /*reason*/) {
  std::lock_guard<std::mutex> lock(publishing_);
  Publish(topics_.Availability(), up ? kOnline : kOffline);
  // Back: the states again, as the board has them once more.
  if (up) PublishStates();
}

void MqttBridge::Publish(const std::string& topic, const std::string& payload) {
  // While the broker is away nothing is queued: everything is published again on reconnect.
  if (connected_.load()) link_->Publish(topic, payload, true);
}

void MqttBridge::PublishStates() {
  const std::array<bool, 8> states = relays_.States();
  for (int relay = 0; relay < 8; ++relay) {
    Publish(topics_.State(relay), StatePayload(states[static_cast<size_t>(relay)]));
  }
}

void MqttBridge::PublishEverything() {
  std::lock_guard<std::mutex> lock(publishing_);
  if (!settings_.discovery.empty()) {
    for (int relay = 0; relay < 8; ++relay) {
      Publish(topics_.DiscoveryConfig(relay), topics_.DiscoveryMessage(relay));
    }
  }
  Publish(topics_.Availability(), relays_.SerialUp() ? kOnline : kOffline);
  PublishStates();
  const std::string status = relays_.Status();
  Publish(topics_.Status(), statusFilter_ ? statusFilter_(status) : status);
}

// --- what the broker does -------------------------------------------------------------------

void MqttBridge::Connected() {
  connected_.store(true);
  downReported_ = false;
  ConsoleLine("MQTT: connected to " + settings_.BrokerText());
  link_->Subscribe(topics_.SetPattern());
  if (!settings_.discovery.empty()) link_->Subscribe(topics_.DiscoveryStatus());
  PublishEverything();
}

void MqttBridge::Down(const std::string& why) {
  const bool wasConnected = connected_.exchange(false);
  if (wasConnected) {
    ConsoleLine("MQTT: lost " + settings_.BrokerText() + " (" + why + "); reconnecting");
  } else if (!downReported_) {
    ConsoleLine("MQTT: cannot reach " + settings_.BrokerText() + " (" + why +
                "); trying again, at longest every 60 s");
  }
  downReported_ = true;
}

void MqttBridge::Message(const std::string& topic, const std::string& payload) {
  if (topics_.IsDiscoveryStatus(topic)) {
    // Home Assistant (re)started: it finds the switches again.
    if (payload == kOnline) PublishEverything();
    return;
  }
  const std::optional<int> relay = topics_.RelayOfSet(topic);
  if (!relay) {
    ConsoleLine("MQTT: topic " + Excerpt(topic) + " ignored");
    return;
  }
  const std::optional<bool> on = ParseSwitchPayload(payload);
  if (!on) {
    ConsoleLine("MQTT: " + Excerpt(topic) + ": \"" + Excerpt(payload) +
                "\" is not ON or OFF; ignored");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_[static_cast<size_t>(*relay)] = *on;
  }
  wake_.notify_one();
}

void MqttBridge::SwitchWanted() {
  for (;;) {
    std::array<std::optional<bool>, 8> wanted{};
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] {
        if (stopping_) return true;
        for (const auto& w : wanted_) {
          if (w) return true;
        }
        return false;
      });
      if (stopping_) return;
      std::swap(wanted, wanted_);
    }
    for (int relay = 0; relay < 8; ++relay) {
      const auto& on = wanted[static_cast<size_t>(relay)];
      if (!on) continue;
      ConsoleLine("MQTT request: relay " + std::to_string(relay + 1) + (*on ? " on" : " off"));
      relays_.Switch(relay, *on, Source());
    }
  }
}

}  // namespace vexanet::mqtt
